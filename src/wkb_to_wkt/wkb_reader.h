// The one-pass WKB / EWKB / ISO WKB reader, generic over what it emits.
//
// The reader owns the format: byte orders, type words, dimensions, SRIDs,
// nesting, member checks, every error and the order in which they are found.
// What the geometry becomes is the emitter's business: canonical WKT text
// (wkb_to_wkt/reader.cpp) or canonical EWKB bytes or hex (ops/ewkb_rebuild.cpp).
// The emitter is a template parameter, so each pairing compiles to the same
// straight-line code a hand-written converter would be.
//
// An emitter provides (all called in reading order, only on what has been read):
//
//   void begin_geometry(const WkbHeader& h, Placement where);
//       a record's header has been read (the SRID of members is consumed but
//       never reported: h.has_srid is false for them); not called for Points
//   void point(const WkbHeader& h, const double* ordinates, unsigned k,
//              Placement where);
//       a whole Point record, header and ordinates (k = 2, 3 or 4), once all
//       of it has been read
//   void open_list(std::uint32_t count, Placement where);
//       a counted body: points of a LineString, rings of a Polygon, members of a
//       collection; count 0 is the EMPTY geometry, and no close_list follows
//   void close_list();
//   void separator();
//       before every element of a list but the first
//   void open_ring(std::uint32_t count);  void close_ring();
//       one ring of a Polygon (a ring of 0 points is written, not EMPTY)
//   template <bool LittleEndian> void coordinates(const std::uint8_t* p,
//                                                 std::uint64_t n, unsigned k);
//       a run of n coordinates of k ordinates, as they lie in the input
//
// An emitter is a small copyable handle (a cursor, a pointer to a buffer): the
// reader's hottest loop works on a copy of it and assigns the copy back.
//
// Counts are known before their elements are read (they come from the data),
// so an emitter that writes counts writes them at once; the reader never uses
// a count to size anything, and a list that runs out of data fails after the
// coordinates that were present.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/buffer.h"
#include "core/types.h"

namespace geoweave::wkb {

// Where a record sits: the outermost one, a member of a GeometryCollection
// (a whole record with its own keyword), or a member of a MultiPoint,
// MultiLineString or MultiPolygon (read inline by its parent).
enum class Placement : std::uint8_t { Top, InCollection, InMulti };

struct WkbHeader {
  Dimension dimension;
  GeometryType geometry_type;
  bool has_srid;  // SRID flag set and value > 0
  std::int32_t srid;
};

template <class Emitter>
class Reader {
 public:
  Reader(ByteSpan input, Emitter& emitter) noexcept
      : p_(input.data), end_(input.data + input.size), em_(emitter) {}

  // One whole value: the outermost record and nothing after it. Returns the
  // outermost record's SRID.
  // Inlined into each driver: a row then pays for one frame less.
  [[gnu::always_inline]] inline Result<SridSlot> read_all() {
    WkbHeader top{};
    if (!read_geometry(Placement::Top, 0, top)) return fail(std::move(error_));
    if (p_ != end_) {
      return fail(ConversionError::wkb("unexpected trailing data: " + std::to_string(remaining()) +
                                       " bytes remaining"));
    }
    return top.has_srid ? SridSlot{true, top.srid} : SridSlot{};
  }

