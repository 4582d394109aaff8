// Shared vocabulary of the conversion core: geometry types, dimensions, type-word
// flags, SRID handling values and the error value every core operation returns.
// Nothing here depends on Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace geoweave {

enum class GeometryType : std::uint8_t {
  Point = 1,
  LineString = 2,
  Polygon = 3,
  MultiPoint = 4,
  MultiLineString = 5,
  MultiPolygon = 6,
  GeometryCollection = 7,
};

enum class Dimension : std::uint8_t { XY = 0, XYZ = 1, XYM = 2, XYZM = 3 };

inline constexpr std::uint32_t EWKB_Z_FLAG = 0x80000000u;
inline constexpr std::uint32_t EWKB_M_FLAG = 0x40000000u;
inline constexpr std::uint32_t EWKB_SRID_FLAG = 0x20000000u;
// Bits 16..28 of a type word: meaningless to the reader, "non-canonical" to the
// header fast paths.
inline constexpr std::uint32_t EWKB_UNDEFINED_BITS = 0x1FFF0000u;

// The one NaN every writer emits: an empty Point's ordinates, and any NaN a
// rewrite meets, whatever its sign or payload.
inline constexpr std::uint64_t QUIET_NAN_BITS = 0x7FF8000000000000ull;

inline constexpr std::size_t MAX_NESTING_DEPTH = 128;
// What both readers (WKB and WKT) say past that depth; spelled out so that the
// cold path builds nothing, and tied to the constant so they cannot drift.
inline constexpr const char* NESTING_DEPTH_MESSAGE = "geometry nesting exceeds maximum depth of 128";
static_assert(MAX_NESTING_DEPTH == 128, "NESTING_DEPTH_MESSAGE spells out MAX_NESTING_DEPTH");
inline constexpr std::size_t OUTPUT_RESERVE_CAP = 16777216;  // 16 MiB
inline constexpr std::uint64_t MAX_ELEMENT_COUNT = 4294967295u;

constexpr unsigned ordinate_count(Dimension d) noexcept {
  return d == Dimension::XY ? 2u : d == Dimension::XYZM ? 4u : 3u;
}

constexpr std::uint32_t dimension_flags(Dimension d) noexcept {
  switch (d) {
    case Dimension::XYZ: return EWKB_Z_FLAG;
    case Dimension::XYM: return EWKB_M_FLAG;
    case Dimension::XYZM: return EWKB_Z_FLAG | EWKB_M_FLAG;
    default: return 0;
  }
}

// The WKB a writer produces: EWKB (Z, M and SRID as flags in the type word),
// the default, or ISO WKB (the dimension in the code, 1001 for a Point Z, 2001
// M, 3001 ZM, and no SRID anywhere, since ISO WKB has no place for one).
enum class WkbFlavor : std::uint8_t { Extended, Iso };

// The type word of a record of type `t` in dimension `d`, without the SRID
// flag. An ISO offset (0, 1000, 2000, 3000) leaves the three low bits clear,
// so adding the base code cannot carry.
template <WkbFlavor F>
constexpr std::uint32_t type_word_of(GeometryType t, Dimension d) noexcept {
  if constexpr (F == WkbFlavor::Iso) {
    return static_cast<std::uint32_t>(t) + 1000u * static_cast<std::uint32_t>(d);
  } else {
    return static_cast<std::uint32_t>(t) | dimension_flags(d);
  }
}
constexpr std::uint32_t type_word_of(WkbFlavor f, GeometryType t, Dimension d) noexcept {
  return f == WkbFlavor::Iso ? type_word_of<WkbFlavor::Iso>(t, d)
                             : type_word_of<WkbFlavor::Extended>(t, d);
}

// Name used in messages ("XY", "XYZ", "XYM", "XYZM").
std::string_view dimension_name(Dimension d) noexcept;
// What both readers say of a tagged GeometryCollection's member in another
// dimension (the WKB reader as "invalid WKB: ...", the WKT one as "invalid WKT: ...").
std::string collection_member_dimension_message(Dimension collection, Dimension member);
// WKT tag written after a keyword: "", " Z", " M", " ZM".
std::string_view dimension_tag(Dimension d) noexcept;
// Name used in messages ("Point", "MultiPolygon", ...).
std::string_view geometry_type_name(GeometryType t) noexcept;
// Upper-case WKT keyword ("POINT", ...).
std::string_view geometry_type_keyword(GeometryType t) noexcept;

// Where an SRID is reported or requested: present only for values above zero.
struct SridSlot {
  bool has_srid = false;
  std::int32_t srid = 0;

  static constexpr SridSlot none() noexcept { return {}; }
  static constexpr SridSlot of(std::int32_t value) noexcept {
    return value > 0 ? SridSlot{true, value} : SridSlot{};
  }
};

// The parsed `srid` argument of a module function.
struct SridOption {
  enum class Kind : std::uint8_t { Mirror, Strip, Set };
  Kind kind = Kind::Mirror;
  std::int32_t value = 0;

  static constexpr SridOption mirror() noexcept { return {Kind::Mirror, 0}; }
  static constexpr SridOption strip() noexcept { return {Kind::Strip, 0}; }
  static constexpr SridOption set(std::int32_t v) noexcept { return {Kind::Set, v}; }

  // Asking for an SRID of zero or less means asking for none (PostGIS's
  // SRID_IS_UNKNOWN convention); every conversion applies this first.
  constexpr SridOption normalized() const noexcept {
    return (kind == Kind::Set && value <= 0) ? strip() : *this;
  }
  constexpr bool is_mirror() const noexcept { return kind == Kind::Mirror; }
  constexpr bool is_strip() const noexcept {
    return kind == Kind::Strip || (kind == Kind::Set && value <= 0);
  }
  constexpr bool is_set() const noexcept { return kind == Kind::Set && value > 0; }
};

struct ConversionError {
  // Unwritable: a valid value the requested output cannot hold (an SRID in
  // ISO WKB); its message is shown as it is.
  enum class Kind : std::uint8_t { InvalidWkt, InvalidWkb, UnsupportedGeometryType, Unwritable };
  Kind kind = Kind::InvalidWkb;
  std::string message;  // detail text for InvalidWkt / InvalidWkb
  std::uint32_t code = 0;  // for UnsupportedGeometryType

  static ConversionError wkt(std::string msg) {
    return {Kind::InvalidWkt, std::move(msg), 0};
  }
  static ConversionError wkb(std::string msg) {
    return {Kind::InvalidWkb, std::move(msg), 0};
  }
  static ConversionError unsupported(std::uint32_t c) {
    return {Kind::UnsupportedGeometryType, std::string(), c};
  }
  // A value that would carry SRID `srid` (> 0) written as ISO WKB.
  static ConversionError iso_srid(std::int32_t srid);
  // The text a Python caller sees.
  std::string display() const;
};

template <class T>
using Result = std::expected<T, ConversionError>;

inline std::unexpected<ConversionError> fail(ConversionError e) {
  return std::unexpected<ConversionError>(std::move(e));
}

// A read-only byte span borrowed from the caller.
struct ByteSpan {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// Read-only UTF-8 text borrowed from the caller.
using TextView = std::string_view;

}  // namespace geoweave
