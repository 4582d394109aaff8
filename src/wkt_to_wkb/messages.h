// How text is shown inside the parser's error messages: previews of the text at
// a position, quoted tokens and single characters, with backslash escapes for
// control, unprintable and combining characters.
#pragma once

#include <cstddef>
#include <string>

#include "core/types.h"

namespace geoweave {

// The first `max_chars` characters (not bytes) of text[pos..].
std::string preview_text(TextView text, std::size_t pos, std::size_t max_chars);
// "..." with backslash escapes, as used for previews and number tokens.
std::string quoted_form(TextView s);
// "Some('c')" for the character at pos, or "None" at the end of the text.
std::string character_form(TextView text, std::size_t pos);

}  // namespace geoweave
