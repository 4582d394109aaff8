#include "core/types.h"

namespace geoweave {

std::string_view dimension_name(Dimension d) noexcept {
  static constexpr std::string_view names[] = {"XY", "XYZ", "XYM", "XYZM"};
  return names[static_cast<unsigned>(d) & 3];
}

std::string collection_member_dimension_message(Dimension collection, Dimension member) {
  return "GeometryCollection " + std::string(dimension_name(collection)) +
         " member has incompatible dimension " + std::string(dimension_name(member));
}

std::string_view dimension_tag(Dimension d) noexcept {
  static constexpr std::string_view tags[] = {"", " Z", " M", " ZM"};
  return tags[static_cast<unsigned>(d) & 3];
}

std::string_view geometry_type_name(GeometryType t) noexcept {
  static constexpr std::string_view names[] = {
      "",           "Point",           "LineString",   "Polygon",
      "MultiPoint", "MultiLineString", "MultiPolygon", "GeometryCollection"};
  return names[static_cast<unsigned>(t) & 7];
}

std::string_view geometry_type_keyword(GeometryType t) noexcept {
  static constexpr std::string_view keywords[] = {
      "",           "POINT",           "LINESTRING",   "POLYGON",
      "MULTIPOINT", "MULTILINESTRING", "MULTIPOLYGON", "GEOMETRYCOLLECTION"};
  return keywords[static_cast<unsigned>(t) & 7];
}

std::string ConversionError::display() const {
  switch (kind) {
    case Kind::InvalidWkt: return "invalid WKT: " + message;
    case Kind::InvalidWkb: return "invalid WKB: " + message;
    case Kind::UnsupportedGeometryType:
      return "unsupported geometry type code: " + std::to_string(code);
    case Kind::Unwritable: return message;
  }
  return message;
}

ConversionError ConversionError::iso_srid(std::int32_t srid) {
  return {Kind::Unwritable,
          "ISO WKB cannot carry an SRID (SRID " + std::to_string(srid) +
              "): pass srid=False to drop it",
          0};
}

}  // namespace geoweave
