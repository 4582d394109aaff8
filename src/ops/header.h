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
// exact output length is known and the caller can allocate the result once.
struct HeaderPlan {
  enum class Kind : std::uint8_t {
    Unchanged,       // the input itself (re-encoded as hex for Hex)
    StrippedHeader,  // simple header: 5 patched header bytes, body from offset 9
    SridHeader,      // simple header: 9 patched header bytes, body from offset 5 or 9
    Rebuilt,         // not simple: the whole value rebuilt as canonical EWKB
  };
  Kind kind = Kind::Unchanged;
  RewriteEncoding encoding = RewriteEncoding::Bytes;
  SridSlot slot;                    // Rebuilt: the SRID the rebuilt value carries
  std::uint8_t header[9] = {};
  std::uint8_t header_length = 0;   // 0, 5 or 9
  std::size_t body_offset = 0;      // where the copied body starts in the input
  std::size_t length = 0;           // exact output length, in bytes or hex digits
};

// THE SRID rewrite of bytes and hex sources (decode hex text first), used by
// the module functions, the fuzz targets and column kernels alike:
//   Mirror                    -> Unchanged, nothing validated;
//   Strip, Set(n) with n <= 0 -> the SRID removed;
//   Set(n) with n > 0         -> the SRID set to n.
// A simple header (is_simple_header) is patched without reading the body;
// anything else is read whole (errors are the WKB reader's) and planned as
// Rebuilt. Then write_plan fills an area of exactly plan.length units.
// No allocation, no Python; `wkb` must stay unchanged until write_plan.
Result<HeaderPlan> plan_srid_rewrite(ByteSpan wkb, SridOption option,
                                     RewriteEncoding encoding = RewriteEncoding::Bytes);
// Writes exactly plan.length bytes (Bytes) or hex digits (Hex) at `out`.
void write_plan(const HeaderPlan& plan, ByteSpan wkb, char* out);
// The planned output in a new buffer (in `storage` when one is lent).
OutputBuffer write_plan_to_buffer(const HeaderPlan& plan, ByteSpan wkb,
                                  BufferStorage* storage = nullptr);

}  // namespace geoweave
