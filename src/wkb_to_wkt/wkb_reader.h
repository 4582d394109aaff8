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
//       never reported: h.has_srid is false for them)
//   void point(const double* ordinates, unsigned k, Placement where);
//       the body of a Point record (k = 2, 3 or 4)
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

struct Cursor {
  const std::uint8_t* data;
  std::uint64_t length;
  std::uint64_t position = 0;
  bool little_endian = true;

  std::uint64_t remaining() const noexcept { return length - position; }
};

[[gnu::cold, gnu::noinline]] inline ConversionError end_of_data(const char* width) {
  return ConversionError::wkb(std::string("unexpected end of data reading ") + width);
}

inline Result<void> read_byte_order(Cursor& c) {
  if (c.remaining() < 1) return fail(ConversionError::wkb("unexpected end of data"));
  const std::uint8_t marker = c.data[c.position++];
  if (marker > 1) {
    return fail(ConversionError::wkb("invalid byte order marker: " + std::to_string(marker)));
  }
  c.little_endian = marker == 1;
  return {};
}

inline Result<std::uint32_t> read_u32(Cursor& c) {
  if (c.remaining() < 4) return fail(end_of_data("u32"));
  const std::uint32_t v = load_u32(c.data + c.position, c.little_endian);
  c.position += 4;
  return v;
}

inline Result<WkbHeader> read_header(Cursor& c) {
  auto word = read_u32(c);
  if (!word) return fail(std::move(word.error()));
  const std::uint32_t type_word = *word;
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
  if (base < 1 || base > 7) return fail(ConversionError::unsupported(base));
  WkbHeader h{dim, static_cast<GeometryType>(base), false, 0};
  if (type_word & EWKB_SRID_FLAG) {
    if (c.remaining() < 4) return fail(end_of_data("i32"));
    const auto srid = static_cast<std::int32_t>(load_u32(c.data + c.position, c.little_endian));
    c.position += 4;
    h.has_srid = srid > 0;
    h.srid = srid;
  }
  return h;
}

template <class Emitter>
class Reader {
 public:
  Reader(ByteSpan input, Emitter& emitter) noexcept
      : c_{input.data, input.size}, em_(emitter) {}

  // One whole value: the outermost record and nothing after it. Returns the
  // outermost record's SRID.
  Result<SridSlot> read_all() {
    auto top = read_geometry(Placement::Top, 0);
    if (!top) return fail(std::move(top.error()));
    if (c_.position != c_.length) {
      return fail(ConversionError::wkb("unexpected trailing data: " +
                                       std::to_string(c_.length - c_.position) +
                                       " bytes remaining"));
    }
    return top->has_srid ? SridSlot{true, top->srid} : SridSlot{};
  }

 private:
  Result<void> read_coordinate_list(Dimension dim, std::uint64_t count) {
    const unsigned k = ordinate_count(dim);
    const std::uint64_t stride = 8ull * k;
    const std::uint64_t available = c_.remaining() / stride;
    const std::uint64_t n = count < available ? count : available;
    if (c_.little_endian) {
      em_.template coordinates<true>(c_.data + c_.position, n, k);
    } else {
      em_.template coordinates<false>(c_.data + c_.position, n, k);
    }
    c_.position += n * stride;
    if (n < count) return fail(end_of_data("f64"));
    return {};
  }

  Result<void> read_rings(Dimension dim, std::uint32_t rings) {
    for (std::uint32_t r = 0; r < rings; ++r) {
      if (r) em_.separator();
      auto points = read_u32(c_);
      if (!points) return fail(std::move(points.error()));
      em_.open_ring(*points);
      if (auto ok = read_coordinate_list(dim, *points); !ok) return ok;
      em_.close_ring();
    }
    return {};
  }

  // The body of a Point, LineString or Polygon.
  Result<void> read_simple_body(GeometryType type, Dimension dim, Placement where) {
    if (type == GeometryType::Point) {
      const unsigned k = ordinate_count(dim);
      // All ordinates are read before anything is emitted: a short Point fails
      // on its first missing ordinate with nothing written.
      if (c_.remaining() < 8ull * k) return fail(end_of_data("f64"));
      double values[4];
      const std::uint8_t* p = c_.data + c_.position;
      for (unsigned i = 0; i < k; ++i) {
        const std::uint64_t bits = load_u64(p + 8 * i, c_.little_endian);
        std::memcpy(&values[i], &bits, 8);
      }
      c_.position += 8ull * k;
      em_.point(values, k, where);
      return {};
    }
    auto count = read_u32(c_);  // points of a LineString, rings of a Polygon
    if (!count) return fail(std::move(count.error()));
    em_.open_list(*count, where);
    if (*count == 0) return {};
    auto ok = type == GeometryType::LineString ? read_coordinate_list(dim, *count)
                                               : read_rings(dim, *count);
    if (!ok) return ok;
    em_.close_list();
    return {};
  }

