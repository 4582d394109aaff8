// One-pass WKB / EWKB / ISO WKB reader that writes canonical WKT as it reads.
#pragma once

#include "core/buffer.h"
#include "core/types.h"

namespace geoweave {

struct SplitText {
  OutputBuffer text;
  SridSlot slot;
};

// The whole text, with "SRID=N;" in front when the top-level record has an SRID.
Result<OutputBuffer> decode_wkb_to_ewkt(ByteSpan input);

// The text without any prefix, and the top-level SRID beside it.
Result<SplitText> decode_wkb_split_srid(ByteSpan input);

}  // namespace geoweave
