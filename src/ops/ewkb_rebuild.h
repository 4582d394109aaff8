// WKB of any dialect rebuilt as canonical EWKB in one pass, with no text in
// between: the WKB reader driving an EWKB emitter that writes bytes or hex.
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
// bits. Errors are the reader's, in the reader's order.
Result<OutputBuffer> rebuild_ewkb(ByteSpan wkb, SridSlot slot, BufferStorage* storage = nullptr);
// The same EWKB as upper-case hex digits, written directly.
Result<OutputBuffer> rebuild_ewkb_hex(ByteSpan wkb, SridSlot slot,
                                      BufferStorage* storage = nullptr);

// Room enough for any rebuild of `wkb` with `slot`, in output units (bytes, or
// hex digits). Every byte written stands for a byte read (a marker, a word, a
// count, an ordinate), except the SRID added to the outermost record, so the
// input's size plus those 4 bytes bounds the result whatever the input holds,
// even should it change while it is read.
std::size_t rebuild_bound(ByteSpan wkb, SridSlot slot, RewriteEncoding encoding) noexcept;

// Rebuilds `wkb` at `out`, which has room for rebuild_bound units, in one
// pass; returns the units written (fewer than the bound when members carried
// SRIDs or the outermost SRID went), or the reader's error, with `out` then
// holding an unspecified part of the result.
Result<std::size_t> rebuild_into(ByteSpan wkb, SridSlot slot, RewriteEncoding encoding,
                                 char* out);

// ISO WKB for `wkb`, written as rebuild_into writes EWKB (one pass, the same
// ordinates), with ISO type codes (1001, 2002, 3003, ...) on every record and
// no SRID anywhere. The outermost record's own SRID is dropped, or with
// `refuse_srid` fails the value (ConversionError::iso_srid) once it has been
// read whole, so that its own errors come first. Room: rebuild_bound with no
// slot.
Result<std::size_t> rebuild_iso_into(ByteSpan wkb, bool refuse_srid, RewriteEncoding encoding,
                                     char* out);

}  // namespace geoweave