 private:
  // The hot path returns plain bools and never touches an error object: each
  // failure is recorded once, by a cold function, into error_ (a record costs
  // a few nanoseconds, and a collection holds thousands of them).
  [[gnu::cold, gnu::noinline]] bool failed(ConversionError e) {
    error_ = std::move(e);
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool end_of_data(const char* width) {
    return failed(ConversionError::wkb(std::string("unexpected end of data reading ") + width));
  }
  [[gnu::cold, gnu::noinline]] bool no_byte_order() {
    return failed(ConversionError::wkb("unexpected end of data"));
  }
  [[gnu::cold, gnu::noinline]] bool bad_byte_order(std::uint8_t marker) {
    return failed(ConversionError::wkb("invalid byte order marker: " + std::to_string(marker)));
  }
  [[gnu::cold, gnu::noinline]] bool wrong_member(GeometryType parent, GeometryType expected,
                                                 GeometryType got) {
    return failed(ConversionError::wkb(
        "expected " + std::string(geometry_type_name(expected)) + " sub-geometry in " +
        std::string(geometry_type_name(parent)) + ", got type code " +
        std::string(geometry_type_name(got))));
  }
  [[gnu::cold, gnu::noinline]] bool wrong_member_dimension(GeometryType parent, Dimension expected,
                                                           Dimension got) {
    return failed(ConversionError::wkb(
        std::string(geometry_type_name(parent)) + " child has incompatible dimension " +
        std::string(dimension_name(got)) + "; expected " + std::string(dimension_name(expected))));
  }
  [[gnu::cold, gnu::noinline]] bool wrong_collection_dimension(Dimension expected, Dimension got) {
    return failed(ConversionError::wkb(collection_member_dimension_message(expected, got)));
  }

  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }

  bool read_byte_order() {
    if (p_ == end_) [[unlikely]] return no_byte_order();
    const std::uint8_t marker = *p_++;
    if (marker > 1) [[unlikely]] return bad_byte_order(marker);
    little_endian_ = marker == 1;
    return true;
  }

  bool read_u32(std::uint32_t& v) {
    if (remaining() < 4) [[unlikely]] return end_of_data("u32");
    v = load_u32(p_, little_endian_);
    p_ += 4;
    return true;
  }

  // The type word (and SRID, when flagged) after a byte order marker.
  bool read_header(WkbHeader& h) {
    std::uint32_t type_word = 0;
    if (!read_u32(type_word)) return false;
    const std::uint32_t code = type_word & 0xFFFFu;
    const bool z = type_word & EWKB_Z_FLAG;
    const bool m = type_word & EWKB_M_FLAG;
    Dimension dim;
    std::uint32_t base = code;
    if (z) {
      dim = m ? Dimension::XYZM : Dimension::XYZ;
    } else if (m) {
      dim = Dimension::XYM;
    } else if (code > 3000) {
      dim = Dimension::XYZM;
      base = code - 3000;
    } else if (code > 2000) {
      dim = Dimension::XYM;
      base = code - 2000;
    } else if (code > 1000) {
      dim = Dimension::XYZ;
      base = code - 1000;
    } else {
      dim = Dimension::XY;
    }
    if (base < 1 || base > 7) [[unlikely]] return failed(ConversionError::unsupported(base));
    h = WkbHeader{dim, static_cast<GeometryType>(base), false, 0};
    if (type_word & EWKB_SRID_FLAG) {
      if (remaining() < 4) [[unlikely]] return end_of_data("i32");
      const auto srid = static_cast<std::int32_t>(load_u32(p_, little_endian_));
      p_ += 4;
      h.has_srid = srid > 0;
      h.srid = srid;
    }
    return true;
  }

  // A record's marker and header. The commonest record, a marker and a plain
  // XY type code 1-7, is decided from one load; anything else goes through
  // read_byte_order and read_header, which find every error in order.
  bool read_record_header(WkbHeader& h) {
    if (remaining() >= 5) [[likely]] {
      const std::uint8_t marker = p_[0];
      const std::uint32_t word = load_u32(p_ + 1, marker == 1);
      if (marker <= 1 && word - 1u < 7u) {
        little_endian_ = marker == 1;
        p_ += 5;
        h = WkbHeader{Dimension::XY, static_cast<GeometryType>(word), false, 0};
        return true;
      }
    }
    return read_byte_order() && read_header(h);
  }

  bool read_coordinate_list(Dimension dim, std::uint64_t count) {
    const unsigned k = ordinate_count(dim);
    const std::uint64_t stride = 8ull * k;
    // count * stride cannot overflow (a 32-bit count, at most 32 bytes each);
    // the division is left to the list that runs out.
    const std::uint64_t n = count * stride <= remaining() ? count : remaining() / stride;
    if (little_endian_) {
      em_.template coordinates<true>(p_, n, k);
    } else {
      em_.template coordinates<false>(p_, n, k);
    }
    p_ += n * stride;
    if (n < count) [[unlikely]] return end_of_data("f64");
    return true;
  }

