// The number reader against fast_float: for every token, the same end and the
// same bits, or a rejection by both. The reference is the general path
// (fast_float's from_chars behind the token checks), which every token the fast
// path does not settle is handed to anyway.
//
// The first byte picks how the rest becomes text: as it is (at the start of the
// text, and after eight bytes of other text so that the word loads at the end of
// the text are reached), or as decimal forms of the double in its first 8 bytes
// (printf's %.17g, %.Nf and %.Ne for several N, the shortest digits), with a
// sign and a terminator from the input: subnormals, powers of ten, 2^53 +- 1,
// halfway cases, 19- and 20-digit significands and huge exponents all come out
// of these.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_common.h"
#include "wkb_to_wkt/builder.h"
#include "wkt_to_wkb/tokenizer.h"

using namespace geoweave;

namespace {

// `text` copied into a block of exactly its size (so a read past it is caught),
// then the token at `start` read both ways.
void compare(const std::string& text, std::size_t start) {
  const std::unique_ptr<char[]> block(new char[text.size() + 1]);
  std::memcpy(block.get(), text.data(), text.size());
  const char* begin = block.get();
  const char* end = begin + text.size();
  double fast = 0;
  double general = 0;
  const char* fast_end = detail::scan_number(begin, begin + start, end, fast);
  const char* general_end = detail::scan_number_general(begin + start, end, general);
  FUZZ_CHECK(fast_end == general_end);
  if (fast_end != nullptr) {
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(fast) == std::bit_cast<std::uint64_t>(general));
  }
}

// The token at the start of `text` read with 32 readable bytes whose last
// ones lie past the text's end (the next rows of a column): the reader must
// stop at the end all the same, so it agrees with the general path over the
// text alone. Past the end: `after`, then ")" (so a digit there would make a
// longer number that is still short enough for the fast path).
void compare_with_slack(const std::string& text, char after) {
  const std::size_t size = std::max<std::size_t>(text.size() + 1, 32);
  const std::unique_ptr<char[]> block(new char[size]);
  std::memset(block.get(), ')', size);
  std::memcpy(block.get(), text.data(), text.size());
  block[text.size()] = after;
  const char* begin = block.get();
  const char* end = begin + text.size();
  double fast = 0;
  double general = 0;
  const char* fast_end =
      detail::scan_number_in<detail::NumberReach::Slack>(begin, begin, end, fast);
  const char* general_end = detail::scan_number_general(begin, end, general);
  FUZZ_CHECK(fast_end == general_end);
  if (fast_end != nullptr) {
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(fast) == std::bit_cast<std::uint64_t>(general));
  }
}

void compare_both_ways(const std::string& token) {
  compare(token, 0);
  compare("POINT (" + token, 7);
  compare("POINT (" + token + ")", 7);
  compare("POINT (1234567 " + token + " 1)", 15);
  // Exactly the 32 bytes from the token on that its unchecked reads need,
  // and text that goes on well past them.
  compare(token + std::string(token.size() < 32 ? 32 - token.size() : 0, ' '), 0);
  compare("POINT (" + token + " 2, 3 4, 5 6, 7 8, 9 10, 11 12)", 7);
  for (const char after : {'7', '.', 'e', ')', ' '}) compare_with_slack(token, after);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] < 128 || size < 9) {
    compare_both_ways(rest);
    return 0;
  }
  double x;
  std::memcpy(&x, data + 1, 8);
  const unsigned digits = size > 9 ? data[9] % 26 : 17;
  const char* signs[] = {"", "-", "+"};
  const std::string sign = signs[data[0] % 3];
  const std::string terminator = size > 10 ? std::string(1, static_cast<char>(data[10])) : "";
  char buffer[ORDINATE_RESERVE + 64];
  std::string forms[4];
  std::snprintf(buffer, sizeof buffer, "%.17g", x);
  forms[0] = buffer;
  std::snprintf(buffer, sizeof buffer, "%.*f", static_cast<int>(digits), x);
  forms[1] = buffer;
  std::snprintf(buffer, sizeof buffer, "%.*e", static_cast<int>(digits), x);
  forms[2] = buffer;
  forms[3] = std::string(buffer, format_ordinate(x, buffer));
  for (const std::string& form : forms) {
    // printf writes its own sign for negative values; the input's sign goes
    // in front of a magnitude only.
    const std::string magnitude = form[0] == '-' ? form.substr(1) : form;
    compare_both_ways(sign + magnitude + terminator);
    compare_both_ways(sign + magnitude);
  }
  return 0;
}
