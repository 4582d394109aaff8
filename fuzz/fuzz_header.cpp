// SRID header operations: reading, and the one rewrite entry the module uses
// (plan_srid_rewrite + write_plan) in both of its encodings.
//
// Invariants: both encodings succeed or fail together, the hex one is the
// upper-case hex of the bytes one; a patch writes exactly the planned length
// and a rebuild at most that, failing only as the reader fails; a header patch
// keeps the body bytes and the byte order; the result carries the requested
// SRID; a patched value reads as the same geometry as its source whenever the
// source reads at all, and a rebuilt one reads as the source's geometry.
// Rewrites to ISO WKB hold the same, and their top header has neither a flag
// nor an SRID; they refuse a forced SRID, and a kept one only under Mirror.
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
    const RewritePlan plan = plan_srid_rewrite(input, option, RewriteEncoding::Bytes);
    const RewritePlan hex_plan = plan_srid_rewrite(input, option, RewriteEncoding::Hex);
    FUZZ_CHECK(hex_plan.kind == plan.kind && hex_plan.length == 2 * plan.length);
    const RewritePlan::Kind kind = plan.kind;

    // Buffers of exactly the planned room, so an overrun is a sanitizer report.
    auto planned_hex = std::make_unique<char[]>(hex_plan.length);
    auto hex_written = write_plan(hex_plan, input, planned_hex.get());
    auto planned = std::make_unique<char[]>(plan.length);
    auto written = write_plan(plan, input, planned.get());
    FUZZ_CHECK(written.has_value() == hex_written.has_value());
    if (!written) {
      FUZZ_CHECK(same_error(written.error(), hex_written.error()));
      // Only a value that cannot be patched is ever read, and it fails as the
      // reader does.
      FUZZ_CHECK(kind == RewritePlan::Kind::Rebuilt && !is_simple_header(input));
      FUZZ_CHECK(!source_read && same_error(written.error(), source_read.error()));
      continue;
    }
    // A patch writes exactly the planned length, a rebuild at most that.
    FUZZ_CHECK(*written <= plan.length && *hex_written == 2 * *written);
    FUZZ_CHECK(kind == RewritePlan::Kind::Rebuilt || *written == plan.length);
    const std::string_view out(planned.get(), *written);

    FUZZ_CHECK(std::string_view(planned_hex.get(), *hex_written) == reference_hex(out));
    auto buffered = write_plan_to_buffer(plan, input);
    FUZZ_CHECK(buffered.has_value() && buffered->view() == out);

    switch (kind) {
      case RewritePlan::Kind::Unchanged:
        FUZZ_CHECK(out == raw);
        break;
      case RewritePlan::Kind::StrippedHeader:
      case RewritePlan::Kind::SridHeader:
        FUZZ_CHECK(out[0] == raw[0]);
        FUZZ_CHECK(out.substr(plan.header_length) == raw.substr(plan.body_offset));
        break;
      case RewritePlan::Kind::Rebuilt:
        FUZZ_CHECK(!is_simple_header(input));
        break;
      case RewritePlan::Kind::IsoHeader:
      case RewritePlan::Kind::Refused:
        FUZZ_CHECK(false && "an EWKB rewrite planned as an ISO one");
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
    if (kind != RewritePlan::Kind::Rebuilt) {
      FUZZ_CHECK(result_read.has_value() == source_read.has_value());
    } else {
      FUZZ_CHECK(source_read.has_value() && result_read.has_value());
      // Canonical EWKB is a fixed point of the rebuild.
      auto again = write_plan_to_buffer(
          plan_srid_rewrite(span_of(out), option, RewriteEncoding::Bytes), span_of(out));
      FUZZ_CHECK(again.has_value() && again->view() == out);
    }
    if (result_read && source_read) {
      FUZZ_CHECK(result_read->text.view() == source_read->text.view());
    }
  }

  for (SridOption option : {SridOption::mirror(), SridOption::strip(), SridOption::set(4326)}) {
    const RewritePlan plan =
        plan_srid_rewrite(input, option, RewriteEncoding::Bytes, WkbFlavor::Iso);
    const RewritePlan hex_plan =
        plan_srid_rewrite(input, option, RewriteEncoding::Hex, WkbFlavor::Iso);
    FUZZ_CHECK(hex_plan.kind == plan.kind && hex_plan.length == 2 * plan.length);
    auto planned = std::make_unique<char[]>(plan.length);
    auto planned_hex = std::make_unique<char[]>(hex_plan.length);
    auto written = write_plan(plan, input, planned.get());
    auto hex_written = write_plan(hex_plan, input, planned_hex.get());
    FUZZ_CHECK(written.has_value() == hex_written.has_value());
    if (option.is_set()) {
      FUZZ_CHECK(plan.kind == RewritePlan::Kind::Refused && !written);
      continue;
    }
    if (!written) {
      FUZZ_CHECK(same_error(written.error(), hex_written.error()));
      if (written.error().kind == ConversionError::Kind::Unwritable) {
        // Refused for the SRID the value's header holds, and only when kept.
        FUZZ_CHECK(option.is_mirror() && srid.has_value() && srid->has_value());
        FUZZ_CHECK(same_error(written.error(), ConversionError::iso_srid(**srid)));
      } else {
        FUZZ_CHECK(plan.kind == RewritePlan::Kind::Rebuilt && !source_read);
        FUZZ_CHECK(same_error(written.error(), source_read.error()));
      }
      continue;
    }
    FUZZ_CHECK(*written <= plan.length && *hex_written == 2 * *written);
    FUZZ_CHECK(plan.kind == RewritePlan::Kind::Rebuilt || *written == plan.length);
    const std::string_view out(planned.get(), *written);
    FUZZ_CHECK(std::string_view(planned_hex.get(), *hex_written) == reference_hex(out));
    FUZZ_CHECK(out.size() >= 5 && static_cast<std::uint8_t>(out[0]) <= 1);
    const auto* top = reinterpret_cast<const std::uint8_t*>(out.data());
    FUZZ_CHECK((load_u32(top + 1, top[0] == 1) & 0xFFFF0000u) == 0);
    if (plan.kind == RewritePlan::Kind::IsoHeader) {
      FUZZ_CHECK(out[0] == raw[0] && out.substr(5) == raw.substr(plan.body_offset));
    } else if (plan.kind == RewritePlan::Kind::Unchanged) {
      FUZZ_CHECK(out == raw);
    }
    auto result_read = decode_wkb_split_srid(span_of(out));
    if (plan.kind == RewritePlan::Kind::Rebuilt) {
      FUZZ_CHECK(source_read.has_value() && result_read.has_value());
    } else {
      FUZZ_CHECK(result_read.has_value() == source_read.has_value());
    }
    if (source_read) {
      FUZZ_CHECK(!option.is_mirror() || !source_read->slot.has_srid);
      FUZZ_CHECK(result_read->text.view() == source_read->text.view());
      FUZZ_CHECK(!result_read->slot.has_srid);
    }
  }
  return 0;
}
