// SRID header operations. A "simple" top-level header (Point, LineString or
// Polygon, canonical flags) can be patched in its first 5 or 9 bytes while the
// body is copied unread; everything else is rebuilt as canonical EWKB by the
// WKB reader driving the EWKB emitter (ops/ewkb_rebuild.cpp). A rewrite to
// ISO WKB takes the same two ways: the header's type word patched to its ISO
// code (and its SRID field cut), or the rebuild writing ISO codes.
//
// Every rewrite is described first as a RewritePlan, so the room its output
// needs is known before anything is allocated, and every caller (bytes or hex,
// module function, fuzz target or column kernel) goes through the same
// decision.
#include "ops/header.h"

#include <cstring>

#include "core/hex_encode.h"
#include "ops/ewkb_rebuild.h"
#include "wkb_to_wkt/reader.h"

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

// A header ISO WKB can be patched to: canonical, a Point, LineString or
// Polygon once read as the reader reads type words (EWKB flags, or an ISO code
// with no flag), and the SRID field present when flagged. `iso_word` is the
// ISO code the patched header carries.
struct IsoSimpleHeader {
  CanonicalHeader header;
  std::uint32_t iso_word;
};

std::optional<IsoSimpleHeader> iso_simple_header(ByteSpan b) noexcept {
  auto h = canonical_header(b);
  if (!h) return std::nullopt;
  const std::uint32_t code = h->type_word & CODE_MASK;
  const bool z = (h->type_word & EWKB_Z_FLAG) != 0;
  const bool m = (h->type_word & EWKB_M_FLAG) != 0;
  // With a flag the code is the base; without, ISO offsets are taken off it.
  const std::uint32_t offset = (z || m) ? (z ? 1000 : 0) + (m ? 2000 : 0)
                               : code > 3000 ? 3000
                               : code > 2000 ? 2000
                               : code > 1000 ? 1000
                                             : 0;
  const std::uint32_t base = (z || m) ? code : code - offset;
  if (base < 1 || base > 3) return std::nullopt;
  if (h->has_srid_flag() && b.size < SRID_HEADER_LENGTH) return std::nullopt;
  return IsoSimpleHeader{*h, base + offset};
}

std::int32_t load_srid(ByteSpan b, bool little_endian) noexcept {
  return static_cast<std::int32_t>(load_u32(b.data + 5, little_endian));
}

void put_header(RewritePlan& plan, std::uint8_t marker, std::uint32_t type_word,
                bool little_endian) noexcept {
  plan.header[0] = marker;
  store_u32(plan.header + 1, type_word, little_endian);
  plan.header_length = PLAIN_HEADER_LENGTH;
}

