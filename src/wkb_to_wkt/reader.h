// One-pass WKB / EWKB / ISO WKB reader that writes canonical WKT as it reads.
#pragma once

#include "core/buffer.h"
#include "core/types.h"

namespace geoweave {

struct SplitText {
  OutputBuffer text;
  SridSlot slot;
};

// Each driver writes its text into `storage` when one is lent (see BufferStorage).

// The whole text, with "SRID=N;" in front when the top-level record has an SRID.
Result<OutputBuffer> decode_wkb_to_ewkt(ByteSpan input, BufferStorage* storage = nullptr);

// The text without any prefix, and the top-level SRID beside it.
Result<SplitText> decode_wkb_split_srid(ByteSpan input, BufferStorage* storage = nullptr);

// The text with "SRID=<srid>;" in front, whatever the input holds (the input's
// own SRID is read and dropped).
Result<OutputBuffer> decode_wkb_with_srid(ByteSpan input, std::int32_t srid,
                                          BufferStorage* storage = nullptr);

}  // namespace geoweave
