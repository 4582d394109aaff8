// Property lookups with an ASCII fast path in front of the generated range
// tables (unicode_tables.cpp), and UTF-8 decoding in both directions.
//
// The text handed in always comes from a Python str, so it is valid UTF-8; the
// decoders still never read outside the view and turn anything malformed into
// U+FFFD so that a caller stepping by *len always makes progress.

#include "unicode.h"

namespace geoweave::unicode {

namespace detail {
// Defined in the generated unicode_tables.cpp; valid for every code point.
bool table_white_space(char32_t cp) noexcept;
bool table_alphabetic(char32_t cp) noexcept;
bool table_grapheme_extend(char32_t cp) noexcept;
bool table_printable(char32_t cp) noexcept;
}  // namespace detail

namespace {

constexpr char32_t kReplacement = 0xFFFD;

inline unsigned char byte_at(std::string_view text, std::size_t i) noexcept {
  return static_cast<unsigned char>(text[i]);
}

inline bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

inline void set_len(std::size_t* len, std::size_t n) noexcept {
  if (len != nullptr) *len = n;
}

}  // namespace

bool is_white_space(char32_t cp) noexcept {
  if (cp < 0x80) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
  return detail::table_white_space(cp);
}

bool is_alphabetic(char32_t cp) noexcept {
  if (cp < 0x80) return ((cp | 0x20) >= U'a') && ((cp | 0x20) <= U'z');
  return detail::table_alphabetic(cp);
}

bool is_grapheme_extend(char32_t cp) noexcept {
  if (cp < 0x80) return false;
  return detail::table_grapheme_extend(cp);
}

bool is_printable(char32_t cp) noexcept {
  if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
  return detail::table_printable(cp);
}

char32_t decode_utf8(std::string_view text, std::size_t pos, std::size_t* len) noexcept {
  if (pos >= text.size()) {
    set_len(len, 0);
    return 0;
  }
  const unsigned char lead = byte_at(text, pos);
  if (lead < 0x80) {
    set_len(len, 1);
    return lead;
  }

  std::size_t need;
  char32_t cp;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
    cp = lead & 0x1F;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    cp = lead & 0x0F;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    cp = lead & 0x07;
    min = 0x10000;
  } else {
    // A stray continuation byte or a byte that never starts a character.
    set_len(len, 1);
    return kReplacement;
  }

  const std::size_t avail = text.size() - pos;
  std::size_t i = 1;
  for (; i < need && i < avail; ++i) {
    const unsigned char b = byte_at(text, pos + i);
    if (!is_continuation(b)) break;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (i < need) {
    // Truncated sequence: consume what belonged to it, never past the view.
    set_len(len, i);
    return kReplacement;
  }
  set_len(len, need);
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

char32_t decode_utf8_backward(std::string_view text, std::size_t end, std::size_t* len) noexcept {
  if (end > text.size()) end = text.size();
  if (end == 0) {
    set_len(len, 0);
    return 0;
  }
  const unsigned char last = byte_at(text, end - 1);
  if (last < 0x80) {
    set_len(len, 1);
    return last;
  }

  // Step back over at most three continuation bytes to the lead byte.
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && is_continuation(byte_at(text, start))) --start;

  std::size_t n = 0;
  const char32_t cp = decode_utf8(text, start, &n);
  if (start + n != end) {
    // The bytes before `end` do not form one whole character ending there.
    set_len(len, 1);
    return kReplacement;
  }
  set_len(len, n);
  return cp;
}

}  // namespace geoweave::unicode
