#include "wkb_to_wkt/reader.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "wkb_to_wkt/builder.h"
#include "wkb_to_wkt/ordinate_format.h"

namespace geoweave {
namespace {

struct WkbCursor {
  const std::uint8_t* data;
  std::uint64_t length;
  std::uint64_t position = 0;
  bool little_endian = true;

  std::uint64_t remaining() const noexcept { return length - position; }
};

struct GeometryHeader {
  Dimension dimension;
  GeometryType geometry_type;
  bool has_srid;
  std::int32_t srid;
};

struct ReadOutcome {
  bool has_srid;
  std::int32_t srid;
  Dimension dimension;
};

ConversionError end_of_data(const char* width) {
  return ConversionError::wkb(std::string("unexpected end of data reading ") + width);
}

Result<void> read_byte_order(WkbCursor& c) {
  if (c.remaining() < 1) return fail(ConversionError::wkb("unexpected end of data"));
  const std::uint8_t marker = c.data[c.position++];
  if (marker > 1) {
    return fail(ConversionError::wkb("invalid byte order marker: " + std::to_string(marker)));
  }
  c.little_endian = marker == 1;
  return {};
}

Result<std::uint32_t> read_u32(WkbCursor& c) {
  if (c.remaining() < 4) return fail(end_of_data("u32"));
  const std::uint32_t v = load_u32(c.data + c.position, c.little_endian);
  c.position += 4;
  return v;
}

Result<GeometryHeader> read_header(WkbCursor& c) {
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
  GeometryHeader h{dim, static_cast<GeometryType>(base), false, 0};
  if (type_word & EWKB_SRID_FLAG) {
    if (c.remaining() < 4) return fail(end_of_data("i32"));
    const auto srid = static_cast<std::int32_t>(load_u32(c.data + c.position, c.little_endian));
    c.position += 4;
    h.has_srid = srid > 0;
    h.srid = srid;
  }
  return h;
}

inline double load_f64(const std::uint8_t* p, bool little_endian) noexcept {
  const std::uint64_t bits = load_u64(p, little_endian);
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

// Reads one coordinate of `k` ordinates into `values`.
Result<void> read_coordinate(WkbCursor& c, unsigned k, double* values) {
  if (c.remaining() < 8ull * k) {
    // Report the first ordinate that runs out, as a one-by-one read would.
    return fail(end_of_data("f64"));
  }
  const std::uint8_t* p = c.data + c.position;
  for (unsigned i = 0; i < k; ++i) values[i] = load_f64(p + 8 * i, c.little_endian);
  c.position += 8ull * k;
  return {};
}

inline bool all_nan(const double* values, unsigned k) noexcept {
  for (unsigned i = 0; i < k; ++i) {
    if (!std::isnan(values[i])) return false;
  }
  return true;
}

// The coordinates of a list, appended separated by ", ". The count comes from
// the data and is never used to size anything: only the bytes actually present
// are formatted, and a list that runs out fails.
template <bool LittleEndian, unsigned K>
void format_coordinate_run(const std::uint8_t* p, std::uint64_t n, OutputBuffer& out) {
  constexpr std::size_t WORST = 2 + K * ORDINATE_RESERVE;
  for (std::uint64_t i = 0; i < n; ++i) {
    char* w = out.tail(WORST);
    // ", " before every coordinate but the first
    std::memcpy(w, ", ", 2);
    w += i ? 2 : 0;
    double values[K];
    for (unsigned j = 0; j < K; ++j) {
      std::uint64_t bits;
      std::memcpy(&bits, p + 8 * j, 8);
      if constexpr (LittleEndian != HOST_LITTLE_ENDIAN) bits = std::byteswap(bits);
      std::memcpy(&values[j], &bits, 8);
    }
    p += 8 * K;
    out.commit_to(detail::format_tuple<K>(values, w));
  }
}

template <bool LittleEndian>
void format_coordinate_run(const std::uint8_t* p, std::uint64_t n, unsigned k,
                           OutputBuffer& out) {
  switch (k) {
    case 2: return format_coordinate_run<LittleEndian, 2>(p, n, out);
    case 3: return format_coordinate_run<LittleEndian, 3>(p, n, out);
    default: return format_coordinate_run<LittleEndian, 4>(p, n, out);
  }
}

Result<void> read_coordinate_list(WkbCursor& c, OutputBuffer& out, Dimension dim,
                                  std::uint64_t count) {
  const unsigned k = ordinate_count(dim);
  const std::uint64_t stride = 8ull * k;
  const std::uint64_t available = c.remaining() / stride;
  const std::uint64_t n = count < available ? count : available;
  if (c.little_endian) {
    format_coordinate_run<true>(c.data + c.position, n, k, out);
  } else {
    format_coordinate_run<false>(c.data + c.position, n, k, out);
  }
  c.position += n * stride;
  if (n < count) return fail(end_of_data("f64"));
  return {};
}

Result<void> read_rings(WkbCursor& c, OutputBuffer& out, Dimension dim, std::uint32_t rings) {
  for (std::uint32_t r = 0; r < rings; ++r) {
    if (r) out.append(", ", 2);
    auto points = read_u32(c);
    if (!points) return fail(std::move(points.error()));
    out.push_back('(');
    if (auto ok = read_coordinate_list(c, out, dim, *points); !ok) return ok;
    out.push_back(')');
  }
  return {};
}

// Text around a body: a top-level geometry writes " EMPTY" / " (" after its
// keyword, a member of a Multi geometry (which has no keyword) "EMPTY" / "(".
// Each is copied as a fixed 8 bytes and then cut to its length, which keeps a
// variable-length copy out of every geometry.
struct Marker {
  char text[8];
  std::uint8_t length;
};
struct BodyMarkers {
  Marker empty;
  Marker open;
};
constexpr BodyMarkers AFTER_KEYWORD{{" EMPTY", 6}, {" (", 2}};
constexpr BodyMarkers IN_LIST{{"EMPTY", 5}, {"(", 1}};

inline void put_marker(OutputBuffer& out, const Marker& marker) {
  std::memcpy(out.tail(sizeof marker.text), marker.text, sizeof marker.text);
  out.commit(marker.length);
}

// The body of a Point, LineString or Polygon.
Result<void> read_simple_body(WkbCursor& c, OutputBuffer& out, GeometryType type,
                              Dimension dim, const BodyMarkers& markers) {
  if (type == GeometryType::Point) {
    const unsigned k = ordinate_count(dim);
    double values[4];
    if (auto ok = read_coordinate(c, k, values); !ok) return ok;
    if (all_nan(values, k)) {
      put_marker(out, markers.empty);
    } else {
      put_marker(out, markers.open);
      write_ordinates(out, values, k);
      out.push_back(')');
    }
    return {};
  }
  auto count = read_u32(c);  // points of a LineString, rings of a Polygon
  if (!count) return fail(std::move(count.error()));
  if (*count == 0) {
    put_marker(out, markers.empty);
    return {};
  }
  put_marker(out, markers.open);
  auto ok = type == GeometryType::LineString ? read_coordinate_list(c, out, dim, *count)
                                             : read_rings(c, out, dim, *count);
  if (!ok) return ok;
  out.push_back(')');
  return {};
}

Result<ReadOutcome> read_geometry(WkbCursor& c, OutputBuffer& out, bool emit_srid,
                                  std::size_t depth);

Result<void> read_multi(WkbCursor& c, OutputBuffer& out, const GeometryHeader& h) {
  auto count = read_u32(c);
  if (!count) return fail(std::move(count.error()));
  if (*count == 0) {
    out.append(" EMPTY", 6);
    return {};
  }
  const GeometryType member_type =
      h.geometry_type == GeometryType::MultiPoint        ? GeometryType::Point
      : h.geometry_type == GeometryType::MultiLineString ? GeometryType::LineString
                                                          : GeometryType::Polygon;
  out.append(" (", 2);
  for (std::uint32_t i = 0; i < *count; ++i) {
    if (i) out.append(", ", 2);
    if (auto ok = read_byte_order(c); !ok) return ok;
    auto member = read_header(c);
    if (!member) return fail(std::move(member.error()));
    if (member->geometry_type != member_type) {
      return fail(ConversionError::wkb(
          "expected " + std::string(geometry_type_name(member_type)) + " sub-geometry in " +
          std::string(geometry_type_name(h.geometry_type)) + ", got type code " +
          std::string(geometry_type_name(member->geometry_type))));
    }
    if (member->dimension != h.dimension) {
      return fail(ConversionError::wkb(
          std::string(geometry_type_name(h.geometry_type)) + " child has incompatible dimension " +
          std::string(dimension_name(member->dimension)) + "; expected " +
          std::string(dimension_name(h.dimension))));
    }
    if (auto ok = read_simple_body(c, out, member_type, h.dimension, IN_LIST); !ok) return ok;
  }
  out.push_back(')');
  return {};
}

Result<ReadOutcome> read_geometry(WkbCursor& c, OutputBuffer& out, bool emit_srid,
                                  std::size_t depth) {
  if (depth >= MAX_NESTING_DEPTH) {
    return fail(ConversionError::wkb("geometry nesting exceeds maximum depth of 128"));
  }
  if (auto ok = read_byte_order(c); !ok) return fail(std::move(ok.error()));
  auto header = read_header(c);
  if (!header) return fail(std::move(header.error()));
  const GeometryHeader& h = *header;
  if (emit_srid && h.has_srid) write_srid_prefix(out, h.srid);
  write_keyword_and_tag(out, h.geometry_type, h.dimension);

  switch (h.geometry_type) {
    case GeometryType::Point:
    case GeometryType::LineString:
    case GeometryType::Polygon:
      if (auto ok = read_simple_body(c, out, h.geometry_type, h.dimension, AFTER_KEYWORD); !ok) {
        return fail(std::move(ok.error()));
      }
      break;
    case GeometryType::MultiPoint:
    case GeometryType::MultiLineString:
    case GeometryType::MultiPolygon:
      if (auto ok = read_multi(c, out, h); !ok) return fail(std::move(ok.error()));
      break;
    case GeometryType::GeometryCollection: {
      auto count = read_u32(c);
      if (!count) return fail(std::move(count.error()));
      if (*count == 0) {
        out.append(" EMPTY", 6);
        break;
      }
      out.append(" (", 2);
      for (std::uint32_t i = 0; i < *count; ++i) {
        if (i) out.append(", ", 2);
        auto member = read_geometry(c, out, false, depth + 1);
        if (!member) return member;
        if (h.dimension != Dimension::XY && member->dimension != h.dimension) {
          return fail(ConversionError::wkb(
              "GeometryCollection " + std::string(dimension_name(h.dimension)) +
              " member has incompatible dimension " +
              std::string(dimension_name(member->dimension))));
        }
      }
      out.push_back(')');
      break;
    }
  }
  return ReadOutcome{h.has_srid, h.srid, h.dimension};
}

// Runs the reader over `input`, appending to `out` (which may already hold a
// prefix).
Result<SridSlot> run_reader(ByteSpan input, OutputBuffer& out, bool emit_srid) {
  if (input.size) {
    const std::size_t three = input.size > OUTPUT_RESERVE_CAP / 3 ? OUTPUT_RESERVE_CAP
                                                                   : input.size * 3;
    out.reserve(out.size() + (three < OUTPUT_RESERVE_CAP ? three : OUTPUT_RESERVE_CAP));
  }
  WkbCursor c{input.data, input.size};
  auto outcome = read_geometry(c, out, emit_srid, 0);
  if (!outcome) return fail(std::move(outcome.error()));
  if (c.position != c.length) {
    return fail(ConversionError::wkb("unexpected trailing data: " +
                                     std::to_string(c.length - c.position) +
                                     " bytes remaining"));
  }
  return outcome->has_srid ? SridSlot{true, outcome->srid} : SridSlot{};
}

}  // namespace

Result<OutputBuffer> decode_wkb_to_ewkt(ByteSpan input, BufferStorage* storage) {
  OutputBuffer out(storage, 0);
  auto slot = run_reader(input, out, true);
  if (!slot) return fail(std::move(slot.error()));
  return out;
}

Result<SplitText> decode_wkb_split_srid(ByteSpan input, BufferStorage* storage) {
  OutputBuffer out(storage, 0);
  auto slot = run_reader(input, out, false);
  if (!slot) return fail(std::move(slot.error()));
  return SplitText{std::move(out), *slot};
}

Result<OutputBuffer> decode_wkb_with_srid(ByteSpan input, std::int32_t srid,
                                          BufferStorage* storage) {
  OutputBuffer out(storage, 0);
  write_srid_prefix(out, srid);
  auto slot = run_reader(input, out, false);
  if (!slot) return fail(std::move(slot.error()));
  return out;
}

}  // namespace geoweave
