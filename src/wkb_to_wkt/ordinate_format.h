// The ordinate formatter itself, inline so the reader's coordinate loops take
// it without a call per value. builder.h declares the out-of-line form.
#pragma once

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <dragonbox/dragonbox.h>

#include "core/simd.h"

namespace geoweave::detail {

__extension__ typedef unsigned __int128 u128;

#if GEOWEAVE_USE_SSE2
// The eight decimal digits of v (v < 10^8) as eight 16-bit lanes, most
// significant first: v splits into two halves of four digits, each half is
// copied into four lanes, and one multiply-high per lane divides them by
// 1000, 100, 10 and 1 at once; subtracting ten times the lane before leaves
// one digit per lane.
[[gnu::always_inline]] inline __m128i eight_digit_lanes(std::uint32_t v) noexcept {
  const __m128i x = _mm_cvtsi32_si128(static_cast<int>(v));
  // v / 10000 as a multiply by 2^45 / 10000, rounded up.
  const __m128i high4 =
      _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32(static_cast<int>(0xD1B71759u))), 45);
  const __m128i low4 = _mm_sub_epi32(x, _mm_mul_epu32(high4, _mm_set1_epi32(10000)));
  const __m128i both = _mm_slli_epi64(_mm_unpacklo_epi16(high4, low4), 2);
  const __m128i pairs = _mm_unpacklo_epi16(both, both);
  const __m128i spread = _mm_unpacklo_epi32(pairs, pairs);
  const __m128i scaled = _mm_mulhi_epu16(
      spread, _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768));
  const __m128i prefixes = _mm_mulhi_epu16(
      scaled, _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768));
  const __m128i tens = _mm_slli_epi64(_mm_mullo_epi16(prefixes, _mm_set1_epi16(10)), 16);
  return _mm_sub_epi16(prefixes, tens);
}
#endif

// The eight ASCII digits of v (v < 10^8) in one word, the most significant in
// the lowest byte, every lane divided by a constant at once (4+4 digits, then
// 2+2, then 1+1).
[[gnu::always_inline]] inline std::uint64_t eight_digits_ascii(std::uint32_t v) noexcept {
  const std::uint64_t fours = (v / 10000) | (std::uint64_t{v % 10000} << 32);
  const std::uint64_t hundreds = ((fours * 10486) >> 20) & 0x0000007F0000007Full;
  const std::uint64_t twos = hundreds | ((fours - 100 * hundreds) << 16);
  const std::uint64_t tens = ((twos * 103) >> 10) & 0x000F000F000F000Full;
  return (tens | ((twos - 10 * tens) << 8)) + 0x3030303030303030ull;
}

// Sixteen ASCII digits (high8 then low8, both < 10^8), the most significant in
// the lowest byte (at the lowest address once stored by store_16).
[[gnu::always_inline]] inline u128 sixteen_digits(std::uint32_t high8,
                                                  std::uint32_t low8) noexcept {
#if GEOWEAVE_USE_SSE2
  const __m128i ascii = _mm_add_epi8(
      _mm_packus_epi16(eight_digit_lanes(high8), eight_digit_lanes(low8)), _mm_set1_epi8('0'));
  const auto first = static_cast<std::uint64_t>(_mm_cvtsi128_si64(ascii));
  const auto second = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(ascii, ascii)));
  return u128{first} | (u128{second} << 64);
#else
  return u128{eight_digits_ascii(high8)} | (u128{eight_digits_ascii(low8)} << 64);
#endif
}

[[gnu::always_inline]] inline int digit_count(std::uint64_t v) noexcept {
  static constexpr std::uint64_t POW10[] = {
      1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
      100000000ull, 1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull,
      10000000000000ull, 100000000000000ull, 1000000000000000ull, 10000000000000000ull,
      100000000000000000ull, 1000000000000000000ull, 10000000000000000000ull};
  // Estimate from the bit length, then correct by one comparison.
  const int bits = 64 - std::countl_zero(v | 1);
  const int guess = (bits * 1233) >> 12;
  return guess + (v >= POW10[guess] ? 1 : 0);
}

// The digits are laid out for a little-endian store (the first digit in the
// lowest byte); a big-endian host stores each half byte-swapped instead.
[[gnu::always_inline]] inline void store_16(char* out, u128 v) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &v, 16);
  } else {
    const std::uint64_t low = std::byteswap(static_cast<std::uint64_t>(v));
    const std::uint64_t high = std::byteswap(static_cast<std::uint64_t>(v >> 64));
    std::memcpy(out, &low, 8);
    std::memcpy(out + 8, &high, 8);
  }
}

