// Core conversions applying an SRID option: the operations behind the module
// functions. Python-free.
#pragma once

#include <cstdint>
#include <optional>

#include "core/buffer.h"
#include "core/types.h"
#include "ops/operation.h"
#include "wkb_to_wkt/reader.h"
#include "wkt_to_wkb/parser.h"
#include "wkt_to_wkb/plain_point.h"

namespace geoweave {

// Each writes its result into `storage` when one is lent (see BufferStorage).
// The WKB writers take a flavor: with Iso, a value that would carry an SRID
// (its own under Mirror, or a forced one) fails with ConversionError::iso_srid.
[[gnu::always_inline]] inline Result<OutputBuffer> convert_wkb_to_wkt(ByteSpan bytes, SridOption option,
                                               BufferStorage* storage = nullptr) {
  option = option.normalized();
  if (option.is_mirror()) return decode_wkb_to_ewkt(bytes, storage);
  if (option.is_strip()) {
    auto split = decode_wkb_split_srid(bytes, storage);
    if (!split) return fail(std::move(split.error()));
    return std::move(split->text);
  }
  // A forced SRID replaces whatever the input held; the input's own SRID is
  // only read so that decoding errors are never hidden behind it.
  return decode_wkb_with_srid(bytes, option.value, storage);
}
// Inline, as are the WKT writers below, which are the parser's own entry
// points: a layer of calls between a row and its conversion costs a frame and
// a copied Result on every value.
inline Result<OutputBuffer> convert_wkt_to_wkb(TextView text, SridOption option,
                                               BufferStorage* storage = nullptr,
                                               WkbFlavor flavor = WkbFlavor::Extended,
                                               std::size_t slack = 0) {
  // A plain Point (most rows) here, without the call into the parser.
  if (flavor == WkbFlavor::Extended) [[likely]] {
    if (auto point = plain_point::ewkb_bytes(text, option, storage, slack)) return std::move(*point);
  }
  return wkt_to_ewkb_bytes(text, option, storage, flavor, slack);
}
inline Result<OutputBuffer> convert_wkt_to_hex_wkb(TextView text, SridOption option,
                                                   BufferStorage* storage = nullptr,
                                                   WkbFlavor flavor = WkbFlavor::Extended,
                                                   std::size_t slack = 0) {
  return wkt_to_ewkb_hex(text, option, storage, flavor, slack);
}

// Output that may simply be (a slice of) the input: when `borrowed` is set the
// result is exactly that view and `owned` is empty.
struct MaybeBorrowed {
  OutputBuffer owned;
  std::string_view borrowed;
  bool is_borrowed = false;
  std::string_view view() const noexcept { return is_borrowed ? borrowed : owned.view(); }
};

// The auto-detecting operations for C++ callers (fuzz targets, the replay
// tool, benchmarks): run<Operation::ToWkt> and its kin (ops/run.h) with the
// result in a buffer. `storage` (optional) is lent to the buffer of the main
// paths' results; for convert_to_wkt only where the text is this module's own
// (ASCII) WKT.
Result<MaybeBorrowed> convert_to_wkt(const Source& source, SridOption option, bool normalize,
                                     BufferStorage* storage = nullptr);
// With Iso, WKB and hex WKB sources are always rewritten (plan_srid_rewrite),
// never passed through as they are.
Result<MaybeBorrowed> convert_to_wkb(const Source& source, SridOption option,
                                     BufferStorage* storage = nullptr,
                                     WkbFlavor flavor = WkbFlavor::Extended);
Result<MaybeBorrowed> convert_to_hex_wkb(const Source& source, SridOption option,
                                         BufferStorage* storage = nullptr,
                                         WkbFlavor flavor = WkbFlavor::Extended);

// Pieces of the operations on unvalidated text (see run.h).
// Strips a leading "srid=...;" without looking at the value.
TextView strip_ewkt_prefix(TextView t) noexcept;
// Mirror on unparsed WKT: a prefix that names no SRID ("SRID=0;", "srid=-1;")
// is dropped, as it would be by a parsing conversion; anything else, including
// malformed values, is left for the caller to see.
TextView drop_unknown_srid_prefix(TextView t) noexcept;
// "SRID=n;" then `body`, in a new heap buffer.
OutputBuffer prefixed_text(std::int32_t n, TextView body);
// Non-empty, even length and hex digits only: an upper-cased copy. nullopt
// otherwise (the text is then WKT). One pass, nothing decoded.
std::optional<OutputBuffer> uppercase_hex_text(TextView t, BufferStorage* storage);

}  // namespace geoweave
