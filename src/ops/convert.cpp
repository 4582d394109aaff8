// Conversions that apply an SRID option around the readers and writers, the
// pieces of the operations on unvalidated text, and the auto-detecting
// operations in a buffer for C++ callers (what they do is run.h's).
#include "ops/convert.h"

#include "ops/run.h"

#include "ops/header.h"
#include "ops/hex.h"
#include "wkb_to_wkt/builder.h"
#include "wkb_to_wkt/reader.h"
#include "wkt_to_wkb/tokenizer.h"

namespace geoweave {
namespace {

// True when `piece` is an optional single sign followed by one or more ASCII
// digits, names a value in the i32 range, and that value is 0 or less.
bool is_nonpositive_i32(TextView piece) noexcept {
  bool negative = false;
  if (!piece.empty() && (piece[0] == '+' || piece[0] == '-')) {
    negative = piece[0] == '-';
    piece.remove_prefix(1);
  }
  if (piece.empty()) return false;
  std::uint64_t magnitude = 0;
  constexpr std::uint64_t LIMIT = 2147483648u;  // |INT32_MIN|
  for (char c : piece) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
    if (magnitude > LIMIT) return false;  // out of range; stops before overflow
  }
  return negative || magnitude == 0;
}

}  // namespace

TextView strip_ewkt_prefix(TextView t) noexcept {
  if (!starts_with_srid_key(t)) return t;
  const std::size_t semi = t.find(';', 5);
  if (semi == TextView::npos) return t;
  return trim_text_start(t.substr(semi + 1));
}

TextView drop_unknown_srid_prefix(TextView t) noexcept {
  if (!starts_with_srid_key(t)) return t;
  const std::size_t semi = t.find(';', 5);
  if (semi == TextView::npos) return t;
  if (!is_nonpositive_i32(trim_text(t.substr(5, semi - 5)))) return t;
  return trim_text_start(t.substr(semi + 1));
}

OutputBuffer prefixed_text(std::int32_t n, TextView body) {
  OutputBuffer out(body.size() + 17);
  write_srid_prefix(out, n);
  out.append(body);
  return out;
}

std::optional<OutputBuffer> uppercase_hex_text(TextView t, BufferStorage* storage) {
  if (t.empty() || t.size() % 2 != 0) return std::nullopt;
  if (!is_hex_digit(static_cast<unsigned char>(t[0]))) return std::nullopt;
  OutputBuffer out(storage, t.size());
  char* dst = out.tail(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (!is_hex_digit(static_cast<unsigned char>(c))) return std::nullopt;
    dst[i] = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  out.commit(t.size());
  return out;
}

namespace {

template <Operation OP>
Result<MaybeBorrowed> run_in_buffer(const OperationArgs& args, const Source& source,
                                    BufferStorage* storage) {
  BufferOutput out(storage);
  if (!run<OP>(args, source, out)) return fail(std::move(out.error));
  return std::move(out.result);
}

}  // namespace

Result<MaybeBorrowed> convert_to_wkt(const Source& source, SridOption option, bool normalize,
                                     BufferStorage* storage) {
  return run_in_buffer<Operation::ToWkt>({option, normalize}, source, storage);
}

Result<MaybeBorrowed> convert_to_wkb(const Source& source, SridOption option,
                                     BufferStorage* storage, WkbFlavor flavor) {
  return run_in_buffer<Operation::ToWkb>({option, false, flavor}, source, storage);
}

Result<MaybeBorrowed> convert_to_hex_wkb(const Source& source, SridOption option,
                                         BufferStorage* storage, WkbFlavor flavor) {
  return run_in_buffer<Operation::ToHexWkb>({option, false, flavor}, source, storage);
}

}  // namespace geoweave