[[gnu::always_inline]] inline void store_8(char* out, std::uint64_t v) noexcept {
  if constexpr (std::endian::native != std::endian::little) v = std::byteswap(v);
  std::memcpy(out, &v, 8);
}

inline constexpr char SIXTEEN_ZEROS[] = "0000000000000000";

// The usual shape of a coordinate, sig (n digits, n <= 16) with a point after
// its first e (0 <= e < n; 0 puts the point first): the digits made 8 to a
// word (one word for n <= 8, two otherwise, both at once in SSE2 lanes), each
// word stored at its place, and the digits after the point stored once more
// one byte further on, the point between. Each store writes 8 bytes, the part
// past a word's digits overwritten by the next store or lying beyond the text
// (at most 7 bytes past the returned end).
[[gnu::always_inline]] inline char* write_fraction(std::uint64_t sig, int n, int e,
                                                   char* out) noexcept {
  if (n <= 8) {
    const std::uint64_t digits =
        eight_digits_ascii(static_cast<std::uint32_t>(sig)) >> (8 * (8 - n));
    store_8(out, digits);
    store_8(out + e + 1, digits >> (8 * e));
  } else {
    const auto above = static_cast<std::uint32_t>(sig / 100000000u);
    const auto below = static_cast<std::uint32_t>(sig - std::uint64_t{above} * 100000000u);
    const int m = n - 8;  // digits of `above`
    const u128 both = sixteen_digits(above, below);
    const std::uint64_t high = static_cast<std::uint64_t>(both) >> (8 * (8 - m));
    const auto low = static_cast<std::uint64_t>(both >> 64);
    store_8(out, high);
    if (e < m) {
      store_8(out + e + 1, high >> (8 * e));
      store_8(out + m + 1, low);
    } else {
      store_8(out + m, low);
      store_8(out + e + 1, low >> (8 * (e - m)));
    }
  }
  out[e] = '.';
  return out + n + 1;
}

// Lays out sig * 10^exponent positionally at `out` (0 < sig < 10^17) and
// returns the end of the text.
//
// A point inside the digits goes to write_fraction. For the other shapes
// (integers, ddd000, 0.000ddd) the digits are produced in registers, 16 of them
// as one 128-bit value plus a possible 17th in front, and reach memory only
// through stores at their final places. Nothing written is read back, so no
// store has to be forwarded to a load. Up to 17 bytes past the returned end
// are clobbered.
[[gnu::always_inline]] inline char* write_positional(std::uint64_t sig, int exponent,
                                                     char* out) noexcept {
  const int n = digit_count(sig);
  const int e = exponent + n;  // value = 0.d1..dn * 10^e
  if (e > 0 && e < n) [[likely]] {
    if (n <= 16) return write_fraction(sig, n, e, out);
    // Seventeen digits: the first on its own, the other sixteen (zeros in
    // front kept) with the point one place earlier, possibly right after it.
    const auto first = static_cast<std::uint32_t>(sig / 10000000000000000ull);
    out[0] = static_cast<char>('0' + first);
    return write_fraction(sig - first * 10000000000000000ull, 16, e - 1, out + 1);
  }
  // The 17th digit and the eight below it both straight from sig, so the
  // chain of dependent multiplications before the digit lanes is two long.
  const auto top = static_cast<std::uint32_t>(sig / 10000000000000000ull);
  const std::uint64_t above8 = sig / 100000000u;
  const auto high8 = static_cast<std::uint32_t>(above8 - top * 100000000ull);
  const auto low8 = static_cast<std::uint32_t>(sig - above8 * 100000000u);
  const u128 sixteen = sixteen_digits(high8, low8);
  const bool seventeen = n == 17;
  // Leading zeros among the sixteen (none when the top digit is the 17th).
  const int skip = seventeen ? 0 : 16 - n;

  // Writes the n digits at p.
  const auto put_digits = [&](char* p) noexcept {
    p[0] = static_cast<char>('0' + top);
    store_16(p + seventeen, sixteen >> (8 * skip));
  };

  if (e >= n) {  // ddd000, integers included
    put_digits(out);
    const int zeros = e - n;
    if (zeros <= 16) {
      std::memcpy(out + n, SIXTEEN_ZEROS, 16);
    } else {
      std::memset(out + n, '0', static_cast<std::size_t>(zeros));
    }
    return out + e;
  }
  // 0.000ddd
  const int zeros = -e;
  out[0] = '0';
  out[1] = '.';
  if (zeros <= 16) {
    std::memcpy(out + 2, SIXTEEN_ZEROS, 16);
  } else {
    std::memset(out + 2, '0', static_cast<std::size_t>(zeros));
  }
  put_digits(out + 2 + zeros);
  return out + 2 + zeros + n;
}

