// The EWKB emitter of the WKB reader. Headers are rewritten record by record;
// coordinates are copied as a run (one block copy when both sides are
// little-endian bytes) and only the ordinates the canonical form changes are
// fixed up afterwards: NaNs of any payload or sign become the one quiet NaN the
// WKT parser writes for "NaN", and negative zero becomes zero, which is what
// canonical text ("0") reads back as.
#include "ops/ewkb_rebuild.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "core/simd.h"

#include "wkb_to_wkt/wkb_reader.h"
#include "wkt_to_wkb/sinks.h"

namespace geoweave {
namespace {

using wkb::Placement;

constexpr std::uint64_t QUIET_NAN_BITS = 0x7FF8000000000000ull;
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

template <class Sink>
class EwkbEmitter {
 public:
  EwkbEmitter(Sink& sink, SridSlot slot) noexcept : sink_(sink), slot_(slot) {}

  void begin_geometry(const wkb::WkbHeader& h, Placement where) {
    const std::uint32_t word =
        static_cast<std::uint32_t>(h.geometry_type) | dimension_flags(h.dimension);
    sink_.put_byte_order();
    if (where == Placement::Top && slot_.has_srid) {
      sink_.put_u32(word | EWKB_SRID_FLAG);
      sink_.put_u32(static_cast<std::uint32_t>(slot_.srid));
    } else {
      sink_.put_u32(word);
    }
  }
  // An all-NaN (empty) Point needs nothing of its own: each NaN becomes the
  // quiet NaN, as every other one does.
  void point(const double* values, unsigned k, Placement) {
    for (unsigned i = 0; i < k; ++i) {
      sink_.put_f64(std::bit_cast<double>(canonical_bits(std::bit_cast<std::uint64_t>(values[i]))));
    }
  }
  void open_list(std::uint32_t count, Placement) { sink_.put_u32(count); }
  void close_list() noexcept {}
  void separator() noexcept {}
  void open_ring(std::uint32_t count) { sink_.put_u32(count); }
  void close_ring() noexcept {}

  template <bool LittleEndian>
  void coordinates(const std::uint8_t* p, std::uint64_t n, unsigned k) {
    const std::size_t values = static_cast<std::size_t>(n) * k;
    char* out = sink_.tail(values * Sink::F64_WIDTH);
    // The bulk copy keeps the input's bytes, which are the output's only when
    // both they and the host are little-endian (the scan reads host words).
    if constexpr (LittleEndian && HOST_LITTLE_ENDIAN && !Sink::IS_HEX) {
      if (copy_and_scan(p, out, values)) fix_up(out, values);
    } else {
      for (std::size_t i = 0; i < values; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, p + 8 * i, 8);
        if constexpr (LittleEndian != HOST_LITTLE_ENDIAN) bits = std::byteswap(bits);
        Sink::store_f64(out + i * Sink::F64_WIDTH, std::bit_cast<double>(canonical_bits(bits)));
      }
    }
    sink_.commit(values * Sink::F64_WIDTH);
  }

 private:
  // Copies a run and tells whether it holds a value that normalisation may
  // change: zeros, infinities or NaNs, rare in real data. The test looks at the
  // high words only and may also flag tiny subnormals; fix_up is exact.
  static bool copy_and_scan(const std::uint8_t* from, char* to, std::size_t values) noexcept {
    std::size_t i = 0;
    bool any = false;
#if GEOWEAVE_USE_SSE2
    const __m128i exponent = _mm_set1_epi32(0x7FF00000);
    const __m128i magnitude = _mm_set1_epi32(0x7FFFFFFF);
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = zero;
    for (; i + 2 <= values; i += 2) {  // two doubles: lanes lo0 hi0 lo1 hi1
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 8 * i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8 * i), v);
      acc = _mm_or_si128(acc, _mm_cmpeq_epi32(_mm_and_si128(v, exponent), exponent));
      acc = _mm_or_si128(acc, _mm_cmpeq_epi32(_mm_and_si128(v, magnitude), zero));
    }
    any = (_mm_movemask_epi8(acc) & 0xF0F0) != 0;  // the high lanes only
#endif
    for (; i < values; ++i) {
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

  Sink& sink_;
  SridSlot slot_;
};

// The EwkbEmitter's arithmetic without its writes, in bytes.
class LengthEmitter {
 public:
  explicit LengthEmitter(SridSlot slot) noexcept : slot_(slot) {}

