// WKT -> EWKB through both sinks and every SRID option.
//
// Invariants: the hex sink writes exactly the upper-case hex of the byte sink
// (or fails with the same error); the split entry agrees with Strip and the
// prefix; whatever EWKB is written reads back to text that parses to the very
// same EWKB (canonical EWKB is a fixed point, but for the sign of a zero,
// which canonical text does not write) and reads to the same text again.
#include <string>

#include "fuzz_common.h"
#include "ops/convert.h"
#include "wkb_to_wkt/reader.h"
#include "wkt_to_wkb/tokenizer.h"
#include "wkt_to_wkb/parser.h"

using namespace geoweave;
using namespace geoweave::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!is_valid_utf8(data, size)) return -1;  // a str's UTF-8 is always valid
  const TextView text(reinterpret_cast<const char*>(data), size);

  WktCursor cursor{text, 0};
  auto prefix = parse_srid_prefix(cursor);

  for (SridOption option : options_for(data, size)) {
    auto bytes = convert_wkt_to_wkb(text, option);
    auto hex = convert_wkt_to_hex_wkb(text, option);
    FUZZ_CHECK(bytes.has_value() == hex.has_value());
    if (!bytes) {
      FUZZ_CHECK(same_error(bytes.error(), hex.error()));
      FUZZ_CHECK(bytes.error().kind == ConversionError::Kind::InvalidWkt);
      continue;
    }
    FUZZ_CHECK(prefix.has_value());
    FUZZ_CHECK(hex->view() == reference_hex(bytes->view()));
    FUZZ_CHECK(bytes->size() >= 5 && bytes->bytes()[0] == 1);

    auto canonical = decode_wkb_to_ewkt(span_of(*bytes));
    FUZZ_CHECK(canonical.has_value());
    auto again = convert_wkt_to_wkb(canonical->view(), SridOption::mirror());
    FUZZ_CHECK(again.has_value() && same_up_to_zero_signs(bytes->view(), again->view()));
    auto reread = decode_wkb_to_ewkt(span_of(*again));
    FUZZ_CHECK(reread.has_value() && reread->view() == canonical->view());
  }

  auto split = wkt_to_ewkb_bytes_split_srid(text);
  auto stripped = convert_wkt_to_wkb(text, SridOption::strip());
  FUZZ_CHECK(split.has_value() == stripped.has_value());
  if (split) {
    FUZZ_CHECK(split->bytes.view() == stripped->view());
    FUZZ_CHECK(prefix.has_value() && split->slot.has_srid == prefix->has_srid &&
               split->slot.srid == prefix->srid);
  } else {
    FUZZ_CHECK(same_error(split.error(), stripped.error()));
  }
  return 0;
}
