// WKB -> WKT through both reader drivers and every SRID option.
//
// Invariants: the two drivers agree (the prefixed text is "SRID=N;" plus the
// split text, errors identical); every option gives the text it promises; the
// value rebuilt as canonical EWKB reads back to the very same text, and for
// finite ordinates the public WKT path writes that same EWKB from the text.
#include <string>

#include "fuzz_common.h"
#include "ops/convert.h"
#include "ops/ewkb_rebuild.h"
#include "wkb_to_wkt/reader.h"

using namespace geoweave;
using namespace geoweave::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input{data, size};
  const auto options = options_for(data, size);
  auto ewkt = decode_wkb_to_ewkt(input);
  auto split = decode_wkb_split_srid(input);
  FUZZ_CHECK(ewkt.has_value() == split.has_value());
  if (!ewkt) {
    FUZZ_CHECK(same_error(ewkt.error(), split.error()));
    for (SridOption option : options) {
      auto r = convert_wkb_to_wkt(input, option);
      FUZZ_CHECK(!r && same_error(r.error(), ewkt.error()));
    }
    return 0;
  }

  const std::string text(ewkt->view());
  const std::string plain(split->text.view());
  const SridSlot slot = split->slot;
  FUZZ_CHECK(!slot.has_srid || slot.srid > 0);
  const std::string prefix = slot.has_srid ? "SRID=" + std::to_string(slot.srid) + ";" : "";
  FUZZ_CHECK(text == prefix + plain);
  for (char c : text) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F);

  for (SridOption option : options) {
    auto r = convert_wkb_to_wkt(input, option);
    FUZZ_CHECK(r.has_value());
    const SridOption n = option.normalized();
    const std::string expected = n.is_mirror() ? text
                                 : n.is_strip()
                                     ? plain
                                     : "SRID=" + std::to_string(n.value) + ";" + plain;
    FUZZ_CHECK(r->view() == expected);
  }

  // The one-pass rebuild as canonical EWKB, read again: the same text.
  auto rebuilt = rebuild_ewkb(input, slot);
  FUZZ_CHECK(rebuilt.has_value());
  auto again = decode_wkb_to_ewkt(span_of(*rebuilt));
  FUZZ_CHECK(again.has_value() && again->view() == text);
  auto rebuilt_hex = rebuild_ewkb_hex(input, slot);
  FUZZ_CHECK(rebuilt_hex.has_value() && rebuilt_hex->view() == reference_hex(rebuilt->view()));

  // Finite ordinates, no empty rings: the public WKT grammar accepts the text
  // and writes the same EWKB.
  if (!has_non_finite(text) && !has_empty_ring(text)) {
    auto ewkb = convert_wkt_to_wkb(text, SridOption::mirror());
    FUZZ_CHECK(ewkb.has_value());
    FUZZ_CHECK(ewkb->view() == rebuilt->view());
    auto hex = convert_wkt_to_hex_wkb(text, SridOption::mirror());
    FUZZ_CHECK(hex.has_value() && hex->view() == reference_hex(ewkb->view()));
  }
  return 0;
}
