// The EWKB (or ISO WKB) emitter of the WKB reader, shared by the rebuild of
// each flavor (ops/ewkb_rebuild.cpp, ops/ewkb_rebuild_iso.cpp). Each includes
// it into its own translation unit, so that the ISO instantiations leave the
// compiler's inlining of the EWKB ones as it was. Internal to those two files.
//
// Headers are rewritten record by record; coordinates are copied as a run (one
// block copy when both sides are little-endian bytes) and only the ordinates
// the canonical form changes are fixed up afterwards: NaNs of any payload or
// sign become the one quiet NaN the WKT parser writes for "NaN", and negative
// zero becomes zero, which is what canonical text ("0") reads back as.
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/hex_encode.h"
#include "core/simd.h"
#include "wkb_to_wkt/wkb_reader.h"

#if GEOWEAVE_USE_SSE2
#include <immintrin.h>
#endif

namespace geoweave {
namespace {

using wkb::Placement;

constexpr std::uint64_t SIGN_BIT = 0x8000000000000000ull;
constexpr std::uint64_t EXPONENT_BITS = 0x7FF0000000000000ull;

// Zeros, infinities and NaNs (the only values normalisation may change) in one
// unsigned compare: the doubled bits minus one wrap for both zeros, and the
// exponent field is all ones for the others.
constexpr bool may_change(std::uint64_t bits) noexcept {
  return (bits << 1) - 1 >= (EXPONENT_BITS << 1) - 1;
}

constexpr std::uint64_t canonical_bits(std::uint64_t bits) noexcept {
  const std::uint64_t magnitude = bits & ~SIGN_BIT;
  if (magnitude > EXPONENT_BITS) return QUIET_NAN_BITS;
  if (magnitude == 0) return 0;
  return bits;
}

#if GEOWEAVE_USE_SSE2 && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define GEOWEAVE_REBUILD_AVX2 1
// Eight doubles from `from`, copied to `to`; lanes of `acc` are set where an
// exponent field is all ones (infinity, NaN) or all zeros (zero, subnormal).
[[gnu::target("avx2"), gnu::always_inline]] inline void avx2_group(const std::uint8_t* from,
                                                                     char* to, __m256i& acc) {
  const __m256i exponent = _mm256_set1_epi32(0x7FF00000);
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), a);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), b);
  // The high words of the eight doubles (in an order the test does not care
  // about), then their exponent fields, as in copy_and_scan.
  const __m256i high = _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
  const __m256i e = _mm256_and_si256(high, exponent);
  acc = _mm256_or_si256(acc, _mm256_or_si256(_mm256_cmpeq_epi32(e, exponent),
                                               _mm256_cmpeq_epi32(e, _mm256_setzero_si256())));
}

// A run of at least eight doubles, copied and tested with 32-byte lanes on
// processors that have them (the build targets baseline x86-64, so this is
// chosen at run time): a run then copies at close to the speed of a plain
// copy. The last group of eight overlaps the one before it instead of leaving
// a tail: it copies the same bytes again, and testing a value twice is
// harmless. Returns whether a value was flagged.
[[gnu::target("avx2")]] bool copy_and_scan_avx2(const std::uint8_t* from, char* to,
                                                std::size_t values) noexcept {
  __m256i acc = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 8 <= values; i += 8) avx2_group(from + 8 * i, to + 8 * i, acc);
  if (i < values) avx2_group(from + 8 * (values - 8), to + 8 * (values - 8), acc);
  return !_mm256_testz_si256(acc, acc);
}

const bool HAVE_AVX2 = [] {
  __builtin_cpu_init();  // this runs as a static initializer
  return __builtin_cpu_supports("avx2") != 0;
}();
#else
#define GEOWEAVE_REBUILD_AVX2 0
#endif

// Writes through a raw cursor: the area was sized by rebuild_bound, and the
// reader emits nothing it has not consumed (see rebuild_bound), so no write
// needs a capacity check and the cursor is the only state. F decides the type
// words only: ISO codes never come with an SRID, so for Iso the slot is none.
template <bool Hex, WkbFlavor F>
class EwkbEmitter {
 public:
  static constexpr std::size_t UNIT = Hex ? 2 : 1;  // output units per byte

  EwkbEmitter(char* out, SridSlot slot) noexcept : w_(out), slot_(slot) {}

  char* end() const noexcept { return w_; }

  // Each call takes the cursor once and stores it once: every store through
  // it may alias the cursor itself, so a cursor updated after each field
  // would be a chain of store-to-load round trips.
  void begin_geometry(const wkb::WkbHeader& h, Placement where) {
    char* w = w_;
    put_header(w, h, where);
    w_ = w;
  }
  // A whole Point, header and ordinates. An all-NaN (empty) Point needs
  // nothing of its own: each NaN becomes the quiet NaN, as every other one does.
  // The ordinates are tested together, with one branch: they rarely need a
  // change, and each test is cheaper than the change itself.
  void point(const wkb::WkbHeader& h, const double* values, unsigned k, Placement where) {
    char* w = w_;
    put_header(w, h, where);
    std::uint64_t highest = 0;  // the greatest of (bits << 1) - 1: see may_change
    for (unsigned i = 0; i < k; ++i) {
      const std::uint64_t bits = std::bit_cast<std::uint64_t>(values[i]);
      highest = std::max(highest, (bits << 1) - 1);
    }
    if (highest >= (EXPONENT_BITS << 1) - 1) [[unlikely]] {
      for (unsigned i = 0; i < k; ++i) {
        put_f64(w, canonical_bits(std::bit_cast<std::uint64_t>(values[i])));
      }
    } else {
      for (unsigned i = 0; i < k; ++i) put_f64(w, std::bit_cast<std::uint64_t>(values[i]));
    }
    w_ = w;
  }
  void open_list(std::uint32_t count, Placement) { put_count(count); }
  void close_list() noexcept {}
  void separator() noexcept {}
  void open_ring(std::uint32_t count) { put_count(count); }
  void close_ring() noexcept {}

