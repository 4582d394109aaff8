// Text utilities shared by the tokenizer, the text operations and the hints:
// the one loop over Unicode White_Space characters, trimming built on it, and
// the one test for an EWKT "SRID=" key.
#pragma once

#include <cstddef>
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
// EWKT prefix accepts it.
inline bool starts_with_srid_key(std::string_view t) noexcept {
  static constexpr std::string_view KEY = "srid=";
  if (t.size() < KEY.size()) return false;
  for (std::size_t i = 0; i < KEY.size(); ++i) {
    const char c = t[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c) != KEY[i]) return false;
  }
  return true;
}

}  // namespace geoweave
