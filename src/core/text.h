// Text utilities shared by the tokenizer and the text operations: the one loop
// over Unicode White_Space characters, and trimming built on it.
#pragma once

#include <cstddef>

#include "core/types.h"

namespace geoweave {

// Bytes taken by the run of White_Space characters at the start of `t`.
std::size_t leading_white_space(TextView t) noexcept;

// Leading Unicode White_Space removed.
TextView trim_text_start(TextView t) noexcept;
// Leading and trailing Unicode White_Space removed.
TextView trim_text(TextView t) noexcept;

}  // namespace geoweave