  template <bool LittleEndian>
  void coordinates(const std::uint8_t* p, std::uint64_t n, unsigned k) {
    const std::size_t values = static_cast<std::size_t>(n) * k;
    char* w = w_;
    // The bulk copy keeps the input's bytes, which are the output's only when
    // both they and the host are little-endian (the scan reads host words).
    if constexpr (LittleEndian && HOST_LITTLE_ENDIAN && !Hex) {
      if (copy_and_scan(p, w, values)) fix_up(w, values);
      w += 8 * values;
    } else {
      for (std::size_t i = 0; i < values; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, p + 8 * i, 8);
        if constexpr (LittleEndian != HOST_LITTLE_ENDIAN) bits = std::byteswap(bits);
        put_f64(w, canonical_bits(bits));
      }
    }
    w_ = w;
  }

 private:
  void put_header(char*& w, const wkb::WkbHeader& h, Placement where) const noexcept {
    const std::uint32_t word = type_word_of<F>(h.geometry_type, h.dimension);
    put_byte_order(w);
    if (F == WkbFlavor::Extended && where == Placement::Top && slot_.has_srid) {
      put_u32(w, word | EWKB_SRID_FLAG);
      put_u32(w, static_cast<std::uint32_t>(slot_.srid));
    } else {
      put_u32(w, word);
    }
  }
  void put_count(std::uint32_t v) noexcept {
    char* w = w_;
    put_u32(w, v);
    w_ = w;
  }
  static void put_byte_order(char*& w) noexcept {
    if constexpr (Hex) {
      std::memcpy(w, "01", 2);
    } else {
      *w = '\x01';
    }
    w += UNIT;
  }
  static void put_u32(char*& w, std::uint32_t v) noexcept {
    if constexpr (Hex) {
      hex::encode4(w, v);
    } else {
      v = to_little_endian(v);
      std::memcpy(w, &v, 4);
    }
    w += 4 * UNIT;
  }
  // `bits` as a host word; written little-endian.
  static void put_f64(char*& w, std::uint64_t bits) noexcept {
    if constexpr (Hex) {
      hex::encode8(w, bits);
    } else {
      bits = to_little_endian(bits);
      std::memcpy(w, &bits, 8);
    }
    w += 8 * UNIT;
  }

  // Copies a run and tells whether it holds a value that normalisation may
  // change: zeros, infinities or NaNs, rare in real data. The test looks at the
  // exponent fields only, so subnormals are flagged too; fix_up is exact.
  static bool copy_and_scan(const std::uint8_t* from, char* to, std::size_t values) noexcept {
#if GEOWEAVE_REBUILD_AVX2
    if (HAVE_AVX2 && values >= 8) return copy_and_scan_avx2(from, to, values);
#endif
#if GEOWEAVE_USE_SSE2
    if (values >= 4) {
      const __m128i exponent = _mm_set1_epi32(0x7FF00000);
      const __m128i zero = _mm_setzero_si128();
      // Four doubles from `at`, copied; lanes of all ones where an exponent
      // field is all ones (infinity, NaN) or all zeros (zero, subnormal).
      const auto group = [&](std::size_t at) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 8 * at));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 8 * at + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8 * at), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8 * at + 16), b);
        const __m128i high = _mm_castps_si128(
            _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128i e = _mm_and_si128(high, exponent);
        return _mm_or_si128(_mm_cmpeq_epi32(e, exponent), _mm_cmpeq_epi32(e, zero));
      };
      __m128i acc = zero;
      std::size_t i = 0;
      for (; i + 4 <= values; i += 4) acc = _mm_or_si128(acc, group(i));
      // The last group overlaps the one before, as in the AVX2 version.
      if (i < values) acc = _mm_or_si128(acc, group(values - 4));
      return _mm_movemask_epi8(acc) != 0;
    }
#endif
    bool any = false;
    for (std::size_t i = 0; i < values; ++i) {
      std::uint64_t bits;
      std::memcpy(&bits, from + 8 * i, 8);
      std::memcpy(to + 8 * i, &bits, 8);
      any |= may_change(bits);
    }
    return any;
  }

  static void fix_up(char* run, std::size_t values) noexcept {
    for (std::size_t i = 0; i < values; ++i) {
      std::uint64_t bits;
      std::memcpy(&bits, run + 8 * i, 8);
      if (may_change(bits)) {
        bits = canonical_bits(bits);
        std::memcpy(run + 8 * i, &bits, 8);
      }
    }
  }

  char* w_;
  SridSlot slot_;
};

}  // namespace
}  // namespace geoweave