  bool read_rings(Dimension dim, std::uint32_t rings) {
    for (std::uint32_t r = 0; r < rings; ++r) {
      if (r) em_.separator();
      std::uint32_t points = 0;
      if (!read_u32(points)) return false;
      em_.open_ring(points);
      if (!read_coordinate_list(dim, points)) return false;
      em_.close_ring();
    }
    return true;
  }

  // The body of a LineString or Polygon.
  [[gnu::noinline]] bool read_list_body(GeometryType type, Dimension dim, Placement where) {
    std::uint32_t count = 0;  // points of a LineString, rings of a Polygon
    if (!read_u32(count)) return false;
    em_.open_list(count, where);
    if (count == 0) return true;
    const bool ok = type == GeometryType::LineString ? read_coordinate_list(dim, count)
                                                     : read_rings(dim, count);
    if (!ok) return false;
    em_.close_list();
    return true;
  }

  // A Point of K ordinates: all of them are read before anything is emitted,
  // header included, so a short Point fails on its first missing ordinate
  // with nothing written, and the reads of a run of Points are not held up
  // by the writes of the one before.
  template <unsigned K>
  bool read_point(const WkbHeader& emitted, Placement where) {
    if (remaining() < 8ull * K) [[unlikely]] return end_of_data("f64");
    double values[K];
    const bool little = little_endian_;
    for (unsigned i = 0; i < K; ++i) {
      const std::uint64_t bits = load_u64(p_ + 8 * i, little);
      std::memcpy(&values[i], &bits, 8);
    }
    p_ += 8ull * K;
    em_.point(emitted, values, K, where);
    return true;
  }

  // A Point, LineString or Polygon whose header has been read: `emitted` is
  // the header the emitter is given. Inlined into the collection loop, as
  // read_geometry is.
  [[gnu::always_inline]] inline bool read_simple(const WkbHeader& emitted, Placement where) {
    if (emitted.geometry_type != GeometryType::Point) {
      em_.begin_geometry(emitted, where);
      return read_list_body(emitted.geometry_type, emitted.dimension, where);
    }
    switch (emitted.dimension) {
      case Dimension::XY: return read_point<2>(emitted, where);
      case Dimension::XYZM: return read_point<4>(emitted, where);
      default: return read_point<3>(emitted, where);
    }
  }

  // One member of a Multi geometry, header and body.
  bool read_member(const WkbHeader& h, GeometryType member_type) {
    WkbHeader member{};
    if (!read_record_header(member)) return false;
    if (member.geometry_type != member_type) [[unlikely]] {
      return wrong_member(h.geometry_type, member_type, member.geometry_type);
    }
    if (member.dimension != h.dimension) [[unlikely]] {
      return wrong_member_dimension(h.geometry_type, h.dimension, member.dimension);
    }
    // A member's own SRID is consumed and dropped.
    return read_simple(WkbHeader{h.dimension, member_type, false, 0}, Placement::InMulti);
  }

