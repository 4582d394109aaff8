// Conversions that apply an SRID option around the readers and writers, and the
// auto-detecting conversions that first decide what kind of source they were
// given.
#include "ops/convert.h"

#include "ops/header.h"
#include "ops/hex.h"
#include "wkb_to_wkt/builder.h"
#include "wkb_to_wkt/reader.h"
#include "wkt_to_wkb/tokenizer.h"

namespace geoweave {
namespace {

MaybeBorrowed owned(OutputBuffer buffer) {
  MaybeBorrowed result;
  result.owned = std::move(buffer);
  return result;
}

MaybeBorrowed borrowed(std::string_view view) {
  MaybeBorrowed result;
  result.borrowed = view;
  result.is_borrowed = true;
  return result;
}

std::string_view as_chars(ByteSpan b) noexcept {
  return {reinterpret_cast<const char*>(b.data), b.size};
}

ByteSpan as_bytes(const OutputBuffer& b) noexcept { return {b.bytes(), b.size()}; }

inline char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// "srid=" on exactly the first five bytes, ASCII case-insensitively.
bool starts_with_srid_key(TextView t) noexcept {
  static constexpr std::string_view KEY = "srid=";
  if (t.size() < KEY.size()) return false;
  for (std::size_t i = 0; i < KEY.size(); ++i) {
    if (ascii_lower(t[i]) != KEY[i]) return false;
  }
  return true;
}

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

// Mirror on unparsed WKT: a prefix that names no SRID ("SRID=0;", "srid=-1;")
// is dropped, as it would be by a parsing conversion; anything else, including
// malformed values, is left for the caller to see.
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

// Non-empty, even length and hex digits only: upper-cased copy. nullopt
// otherwise (the text is then WKT). One pass, nothing decoded.
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

// An SRID rewrite of WKB bytes through the one planned path.
Result<MaybeBorrowed> rewritten(ByteSpan wkb, SridOption option, RewriteEncoding encoding,
                                BufferStorage* storage,
                                WkbFlavor flavor = WkbFlavor::Extended) {
  auto out =
      write_plan_to_buffer(plan_srid_rewrite(wkb, option, encoding, flavor), wkb, storage);
  if (!out) return fail(std::move(out.error()));
  return owned(std::move(*out));
}

}  // namespace

Result<OutputBuffer> convert_wkb_to_wkt(ByteSpan bytes, SridOption option,
                                        BufferStorage* storage) {
  option = option.normalized();
  if (option.is_mirror()) return decode_wkb_to_ewkt(bytes, storage);
  if (option.is_strip()) {
    auto split = decode_wkb_split_srid(bytes, storage);
    if (!split) return fail(std::move(split.error()));
    return std::move(split->text);
  }
  // A forced SRID replaces whatever the input held; the input's own SRID is
  // only read so that decoding errors are never hidden behind it.
  return decode_wkb_with_srid(bytes, option.value, storage);
}

TextView strip_ewkt_prefix(TextView t) noexcept {
  if (!starts_with_srid_key(t)) return t;
  const std::size_t semi = t.find(';', 5);
  if (semi == TextView::npos) return t;
  return trim_text_start(t.substr(semi + 1));
}

Result<MaybeBorrowed> convert_to_wkt(const Source& source, SridOption option, bool normalize,
                                     BufferStorage* storage) {
  option = option.normalized();
  if (!source.is_text) {
    auto text = convert_wkb_to_wkt(source.bytes, option, storage);
    if (!text) return fail(std::move(text.error()));
    return owned(std::move(*text));
  }
  const TextView t = trim_text(source.text);
  if (t.empty()) return fail(ConversionError::wkt("empty input"));

  // Hex WKB: a text whose first byte is no hex digit cannot be hex, so the
  // unvalidated path below never pays for a detection attempt.
  if (normalize || is_hex_digit(static_cast<unsigned char>(t[0]))) {
    if (auto decoded = try_hex_decode(t)) {
      auto text = convert_wkb_to_wkt(as_bytes(*decoded), option, storage);
      if (!text) return fail(std::move(text.error()));
      return owned(std::move(*text));
    }
  }

  if (normalize) {
    auto ewkb = convert_wkt_to_wkb(t, option);
    if (!ewkb) return fail(std::move(ewkb.error()));
    auto text = decode_wkb_to_ewkt(as_bytes(*ewkb), storage);
    if (!text) return fail(std::move(text.error()));
    return owned(std::move(*text));
  }

  // Unvalidated WKT: only the prefix is edited.
  if (option.is_mirror()) return borrowed(drop_unknown_srid_prefix(t));
  if (option.is_strip()) return borrowed(strip_ewkt_prefix(t));
  return owned(prefixed_text(option.value, strip_ewkt_prefix(t)));
}

Result<MaybeBorrowed> convert_to_wkb(const Source& source, SridOption option,
                                     BufferStorage* storage, WkbFlavor flavor) {
  option = option.normalized();
  // WKB passes as it is only with Mirror and EWKB out: ISO WKB needs its
  // type words (and the SRID's absence) checked, at least in the header.
  const bool pass = option.is_mirror() && flavor == WkbFlavor::Extended;
  if (!source.is_text) {
    if (pass) return borrowed(as_chars(source.bytes));  // not validated
    return rewritten(source.bytes, option, RewriteEncoding::Bytes, storage, flavor);
  }
  const TextView t = trim_text(source.text);
  // Decoded hex is the result itself only when it passes.
  if (auto decoded = try_hex_decode(t, pass ? storage : nullptr)) {
    if (pass) return owned(std::move(*decoded));  // not validated
    return rewritten(as_bytes(*decoded), option, RewriteEncoding::Bytes, storage, flavor);
  }
  auto ewkb = convert_wkt_to_wkb(t, option, storage, flavor);
  if (!ewkb) return fail(std::move(ewkb.error()));
  return owned(std::move(*ewkb));
}

Result<MaybeBorrowed> convert_to_hex_wkb(const Source& source, SridOption option,
                                         BufferStorage* storage, WkbFlavor flavor) {
  option = option.normalized();
  if (!source.is_text) {
    // Mirror too: EWKB bytes are encoded as they are, not validated.
    return rewritten(source.bytes, option, RewriteEncoding::Hex, storage, flavor);
  }
  const TextView t = trim_text(source.text);
  if (option.is_mirror() && flavor == WkbFlavor::Extended) {
    if (auto upper = uppercase_hex_text(t, storage)) return owned(std::move(*upper));
  } else if (auto decoded = try_hex_decode(t)) {
    return rewritten(as_bytes(*decoded), option, RewriteEncoding::Hex, storage, flavor);
  }
  auto hex = convert_wkt_to_hex_wkb(t, option, storage, flavor);
  if (!hex) return fail(std::move(hex.error()));
  return owned(std::move(*hex));
}

}  // namespace geoweave