  Result<void> read_multi(const WkbHeader& h, Placement where) {
    auto count = read_u32(c_);
    if (!count) return fail(std::move(count.error()));
    em_.open_list(*count, where);
    if (*count == 0) return {};
    const GeometryType member_type =
        h.geometry_type == GeometryType::MultiPoint        ? GeometryType::Point
        : h.geometry_type == GeometryType::MultiLineString ? GeometryType::LineString
                                                            : GeometryType::Polygon;
    for (std::uint32_t i = 0; i < *count; ++i) {
      if (i) em_.separator();
      if (auto ok = read_byte_order(c_); !ok) return ok;
      auto member = read_header(c_);
      if (!member) return fail(std::move(member.error()));
      if (member->geometry_type != member_type) {
        return fail(ConversionError::wkb(
            "expected " + std::string(geometry_type_name(member_type)) + " sub-geometry in " +
            std::string(geometry_type_name(h.geometry_type)) + ", got type code " +
            std::string(geometry_type_name(member->geometry_type))));
      }
      if (member->dimension != h.dimension) {
        return fail(ConversionError::wkb(
            std::string(geometry_type_name(h.geometry_type)) +
            " child has incompatible dimension " + std::string(dimension_name(member->dimension)) +
            "; expected " + std::string(dimension_name(h.dimension))));
      }
      // A member's own SRID is consumed and dropped.
      em_.begin_geometry(WkbHeader{h.dimension, member_type, false, 0}, Placement::InMulti);
      if (auto ok = read_simple_body(member_type, h.dimension, Placement::InMulti); !ok) {
        return ok;
      }
    }
    em_.close_list();
    return {};
  }

  Result<WkbHeader> read_geometry(Placement where, std::size_t depth) {
    if (depth >= MAX_NESTING_DEPTH) {
      return fail(ConversionError::wkb("geometry nesting exceeds maximum depth of 128"));
    }
    if (auto ok = read_byte_order(c_); !ok) return fail(std::move(ok.error()));
    auto header = read_header(c_);
    if (!header) return fail(std::move(header.error()));
    const WkbHeader& h = *header;
    if (where == Placement::Top) {
      em_.begin_geometry(h, where);
    } else {
      em_.begin_geometry(WkbHeader{h.dimension, h.geometry_type, false, 0}, where);
    }

    switch (h.geometry_type) {
      case GeometryType::Point:
      case GeometryType::LineString:
      case GeometryType::Polygon:
        if (auto ok = read_simple_body(h.geometry_type, h.dimension, where); !ok) {
          return fail(std::move(ok.error()));
        }
        break;
      case GeometryType::MultiPoint:
      case GeometryType::MultiLineString:
      case GeometryType::MultiPolygon:
        if (auto ok = read_multi(h, where); !ok) return fail(std::move(ok.error()));
        break;
      case GeometryType::GeometryCollection: {
        auto count = read_u32(c_);
        if (!count) return fail(std::move(count.error()));
        em_.open_list(*count, where);
        if (*count == 0) break;
        for (std::uint32_t i = 0; i < *count; ++i) {
          if (i) em_.separator();
          auto member = read_geometry(Placement::InCollection, depth + 1);
          if (!member) return member;
          // Read to its end first: a fault inside the member wins.
          if (h.dimension != Dimension::XY && member->dimension != h.dimension) {
            return fail(ConversionError::wkb(
                "GeometryCollection " + std::string(dimension_name(h.dimension)) +
                " member has incompatible dimension " +
                std::string(dimension_name(member->dimension))));
          }
        }
        em_.close_list();
        break;
      }
    }
    return h;
  }

  Cursor c_;
  Emitter& em_;
};

// Reads the whole of `input` through `emitter`; returns the top-level SRID.
template <class Emitter>
Result<SridSlot> read_wkb(ByteSpan input, Emitter& emitter) {
  return Reader<Emitter>(input, emitter).read_all();
}

}  // namespace geoweave::wkb
