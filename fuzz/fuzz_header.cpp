// SRID header operations: reading, and the one rewrite entry the module uses
// (plan_srid_rewrite + write_plan) in both of its encodings.
//
// Invariants: both encodings succeed or fail together, the hex one is the
// upper-case hex of the bytes one; the planned length is exact; a header patch
// keeps the body bytes and the byte order; the result carries the requested
// SRID; a patched value reads as the same geometry as its source whenever the
// source reads at all, and a rebuilt one reads as the source's geometry.
#include <memory>
#include <optional>
#include <string>

#include "fuzz_common.h"
#include "ops/header.h"
#include "ops/hex.h"
#include "wkb_to_wkt/reader.h"

using namespace geoweave;
using namespace geoweave::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input{data, size};
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  auto srid = read_header_srid(input);
  auto source_read = decode_wkb_split_srid(input);
  // Whatever the reader accepts, the header reader reports the same SRID.
  if (source_read) {
    FUZZ_CHECK(srid.has_value());
    FUZZ_CHECK(srid->has_value() == source_read->slot.has_srid);
    if (*srid) FUZZ_CHECK(**srid == source_read->slot.srid);
  }

  for (SridOption option : options_for(data, size)) {
    if (option.is_mirror()) continue;  // the header functions always strip or set
    auto plan = plan_srid_rewrite(input, option, RewriteEncoding::Bytes);
    auto hex_plan = plan_srid_rewrite(input, option, RewriteEncoding::Hex);
    FUZZ_CHECK(plan.has_value() == hex_plan.has_value());
    if (!plan) {
      FUZZ_CHECK(same_error(plan.error(), hex_plan.error()));
      // Only a value that cannot be patched is ever parsed.
      FUZZ_CHECK(!is_simple_header(input));
      continue;
    }
    FUZZ_CHECK(hex_plan->kind == plan->kind && hex_plan->length == 2 * plan->length);

    // Exactly sized buffers, so an overrun is a sanitizer report.
    const HeaderPlan::Kind kind = plan->kind;
    const std::size_t length = plan->length;
    auto planned_hex = std::make_unique<char[]>(2 * length + 1);
    write_plan(*hex_plan, input, planned_hex.get());
    auto planned = std::make_unique<char[]>(length + 1);
    write_plan(*plan, input, planned.get());
    const std::string_view out(planned.get(), length);

    FUZZ_CHECK(std::string_view(planned_hex.get(), 2 * length) == reference_hex(out));
    FUZZ_CHECK(write_plan_to_buffer(*plan, input).view() == out);

    switch (kind) {
      case HeaderPlan::Kind::Unchanged:
        FUZZ_CHECK(out == raw);
        break;
      case HeaderPlan::Kind::StrippedHeader:
      case HeaderPlan::Kind::SridHeader:
        FUZZ_CHECK(out[0] == raw[0]);
        FUZZ_CHECK(out.substr(plan->header_length) == raw.substr(plan->body_offset));
        break;
      case HeaderPlan::Kind::Rebuilt:
        FUZZ_CHECK(!is_simple_header(input));
        break;
    }

    auto result_srid = read_header_srid(span_of(out));
    FUZZ_CHECK(result_srid.has_value());
    const SridOption n = option.normalized();
    if (n.is_set()) {
      FUZZ_CHECK(result_srid->has_value() && **result_srid == n.value);
    } else {
      FUZZ_CHECK(!result_srid->has_value());
    }

    // A patch leaves the geometry alone: the result reads exactly when the
    // source reads, and to the same text.
    auto result_read = decode_wkb_split_srid(span_of(out));
    if (kind != HeaderPlan::Kind::Rebuilt) {
      FUZZ_CHECK(result_read.has_value() == source_read.has_value());
    } else {
      FUZZ_CHECK(source_read.has_value() && result_read.has_value());
      // Canonical EWKB is a fixed point of the rebuild.
      auto again = plan_srid_rewrite(span_of(out), option, RewriteEncoding::Bytes);
      FUZZ_CHECK(again.has_value() && write_plan_to_buffer(*again, span_of(out)).view() == out);
    }
    if (result_read && source_read) {
      FUZZ_CHECK(result_read->text.view() == source_read->text.view());
    }
  }
  return 0;
}
