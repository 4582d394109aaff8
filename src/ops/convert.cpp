// Conversions that apply an SRID option around the readers and writers, and the
// auto-detecting conversions that first decide what kind of source they were
// given.
#include "ops/convert.h"

#include <charconv>

#include "wkb_to_wkt/reader.h"

namespace geoweave {
namespace {

// Appends "SRID=<n>;".
void append_srid_prefix(OutputBuffer& out, std::int32_t n) {
  char digits[16];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
  (void)ec;  // an i32 always fits
  out.append("SRID=");
  out.append(digits, static_cast<std::size_t>(end - digits));
  out.push_back(';');
}

}  // namespace

Result<OutputBuffer> convert_wkb_to_wkt(ByteSpan bytes, SridOption option) {
  option = option.normalized();
  if (option.is_mirror()) return decode_wkb_to_ewkt(bytes);
  auto split = decode_wkb_split_srid(bytes);
  if (!split) return fail(std::move(split.error()));
  if (option.is_strip()) return std::move(split->text);
  // A forced SRID replaces whatever the input held; the input's own SRID is
  // only read so that decoding errors are never hidden behind it.
  OutputBuffer out(split->text.size() + 17);
  append_srid_prefix(out, option.value);
  out.append(split->text.view());
  return out;
}

}  // namespace geoweave
