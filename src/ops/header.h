// Reading, embedding and removing the top-level SRID of a WKB value: simple
// headers are patched, everything else is rebuilt as canonical EWKB.
#pragma once

#include <cstdint>
#include <optional>

#include "core/buffer.h"
#include "core/types.h"
#include "ops/ewkb_rebuild.h"

namespace geoweave {

bool is_simple_header(ByteSpan b) noexcept;

// The SRID (> 0), nullopt for none, or an error.
Result<std::optional<std::int32_t>> read_header_srid(ByteSpan b);


// An SRID rewrite of one WKB value, described before any output exists so the
// caller can allocate the result once: at its exact length for a header
// patch, at a bound the rebuild never exceeds otherwise.
struct RewritePlan {
  enum class Kind : std::uint8_t {
    Unchanged,       // the input itself (re-encoded as hex for Hex)
    StrippedHeader,  // simple header: 5 patched header bytes, body from offset 9
    SridHeader,      // simple header: 9 patched header bytes, body from offset 5 or 9
    Rebuilt,         // not simple: the whole value rebuilt as canonical EWKB
                     // (or ISO WKB)
    IsoHeader,       // ISO, simple header: 5 header bytes with the ISO code, body
                     // from offset 5 or 9
    Refused,         // ISO: the value would carry the SRID in `slot`; write_plan fails
  };
  Kind kind = Kind::Unchanged;
  RewriteEncoding encoding = RewriteEncoding::Bytes;
  WkbFlavor flavor = WkbFlavor::Extended;  // Rebuilt: EWKB or ISO WKB
  bool refuse_srid = false;  // Rebuilt as ISO: the input's own SRID fails it
  SridSlot slot;             // Rebuilt (EWKB): the SRID the rebuilt value carries;
                             // Refused: the SRID ISO WKB cannot hold
  std::uint8_t header[9] = {};
  std::uint8_t header_length = 0;   // 0, 5 or 9
  std::size_t body_offset = 0;      // where the copied body starts in the input
  // Room the output needs, in bytes or hex digits: its exact length, except
  // for Rebuilt, which writes at most this much (it reads the value only then).
  std::size_t length = 0;
};

// THE SRID rewrite of bytes and hex sources (decode hex text first), used by
// the module functions, the fuzz targets and column kernels alike:
//   Mirror                    -> Unchanged, nothing validated;
//   Strip, Set(n) with n <= 0 -> the SRID removed;
//   Set(n) with n > 0         -> the SRID set to n.
// A simple header (is_simple_header) is patched without reading the body;
// anything else is planned as Rebuilt and read whole by write_plan, in the
// same pass that writes it (errors are the WKB reader's, found then). No
// allocation, no Python; `wkb` must stay unchanged until write_plan.
// With WkbFlavor::Iso the result is ISO WKB without an SRID: Strip (or Set(n)
// with n <= 0) drops the value's own SRID, Mirror refuses a value that has one
// and Set(n) with n > 0 refuses every value. A simple header (Point,
// LineString or Polygon with EWKB flags or ISO codes) is patched to its ISO
// code, or passes Unchanged when it already is one without an SRID; anything
// else is rebuilt as ISO WKB. (The two flavors' plans are apart so that the
// EWKB one keeps its code; callers use plan_srid_rewrite.)
RewritePlan plan_ewkb_rewrite(ByteSpan wkb, SridOption option, RewriteEncoding encoding) noexcept;
RewritePlan plan_iso_rewrite(ByteSpan wkb, SridOption option, RewriteEncoding encoding) noexcept;
inline RewritePlan plan_srid_rewrite(ByteSpan wkb, SridOption option,
                                    RewriteEncoding encoding = RewriteEncoding::Bytes,
                                    WkbFlavor flavor = WkbFlavor::Extended) noexcept {
  if (flavor == WkbFlavor::Iso) return plan_iso_rewrite(wkb, option, encoding);
  return plan_ewkb_rewrite(wkb, option, encoding);
}
// Writes the planned output at `out`, which has room for plan.length units,
// and returns the units written: plan.length, or for Rebuilt possibly fewer,
// or the reader's error (then `out` holds an unspecified part of the result).
Result<std::size_t> write_plan(const RewritePlan& plan, ByteSpan wkb, char* out);
// The planned output in a new buffer (in `storage` when one is lent).
Result<OutputBuffer> write_plan_to_buffer(const RewritePlan& plan, ByteSpan wkb,
                                          BufferStorage* storage = nullptr);

}  // namespace geoweave
