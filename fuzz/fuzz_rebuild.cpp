// The one-pass WKB -> EWKB rebuild against the WKB -> WKT -> EWKB round trip it
// replaces, on the same input, for removing and for setting an SRID, as bytes
// and as hex: both succeed or fail together, with the same error, and give
// identical output.
#include <string>

#include "fuzz_common.h"
#include "ops/ewkb_rebuild.h"
#include "ops/header.h"

using namespace geoweave;
using namespace geoweave::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input{data, size};
  // The option only changes the outermost header, so each input is rewritten
  // twice: SRID removed, and set to one of the options (which one follows from
  // the input, so every option is reached across the corpus).
  const auto options = options_for(data, size);
  std::size_t pick = size;
  for (std::size_t i = 0; i < size && i < 16; ++i) pick = pick * 31 + data[i];
  const SridOption set_option = options[2 + pick % (options.size() - 2)];
  for (SridOption option : {SridOption::strip(), set_option}) {
    const SridOption n = option.normalized();
    const SridSlot slot = n.is_set() ? SridSlot::of(n.value) : SridSlot::none();
    auto expected = round_trip_rewrite(input, slot);
    auto bytes = rebuild_ewkb(input, slot);
    auto hex = rebuild_ewkb_hex(input, slot);
    FUZZ_CHECK(expected.has_value() == bytes.has_value());
    FUZZ_CHECK(expected.has_value() == hex.has_value());
    if (!expected) {
      FUZZ_CHECK(same_error(expected.error(), bytes.error()));
      FUZZ_CHECK(same_error(expected.error(), hex.error()));
      auto expected_hex = round_trip_rewrite_hex(input, slot);
      FUZZ_CHECK(!expected_hex && same_error(expected_hex.error(), hex.error()));
      continue;
    }
    FUZZ_CHECK(bytes->view() == expected->view());
    auto expected_hex = round_trip_rewrite_hex(input, slot);
    FUZZ_CHECK(expected_hex.has_value());
    FUZZ_CHECK(hex->view() == expected_hex->view());
    FUZZ_CHECK(hex->view() == reference_hex(expected->view()));
    // Never more than the input plus an added SRID.
    FUZZ_CHECK(bytes->size() <= size + 4);
  }
  return 0;
}