[[gnu::cold, gnu::noinline]] inline char* format_special(double x, char* out) noexcept {
  if (x == 0.0) {  // both zeros, never a sign
    *out = '0';
    return out + 1;
  }
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

// Zeros, infinities and NaN in one test: the magnitude's bits minus one wrap
// for zero, and the exponent field is all ones for the others.
[[gnu::always_inline]] inline bool is_zero_or_nonfinite(std::uint64_t bits) noexcept {
  return (bits << 1) - 1 >= (0x7FF0000000000000ull << 1) - 1;
}

struct DecimalParts {
  std::uint64_t significand;
  int exponent;
};

// A finite non-zero magnitude as significand * 10^exponent with the shortest
// round-trip significand (the zeros a significand ends with are laid out the
// same either way).
//
// Most coordinates are short decimals (lon/lat with 6 or 7 places, integers):
// r = magnitude * 10^7 rounded is tried first. When r / 10^7, one correctly
// rounded division of two exact doubles, gives the magnitude back, the decimal
// r * 10^-7 reads back as this double; with at most 15 significant digits
// (r <= 10^15) no other decimal of at most 15 digits does, so with its zeros
// removed it is the shortest one, as the digit search would find. Integral
// values are their own significand. Everything else (and every rounding that
// misses) goes to dragonbox's digit search.
[[gnu::always_inline]] inline DecimalParts decimal_parts(double magnitude) noexcept {
  static_assert(FLT_EVAL_METHOD == 0, "the short-decimal check needs plain double arithmetic");
  const double scaled = magnitude * 1e7;
  if (scaled < 1e15) {
    const auto r = static_cast<std::uint64_t>(static_cast<std::int64_t>(scaled + 0.5));
    if (static_cast<double>(static_cast<std::int64_t>(r)) / 1e7 == magnitude) {
      if (r % 10000000u == 0) return {r / 10000000u, 0};
      // At most six zeros at the end: three, two and one take any of them.
      std::uint64_t sig = r;
      int exponent = -7;
      if (sig % 1000 == 0) {
        sig /= 1000;
        exponent += 3;
      }
      if (sig % 100 == 0) {
        sig /= 100;
        exponent += 2;
      }
      if (sig % 10 == 0) {
        sig /= 10;
        exponent += 1;
      }
      return {sig, exponent};
    }
  } else if (magnitude < 1e15) {
    // A signed conversion is one instruction; the value fits.
    const auto as_int = static_cast<std::int64_t>(magnitude);
    if (static_cast<double>(as_int) == magnitude) return {static_cast<std::uint64_t>(as_int), 0};
  }
  const auto decimal = jkj::dragonbox::to_decimal(magnitude);
  return {decimal.significand, decimal.exponent};
}

// One ordinate in the canonical positional form; see builder.h.
[[gnu::always_inline]] inline char* format_ordinate_inline(double x, char* out) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  if (is_zero_or_nonfinite(bits)) [[unlikely]] return format_special(x, out);
  const DecimalParts parts = decimal_parts(std::fabs(x));
  *out = '-';
  out += bits >> 63;
  return write_positional(parts.significand, parts.exponent, out);
}

// K ordinates separated by single spaces. Every digit search is started
// before any text is laid out: the searches are long chains of dependent
// multiplications, and issued together they overlap one another and the
// layouts instead of each waiting for the one before.
template <unsigned K>
[[gnu::always_inline]] inline char* format_tuple(const double* values, char* out) noexcept {
  std::uint64_t bits[K];
  DecimalParts parts[K]{};  // read only where written; zeroed for the compiler's sake
#pragma GCC unroll 4
  for (unsigned j = 0; j < K; ++j) {
    std::memcpy(&bits[j], &values[j], 8);
    if (!is_zero_or_nonfinite(bits[j])) [[likely]] parts[j] = decimal_parts(std::fabs(values[j]));
  }
#pragma GCC unroll 4
  for (unsigned j = 0; j < K; ++j) {
    if (j) *out++ = ' ';
    if (is_zero_or_nonfinite(bits[j])) [[unlikely]] {
      out = format_special(values[j], out);
    } else {
      *out = '-';
      out += bits[j] >> 63;
      out = write_positional(parts[j].significand, parts[j].exponent, out);
    }
  }
  return out;
}

}  // namespace geoweave::detail
