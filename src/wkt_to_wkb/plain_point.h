// The plain Point, "POINT (x y)", which most rows of most WKT columns hold:
// read and written without the parser, inline where it is called (the
// parser's own entry, and a column's row loop through convert_wkt_to_wkb,
// which so reaches the parser only for other texts).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/buffer.h"
#include "core/types.h"
#include "wkt_to_wkb/sinks.h"
#include "wkt_to_wkb/tokenizer.h"

namespace geoweave {
namespace plain_point {

// The SRID the writer embeds: the prefix's own for Mirror, a positive forced
// value for Set, nothing otherwise.
inline SridSlot slot_to_write(SridOption option, SridSlot from_prefix) noexcept {
  if (option.is_mirror()) return from_prefix;
  if (option.is_set()) return SridSlot{true, option.value};
  return SridSlot::none();
}

// A number whose 32 bytes from its start may be read (`readable` is the end of
// what may be) with plain loads, else with each load bounded by `end`.
[[gnu::always_inline]] inline const char* scan_number_with_slack(const char* base, const char* p,
                                                                 const char* end,
                                                                 const char* readable,
                                                                 double& v) {
  if (readable - p >= detail::ROOMY_NUMBER_BYTES) [[likely]] {
    return detail::scan_number_in<detail::NumberReach::Slack>(base, p, end, v);
  }
  return detail::scan_number_in<detail::NumberReach::Checked>(base, p, end, v);
}

// The Point most rows of most columns hold, "POINT (x y)" or "POINT(x y)"
// with whatever whitespace the parser allows around the numbers and after the
// parenthesis, read straight through with the position in a register (the
// cursor's own lives in memory) by the same pieces the parser reads it with.
// Writes it and returns true, or returns false having written and consumed
// nothing: any other text (a tag, EMPTY, other spacing, a bad number, an
// error anywhere) goes to the parser from where this began.
//
// `slack`: how many bytes after the text may be read (the next rows of a
// column); with 32 from a number on it is read with plain loads.
template <class Sink>
[[gnu::always_inline]] inline bool write_plain_point(WktCursor& c, Sink& sink, SridSlot slot,
                                                     std::size_t slack) {
  const char* const base = c.text.data();
  const char* const end = base + c.text.size();
  const char* const readable = end + slack;
  const char* p = base + c.position;
  if (end - p < 10) return false;  // "POINT(x y)" at least
  constexpr std::uint64_t FOLD = 0x2020202020;
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  if (((word | FOLD) & detail::low_bytes(5)) != detail::letters("point")) return false;
  p += 5;
  p += *p == ' ';
  if (*p != '(') return false;
  double xy[2];
  p = scan_number_with_slack(base, detail::skip_whitespace(p + 1, end), end, readable, xy[0]);
  if (p == nullptr) return false;
  p = scan_number_with_slack(base, detail::skip_whitespace(p, end), end, readable, xy[1]);
  if (p == nullptr) return false;
  p = detail::skip_whitespace(p, end);
  if (p == end || *p != ')') return false;
  if (detail::skip_whitespace(p + 1, end) != end) return false;
  // An SRID only ever comes with the EWKB flavor (see write_whole_iso).
  const std::uint32_t type = type_word_of(sink.flavor(), GeometryType::Point, Dimension::XY);
  sink.put_xy_point(slot.has_srid ? type | EWKB_SRID_FLAG : type, slot.has_srid,
                    static_cast<std::uint32_t>(slot.srid), xy[0], xy[1]);
  c.position = c.text.size();
  return true;
}

// The whole text as a plain Point with no prefix, as EWKB bytes in `storage`
// (see wkt_to_ewkb_bytes); nothing, with nothing kept, for any other text.
[[gnu::always_inline]] inline std::optional<OutputBuffer> ewkb_bytes(TextView text,
                                                                     SridOption option,
                                                                     BufferStorage* storage,
                                                                     std::size_t slack) {
  WktCursor cursor{text, 0};
  skip_whitespace(cursor);
  if (cursor.position < text.size() && (text[cursor.position] | 0x20) == 's') return std::nullopt;
  BinarySink sink(storage, std::min(text.size(), OUTPUT_RESERVE_CAP));
  if (!write_plain_point(cursor, sink, slot_to_write(option, SridSlot::none()), slack)) {
    return std::nullopt;
  }
  return sink.take();
}

}  // namespace plain_point
}  // namespace geoweave
