// In-place WKT/EWKT tokenizer. Each operation skips whitespace, consumes what it
// recognises and returns a small result or an InvalidWkt error naming the byte
// position. Nothing is allocated except error messages.
#pragma once

#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

#include <fast_float/fast_float.h>

#include "core/text.h"
#include "core/types.h"

namespace geoweave {

struct WktCursor {
  TextView text;
  std::size_t position = 0;
};

enum class EmptyOrOpen : std::uint8_t { Empty, Open, Neither };
enum class Separator : std::uint8_t { Comma, Close };

struct GeometryTag {
  GeometryType type;
  Dimension dimension;
};

[[gnu::always_inline]] inline void skip_whitespace(WktCursor& c) noexcept;
inline Result<SridSlot> parse_srid_prefix(WktCursor& c);
Result<GeometryTag> read_geometry_tag(WktCursor& c);
Result<EmptyOrOpen> peek_empty_or_open(WktCursor& c);
Result<EmptyOrOpen> read_empty_or_open(WktCursor& c);
Result<void> expect_open_paren(WktCursor& c);
Result<void> expect_close_paren(WktCursor& c);
Result<Separator> read_separator(WktCursor& c);
Result<double> read_number(WktCursor& c);
Result<void> expect_end_of_input(WktCursor& c);

// Hot-path pieces the writer inlines into its coordinate loops. They work on
// plain pointers into the text so the loop can keep its position in a register,
// and behave exactly like skip_whitespace and read_number; on a failure the
// caller hands the position back to read_number, which builds the message.
namespace detail {

// TAB LF FF CR SPACE. Vertical tab is deliberately absent: it only counts as
// whitespace inside a run that a non-ASCII whitespace character started.
constexpr bool is_ascii_whitespace(unsigned char b) noexcept {
  return b <= 0x20 && ((0x100003600ull >> b) & 1u) != 0;
}
constexpr bool is_ascii_digit(unsigned char b) noexcept {
  return static_cast<unsigned char>(b - '0') < 10;
}
// [0-9+-.eE], one table load: it is asked after every number.
struct NumberChars {
  bool is[256];
};
inline constexpr NumberChars NUMBER_CHARS = [] {
  NumberChars t{};
  for (unsigned b = '0'; b <= '9'; ++b) t.is[b] = true;
  for (unsigned char b : {'+', '-', '.', 'e', 'E'}) t.is[b] = true;
  return t;
}();
constexpr bool is_number_char(unsigned char b) noexcept { return NUMBER_CHARS.is[b]; }

// Any whitespace run, from its first byte (out of line: longer runs, control
// bytes, non-ASCII bytes).
const char* skip_whitespace_run(const char* p, const char* end) noexcept;

// 0x21..0x7F: ASCII that is neither whitespace nor a control byte, so a run
// ends there without a closer look.
constexpr bool is_ascii_visible(unsigned char b) noexcept {
  return static_cast<unsigned char>(b - 0x21) < 0x5F;
}

// Between tokens there is nearly always nothing or one space: both cost a
// compare or two inline, and every other run goes to skip_whitespace_run.
[[gnu::always_inline]] inline const char* skip_whitespace(const char* p,
                                                         const char* end) noexcept {
  if (p == end) return p;
  if (is_ascii_visible(static_cast<unsigned char>(*p))) [[likely]] return p;
  if (*p == ' ') {
    ++p;
    if (p == end || is_ascii_visible(static_cast<unsigned char>(*p))) [[likely]] return p;
  }
  return skip_whitespace_run(p, end);
}

// Every token the fast path below does not settle: the run's syntax is
// checked by fast_float's own parse, which also converts it.
const char* scan_number_general(const char* p, const char* end, double& out) noexcept;

// The 8 bytes at q as one little-endian word (the first byte lowest); with
// fewer than 8 left, the bytes up to `end` and zero bytes above them, taken
// from the 8 bytes that end at `end` (the caller makes sure the text has 8),
// so nothing outside the text is ever read.
[[gnu::always_inline]] inline std::uint64_t load_window(const char* q,
                                                        const char* end) noexcept {
  const std::ptrdiff_t left = end - q;
  std::uint64_t w;
  if (left >= 8) [[likely]] {
    std::memcpy(&w, q, 8);
  } else {
    if (left <= 0) return 0;
    std::memcpy(&w, end - 8, 8);
    if constexpr (std::endian::native == std::endian::little) {
      return w >> (8 * (8 - left));
    }
  }
  if constexpr (std::endian::native == std::endian::big) {
    w = std::byteswap(w);
    if (left < 8) w >>= 8 * (8 - left);
  }
  return w;
}

// Where the fast path below reads, counted from the token's first byte p: a
// sign, then either a word at p+1, the fraction's at most at p+9 and two more
// at most at p+10 and p+18; or runs of up to 19 digits (a point among them)
// a word at a time, the last load at most at p+21. Every load ends by p+29
// and the byte after the digits is at most p+21, so with 32 bytes readable
// from p on every load is a plain one.
inline constexpr std::ptrdiff_t ROOMY_NUMBER_BYTES = 32;

// How far the fast path may read: Checked, every load bounded by the text's
// end; Roomy, 32 bytes of the text itself from the token on, so no check
// until the exponent; Slack, 32 readable bytes from the token on of which the
// text may hold fewer (a row of a column, with the next rows after it): the
// loads are plain, and a token whose digits reach the text's end is handed to
// the general path, so nothing past the end ever counts.
enum class NumberReach : std::uint8_t { Checked, Roomy, Slack };

template <bool Roomy>
[[gnu::always_inline]] inline std::uint64_t load_digits_window(const char* q,
                                                               const char* end) noexcept {
  if constexpr (Roomy) {
    std::uint64_t w;
    std::memcpy(&w, q, 8);
    if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
    return w;
  } else {
    return load_window(q, end);
  }
}

// The value of eight digit values (0..9, one per byte, the first byte the
// most significant): pairs, then fours, then all eight, each step one
// multiply that combines neighbouring lanes.
[[gnu::always_inline]] inline std::uint32_t eight_digit_value(std::uint64_t v) noexcept {
  v = v * 10 + (v >> 8);  // bytes 0, 2, 4, 6: two-digit values
  v = ((v & 0x000000FF000000FFull) * (100 + (1000000ull << 32)) +
       ((v >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32))) >>
      32;
  return static_cast<std::uint32_t>(v);
}

inline constexpr std::uint64_t POW10_U64[9] = {1, 10, 100, 1000, 10000, 100000,
                                               1000000, 10000000, 100000000};

// Where each byte of w is not an ASCII digit: its top bit set in the result.
// Minus '0' leaves a digit's value in each digit byte; a byte below '0'
// borrows and one above '9' carries into the top bit, and either only
// disturbs the bytes above it, so the lowest flagged byte is the first that
// is not a digit (the bytes below it are exact digit values in `values`).
[[gnu::always_inline]] inline std::uint64_t non_digits(std::uint64_t w,
                                                       std::uint64_t values) noexcept {
  return (values | (w + 0x4646464646464646ull)) & 0x8080808080808080ull;
}
[[gnu::always_inline]] inline unsigned leading_digits(std::uint64_t stops) noexcept {
  return stops ? static_cast<unsigned>(std::countr_zero(stops)) >> 3 : 8;
}
// The value of the first n (1..8) digit values of `values`: moved to the top
// bytes, with zero digits in front of them.
[[gnu::always_inline]] inline std::uint32_t first_digits(std::uint64_t values,
                                                         unsigned n) noexcept {
  return eight_digit_value(values << (64 - 8 * n));
}

// Appends the run of ASCII digits at q to `significand` (which holds `digits`
// digits, leading zeros included), 8 per word load. Returns the end of the
// run, or nullptr once the significand would pass 19 digits, where it could
// overflow: fast_float takes those.
template <bool Roomy>
[[gnu::always_inline]] inline const char* read_digits(const char* q, const char* end,
                                                      std::uint64_t& significand,
                                                      int& digits) noexcept {
  for (;;) {
    const std::uint64_t w = load_digits_window<Roomy>(q, end);
    const std::uint64_t values = w - 0x3030303030303030ull;
    const unsigned n = leading_digits(non_digits(w, values));
    if (n == 0) return q;
    digits += static_cast<int>(n);
    if (digits > 19) [[unlikely]] return nullptr;
    significand = significand * POW10_U64[n] + first_digits(values, n);
    q += n;
    if (n < 8) return q;
  }
}

inline constexpr double POW10_EXACT[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                           1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Parses the number token at p (whitespace already skipped; `begin` is the
// start of the text). Returns the end of the token, or nullptr when the run
// of number characters at p is empty, not in the accepted syntax, or
// overflows to infinity.
//
// The common token, [+-]digits[.digits][e[+-]digits] with at most 19 digits,
// is read here and converted exactly: a significand of at most 2^53 times or
// divided by a power of ten up to 10^22 is one correctly rounded operation on
// two exact doubles; other significands and exponents go to fast_float's
// own product of the same significand and exponent. Anything else (longer
// significands, long exponents, malformed runs, texts under 8 bytes) is
// handed whole to fast_float, so every result is the bits fast_float gives.
//
// `Reach`: see NumberReach (the caller checked the room it names).
template <NumberReach Reach>
[[gnu::always_inline]] inline const char* scan_number_in(const char* begin, const char* p,
                                                         const char* end, double& out) noexcept {
  static_assert(FLT_EVAL_METHOD == 0, "the exact fast path needs plain double arithmetic");
  constexpr bool Roomy = Reach != NumberReach::Checked;
  if constexpr (!Roomy) {
    if (p == end || end - begin < 8) [[unlikely]] return scan_number_general(p, end, out);
  }
  const char* q = p;
  const bool negative = *q == '-';
  q += negative | (*q == '+');
  std::uint64_t significand = 0;
  int digits = 0;
  int exponent = 0;
  // The first word: a point inside it (the usual coordinate, a few integer
  // digits then the fraction) is cut out by joining the word below it with
  // the word after it, so integer and fraction digits are read as one run.
  const std::uint64_t w = load_digits_window<Roomy>(q, end);
  const unsigned whole = leading_digits(non_digits(w, w - 0x3030303030303030ull));
  if (whole < 8 && ((w >> (8 * whole)) & 0xFF) == '.') {
    const char* const fraction = q + whole + 1;
    const std::uint64_t joined =
        (w & ((std::uint64_t{1} << (8 * whole)) - 1)) | (load_digits_window<Roomy>(fraction, end) << (8 * whole));
    const std::uint64_t values = joined - 0x3030303030303030ull;
    const unsigned n = leading_digits(non_digits(joined, values));
    q = fraction + (n - whole);
    if (n != 0) {
      significand = first_digits(values, n);
      digits = static_cast<int>(n);
      if (n == 8) {
        // The rest of a long fraction (a full-precision coordinate has 15 to
        // 17 digits): at most 11 more fit in 19, so two more words settle it
        // without a loop.
        const std::uint64_t w1 = load_digits_window<Roomy>(q, end);
        const std::uint64_t values1 = w1 - 0x3030303030303030ull;
        const unsigned n1 = leading_digits(non_digits(w1, values1));
        if (n1 < 8) {
          if (n1 != 0) significand = significand * POW10_U64[n1] + first_digits(values1, n1);
          q += n1;
          digits += static_cast<int>(n1);
        } else {
          const std::uint64_t w2 = load_digits_window<Roomy>(q + 8, end);
          const std::uint64_t values2 = w2 - 0x3030303030303030ull;
          const unsigned n2 = leading_digits(non_digits(w2, values2));
          if (n2 > 3) [[unlikely]] return scan_number_general(p, end, out);
          significand = significand * 100000000u + eight_digit_value(values1);
          if (n2 != 0) significand = significand * POW10_U64[n2] + first_digits(values2, n2);
          q += 8 + n2;
          digits += static_cast<int>(8 + n2);
        }
      }
    }
    exponent = static_cast<int>(whole) - digits;
  } else {
    q = read_digits<Roomy>(q, end, significand, digits);
    if (q == nullptr) [[unlikely]] return scan_number_general(p, end, out);
    if ((Roomy || q != end) && *q == '.') {
      const int integer_digits = digits;
      q = read_digits<Roomy>(q + 1, end, significand, digits);
      if (q == nullptr) [[unlikely]] return scan_number_general(p, end, out);
      exponent = integer_digits - digits;
    }
  }
  if constexpr (Reach == NumberReach::Slack) {
    if (q >= end) [[unlikely]] return scan_number_general(p, end, out);
  }
  if (digits == 0) [[unlikely]] return scan_number_general(p, end, out);
  if ((Roomy || q != end) && is_number_char(static_cast<unsigned char>(*q))) [[unlikely]] {
    // Only an exponent may follow: [eE][+-]?digits, at most 4 of them here.
    if ((*q | 0x20) != 'e') return scan_number_general(p, end, out);
    ++q;
    const bool negative_exponent = q != end && *q == '-';
    q += q != end && (*q == '-' || *q == '+');
    const char* const first = q;
    int value = 0;
    while (q != end && is_ascii_digit(static_cast<unsigned char>(*q)) && q - first < 4) {
      value = value * 10 + (*q - '0');
      ++q;
    }
    if (q == first || (q != end && is_number_char(static_cast<unsigned char>(*q))))
      return scan_number_general(p, end, out);
    exponent += negative_exponent ? -value : value;
  }
  double value;
  if (significand <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) [[likely]] {
    value = static_cast<double>(significand);
    value = exponent < 0 ? value / POW10_EXACT[-exponent] : value * POW10_EXACT[exponent];
    if (negative) value = -value;
  } else {
    using format = fast_float::binary_format<double>;
    const fast_float::adjusted_mantissa am =
        fast_float::compute_float<format>(exponent, significand);
    // A negative power: too close to a halfway point to decide from the
    // product; infinite: not a coordinate. fast_float settles both from the text.
    if (am.power2 < 0 || am.power2 >= format::infinite_power()) [[unlikely]]
      return scan_number_general(p, end, out);
    fast_float::to_float(negative, am, value);
  }
  out = value;
  return q;
}

// Parses the number token at p; see scan_number_in.
[[gnu::always_inline]] inline const char* scan_number(const char* begin, const char* p,
                                                      const char* end, double& out) noexcept {
  if (end - p >= ROOMY_NUMBER_BYTES) [[likely]] {
    return scan_number_in<NumberReach::Roomy>(begin, p, end, out);
  }
  return scan_number_in<NumberReach::Checked>(begin, p, end, out);
}

}  // namespace detail

// ---- the row preamble's fast paths -------------------------------------------
//
// Plain returns for the common case, read in place; every other case (and every
// failure) is left to the full operations above, which re-read from the cursor
// and build the message out of line.
namespace detail {

// `SRID=` and what follows it (the cursor after whitespace, at the S).
Result<SridSlot> read_srid_prefix(WktCursor& c);
// Dimension tag after a keyword that is followed by ASCII whitespace (the
// cursor right after the keyword).
Dimension read_dimension_tag(WktCursor& c) noexcept;

// Skips whitespace and consumes `ch` if it is next; false otherwise (the
// cursor then after the whitespace).
[[gnu::always_inline]] inline bool take(WktCursor& c, char ch) noexcept {
  skip_whitespace(c);
  if (c.position < c.text.size() && c.text[c.position] == ch) [[likely]] {
    ++c.position;
    return true;
  }
  return false;
}

// ',' or ')' consumed after whitespace: 1 for a comma, 2 for the parenthesis,
// 0 for anything else (nothing consumed).
[[gnu::always_inline]] inline int take_separator(WktCursor& c) noexcept {
  skip_whitespace(c);
  if (c.position < c.text.size()) [[likely]] {
    const char ch = c.text[c.position];
    const int kind = (ch == ',') + 2 * (ch == ')');
    c.position += kind != 0;
    return kind;
  }
  return 0;
}

[[gnu::always_inline]] inline bool at_end_after_whitespace(WktCursor& c) noexcept {
  skip_whitespace(c);
  return c.position == c.text.size();
}

// Little-endian word of up to 8 lower-case letters, to compare with a text
// word whose letters had 0x20 or-ed in (the exact ASCII case fold for the
// letter positions: b | 0x20 equals a lower-case letter only for that letter
// and its upper case).
constexpr std::uint64_t letters(const char* s) noexcept {
  std::uint64_t w = 0;
  for (unsigned i = 0; s[i] != 0 && i < 8; ++i)
    w |= std::uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
  return w;
}
constexpr std::uint64_t low_bytes(unsigned n) noexcept {
  return n >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
}

// The keyword and tag at the cursor from two word loads: the six keywords
// whose first 16 bytes tell them apart (the first letter picks at most three
// candidates, each one compare of one or two words), followed by no letter,
// then no tag or none that needs a look beyond one byte. False, with the
// cursor after the whitespace, for anything else (GEOMETRYCOLLECTION, tags,
// a non-ASCII byte after the keyword, unknown words, texts under 8 bytes),
// which read_geometry_tag then reads in full.
[[gnu::always_inline]] inline bool take_geometry_tag(WktCursor& c, GeometryTag& tag) noexcept {
  skip_whitespace(c);
  const char* const begin = c.text.data();
  const char* const end = begin + c.text.size();
  const char* const p = begin + c.position;
  if (end - begin < 8) [[unlikely]] return false;
  constexpr std::uint64_t FOLD = 0x2020202020202020ull;
  const std::uint64_t w0 = load_window(p, end) | FOLD;
  unsigned length;
  GeometryType type;
  switch (static_cast<unsigned char>(w0)) {
    case 'p':
      if ((w0 & low_bytes(5)) == letters("point")) {
        length = 5;
        type = GeometryType::Point;
      } else if ((w0 & low_bytes(7)) == letters("polygon")) {
        length = 7;
        type = GeometryType::Polygon;
      } else {
        return false;
      }
      break;
    case 'l':
      if (w0 != letters("linestri") ||
          ((load_window(p + 8, end) | FOLD) & low_bytes(2)) != letters("ng"))
        return false;
      length = 10;
      type = GeometryType::LineString;
      break;
    case 'm': {
      const std::uint64_t w1 = load_window(p + 8, end) | FOLD;
      if (w0 == letters("multipoi") && (w1 & low_bytes(2)) == letters("nt")) {
        length = 10;
        type = GeometryType::MultiPoint;
      } else if (w0 == letters("multipol") && (w1 & low_bytes(4)) == letters("ygon")) {
        length = 12;
        type = GeometryType::MultiPolygon;
      } else if (w0 == letters("multilin") && (w1 & low_bytes(7)) == letters("estring")) {
        length = 15;
        type = GeometryType::MultiLineString;
      } else {
        return false;
      }
      break;
    }
    default:
      return false;
  }
  // The zero bytes a window brings in past the end of the text fold to a
  // space, so a short text never matches more than it holds.
  const char* q = p + length;
  if (q > end) [[unlikely]] return false;
  Dimension dimension = Dimension::XY;
  if (q != end) {
    const auto after = static_cast<unsigned char>(*q);
    if (after >= 0x80 || ((after | 0x20) >= 'a' && (after | 0x20) <= 'z')) return false;
    if (is_ascii_whitespace(after)) {
      // A tag starts with Z or M after the whitespace; anything else is no tag
      // and the next operation skips the same whitespace again.
      const char* t = skip_whitespace(q, end);
      if (t != end && ((*t | 0x20) == 'z' || (*t | 0x20) == 'm')) {
        c.position = static_cast<std::size_t>(q - begin);
        dimension = read_dimension_tag(c);
        tag = {type, dimension};
        return true;
      }
      q = t;
    }
  }
  c.position = static_cast<std::size_t>(q - begin);
  tag = {type, dimension};
  return true;
}

}  // namespace detail

[[gnu::always_inline]] inline void skip_whitespace(WktCursor& c) noexcept {
  const char* base = c.text.data();
  c.position = static_cast<std::size_t>(
      detail::skip_whitespace(base + c.position, base + c.text.size()) - base);
}

// No prefix unless the first byte after whitespace folds to 'S'.
inline Result<SridSlot> parse_srid_prefix(WktCursor& c) {
  skip_whitespace(c);
  if (c.position < c.text.size() && (c.text[c.position] | 0x20) == 's') [[unlikely]]
    return detail::read_srid_prefix(c);
  return SridSlot::none();
}

}  // namespace geoweave
