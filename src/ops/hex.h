// Hexadecimal WKB: strict decoding, detection, upper-case encoding.
#pragma once

#include <optional>

#include "core/buffer.h"
#include "core/types.h"

namespace geoweave {

// Strict: "empty hex string", "hex string has odd length",
// "invalid hex digit at position N" (InvalidWkb).
// Both decoders write into `storage` when one is lent (see BufferStorage).
Result<OutputBuffer> hex_decode(TextView text, BufferStorage* storage = nullptr);
// Detecting: nullopt when the text is not hex (never an error).
std::optional<OutputBuffer> try_hex_decode(TextView text, BufferStorage* storage = nullptr);
// Exactly 2 * size upper-case hex characters.
OutputBuffer hex_encode_upper(ByteSpan bytes);
// Writes 2 * size characters at out.
void hex_encode_upper_into(ByteSpan bytes, char* out) noexcept;
// True when `c` is an accepted hex digit (either case).
bool is_hex_digit(unsigned char c) noexcept;

}  // namespace geoweave
