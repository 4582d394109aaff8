// In-place WKT/EWKT tokenizer.
//
// Every operation works directly on the borrowed UTF-8 text; the only strings
// ever built are failure messages, and those are assembled in cold, out-of-line
// helpers so the token paths stay small.
#include "wkt_to_wkb/tokenizer.h"

#include <cstring>
#include <limits>
#include <optional>

#include "core/text.h"
#include "core/unicode.h"
#include "wkt_to_wkb/messages.h"

namespace geoweave {

namespace {

using unicode::decode_utf8;

inline unsigned char byte_at(const WktCursor& c, std::size_t i) noexcept {
  return static_cast<unsigned char>(c.text[i]);
}

constexpr unsigned char ascii_upper(unsigned char b) noexcept {
  return (b >= 'a' && b <= 'z') ? static_cast<unsigned char>(b - 0x20) : b;
}

// Whether the character starting at `pos` is a letter: ASCII A-Z/a-z or any
// non-ASCII character with the Alphabetic property. The end of the text is not.
bool letter_at(TextView text, std::size_t pos) noexcept {
  if (pos >= text.size()) return false;
  const auto b = static_cast<unsigned char>(text[pos]);
  if (b < 0x80) return ascii_upper(b) >= 'A' && ascii_upper(b) <= 'Z';
  std::size_t len = 0;
  return unicode::is_alphabetic(decode_utf8(text, pos, &len));
}

// `keyword` (upper case) at `pos` under ASCII case folding, bytes only.
bool folded_equals(TextView text, std::size_t pos, std::string_view keyword) noexcept {
  if (text.size() - pos < keyword.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    if (ascii_upper(static_cast<unsigned char>(text[pos + i])) !=
        static_cast<unsigned char>(keyword[i]))
      return false;
  }
  return true;
}

// A keyword ends at a non-letter or at the end of the text, so POINTZ is not
// POINT followed by a tag.
bool match_keyword(TextView text, std::size_t pos, std::string_view keyword) noexcept {
  return folded_equals(text, pos, keyword) && !letter_at(text, pos + keyword.size());
}

std::string position_text(std::size_t pos) { return std::to_string(pos); }

// End of the longest run of number characters starting at `pos`.
std::size_t number_run_end(TextView text, std::size_t pos) noexcept {
  while (pos < text.size() && detail::is_number_char(static_cast<unsigned char>(text[pos])))
    ++pos;
  return pos;
}

// Syntax check of a whole run: [+-]? (digits [. digits?]? | . digits) ([eE] [+-]? digits)?
// On success returns true; the run is then exactly one number.
bool number_syntax_ok(const char* p, const char* end) noexcept {
  if (p < end && (*p == '+' || *p == '-')) ++p;
  const char* int_start = p;
  while (p < end && detail::is_ascii_digit(static_cast<unsigned char>(*p))) ++p;
  bool has_digits = p != int_start;
  if (p < end && *p == '.') {
    ++p;
    const char* frac_start = p;
    while (p < end && detail::is_ascii_digit(static_cast<unsigned char>(*p))) ++p;
    has_digits = has_digits || p != frac_start;
  }
  if (!has_digits) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* exp_start = p;
    while (p < end && detail::is_ascii_digit(static_cast<unsigned char>(*p))) ++p;
    if (p == exp_start) return false;
  }
  return p == end;
}

[[gnu::cold, gnu::noinline]] ConversionError number_error(const WktCursor& c) {
  const std::size_t pos = c.position;
  const std::size_t run_end = number_run_end(c.text, pos);
  if (run_end == pos) {
    return ConversionError::wkt("expected number at position " + position_text(pos) +
                                ", got " + quoted_form(preview_text(c.text, pos, 10)));
  }
  const TextView token = c.text.substr(pos, run_end - pos);
  if (!number_syntax_ok(token.data(), token.data() + token.size())) {
    return ConversionError::wkt("invalid number " + quoted_form(token) + " at position " +
                                position_text(pos));
  }
  return ConversionError::wkt("non-finite coordinate " + quoted_form(token) +
                              " at position " + position_text(pos));
}

[[gnu::cold, gnu::noinline]] ConversionError punctuation_error(const WktCursor& c,
                                                               const char* expected) {
  return ConversionError::wkt(std::string("expected ") + expected + " at position " +
                              position_text(c.position) + ", got " +
                              character_form(c.text, c.position));
}

[[gnu::cold, gnu::noinline]] ConversionError unknown_type_error(const WktCursor& c) {
  return ConversionError::wkt("unknown geometry type at position " +
                              position_text(c.position) + ": " +
                              quoted_form(preview_text(c.text, c.position, 20)));
}

}  // namespace

