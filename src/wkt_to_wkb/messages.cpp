#include "wkt_to_wkb/messages.h"

#include "core/unicode.h"

namespace geoweave {
namespace {

using unicode::decode_utf8;

void append_hex_escape(std::string& out, char32_t cp) {
  static constexpr char digits[] = "0123456789abcdef";
  char buf[8];
  int n = 0;
  do {
    buf[n++] = digits[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (n > 0) out += buf[--n];
  out += '}';
}

// One character with the escapes shared by the quoted and the character forms;
// `quote` is the delimiter that must itself be escaped.
void append_escaped(std::string& out, char32_t cp, TextView raw, char quote) {
  switch (cp) {
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case 0: out += "\\0"; return;
    case '\\': out += "\\\\"; return;
    default: break;
  }
  if (cp == static_cast<char32_t>(quote)) {
    out += '\\';
    out += quote;
    return;
  }
  if (!unicode::is_printable(cp) || unicode::is_grapheme_extend(cp)) {
    append_hex_escape(out, cp);
    return;
  }
  out.append(raw.data(), raw.size());
}

}  // namespace

std::string preview_text(TextView text, std::size_t pos, std::size_t max_chars) {
  if (pos > text.size()) pos = text.size();
  std::size_t end = pos;
  for (std::size_t n = 0; n < max_chars && end < text.size(); ++n) {
    std::size_t len = 0;
    decode_utf8(text, end, &len);
    end += len == 0 ? 1 : len;
  }
  return std::string(text.substr(pos, end - pos));
}

std::string quoted_form(TextView s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    std::size_t len = 0;
    const char32_t cp = decode_utf8(s, i, &len);
    if (len == 0) break;
    append_escaped(out, cp, s.substr(i, len), '"');
    i += len;
  }
  out += '"';
  return out;
}

std::string character_form(TextView text, std::size_t pos) {
  if (pos >= text.size()) return "None";
  std::size_t len = 0;
  const char32_t cp = decode_utf8(text, pos, &len);
  std::string out = "Some('";
  append_escaped(out, cp, text.substr(pos, len), '\'');
  out += "')";
  return out;
}

}  // namespace geoweave