void put_srid(RewritePlan& plan, std::int32_t srid, bool little_endian) noexcept {
  store_u32(plan.header + 5, static_cast<std::uint32_t>(srid), little_endian);
  plan.header_length = SRID_HEADER_LENGTH;
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

namespace {

// The patch of a simple header; nullopt when the header is not simple.
// `option` is Strip or Set(n > 0).
std::optional<RewritePlan> plan_header_patch(ByteSpan b, SridOption option) noexcept {
  auto h = simple_header(b);
  if (!h) return std::nullopt;
  RewritePlan plan;
  const std::uint8_t marker = b.data[0];
  const bool little = h->little_endian;
  if (!option.is_set()) {  // remove the SRID
    if (!h->has_srid_flag()) {
      plan.kind = RewritePlan::Kind::Unchanged;
      plan.length = b.size;
      return plan;
    }
    plan.kind = RewritePlan::Kind::StrippedHeader;
    put_header(plan, marker, h->type_word & ~EWKB_SRID_FLAG, little);
    plan.body_offset = SRID_HEADER_LENGTH;
    plan.length = b.size - 4;
    return plan;
  }
  const std::int32_t n = option.value;
  if (h->has_srid_flag()) {
    if (load_srid(b, little) == n) {
      plan.kind = RewritePlan::Kind::Unchanged;
      plan.length = b.size;
      return plan;
    }
    plan.kind = RewritePlan::Kind::SridHeader;
    put_header(plan, marker, h->type_word, little);
    put_srid(plan, n, little);
    plan.body_offset = SRID_HEADER_LENGTH;
    plan.length = b.size;
    return plan;
  }
  plan.kind = RewritePlan::Kind::SridHeader;
  put_header(plan, marker, h->type_word | EWKB_SRID_FLAG, little);
  put_srid(plan, n, little);
  plan.body_offset = PLAIN_HEADER_LENGTH;
  plan.length = b.size + 4;
  return plan;
}

}  // namespace

// Whatever the value, the ISO result holds no SRID and no EWKB flag; only the
// patched header or the rebuild decides how.
RewritePlan plan_iso_rewrite(ByteSpan b, SridOption option, RewriteEncoding encoding) noexcept {
  option = option.normalized();
  const std::size_t units = encoding == RewriteEncoding::Hex ? 2 : 1;
  RewritePlan plan;
  plan.encoding = encoding;
  plan.flavor = WkbFlavor::Iso;
  if (option.is_set()) {
    plan.kind = RewritePlan::Kind::Refused;
    plan.slot = SridSlot::of(option.value);
    return plan;
  }
  const bool drop = option.is_strip();
  auto h = iso_simple_header(b);
  if (!h) {
    plan.kind = RewritePlan::Kind::Rebuilt;
    plan.refuse_srid = !drop;
    plan.length = rebuild_bound(b, SridSlot::none(), encoding);
    return plan;
  }
  const bool little = h->header.little_endian;
  std::size_t body = PLAIN_HEADER_LENGTH;
  if (h->header.has_srid_flag()) {
    const std::int32_t srid = load_srid(b, little);
    if (srid > 0 && !drop) {
      plan.kind = RewritePlan::Kind::Refused;
      plan.slot = SridSlot::of(srid);
      return plan;
    }
    body = SRID_HEADER_LENGTH;
  } else if (h->iso_word == h->header.type_word) {
    plan.kind = RewritePlan::Kind::Unchanged;  // already ISO (or plain XY) WKB
    plan.length = b.size * units;
    return plan;
  }
  plan.kind = RewritePlan::Kind::IsoHeader;
  put_header(plan, b.data[0], h->iso_word, little);
  plan.body_offset = body;
  plan.length = (b.size - body + PLAIN_HEADER_LENGTH) * units;
  return plan;
}

RewritePlan plan_ewkb_rewrite(ByteSpan wkb, SridOption option, RewriteEncoding encoding) noexcept {
  option = option.normalized();
  const std::size_t units = encoding == RewriteEncoding::Hex ? 2 : 1;
  RewritePlan plan;
  if (option.is_mirror()) {
    plan.length = wkb.size;
  } else if (auto patch = plan_header_patch(wkb, option)) {
    plan = *patch;
  } else {
    // Not simple: read and written in one pass by write_plan, into room for
    // the longest result the value can give.
    plan.kind = RewritePlan::Kind::Rebuilt;
    plan.slot = option.is_set() ? SridSlot::of(option.value) : SridSlot::none();
    plan.encoding = encoding;
    plan.length = rebuild_bound(wkb, plan.slot, encoding);
    return plan;
  }
  plan.encoding = encoding;
  plan.length *= units;
  return plan;
}

namespace {

[[gnu::cold, gnu::noinline]] Result<std::size_t> refused(std::int32_t srid) {
  return fail(ConversionError::iso_srid(srid));
}

}  // namespace

Result<std::size_t> write_plan(const RewritePlan& plan, ByteSpan wkb, char* out) {
  const bool hex = plan.encoding == RewriteEncoding::Hex;
  // The input bytes from `offset` on, at `out` in the plan's encoding.
  const auto put = [&](const std::uint8_t* from, std::size_t n, char* to) {
    if (hex) {
      hex::encode(from, n, to);
    } else if (n) {
      std::memcpy(to, from, n);
    }
  };
  switch (plan.kind) {
    case RewritePlan::Kind::Unchanged:
      put(wkb.data, wkb.size, out);
      return plan.length;
    case RewritePlan::Kind::Rebuilt:
      if (plan.flavor == WkbFlavor::Iso) {
        return rebuild_iso_into(wkb, plan.refuse_srid, plan.encoding, out);
      }
      return rebuild_into(wkb, plan.slot, plan.encoding, out);
    case RewritePlan::Kind::Refused:
      return refused(plan.slot.srid);
    case RewritePlan::Kind::StrippedHeader:
    case RewritePlan::Kind::SridHeader:
    case RewritePlan::Kind::IsoHeader:
      break;
  }
  put(plan.header, plan.header_length, out);
  put(wkb.data + plan.body_offset, wkb.size - plan.body_offset,
      out + (hex ? 2 : 1) * plan.header_length);
  return plan.length;
}

Result<OutputBuffer> write_plan_to_buffer(const RewritePlan& plan, ByteSpan wkb,
                                          BufferStorage* storage) {
  OutputBuffer out(storage, plan.length);
  auto written = write_plan(plan, wkb, out.tail(plan.length));
  if (!written) return fail(std::move(written.error()));
  out.commit(*written);
  return out;
}

}  // namespace geoweave
