// WKT/EWKT text to EWKB bytes or hex text, applying the srid option.
//
// The text's own prefix is always parsed first, so a malformed prefix is an
// error even when the option discards or overrides its value.
#include "ops/convert.h"
#include "wkt_to_wkb/tokenizer.h"
#include "wkt_to_wkb/parser.h"

namespace geoweave {

namespace {

// The SRID the writer embeds: the prefix's own for Mirror, a positive forced
// value for Set, nothing otherwise.
SridSlot slot_to_write(SridOption option, SridSlot from_prefix) noexcept {
  if (option.is_mirror()) return from_prefix;
  if (option.is_set()) return SridSlot{true, option.value};
  return SridSlot::none();
}

}  // namespace

Result<OutputBuffer> convert_wkt_to_wkb(TextView text, SridOption option,
                                        BufferStorage* storage, WkbFlavor flavor) {
  if (option.is_strip()) {
    auto split = wkt_to_ewkb_bytes_split_srid(text, storage, flavor);
    if (!split) return fail(std::move(split.error()));
    return std::move(split->bytes);
  }
  WktCursor cursor{text, 0};
  auto prefix = parse_srid_prefix(cursor);
  if (!prefix) return fail(std::move(prefix.error()));
  return wkt_to_ewkb_bytes(cursor, text.size(), slot_to_write(option, *prefix), storage,
                           flavor);
}

Result<OutputBuffer> convert_wkt_to_hex_wkb(TextView text, SridOption option,
                                            BufferStorage* storage, WkbFlavor flavor) {
  WktCursor cursor{text, 0};
  auto prefix = parse_srid_prefix(cursor);
  if (!prefix) return fail(std::move(prefix.error()));
  return wkt_to_ewkb_hex(cursor, text.size(), slot_to_write(option, *prefix), storage, flavor);
}

}  // namespace geoweave
