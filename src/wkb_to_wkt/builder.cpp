#include "wkb_to_wkt/builder.h"

#include <array>
#include <cstring>

#include "wkb_to_wkt/ordinate_format.h"

namespace geoweave {
namespace {

constexpr char DIGIT_PAIRS[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of v (v > 0) ending at `end`; returns the start.
inline char* write_digits_backward(std::uint64_t v, char* end) noexcept {
  while (v >= 100) {
    const unsigned pair = static_cast<unsigned>(v % 100);
    v /= 100;
    end -= 2;
    std::memcpy(end, DIGIT_PAIRS + 2 * pair, 2);
  }
  if (v >= 10) {
    end -= 2;
    std::memcpy(end, DIGIT_PAIRS + 2 * v, 2);
  } else {
    *--end = static_cast<char>('0' + v);
  }
  return end;
}

inline char* write_uint(std::uint64_t v, char* out) noexcept {
  char tmp[20];
  char* start = write_digits_backward(v, tmp + 20);
  const std::size_t n = static_cast<std::size_t>(tmp + 20 - start);
  std::memcpy(out, start, n);
  return out + n;
}

}  // namespace

char* format_ordinate(double x, char* out) noexcept {
  return detail::format_ordinate_inline(x, out);
}

void write_ordinates(OutputBuffer& out, const double* values, unsigned count) {
  if (count == 0) return;
  char* p = out.tail(count * ORDINATE_RESERVE);
  switch (count) {
    case 1: p = detail::format_tuple<1>(values, p); break;
    case 2: p = detail::format_tuple<2>(values, p); break;
    case 3: p = detail::format_tuple<3>(values, p); break;
    default: p = detail::format_tuple<4>(values, p); break;
  }
  out.commit_to(p);
}

void write_srid_prefix(OutputBuffer& out, std::int32_t srid) {
  char* p = out.tail(5 + 11 + 1);
  std::memcpy(p, "SRID=", 5);
  p += 5;
  if (srid < 0) *p++ = '-';
  const std::int64_t wide = srid;
  p = write_uint(static_cast<std::uint64_t>(wide < 0 ? -wide : wide), p);
  *p++ = ';';
  out.commit_to(p);
}

namespace {

// Every keyword with every tag ("MULTIPOLYGON ZM"), padded to a fixed width
// so that writing one is a single fixed-size copy.
struct KeywordText {
  char text[24];
  std::uint8_t length;
};

std::array<std::array<KeywordText, 4>, 8> make_keyword_texts() {
  std::array<std::array<KeywordText, 4>, 8> table{};
  for (unsigned t = 1; t <= 7; ++t) {
    for (unsigned d = 0; d < 4; ++d) {
      const std::string_view keyword = geometry_type_keyword(static_cast<GeometryType>(t));
      const std::string_view tag = dimension_tag(static_cast<Dimension>(d));
      KeywordText& entry = table[t][d];
      std::size_t n = 0;
      for (char c : keyword) entry.text[n++] = c;
      for (char c : tag) entry.text[n++] = c;
      entry.length = static_cast<std::uint8_t>(n);
    }
  }
  return table;
}

const std::array<std::array<KeywordText, 4>, 8> KEYWORD_TEXTS = make_keyword_texts();

}  // namespace

static_assert(sizeof(KeywordText::text) == KEYWORD_RESERVE);

char* put_keyword_and_tag(char* out, GeometryType type, Dimension dim) noexcept {
  const KeywordText& entry = KEYWORD_TEXTS[static_cast<unsigned>(type) & 7][static_cast<unsigned>(dim) & 3];
  std::memcpy(out, entry.text, sizeof entry.text);
  return out + entry.length;
}

void write_keyword_and_tag(OutputBuffer& out, GeometryType type, Dimension dim) {
  out.commit_to(put_keyword_and_tag(out.tail(KEYWORD_RESERVE), type, dim));
}

}  // namespace geoweave
