// Recursive-descent WKT parser writing little-endian EWKB as it reads, either as
// bytes or directly as upper-case hex digits.
#pragma once

#include "core/buffer.h"
#include "core/types.h"
#include "wkt_to_wkb/tokenizer.h"

namespace geoweave {

struct SplitBytes {
  OutputBuffer bytes;
  SridSlot slot;
};

// `cursor` must already be past parse_srid_prefix; `capacity_hint` is the byte
// length of the whole input text; `slot` says whether and which SRID to embed.
// The output goes into `storage` when one is lent (see BufferStorage).
// With WkbFlavor::Iso the type words are ISO codes and an SRID in `slot`
// fails the value (ConversionError::iso_srid) once the text has been parsed
// whole, so that the text's own errors come first.
Result<OutputBuffer> wkt_to_ewkb_bytes(WktCursor& cursor, std::size_t capacity_hint,
                                       SridSlot slot, BufferStorage* storage = nullptr,
                                       WkbFlavor flavor = WkbFlavor::Extended);
Result<OutputBuffer> wkt_to_ewkb_hex(WktCursor& cursor, std::size_t capacity_hint,
                                     SridSlot slot, BufferStorage* storage = nullptr,
                                     WkbFlavor flavor = WkbFlavor::Extended);
// Parses the prefix itself; the bytes never carry an SRID (so ISO bytes never
// fail for one: it is returned beside them).
Result<SplitBytes> wkt_to_ewkb_bytes_split_srid(TextView text,
                                                BufferStorage* storage = nullptr,
                                                WkbFlavor flavor = WkbFlavor::Extended);

}  // namespace geoweave
