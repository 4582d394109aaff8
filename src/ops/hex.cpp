// Hexadecimal WKB: two digits per byte, high nibble first, either case accepted,
// upper case produced. Both decoders share one lookup table so that a digit costs
// one load and one compare, whatever its class.
#include "ops/hex.h"

#include "core/hex_encode.h"

#include <array>
#include <charconv>
#include <cstring>
#include <string>

namespace geoweave {
namespace {

constexpr std::uint8_t INVALID_DIGIT = 255;

constexpr std::array<std::uint8_t, 256> make_digit_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table) v = INVALID_DIGIT;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::uint8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::uint8_t>(c - 'a' + 10);
  return table;
}

constexpr std::array<std::uint8_t, 256> HEX_DIGIT_VALUE = make_digit_table();

inline std::uint8_t digit_value(char c) noexcept {
  return HEX_DIGIT_VALUE[static_cast<unsigned char>(c)];
}

ConversionError invalid_digit_at(std::size_t position) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, position);
  (void)ec;
  std::string message = "invalid hex digit at position ";
  message.append(digits, end);
  return ConversionError::wkb(std::move(message));
}

}  // namespace

bool is_hex_digit(unsigned char c) noexcept { return HEX_DIGIT_VALUE[c] != INVALID_DIGIT; }

Result<OutputBuffer> hex_decode(TextView text, BufferStorage* storage) {
  const std::size_t length = text.size();
  if (length == 0) return fail(ConversionError::wkb("empty hex string"));
  // Checked before any digit so an odd text full of junk reports its length.
  if (length % 2 != 0) return fail(ConversionError::wkb("hex string has odd length"));
  const std::size_t count = length / 2;
  OutputBuffer out(storage, count);
  auto* dst = reinterpret_cast<std::uint8_t*>(out.tail(count));
  const char* src = text.data();
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t high = digit_value(src[2 * k]);
    const std::uint8_t low = digit_value(src[2 * k + 1]);
    if ((high | low) > 15) [[unlikely]] {
      return fail(invalid_digit_at(high > 15 ? 2 * k : 2 * k + 1));
    }
    dst[k] = static_cast<std::uint8_t>(high << 4 | low);
  }
  out.commit(count);
  return out;
}

std::optional<OutputBuffer> try_hex_decode(TextView text, BufferStorage* storage) {
  const std::size_t length = text.size();
  if (length == 0 || length % 2 != 0) return std::nullopt;
  const char* src = text.data();
  // Most WKT starts with a letter outside A-F; reject it before allocating.
  const std::uint8_t first_high = digit_value(src[0]);
  const std::uint8_t first_low = digit_value(src[1]);
  if ((first_high | first_low) > 15) return std::nullopt;
  const std::size_t count = length / 2;
  OutputBuffer out(storage, count);
  auto* dst = reinterpret_cast<std::uint8_t*>(out.tail(count));
  dst[0] = static_cast<std::uint8_t>(first_high << 4 | first_low);
  for (std::size_t k = 1; k < count; ++k) {
    const std::uint8_t high = digit_value(src[2 * k]);
    const std::uint8_t low = digit_value(src[2 * k + 1]);
    if ((high | low) > 15) return std::nullopt;
    dst[k] = static_cast<std::uint8_t>(high << 4 | low);
  }
  out.commit(count);
  return out;
}

void hex_encode_upper_into(ByteSpan bytes, char* out) noexcept {
  hex::encode(bytes.data, bytes.size, out);
}

OutputBuffer hex_encode_upper(ByteSpan bytes) {
  OutputBuffer out;
  if (bytes.size == 0) return out;
  const std::size_t length = 2 * bytes.size;
  out.reserve(length);
  hex_encode_upper_into(bytes, out.tail(length));
  out.commit(length);
  return out;
}

}  // namespace geoweave