  void begin_geometry(const wkb::WkbHeader&, Placement where) noexcept {
    length_ += where == Placement::Top && slot_.has_srid ? 9 : 5;
  }
  void point(const double*, unsigned k, Placement) noexcept { length_ += 8ull * k; }
  void open_list(std::uint32_t, Placement) noexcept { length_ += 4; }
  void close_list() noexcept {}
  void separator() noexcept {}
  void open_ring(std::uint32_t) noexcept { length_ += 4; }
  void close_ring() noexcept {}
  template <bool LittleEndian>
  void coordinates(const std::uint8_t*, std::uint64_t n, unsigned k) noexcept {
    length_ += 8ull * k * n;
  }
  std::uint64_t length() const noexcept { return length_; }

 private:
  SridSlot slot_;
  std::uint64_t length_ = 0;
};

// A caller's area of a fixed size lent to one output buffer. The buffer never
// needs more when the input reads as it did when measured; if it does (the
// input changed meanwhile), it continues in heap memory of its own and
// finish() copies back what fits.
class FixedStorage final : public BufferStorage {
 public:
  FixedStorage(char* area, std::size_t size) noexcept : area_(area), size_(size) {}
  FixedStorage(const FixedStorage&) = delete;
  FixedStorage& operator=(const FixedStorage&) = delete;
  ~FixedStorage() { std::free(spill_); }

  char* resize(std::size_t kept, std::size_t capacity) override {
    if (!spill_ && capacity <= size_) return area_;
    char* from = spill_ ? spill_ : area_;
    void* p = spill_ ? std::realloc(spill_, capacity) : std::malloc(capacity);
    if (!p) throw std::bad_alloc();
    if (!spill_ && kept) std::memcpy(p, from, kept);
    spill_ = static_cast<char*>(p);
    return spill_;
  }

  // The area filled exactly: what `written` holds, cut or padded with zeros.
  void finish(std::string_view written) noexcept {
    const std::size_t n = written.size() < size_ ? written.size() : size_;
    if (n && written.data() != area_) std::memmove(area_, written.data(), n);
    if (n < size_) std::memset(area_ + n, 0, size_ - n);
  }

 private:
  char* area_;
  std::size_t size_;
  char* spill_ = nullptr;
};

template <class Sink>
void rebuild_into_with(ByteSpan wkb, SridSlot slot, char* out, std::size_t length) {
  FixedStorage area(out, length);
  {
    Sink sink(&area, length / (Sink::IS_HEX ? 2 : 1));
    EwkbEmitter<Sink> emitter(sink, slot);
    const bool read = wkb::read_wkb(wkb, emitter).has_value();
    OutputBuffer written = sink.take();
    area.finish(read ? written.view() : std::string_view());
  }
}

template <class Sink>
Result<OutputBuffer> rebuild_with(ByteSpan wkb, SridSlot slot, BufferStorage* storage) {
  // Each record's header shrinks or stays (ISO codes and flag words are both
  // four bytes; members lose their SRIDs); only the top one may gain an SRID.
  Sink sink(storage, wkb.size ? wkb.size + 4 : 0);
  EwkbEmitter<Sink> emitter(sink, slot);
  // The input's own SRID is read and dropped: the slot alone decides.
  if (auto read = wkb::read_wkb(wkb, emitter); !read) return fail(std::move(read.error()));
  return sink.take();
}

}  // namespace

Result<OutputBuffer> rebuild_ewkb(ByteSpan wkb, SridSlot slot, BufferStorage* storage) {
  return rebuild_with<BinarySink>(wkb, slot, storage);
}

Result<OutputBuffer> rebuild_ewkb_hex(ByteSpan wkb, SridSlot slot, BufferStorage* storage) {
  return rebuild_with<HexSink>(wkb, slot, storage);
}

Result<std::size_t> rebuilt_length(ByteSpan wkb, SridSlot slot) {
  LengthEmitter emitter(slot);
  if (auto read = wkb::read_wkb(wkb, emitter); !read) return fail(std::move(read.error()));
  return static_cast<std::size_t>(emitter.length());
}

void rebuild_into(ByteSpan wkb, SridSlot slot, RewriteEncoding encoding, char* out,
                  std::size_t length) {
  if (encoding == RewriteEncoding::Hex) {
    rebuild_into_with<HexSink>(wkb, slot, out, length);
  } else {
    rebuild_into_with<BinarySink>(wkb, slot, out, length);
  }
}

}  // namespace geoweave
