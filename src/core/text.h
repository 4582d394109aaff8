// Text utilities shared by the tokenizer, the text operations and the hints:
// the one loop over Unicode White_Space characters, trimming built on it, and
// the one test for an EWKT "SRID=" key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/types.h"

namespace geoweave {

// Bytes taken by the run of White_Space characters at the start of `t`.
std::size_t leading_white_space(TextView t) noexcept;

// Leading Unicode White_Space removed.
TextView trim_text_start(TextView t) noexcept;
// Leading and trailing Unicode White_Space removed.
TextView trim_text(TextView t) noexcept;

// True when `t` starts with "SRID=" in any ASCII case, as every reader of an
// EWKT prefix accepts it. Setting bit 5 lower-cases exactly the letters
// S, R, I and D and maps no other byte onto s, r, i or d.
inline bool starts_with_srid_key(std::string_view t) noexcept {
  if (t.size() < 5 || t[4] != '=') return false;
  std::uint32_t word, key;
  std::memcpy(&word, t.data(), 4);
  std::memcpy(&key, "srid", 4);
  return (word | 0x20202020u) == key;
}

}  // namespace geoweave