// ---- whitespace ------------------------------------------------------------

namespace detail {

const char* scan_number_general(const char* p, const char* end, double& out) noexcept {
  // The converter checks the syntax in the same pass as it converts; what it
  // cannot check is the start (it takes no '+', and would read "inf"/"nan")
  // and the end: the token must run up to the first byte that is not a number
  // character, or the whole run is one malformed token.
  if (p == end) return nullptr;
  if (*p == '+') {
    ++p;
    if (p == end || !(is_ascii_digit(static_cast<unsigned char>(*p)) || *p == '.'))
      return nullptr;
  } else if (!(is_ascii_digit(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.')) {
    return nullptr;
  }
  const auto r = fast_float::from_chars(p, end, out);
  if (r.ec != std::errc()) return nullptr;
  if (r.ptr != end && is_number_char(static_cast<unsigned char>(*r.ptr))) return nullptr;
  // An all-ones exponent: overflow to infinity, or "-inf"/"-nan", which the
  // converter reads past the number characters.
  std::uint64_t bits;
  std::memcpy(&bits, &out, sizeof bits);
  if ((bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull) return nullptr;
  return r.ptr;
}

const char* skip_whitespace_run(const char* p, const char* end) noexcept {
  while (p != end && is_ascii_whitespace(static_cast<unsigned char>(*p))) ++p;
  // A non-ASCII byte: the rest of the run by the full Unicode rules.
  if (p != end && static_cast<unsigned char>(*p) >= 0x80)
    return p + leading_white_space(TextView(p, static_cast<std::size_t>(end - p)));
  return p;
}

// ---- operations ------------------------------------------------------------

Dimension read_dimension_tag(WktCursor& c) noexcept {
  const std::size_t after_keyword = c.position;
  skip_whitespace(c);
  const TextView t = c.text;
  const std::size_t p = c.position;
  if (folded_equals(t, p, "ZM") && !letter_at(t, p + 2)) {
    c.position = p + 2;
    return Dimension::XYZM;
  }
  if (folded_equals(t, p, "Z") && !letter_at(t, p + 1)) {
    c.position = p + 1;
    return Dimension::XYZ;
  }
  if (folded_equals(t, p, "M") && !letter_at(t, p + 1)) {
    c.position = p + 1;
    return Dimension::XYM;
  }
  c.position = after_keyword;
  return Dimension::XY;
}

Result<SridSlot> read_srid_prefix(WktCursor& c) {
  skip_whitespace(c);
  const TextView t = c.text;
  if (!starts_with_srid_key(TextView(t.data() + c.position, t.size() - c.position))) {
    return SridSlot::none();
  }
  c.position += 5;

  const std::size_t value_start = c.position;
  std::size_t p = c.position;
  bool negative = false;
  if (p < t.size() && t[p] == '-') {
    negative = true;
    ++p;
  }
  const std::size_t digits_start = p;
  // Accumulate as a negative magnitude so that -2147483648 fits; saturate once
  // out of range but keep scanning to find the end of the digits.
  std::int64_t value = 0;
  bool out_of_range = false;
  while (p < t.size() && detail::is_ascii_digit(static_cast<unsigned char>(t[p]))) {
    if (!out_of_range) {
      value = value * 10 - (t[p] - '0');
      if (value < -2147483648LL - 1) out_of_range = true;  // beyond any i32 either way
    }
    ++p;
  }
  if (p == digits_start) {
    return fail(ConversionError::wkt("expected integer at position " + position_text(p)));
  }
  if (!negative) value = -value;
  if (out_of_range || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return fail(ConversionError::wkt("integer out of i32 range: " +
                                     std::string(t.substr(value_start, p - value_start))));
  }
  c.position = p;
  skip_whitespace(c);
  if (c.position >= t.size() || t[c.position] != ';') {
    return fail(ConversionError::wkt("expected ';' after SRID value"));
  }
  ++c.position;
  return SridSlot::of(static_cast<std::int32_t>(value));
}

}  // namespace detail

Result<GeometryTag> read_geometry_tag(WktCursor& c) {
  skip_whitespace(c);
  const TextView t = c.text;
  const std::size_t p = c.position;
  if (p >= t.size()) return fail(unknown_type_error(c));

  struct Candidate {
    std::string_view keyword;
    GeometryType type;
  };
  static constexpr Candidate G[] = {{"GEOMETRYCOLLECTION", GeometryType::GeometryCollection}};
  static constexpr Candidate L[] = {{"LINESTRING", GeometryType::LineString}};
  static constexpr Candidate M[] = {{"MULTILINESTRING", GeometryType::MultiLineString},
                                    {"MULTIPOLYGON", GeometryType::MultiPolygon},
                                    {"MULTIPOINT", GeometryType::MultiPoint}};
  static constexpr Candidate P[] = {{"POLYGON", GeometryType::Polygon},
                                    {"POINT", GeometryType::Point}};

  const Candidate* first = nullptr;
  std::size_t count = 0;
  switch (ascii_upper(byte_at(c, p))) {
    case 'G': first = G; count = 1; break;
    case 'L': first = L; count = 1; break;
    case 'M': first = M; count = 3; break;
    case 'P': first = P; count = 2; break;
    default: return fail(unknown_type_error(c));
  }
  for (std::size_t i = 0; i < count; ++i) {
    const Candidate& k = first[i];
    if (!match_keyword(t, p, k.keyword)) continue;
    c.position = p + k.keyword.size();
    Dimension d = Dimension::XY;
    // A tag needs ASCII whitespace between it and the keyword.
    if (c.position < t.size() && detail::is_ascii_whitespace(byte_at(c, c.position)))
      d = detail::read_dimension_tag(c);
    return GeometryTag{k.type, d};
  }
  return fail(unknown_type_error(c));
}

Result<EmptyOrOpen> peek_empty_or_open(WktCursor& c) {
  skip_whitespace(c);
  const std::size_t p = c.position;
  if (folded_equals(c.text, p, "EMPTY")) {
    if (letter_at(c.text, p + 5)) {
      return fail(ConversionError::wkt("expected delimiter after EMPTY at position " +
                                       position_text(p + 5)));
    }
    c.position = p + 5;
    return EmptyOrOpen::Empty;
  }
  if (p < c.text.size() && c.text[p] == '(') {
    c.position = p + 1;
    return EmptyOrOpen::Open;
  }
  return EmptyOrOpen::Neither;
}

Result<EmptyOrOpen> read_empty_or_open(WktCursor& c) {
  auto r = peek_empty_or_open(c);
  if (r && *r == EmptyOrOpen::Neither) {
    return fail(ConversionError::wkt("expected 'EMPTY' or '(' at position " +
                                     position_text(c.position) + ", got " +
                                     quoted_form(preview_text(c.text, c.position, 10))));
  }
  return r;
}

Result<void> expect_open_paren(WktCursor& c) {
  skip_whitespace(c);
  if (c.position < c.text.size() && c.text[c.position] == '(') {
    ++c.position;
    return {};
  }
  return fail(punctuation_error(c, "'('"));
}

Result<void> expect_close_paren(WktCursor& c) {
  skip_whitespace(c);
  if (c.position < c.text.size() && c.text[c.position] == ')') {
    ++c.position;
    return {};
  }
  return fail(punctuation_error(c, "')'"));
}

Result<Separator> read_separator(WktCursor& c) {
  skip_whitespace(c);
  if (c.position < c.text.size()) {
    const char ch = c.text[c.position];
    if (ch == ',') {
      ++c.position;
      return Separator::Comma;
    }
    if (ch == ')') {
      ++c.position;
      return Separator::Close;
    }
  }
  return fail(punctuation_error(c, "',' or ')'"));
}

Result<double> read_number(WktCursor& c) {
  skip_whitespace(c);
  const char* base = c.text.data();
  double value;
  const char* end = detail::scan_number(base, base + c.position, base + c.text.size(), value);
  if (end == nullptr) return fail(number_error(c));
  c.position = static_cast<std::size_t>(end - base);
  return value;
}

Result<void> expect_end_of_input(WktCursor& c) {
  skip_whitespace(c);
  if (c.position == c.text.size()) return {};
  return fail(ConversionError::wkt("unexpected trailing content at position " +
                                   position_text(c.position) + ": " +
                                   quoted_form(preview_text(c.text, c.position, 20))));
}

}  // namespace geoweave
