// Reading, embedding and removing the top-level SRID of a WKB value, patching
// simple headers in place and rebuilding everything else through WKT.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "core/buffer.h"
#include "core/types.h"

namespace geoweave {

bool is_simple_header(ByteSpan b) noexcept;

// The SRID (> 0), nullopt for none, or an error.
Result<std::optional<std::int32_t>> read_header_srid(ByteSpan b);

struct HeaderRewrite {
  enum class Kind : std::uint8_t { Unchanged, Rewritten, NotSimple };
  Kind kind = Kind::NotSimple;
  OutputBuffer bytes;  // Rewritten only
};

HeaderRewrite strip_srid_header(ByteSpan b);
HeaderRewrite set_srid_header(ByteSpan b, std::int32_t n);  // n > 0

// WKB -> WKT -> EWKB with the given slot (has_srid false removes the SRID).
Result<OutputBuffer> round_trip_rewrite(ByteSpan b, SridSlot slot);
// The same but writing hex digits directly.
Result<OutputBuffer> round_trip_rewrite_hex(ByteSpan b, SridSlot slot);

// Result of rewrite_srid: either "the input itself" (owned empty, unchanged true)
// or new bytes.
struct RewriteResult {
  bool unchanged = false;
  OutputBuffer bytes;
};
Result<RewriteResult> rewrite_srid(ByteSpan b, SridOption option);

// Plan for bytes-like sources: the exact output is known before allocating.
struct HeaderPlan {
  enum class Kind : std::uint8_t { Unchanged, StrippedHeader, SridHeader, Rebuilt };
  Kind kind = Kind::Unchanged;
  std::uint8_t header[9] = {};
  std::uint8_t header_length = 0;  // 0, 5 or 9
  std::size_t body_offset = 0;      // where the copied body starts in the input
  OutputBuffer rebuilt;             // Rebuilt only
  std::size_t length = 0;           // planned output length
};
// `option` must not be Mirror. Takes the round trip when the header is not simple.
Result<HeaderPlan> plan_srid_rewrite(ByteSpan b, SridOption option);
// The header patch alone: nullopt when the header is not simple (never Rebuilt).
// `option` must not be Mirror.
std::optional<HeaderPlan> plan_header_patch(ByteSpan b, SridOption option) noexcept;
// `out` has exactly plan.length bytes.
void write_plan(HeaderPlan& plan, ByteSpan input, std::uint8_t* out) noexcept;
// The planned bytes as upper-case hex; `out` has exactly 2 * plan.length chars.
void write_plan_hex(const HeaderPlan& plan, ByteSpan input, char* out) noexcept;

// rewrite_srid for callers that want hex: a patch is encoded straight from the
// input, a rebuild is written by the hex sink. `option` must not be Mirror.
Result<OutputBuffer> rewrite_srid_hex(ByteSpan b, SridOption option);
// The slot a round trip writes for a Strip or Set option.
constexpr SridSlot rewrite_slot(SridOption option) noexcept {
  return option.is_set() ? SridSlot::of(option.value) : SridSlot::none();
}

}  // namespace geoweave
