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

// The text, its own "SRID=N;" prefix parsed first (so a malformed prefix fails
// whatever the option), as EWKB bytes or their upper-case hex digits, with the
// SRID `option` applied: the prefix's SRID for Mirror, the forced one for Set,
// none for Strip. The output goes into `storage` when one is lent (see
// BufferStorage). With WkbFlavor::Iso the type words are ISO codes and an SRID
// to embed fails the value (ConversionError::iso_srid) once the text has been
// parsed whole, so that the text's own errors come first.
//
// `slack`: how many bytes after the text's end may be read (never used as
// text), as the next rows of a column allow; a number near the end is then
// read without checking each load against it.
Result<OutputBuffer> wkt_to_ewkb_bytes(TextView text, SridOption option,
                                       BufferStorage* storage = nullptr,
                                       WkbFlavor flavor = WkbFlavor::Extended,
                                       std::size_t slack = 0);
Result<OutputBuffer> wkt_to_ewkb_hex(TextView text, SridOption option,
                                     BufferStorage* storage = nullptr,
                                     WkbFlavor flavor = WkbFlavor::Extended,
                                     std::size_t slack = 0);
// Parses the prefix itself; the bytes never carry an SRID (so ISO bytes never
// fail for one: it is returned beside them).
Result<SplitBytes> wkt_to_ewkb_bytes_split_srid(TextView text,
                                                BufferStorage* storage = nullptr,
                                                WkbFlavor flavor = WkbFlavor::Extended);

}  // namespace geoweave
