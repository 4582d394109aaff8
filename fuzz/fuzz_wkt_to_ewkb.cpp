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

  // The same text followed by readable bytes that are not its own (the next
  // rows of a column, which a number near the end may be loaded with): the
  // same result, never a digit from past the end.
  {
    static constexpr char AFTER[] = "5) 7e1.9 -2)3 4)e+5.25))0 1)))))";
    static_assert(sizeof AFTER - 1 == 32);
    std::string block(text);
    block.append(AFTER, 32);
    const TextView own(block.data(), size);
    auto plain = convert_wkt_to_wkb(text, SridOption::mirror());
    auto read_on = convert_wkt_to_wkb(own, SridOption::mirror(), nullptr, WkbFlavor::Extended, 32);
    FUZZ_CHECK(plain.has_value() == read_on.has_value());
    if (plain) {
      FUZZ_CHECK(plain->view() == read_on->view());
    } else {
      FUZZ_CHECK(same_error(plain.error(), read_on.error()));
    }
    auto hex = convert_wkt_to_hex_wkb(own, SridOption::mirror(), nullptr, WkbFlavor::Extended, 32);
    FUZZ_CHECK(hex.has_value() == plain.has_value());
    if (plain) FUZZ_CHECK(hex->view() == reference_hex(plain->view()));
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
