// Upper-case hex encoding, the one encoder behind every hex output: the codec's
// hex_encode_upper, the hex sink that WKT parsing writes through and the WKB
// rebuild's hex emitter. Each byte is two digits, high nibble first.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/simd.h"

namespace geoweave::hex {

inline constexpr char UPPER_DIGITS[] = "0123456789ABCDEF";

// Both digits of every byte value in memory order, so one two-byte copy
// writes a byte.
constexpr std::array<char, 512> make_pair_table() {
  std::array<char, 512> table{};
  for (int b = 0; b < 256; ++b) {
    table[2 * b] = UPPER_DIGITS[b >> 4];
    table[2 * b + 1] = UPPER_DIGITS[b & 15];
  }
  return table;
}
inline constexpr std::array<char, 512> UPPER_PAIRS = make_pair_table();

inline void put_pair(char* out, std::uint8_t byte) noexcept {
  std::memcpy(out, UPPER_PAIRS.data() + 2 * byte, 2);
}

// The 8 bytes of the value `word`, least significant first (the order of
// every WKB value this module writes), as 16 digits.
inline void encode8(char* out, std::uint64_t word) noexcept {
#if GEOWEAVE_USE_SSE2
  // All 16 digits at once: split every byte into its nibbles, interleave high
  // before low, and map 0-9 to '0'-'9' and 10-15 to 'A'-'F'.
  const __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(word));
  const __m128i mask = _mm_set1_epi8(0x0F);
  const __m128i hi = _mm_and_si128(_mm_srli_epi16(bytes, 4), mask);
  const __m128i lo = _mm_and_si128(bytes, mask);
  const __m128i nibbles = _mm_unpacklo_epi8(hi, lo);
  const __m128i letters =
      _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('A' - '0' - 10));
  const __m128i digits = _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), digits);
#else
  for (unsigned i = 0; i < 8; ++i) put_pair(out + 2 * i, static_cast<std::uint8_t>(word >> (8 * i)));
#endif
}

// The 4 bytes of `v` least significant first, as 8 digits.
inline void encode4(char* out, std::uint32_t v) noexcept {
  for (unsigned i = 0; i < 4; ++i) put_pair(out + 2 * i, static_cast<std::uint8_t>(v >> (8 * i)));
}

// `n` bytes at `src` as 2 * n digits at `out`.
inline void encode(const std::uint8_t* src, std::size_t n, char* out) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, src + i, 8);
    // encode8 writes least significant first: that is memory order only when
    // the host is little-endian.
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    encode8(out + 2 * i, word);
  }
  for (; i < n; ++i) put_pair(out + 2 * i, src[i]);
}

}  // namespace geoweave::hex
