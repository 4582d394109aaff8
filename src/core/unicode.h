// Unicode character properties used for whitespace skipping, keyword boundaries
// and escaping in error messages. Backed by tables generated from the Unicode
// Character Database (tools/gen_unicode_tables.py).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace geoweave::unicode {

// Version of the Unicode Character Database the tables were generated from.
extern const char* const UCD_VERSION;

bool is_white_space(char32_t cp) noexcept;       // White_Space property
bool is_alphabetic(char32_t cp) noexcept;        // Alphabetic property
bool is_grapheme_extend(char32_t cp) noexcept;   // Grapheme_Extend property
// Printable as Python's str.isprintable() understands it: not in the general
// categories Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs, except U+0020 SPACE.
bool is_printable(char32_t cp) noexcept;

// Decode one UTF-8 character at `text[pos]` (text is known-valid UTF-8);
// stores its length in *len. At the end of the text returns 0 with *len 0.
char32_t decode_utf8(std::string_view text, std::size_t pos, std::size_t* len) noexcept;

// Decode the character that ends at text[end-1]; stores its length in *len.
char32_t decode_utf8_backward(std::string_view text, std::size_t end, std::size_t* len) noexcept;

}  // namespace geoweave::unicode
