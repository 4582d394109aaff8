#include "core/text.h"

#include "core/unicode.h"

namespace geoweave {

std::size_t leading_white_space(TextView t) noexcept {
  std::size_t p = 0;
  while (p < t.size()) {
    std::size_t len = 0;
    const char32_t cp = unicode::decode_utf8(t, p, &len);
    if (len == 0 || !unicode::is_white_space(cp)) break;
    p += len;
  }
  return p;
}

TextView trim_text_start(TextView t) noexcept { return t.substr(leading_white_space(t)); }

TextView trim_text(TextView t) noexcept {
  t = trim_text_start(t);
  std::size_t end = t.size();
  while (end > 0) {
    std::size_t len = 0;
    const char32_t cp = unicode::decode_utf8_backward(t, end, &len);
    if (len == 0 || !unicode::is_white_space(cp)) break;
    end -= len;
  }
  return t.substr(0, end);
}

}  // namespace geoweave
