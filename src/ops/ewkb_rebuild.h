// WKB of any dialect rebuilt as canonical EWKB in one pass, with no text in
// between: the WKB reader driving an EWKB emitter over the byte or hex sink.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/types.h"

namespace geoweave {

// How a rewrite's result is written: EWKB bytes, or their upper-case hex
// digits (two per byte).
enum class RewriteEncoding : std::uint8_t { Bytes, Hex };

// The EWKB this module writes for `wkb`: little-endian throughout, type words
// in flag form (never ISO codes), the SRID of `slot` on the outermost record
// only (members' SRIDs are dropped), every NaN ordinate as the quiet NaN
// 0x7FF8000000000000 and negative zero as zero; all other ordinates keep their
// bits. Errors are the reader's, in the reader's order. The result never
// exceeds the input by more than the 4 bytes of an added SRID, so it is
// reserved once and never grows.
Result<OutputBuffer> rebuild_ewkb(ByteSpan wkb, SridSlot slot, BufferStorage* storage = nullptr);
// The same EWKB as upper-case hex digits, written directly.
Result<OutputBuffer> rebuild_ewkb_hex(ByteSpan wkb, SridSlot slot,
                                      BufferStorage* storage = nullptr);

// The length in bytes of what rebuild_ewkb writes for `wkb`, or the same
// error. Only headers and counts are looked at: coordinate runs are skipped.
Result<std::size_t> rebuilt_length(ByteSpan wkb, SridSlot slot);

// Writes the rebuild of `wkb` at `out`, which has exactly `length` units: the
// value of rebuilt_length (twice it for Hex). Should the input have changed
// since it was measured (a caller's buffer mutated by another thread), the
// area is still filled exactly, with whatever the second reading gave.
void rebuild_into(ByteSpan wkb, SridSlot slot, RewriteEncoding encoding, char* out,
                  std::size_t length);

}  // namespace geoweave
