// The auto-detecting conversions, with the input taken both as bytes-like WKB
// and (when it is valid UTF-8) as text.
//
// Invariants: to_hex_wkb is the upper-case hex of to_wkb for every source and
// option (errors identical); a bytes source converts like the direct
// conversions; a hex text converts exactly like its decoded bytes; a
// normalised to_wkt is the reading of what to_wkb writes; the unvalidated
// prefix edit normalises to the same text as the validated conversion.
#include <string>

#include "fuzz_common.h"
#include "ops/convert.h"
#include "ops/header.h"
#include "ops/hex.h"
#include "wkb_to_wkt/reader.h"
#include "wkt_to_wkb/tokenizer.h"

using namespace geoweave;
using namespace geoweave::fuzz;

namespace {

void check_wkb_and_hex_agree(const Source& source, SridOption option) {
  auto wkb = convert_to_wkb(source, option);
  auto hex = convert_to_hex_wkb(source, option);
  FUZZ_CHECK(wkb.has_value() == hex.has_value());
  if (wkb) {
    FUZZ_CHECK(hex->view() == reference_hex(wkb->view()));
  } else {
    FUZZ_CHECK(same_error(wkb.error(), hex.error()));
  }
}

template <class A, class B>
void check_same(const Result<A>& a, const Result<B>& b) {
  FUZZ_CHECK(a.has_value() == b.has_value());
  if (a) {
    FUZZ_CHECK(a->view() == b->view());
  } else {
    FUZZ_CHECK(same_error(a.error(), b.error()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto options = options_for(data, size);
  const ByteSpan bytes{data, size};
  const Source bytes_source{false, bytes, {}};

  for (SridOption option : options) {
    check_wkb_and_hex_agree(bytes_source, option);
    auto direct = convert_wkb_to_wkt(bytes, option);
    check_same(convert_to_wkt(bytes_source, option, false), direct);
    check_same(convert_to_wkt(bytes_source, option, true), direct);
    auto wkb = convert_to_wkb(bytes_source, option);
    if (option.is_mirror()) {
      FUZZ_CHECK(wkb && wkb->view() == std::string_view(reinterpret_cast<const char*>(data), size));
    } else if (wkb && direct) {
      auto reread = convert_wkb_to_wkt(span_of(wkb->view()), SridOption::mirror());
      FUZZ_CHECK(reread && reread->view() == direct->view());
    }
  }

  if (!is_valid_utf8(data, size)) return 0;
  const TextView text(reinterpret_cast<const char*>(data), size);
  const Source text_source{true, {}, text};
  const TextView trimmed = trim_text(text);
  auto decoded = try_hex_decode(trimmed);
  for (SridOption option : options) {
    check_wkb_and_hex_agree(text_source, option);
    auto normalized = convert_to_wkt(text_source, option, true);
    if (decoded) {
      // Hex text converts exactly like the bytes it spells.
      const Source inner{false, span_of(*decoded), {}};
      check_same(convert_to_wkb(text_source, option), convert_to_wkb(inner, option));
      check_same(convert_to_hex_wkb(text_source, option), convert_to_hex_wkb(inner, option));
      check_same(normalized, convert_wkb_to_wkt(span_of(*decoded), option));
      check_same(convert_to_wkt(text_source, option, false), normalized);
      continue;
    }
    // WKT: the validated text is the reading of the written EWKB.
    auto wkb = convert_to_wkb(text_source, option);
    FUZZ_CHECK(wkb.has_value() == normalized.has_value());
    if (!wkb) continue;
    auto reread = decode_wkb_to_ewkt(span_of(wkb->view()));
    FUZZ_CHECK(reread && reread->view() == normalized->view());
    // The prefix edit of the unvalidated path normalises to the same text.
    auto edited = convert_to_wkt(text_source, option, false);
    FUZZ_CHECK(edited.has_value());
    const std::string edited_text(edited->view());
    const Source edited_source{true, {}, edited_text};
    auto renormalized = convert_to_wkt(edited_source, SridOption::mirror(), true);
    FUZZ_CHECK(renormalized && renormalized->view() == normalized->view());
  }
  return 0;
}
