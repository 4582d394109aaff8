// Helpers shared by the fuzz targets: an invariant check that aborts (so
// libFuzzer records the input), the SRID options every target runs through, an
// independent hex encoder to compare against, and the UTF-8 check that keeps
// text targets to what a Python str can hand the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/buffer.h"
#include "core/types.h"

#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "invariant failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace geoweave::fuzz {

inline std::string_view view_of(const OutputBuffer& b) noexcept { return b.view(); }
inline ByteSpan span_of(const OutputBuffer& b) noexcept { return {b.bytes(), b.size()}; }
inline ByteSpan span_of(std::string_view s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Deliberately the plainest possible encoder: the one under test is table-driven.
inline std::string reference_hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(2 * bytes.size());
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

inline std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

inline bool same_error(const ConversionError& a, const ConversionError& b) {
  return a.kind == b.kind && a.message == b.message && a.code == b.code;
}

// Every kind of option, boundary values included, plus the SRID the input may
// already carry at bytes 5..8 in either byte order (so "set to what is there"
// is reached).
inline std::vector<SridOption> options_for(const std::uint8_t* data, std::size_t size) {
  std::vector<SridOption> options = {
      SridOption::mirror(),       SridOption::strip(),          SridOption::set(1),
      SridOption::set(4326),      SridOption::set(2147483647),  SridOption::set(0),
      SridOption::set(-7),        SridOption::set(-2147483647 - 1),
  };
  if (size >= 9) {
    options.push_back(SridOption::set(static_cast<std::int32_t>(load_u32(data + 5, true))));
    options.push_back(SridOption::set(static_cast<std::int32_t>(load_u32(data + 5, false))));
  }
  return options;
}

// Strict UTF-8 (no overlong forms, surrogates or values above U+10FFFF): the
// only text a Python str ever hands the core.
inline bool is_valid_utf8(const std::uint8_t* p, std::size_t n) noexcept {
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if ((b & 0xE0) == 0xC0) {
      len = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    static constexpr std::uint32_t MIN[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < MIN[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// Canonical text that holds a non-finite ordinate, which caller-written WKT
// may not (it is written "NaN", "inf" or "-inf").
inline bool has_non_finite(std::string_view canonical) noexcept {
  return canonical.find("NaN") != std::string_view::npos ||
         canonical.find("inf") != std::string_view::npos;
}

// Polygon rings without points, written "()", likewise only in canonical text.
inline bool has_empty_ring(std::string_view canonical) noexcept {
  return canonical.find("()") != std::string_view::npos;
}

// EWKB written by this module from `original`'s text: equal, except that a
// negative zero ordinate comes back positive (canonical text writes it "0").
// Both have the same layout, so every difference must be the sign byte of an
// ordinate whose other seven bytes are zero.
inline bool same_up_to_zero_signs(std::string_view original, std::string_view again) noexcept {
  if (original.size() != again.size()) return false;
  for (std::size_t i = 0; i < original.size(); ++i) {
    if (original[i] == again[i]) continue;
    if (static_cast<unsigned char>(original[i]) != 0x80 || again[i] != 0 || i < 7) return false;
    for (std::size_t k = i - 7; k < i; ++k) {
      if (original[k] != 0 || again[k] != 0) return false;
    }
  }
  return true;
}

}  // namespace geoweave::fuzz
