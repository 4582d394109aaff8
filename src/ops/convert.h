// Core conversions applying an SRID option: the operations behind the module
// functions. Python-free.
#pragma once

#include "core/buffer.h"
#include "core/types.h"

namespace geoweave {

Result<OutputBuffer> convert_wkb_to_wkt(ByteSpan bytes, SridOption option);
Result<OutputBuffer> convert_wkt_to_wkb(TextView text, SridOption option);
Result<OutputBuffer> convert_wkt_to_hex_wkb(TextView text, SridOption option);

// Auto-detecting conversions. A source is either raw WKB bytes or text.
struct Source {
  bool is_text = false;
  ByteSpan bytes;  // when !is_text
  TextView text;   // when is_text
};

// Output that may simply be (a slice of) the input: when `borrowed` is set the
// result is exactly that view and `owned` is empty.
struct MaybeBorrowed {
  OutputBuffer owned;
  std::string_view borrowed;
  bool is_borrowed = false;
  std::string_view view() const noexcept { return is_borrowed ? borrowed : owned.view(); }
};

Result<MaybeBorrowed> convert_to_wkt(const Source& source, SridOption option, bool normalize);
Result<MaybeBorrowed> convert_to_wkb(const Source& source, SridOption option);
Result<MaybeBorrowed> convert_to_hex_wkb(const Source& source, SridOption option);

// Strips a leading "srid=...;" without looking at the value.
TextView strip_ewkt_prefix(TextView t) noexcept;

}  // namespace geoweave
