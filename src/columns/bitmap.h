// Arrow validity bitmaps: one bit per row, least significant bit first, a set
// bit for a row that holds a value. Every reader and writer of one goes
// through these three.
#pragma once

#include <cstdint>

namespace geoweave::columns {

inline bool bit_is_set(const std::uint8_t* bits, std::int64_t i) noexcept {
  return (bits[i >> 3] >> (i & 7)) & 1;
}

inline void set_bit(std::uint8_t* bits, std::int64_t i) noexcept {
  bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
}

inline void clear_bit(std::uint8_t* bits, std::int64_t i) noexcept {
  bits[i >> 3] &= static_cast<std::uint8_t>(~(1u << (i & 7)));
}

}  // namespace geoweave::columns
