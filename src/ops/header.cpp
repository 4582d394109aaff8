// SRID header operations. A "simple" top-level header (Point, LineString or
// Polygon, canonical flags) can be patched in its first 5 or 9 bytes while the
// body is copied unread; everything else is rebuilt by reading the value into WKT
// and writing that text back as EWKB with the requested SRID.
//
// All patch results are described first as a HeaderPlan, so the exact output
// length is known before anything is allocated, and the byte-building paths
// (strip_srid_header, set_srid_header) and the pre-sized paths (write_plan) cannot
// disagree about the bytes they produce.
#include "ops/header.h"

#include <cstring>

#include "ops/hex.h"
#include "wkb_to_wkt/reader.h"
#include "wkt_to_wkb/tokenizer.h"
#include "wkt_to_wkb/writer.h"

namespace geoweave {
namespace {

constexpr std::uint32_t CODE_MASK = 0x0000FFFFu;
constexpr std::size_t PLAIN_HEADER_LENGTH = 5;   // marker + type word
constexpr std::size_t SRID_HEADER_LENGTH = 9;    // marker + type word + SRID

// Marker and type word of a value whose first five bytes form a plausible
// canonical header; nullopt when the value is shorter, the marker is neither 0
// nor 1, or a bit of 0x1FFF0000 is set.
struct CanonicalHeader {
  bool little_endian;
  std::uint32_t type_word;
  bool has_srid_flag() const noexcept { return (type_word & EWKB_SRID_FLAG) != 0; }
};

std::optional<CanonicalHeader> canonical_header(ByteSpan b) noexcept {
  if (b.size < PLAIN_HEADER_LENGTH) return std::nullopt;
  const std::uint8_t marker = b.data[0];
  if (marker > 1) return std::nullopt;
  const bool little = marker == 1;
  const std::uint32_t type_word = load_u32(b.data + 1, little);
  if ((type_word & EWKB_UNDEFINED_BITS) != 0) return std::nullopt;
  return CanonicalHeader{little, type_word};
}

std::optional<CanonicalHeader> simple_header(ByteSpan b) noexcept {
  auto h = canonical_header(b);
  if (!h) return std::nullopt;
  const std::uint32_t code = h->type_word & CODE_MASK;
  if (code < 1 || code > 3) return std::nullopt;
  if (h->has_srid_flag() && b.size < SRID_HEADER_LENGTH) return std::nullopt;
  return h;
}

std::int32_t load_srid(ByteSpan b, bool little_endian) noexcept {
  return static_cast<std::int32_t>(load_u32(b.data + 5, little_endian));
}

void put_header(HeaderPlan& plan, std::uint8_t marker, std::uint32_t type_word,
                bool little_endian) noexcept {
  plan.header[0] = marker;
  store_u32(plan.header + 1, type_word, little_endian);
  plan.header_length = PLAIN_HEADER_LENGTH;
}

void put_srid(HeaderPlan& plan, std::int32_t srid, bool little_endian) noexcept {
  store_u32(plan.header + 5, static_cast<std::uint32_t>(srid), little_endian);
  plan.header_length = SRID_HEADER_LENGTH;
}

// Builds the bytes a patch plan describes (never called for Unchanged).
OutputBuffer materialize(HeaderPlan& plan, ByteSpan b) {
  OutputBuffer out(plan.length);
  auto* dst = reinterpret_cast<std::uint8_t*>(out.tail(plan.length));
  write_plan(plan, b, dst);
  out.commit(plan.length);
  return out;
}

HeaderRewrite rewrite_from_plan(std::optional<HeaderPlan> plan, ByteSpan b) {
  HeaderRewrite result;
  if (!plan) {
    result.kind = HeaderRewrite::Kind::NotSimple;
  } else if (plan->kind == HeaderPlan::Kind::Unchanged) {
    result.kind = HeaderRewrite::Kind::Unchanged;
  } else {
    result.kind = HeaderRewrite::Kind::Rewritten;
    result.bytes = materialize(*plan, b);
  }
  return result;
}

template <class Writer>
Result<OutputBuffer> round_trip_with(ByteSpan b, SridSlot slot, Writer write) {
  auto split = decode_wkb_split_srid(b);
  if (!split) return fail(std::move(split.error()));
  // The reader's SRID is dropped: the slot alone decides what is embedded.
  const TextView text = split->text.view();
  WktCursor cursor{text, 0};
  // The text is the reader's own canonical form, which may hold non-finite
  // ordinates and empty rings that caller-written WKT may not.
  cursor.own_canonical_text = true;
  // The reader never writes a prefix, so this only positions the cursor exactly
  // as the public WKT path does.
  auto prefix = parse_srid_prefix(cursor);
  if (!prefix) return fail(std::move(prefix.error()));
  return write(cursor, text.size(), slot);
}

}  // namespace

bool is_simple_header(ByteSpan b) noexcept { return simple_header(b).has_value(); }

Result<std::optional<std::int32_t>> read_header_srid(ByteSpan b) {
  if (auto h = canonical_header(b)) {
    // Any code passes here, even an unsupported one: the SRID sits at the same
    // place whatever the body is.
    if (!h->has_srid_flag()) return std::optional<std::int32_t>();
    if (b.size < SRID_HEADER_LENGTH) {
      return fail(ConversionError::wkb(
          "EWKB header has SRID flag but is too short to contain the SRID field"));
    }
    const std::int32_t srid = load_srid(b, h->little_endian);
    return srid > 0 ? std::optional<std::int32_t>(srid) : std::nullopt;
  }
  // Too short, bad marker or undefined flag bits: let the full reader decide.
  auto split = decode_wkb_split_srid(b);
  if (!split) return fail(std::move(split.error()));
  if (!split->slot.has_srid) return std::optional<std::int32_t>();
  return std::optional<std::int32_t>(split->slot.srid);
}

std::optional<HeaderPlan> plan_header_patch(ByteSpan b, SridOption option) noexcept {
  auto h = simple_header(b);
  if (!h) return std::nullopt;
  HeaderPlan plan;
  const std::uint8_t marker = b.data[0];
  const bool little = h->little_endian;
  if (!option.is_set()) {  // remove the SRID
    if (!h->has_srid_flag()) {
      plan.kind = HeaderPlan::Kind::Unchanged;
      plan.length = b.size;
      return plan;
    }
    plan.kind = HeaderPlan::Kind::StrippedHeader;
    put_header(plan, marker, h->type_word & ~EWKB_SRID_FLAG, little);
    plan.body_offset = SRID_HEADER_LENGTH;
    plan.length = b.size - 4;
    return plan;
  }
  const std::int32_t n = option.value;
  if (h->has_srid_flag()) {
    if (load_srid(b, little) == n) {
      plan.kind = HeaderPlan::Kind::Unchanged;
      plan.length = b.size;
      return plan;
    }
    plan.kind = HeaderPlan::Kind::SridHeader;
    put_header(plan, marker, h->type_word, little);
    put_srid(plan, n, little);
    plan.body_offset = SRID_HEADER_LENGTH;
    plan.length = b.size;
    return plan;
  }
  plan.kind = HeaderPlan::Kind::SridHeader;
  put_header(plan, marker, h->type_word | EWKB_SRID_FLAG, little);
  put_srid(plan, n, little);
  plan.body_offset = PLAIN_HEADER_LENGTH;
  plan.length = b.size + 4;
  return plan;
}

HeaderRewrite strip_srid_header(ByteSpan b) {
  return rewrite_from_plan(plan_header_patch(b, SridOption::strip()), b);
}

HeaderRewrite set_srid_header(ByteSpan b, std::int32_t n) {
  return rewrite_from_plan(plan_header_patch(b, SridOption::set(n)), b);
}

Result<OutputBuffer> round_trip_rewrite(ByteSpan b, SridSlot slot) {
  return round_trip_with(b, slot, [](WktCursor& c, std::size_t hint, SridSlot s) {
    return wkt_to_ewkb_bytes(c, hint, s);
  });
}

Result<OutputBuffer> round_trip_rewrite_hex(ByteSpan b, SridSlot slot) {
  return round_trip_with(b, slot, [](WktCursor& c, std::size_t hint, SridSlot s) {
    return wkt_to_ewkb_hex(c, hint, s);
  });
}

Result<RewriteResult> rewrite_srid(ByteSpan b, SridOption option) {
  option = option.normalized();
  RewriteResult result;
  if (option.is_mirror()) {
    result.unchanged = true;
    return result;
  }
  HeaderRewrite patched =
      option.is_set() ? set_srid_header(b, option.value) : strip_srid_header(b);
  switch (patched.kind) {
    case HeaderRewrite::Kind::Unchanged:
      result.unchanged = true;
      return result;
    case HeaderRewrite::Kind::Rewritten:
      result.bytes = std::move(patched.bytes);
      return result;
    case HeaderRewrite::Kind::NotSimple:
      break;
  }
  auto rebuilt = round_trip_rewrite(b, rewrite_slot(option));
  if (!rebuilt) return fail(std::move(rebuilt.error()));
  result.bytes = std::move(*rebuilt);
  return result;
}

Result<HeaderPlan> plan_srid_rewrite(ByteSpan b, SridOption option) {
  option = option.normalized();
  if (option.is_mirror()) {  // no caller asks for this; the output is the input
    HeaderPlan plan;
    plan.length = b.size;
    return plan;
  }
  if (auto plan = plan_header_patch(b, option)) return std::move(*plan);
  auto rebuilt = round_trip_rewrite(b, rewrite_slot(option));
  if (!rebuilt) return fail(std::move(rebuilt.error()));
  HeaderPlan plan;
  plan.kind = HeaderPlan::Kind::Rebuilt;
  plan.length = rebuilt->size();
  plan.rebuilt = std::move(*rebuilt);
  return plan;
}

void write_plan(HeaderPlan& plan, ByteSpan input, std::uint8_t* out) noexcept {
  switch (plan.kind) {
    case HeaderPlan::Kind::Unchanged:
      if (input.size) std::memcpy(out, input.data, input.size);
      return;
    case HeaderPlan::Kind::Rebuilt:
      if (plan.length) std::memcpy(out, plan.rebuilt.data(), plan.length);
      plan.rebuilt = OutputBuffer();
      return;
    case HeaderPlan::Kind::StrippedHeader:
    case HeaderPlan::Kind::SridHeader:
      break;
  }
  std::memcpy(out, plan.header, plan.header_length);
  const std::size_t body = input.size - plan.body_offset;
  if (body) std::memcpy(out + plan.header_length, input.data + plan.body_offset, body);
}

void write_plan_hex(const HeaderPlan& plan, ByteSpan input, char* out) noexcept {
  switch (plan.kind) {
    case HeaderPlan::Kind::Unchanged:
      hex_encode_upper_into(input, out);
      return;
    case HeaderPlan::Kind::Rebuilt:
      hex_encode_upper_into({plan.rebuilt.bytes(), plan.rebuilt.size()}, out);
      return;
    case HeaderPlan::Kind::StrippedHeader:
    case HeaderPlan::Kind::SridHeader:
      break;
  }
  hex_encode_upper_into({plan.header, plan.header_length}, out);
  hex_encode_upper_into({input.data + plan.body_offset, input.size - plan.body_offset},
                        out + 2 * plan.header_length);
}

Result<OutputBuffer> rewrite_srid_hex(ByteSpan b, SridOption option) {
  if (auto plan = plan_header_patch(b, option)) {
    OutputBuffer out(2 * plan->length);
    write_plan_hex(*plan, b, out.tail(2 * plan->length));
    out.commit(2 * plan->length);
    return out;
  }
  return round_trip_rewrite_hex(b, rewrite_slot(option));
}

}  // namespace geoweave
