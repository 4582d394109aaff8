#include "wkb_to_wkt/builder.h"

#include <cmath>
#include <cstring>

#include <dragonbox/dragonbox.h>

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

inline void write_2_digits(std::uint32_t v, char* out) noexcept {
  std::memcpy(out, DIGIT_PAIRS + 2 * v, 2);
}

// Exactly eight digits, leading zeros included.
inline void write_8_digits(std::uint32_t v, char* out) noexcept {
  const std::uint32_t hi = v / 10000, lo = v % 10000;
  write_2_digits(hi / 100, out);
  write_2_digits(hi % 100, out + 2);
  write_2_digits(lo / 100, out + 4);
  write_2_digits(lo % 100, out + 6);
}

inline int digit_count(std::uint64_t v) noexcept {
  static constexpr std::uint64_t POW10[] = {
      1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
      100000000ull, 1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull,
      10000000000000ull, 100000000000000ull, 1000000000000000ull, 10000000000000000ull,
      100000000000000000ull, 1000000000000000000ull, 10000000000000000000ull};
  // Estimate from the bit length, then correct by one comparison.
  const int bits = 64 - __builtin_clzll(v | 1);
  const int guess = (bits * 1233) >> 12;
  return guess + (v >= POW10[guess] ? 1 : 0);
}

}  // namespace

char* format_ordinate(double x, char* out) noexcept {
  if (x == 0.0) {  // both zeros, never a sign
    *out = '0';
    return out + 1;
  }
  if (!std::isfinite(x)) {
    if (std::isnan(x)) {
      std::memcpy(out, "NaN", 3);
      return out + 3;
    }
    if (x < 0) {
      std::memcpy(out, "-inf", 4);
      return out + 4;
    }
    std::memcpy(out, "inf", 3);
    return out + 3;
  }
  // Integral values below 1e15 print as integers; cheaper than the digit search
  // and the same text.
  const double magnitude = std::fabs(x);
  if (magnitude < 1e15) {
    const auto as_int = static_cast<std::int64_t>(x);
    if (static_cast<double>(as_int) == x) {
      if (as_int < 0) *out++ = '-';
      return write_uint(static_cast<std::uint64_t>(as_int < 0 ? -as_int : as_int), out);
    }
  }

  const auto decimal = jkj::dragonbox::to_decimal(x);
  if (decimal.is_negative) *out++ = '-';
  // The significand has at most 17 digits. Write them zero-padded into a fixed
  // field with independent 32-bit chunks, then lay them out with fixed-size
  // copies: the ORDINATE_OVERWRITE slack the caller reserves makes over-copying safe
  // and keeps variable-length library calls out of the common cases.
  char field[48];
  const std::uint64_t sig = decimal.significand;
  const auto low8 = static_cast<std::uint32_t>(sig % 100000000u);
  const std::uint64_t high = sig / 100000000u;
  const auto mid8 = static_cast<std::uint32_t>(high % 100000000u);
  const auto top = static_cast<std::uint32_t>(high / 100000000u);
  field[0] = static_cast<char>('0' + top);
  write_8_digits(mid8, field + 1);
  write_8_digits(low8, field + 9);
  const int n = digit_count(sig);
  const char* digits = field + 17 - n;
  const int e = decimal.exponent + n;  // value = 0.d1..dn * 10^e

  if (e <= 0) {
    out[0] = '0';
    out[1] = '.';
    out += 2;
    if (e < 0) {
      if (-e <= 16) {
        std::memset(out, '0', 16);
      } else {
        std::memset(out, '0', static_cast<std::size_t>(-e));
      }
      out += -e;
    }
    std::memcpy(out, digits, 17);
    return out + n;
  }
  if (e < n) {
    std::memcpy(out, digits, 17);
    std::memcpy(out + e + 1, digits + e, 17);
    out[e] = '.';
    return out + n + 1;
  }
  std::memcpy(out, digits, 17);
  out += n;
  if (e - n <= 16) {
    std::memset(out, '0', 16);
  } else {
    std::memset(out, '0', static_cast<std::size_t>(e - n));
  }
  return out + (e - n);
}

void write_ordinates(OutputBuffer& out, const double* values, unsigned count) {
  if (count == 0) return;
  char* p = out.tail(count * ORDINATE_RESERVE);
  p = format_ordinate(values[0], p);
  for (unsigned i = 1; i < count; ++i) {
    *p++ = ' ';
    p = format_ordinate(values[i], p);
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

void write_keyword_and_tag(OutputBuffer& out, GeometryType type, Dimension dim) {
  out.append(geometry_type_keyword(type));
  out.append(dimension_tag(dim));
}

}  // namespace geoweave
