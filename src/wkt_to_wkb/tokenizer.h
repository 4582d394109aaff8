// In-place WKT/EWKT tokenizer. Each operation skips whitespace, consumes what it
// recognises and returns a small result or an InvalidWkt error naming the byte
// position. Nothing is allocated except error messages.
#pragma once

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

void skip_whitespace(WktCursor& c) noexcept;
Result<SridSlot> parse_srid_prefix(WktCursor& c);
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
// [0-9+-.eE]
constexpr bool is_number_char(unsigned char b) noexcept {
  constexpr std::uint64_t low = (1ull << '+') | (1ull << '-') | (1ull << '.') |
                                (0x3FFull << '0');
  constexpr std::uint64_t high = (1ull << ('E' - 64)) | (1ull << ('e' - 64));
  return b < 64 ? ((low >> b) & 1u) != 0 : b < 128 && ((high >> (b - 64)) & 1u) != 0;
}

// Continues a whitespace run from a non-ASCII byte (out of line, rarely taken).
const char* skip_unicode_whitespace(const char* p, const char* end) noexcept;

inline const char* skip_whitespace(const char* p, const char* end) noexcept {
  while (p != end && is_ascii_whitespace(static_cast<unsigned char>(*p))) ++p;
  if (p != end && static_cast<unsigned char>(*p) >= 0x80) [[unlikely]]
    return skip_unicode_whitespace(p, end);
  return p;
}

// Parses the number token at p (whitespace already skipped). Returns the end of
// the token, or nullptr when the run of number characters at p is empty, not in
// the accepted syntax, or overflows to infinity.
inline const char* scan_number(const char* p, const char* end, double& out) noexcept {
  // The converter checks the syntax in the same pass as it converts; what it
  // cannot check is the start (it takes no '+', and would read "inf"/"nan")
  // and the end: the token must run up to the first byte that is not a number
  // character, or the whole run is one malformed token.
  if (p == end) [[unlikely]] return nullptr;
  if (*p == '+') {
    ++p;
    if (p == end || !(is_ascii_digit(static_cast<unsigned char>(*p)) || *p == '.'))
      [[unlikely]] return nullptr;
  } else if (!(is_ascii_digit(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.'))
      [[unlikely]] {
    return nullptr;
  }
  const auto r = fast_float::from_chars(p, end, out);
  if (r.ec != std::errc()) [[unlikely]] return nullptr;
  if (r.ptr != end && is_number_char(static_cast<unsigned char>(*r.ptr))) [[unlikely]]
    return nullptr;
  // An all-ones exponent: overflow to infinity, or "-inf"/"-nan", which the
  // converter reads past the number characters. A bit test is cheaper here
  // than a floating-point compare.
  std::uint64_t bits;
  std::memcpy(&bits, &out, sizeof bits);
  if ((bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull) [[unlikely]] return nullptr;
  return r.ptr;
}

}  // namespace detail

}  // namespace geoweave