  // The members of a MultiPoint of K ordinates. A member whose marker and
  // type word are the plain ones for its dimension (ISO or flagged, no SRID)
  // and whose ordinates are all there is read at once; any other goes through
  // read_member, which finds its errors in order. The loop runs on local
  // copies of the read position and the emitter, stored back around the slow
  // path: an emitter's byte stores may alias anything reached through `this`,
  // so members would otherwise go through memory on every Point, a chain of
  // store-to-load round trips from one member to the next.
  template <unsigned K>
  bool read_points(const WkbHeader& h, std::uint32_t count) {
    const std::uint32_t iso_word = 1 + 1000 * static_cast<std::uint32_t>(h.dimension);
    const std::uint32_t flag_word = 1 | dimension_flags(h.dimension);
    const WkbHeader emitted{h.dimension, GeometryType::Point, false, 0};
    const std::uint8_t* p = p_;
    Emitter em = em_;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (i) em.separator();
      if (static_cast<std::size_t>(end_ - p) >= 5 + 8 * K) [[likely]] {
        const std::uint8_t marker = p[0];
        const bool little = marker == 1;
        const std::uint32_t word = load_u32(p + 1, little);
        if (marker <= 1 && (word == iso_word || word == flag_word)) [[likely]] {
          double values[K];
          for (unsigned j = 0; j < K; ++j) {
            const std::uint64_t bits = load_u64(p + 5 + 8 * j, little);
            std::memcpy(&values[j], &bits, 8);
          }
          little_endian_ = little;
          p += 5 + 8 * K;
          em.point(emitted, values, K, Placement::InMulti);
          continue;
        }
      }
      p_ = p;
      em_ = em;
      if (!read_member(h, GeometryType::Point)) return false;
      p = p_;
      em = em_;
    }
    p_ = p;
    em_ = em;
    return true;
  }

  [[gnu::noinline]] bool read_multi(const WkbHeader& h, Placement where) {
    std::uint32_t count = 0;
    if (!read_u32(count)) return false;
    em_.open_list(count, where);
    if (count == 0) return true;
    bool ok = true;
    switch (h.geometry_type) {
      case GeometryType::MultiPoint:
        ok = h.dimension == Dimension::XY     ? read_points<2>(h, count)
             : h.dimension == Dimension::XYZM ? read_points<4>(h, count)
                                              : read_points<3>(h, count);
        break;
      default: {
        const GeometryType member_type = h.geometry_type == GeometryType::MultiLineString
                                             ? GeometryType::LineString
                                             : GeometryType::Polygon;
        for (std::uint32_t i = 0; i < count && ok; ++i) {
          if (i) em_.separator();
          ok = read_member(h, member_type);
        }
      }
    }
    if (!ok) return false;
    em_.close_list();
    return true;
  }

  [[gnu::noinline]] bool read_collection(const WkbHeader& h, Placement where, std::size_t depth) {
    std::uint32_t count = 0;
    if (!read_u32(count)) return false;
    em_.open_list(count, where);
    if (count == 0) return true;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (i) em_.separator();
      WkbHeader member{};
      if (!read_geometry(Placement::InCollection, depth + 1, member)) return false;
      // Read to its end first: a fault inside the member wins.
      if (h.dimension != Dimension::XY && member.dimension != h.dimension) [[unlikely]] {
        return wrong_collection_dimension(h.dimension, member.dimension);
      }
    }
    em_.close_list();
    return true;
  }

  // One record, header and body. Inlined into the collection loop, so only
  // nested collections recurse.
  [[gnu::always_inline]] inline bool read_geometry(Placement where, std::size_t depth,
                                                   WkbHeader& h) {
    if (depth >= MAX_NESTING_DEPTH) [[unlikely]] {
      return failed(ConversionError::wkb(NESTING_DEPTH_MESSAGE));
    }
    if (!read_record_header(h)) return false;
    // Only the outermost record's SRID is reported.
    const WkbHeader emitted =
        where == Placement::Top ? h : WkbHeader{h.dimension, h.geometry_type, false, 0};
    switch (h.geometry_type) {
      case GeometryType::Point:
      case GeometryType::LineString:
      case GeometryType::Polygon:
        return read_simple(emitted, where);
      case GeometryType::MultiPoint:
      case GeometryType::MultiLineString:
      case GeometryType::MultiPolygon:
        em_.begin_geometry(emitted, where);
        return read_multi(h, where);
      case GeometryType::GeometryCollection:
        em_.begin_geometry(emitted, where);
        return read_collection(h, where, depth);
    }
    return true;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  bool little_endian_ = true;
  Emitter& em_;
  ConversionError error_;
};

// Reads the whole of `input` through `emitter`; returns the top-level SRID.
template <class Emitter>
[[gnu::always_inline]] inline Result<SridSlot> read_wkb(ByteSpan input, Emitter& emitter) {
  return Reader<Emitter>(input, emitter).read_all();
}

}  // namespace geoweave::wkb
