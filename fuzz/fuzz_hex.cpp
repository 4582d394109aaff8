// Hex decoding (strict and detecting) and encoding.
//
// Invariants: strict and detecting decoders accept exactly the same texts
// (non-empty, even length, hex digits only) and produce the same bytes, whose
// hex is the text upper-cased; the encoder matches a plain reference and
// decodes back to its input.
#include <string>

#include "fuzz_common.h"
#include "ops/hex.h"

using namespace geoweave;
using namespace geoweave::fuzz;

namespace {

bool reference_is_hex(std::string_view t) {
  if (t.empty() || t.size() % 2) return false;
  for (unsigned char c : t) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);

  // Encoding any bytes.
  OutputBuffer encoded = hex_encode_upper({data, size});
  FUZZ_CHECK(encoded.view() == reference_hex(raw));
  if (size) {
    auto back = hex_decode(encoded.view());
    FUZZ_CHECK(back.has_value() && back->view() == raw);
  }

  // Decoding the input as text.
  auto strict = hex_decode(raw);
  auto detected = try_hex_decode(raw);
  const bool is_hex = reference_is_hex(raw);
  FUZZ_CHECK(strict.has_value() == is_hex);
  FUZZ_CHECK(detected.has_value() == is_hex);
  static const bool table_checked = [] {
    for (unsigned c = 0; c < 256; ++c) {
      const bool digit = reference_is_hex(std::string(2, static_cast<char>(c)));
      FUZZ_CHECK(is_hex_digit(static_cast<unsigned char>(c)) == digit);
    }
    return true;
  }();
  (void)table_checked;
  if (is_hex) {
    FUZZ_CHECK(strict->view() == detected->view());
    FUZZ_CHECK(strict->size() == size / 2);
    FUZZ_CHECK(reference_hex(strict->view()) == ascii_upper(raw));
  } else {
    FUZZ_CHECK(strict.error().kind == ConversionError::Kind::InvalidWkb);
    if (size && size % 2 == 0) {
      // The message names the first offending character.
      std::size_t first = 0;
      while (reference_is_hex(std::string(2, raw[first]))) ++first;
      FUZZ_CHECK(strict.error().message ==
                 "invalid hex digit at position " + std::to_string(first));
    }
  }
  return 0;
}
