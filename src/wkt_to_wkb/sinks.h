// The two EWKB sinks: BinarySink appends bytes, HexSink the upper-case hex
// digits of exactly those bytes, without building the bytes first. The WKT
// parser is a template over them, so either sink compiles to straight-line
// code. (The WKB rebuild, whose result never outgrows a bound known up front,
// writes through a raw cursor instead: ops/ewkb_rebuild.cpp.)
//
// Both write little-endian only. Bulk writers take room with tail(n) in output
// units (F64_WIDTH per double), store with store_f64 and commit once. A sink's
// flavor is the form of the type words the parser writes through it (EWKB
// flags or ISO codes), read once per record header: a template parameter
// instead would double the parser's instantiations and shift the compiler's
// inlining of the coordinate loops for the EWKB ones too.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/buffer.h"
#include "core/hex_encode.h"
#include "core/types.h"

namespace geoweave {

class BinarySink {
 public:
  static constexpr std::size_t F64_WIDTH = 8;
  static constexpr bool IS_HEX = false;

  // `reserve` is in bytes of EWKB.
  BinarySink(BufferStorage* storage, std::size_t reserve,
             WkbFlavor flavor = WkbFlavor::Extended)
      : buf_(storage, reserve), flavor_(flavor) {}

  WkbFlavor flavor() const noexcept { return flavor_; }

  char* tail(std::size_t n) { return buf_.tail(n); }
  // Little-endian whatever the host's order, as the byte-order marker says.
  static void store_f64(char* at, double v) noexcept {
    const std::uint64_t bits = to_little_endian(std::bit_cast<std::uint64_t>(v));
    std::memcpy(at, &bits, 8);
  }
  void commit(std::size_t n) noexcept { buf_.commit(n); }

  void put_byte_order() { buf_.push_back('\x01'); }
  void put_u32(std::uint32_t v) {
    v = to_little_endian(v);
    std::memcpy(buf_.tail(4), &v, 4);
    buf_.commit(4);
  }
  void put_f64(double v) {
    store_f64(buf_.tail(8), v);
    buf_.commit(8);
  }
  // A whole two-ordinate Point record in one reservation: byte order, type
  // word, the SRID when `with_srid`, x and y. The SRID is stored either way
  // and x written over it when there is none, so nothing branches.
  void put_xy_point(std::uint32_t word, bool with_srid, std::uint32_t srid, double x, double y) {
    char* p = buf_.tail(25);
    p[0] = '\x01';
    word = to_little_endian(word);
    srid = to_little_endian(srid);
    std::memcpy(p + 1, &word, 4);
    std::memcpy(p + 5, &srid, 4);
    p += 4 * with_srid;
    store_f64(p + 5, x);
    store_f64(p + 13, y);
    buf_.commit(21 + 4 * with_srid);
  }
  std::size_t reserve_count() {
    const std::size_t at = buf_.size();
    put_u32(0);
    return at;
  }
  void patch_count(std::size_t offset, std::uint32_t v) noexcept {
    v = to_little_endian(v);
    buf_.overwrite(offset, &v, 4);
  }
  OutputBuffer take() noexcept { return std::move(buf_); }

 private:
  OutputBuffer buf_;
  WkbFlavor flavor_;
};

class HexSink {
 public:
  static constexpr std::size_t F64_WIDTH = 16;
  static constexpr bool IS_HEX = true;

  // `reserve_bytes` is in bytes of EWKB; twice as many digits are reserved.
  HexSink(BufferStorage* storage, std::size_t reserve_bytes,
          WkbFlavor flavor = WkbFlavor::Extended)
      : buf_(storage, reserve_bytes * 2), flavor_(flavor) {}

  WkbFlavor flavor() const noexcept { return flavor_; }

  char* tail(std::size_t n) { return buf_.tail(n); }
  static void store_f64(char* at, double v) noexcept {
    hex::encode8(at, std::bit_cast<std::uint64_t>(v));
  }
  void commit(std::size_t n) noexcept { buf_.commit(n); }

  void put_byte_order() {
    char* p = buf_.tail(2);
    p[0] = '0';
    p[1] = '1';
    buf_.commit(2);
  }
  void put_u32(std::uint32_t v) {
    hex::encode4(buf_.tail(8), v);
    buf_.commit(8);
  }
  void put_f64(double v) {
    store_f64(buf_.tail(16), v);
    buf_.commit(16);
  }
  // The hex digits of BinarySink::put_xy_point's record, written the same way.
  void put_xy_point(std::uint32_t word, bool with_srid, std::uint32_t srid, double x, double y) {
    char* p = buf_.tail(50);
    p[0] = '0';
    p[1] = '1';
    hex::encode4(p + 2, word);
    hex::encode4(p + 10, srid);
    p += 8 * with_srid;
    store_f64(p + 10, x);
    store_f64(p + 26, y);
    buf_.commit(42 + 8 * with_srid);
  }
  std::size_t reserve_count() {
    const std::size_t at = buf_.size();
    std::memset(buf_.tail(8), '0', 8);
    buf_.commit(8);
    return at;
  }
  void patch_count(std::size_t offset, std::uint32_t v) noexcept {
    hex::encode4(buf_.data() + offset, v);
  }
  OutputBuffer take() noexcept { return std::move(buf_); }

 private:
  OutputBuffer buf_;
  WkbFlavor flavor_;
};

}  // namespace geoweave
