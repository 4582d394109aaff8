// The twelve operations of both modules and what each of them is: one enum and
// one table of traits that the Python function tables, the column kernel and
// the column results read. What an operation does to a value lives in run.h
// (run<Operation>). Python-free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/types.h"

namespace geoweave {

// In the order of the modules' function tables.
enum class Operation : std::uint8_t {
  WkbToWkt,
  WkbToWktSplitSrid,
  WktToWkb,
  WktToWkbSplitSrid,
  WktToHexWkb,
  HexWkbToWkt,
  ToWkb,
  ToWkt,
  ToHexWkb,
  WkbHeaderSrid,
  ToWkbNoSridHeader,
  ToEwkbHeader,
};

// What a source value may be.
enum class Accepts : std::uint8_t {
  Bytes,   // bytes-like WKB
  Text,    // a str (WKT, or hex WKB where the operation reads hex)
  Either,  // a str (WKT or hex WKB, told apart by run) or bytes-like WKB
};

// What the result values are.
enum class Produces : std::uint8_t {
  Wkt,         // WKT/EWKT text
  Wkb,         // WKB bytes
  HexWkb,      // upper-case hex digits of WKB
  LikeSource,  // hex digits for a str source, bytes for a bytes-like one
  SridOnly,    // no value: the SRID alone
};

enum class SridParam : std::uint8_t { None, Optional, Required };

struct OperationTraits {
  Operation op;
  const char* name;          // the function's name in both modules
  const char* source_param;  // its first parameter
  Accepts accepts;
  SridParam srid;
  bool normalize_wkt;        // takes normalize_wkt
  bool writes_wkb;           // what it writes is WKB built here (a flavor applies)
  Produces produces;
  bool srid_beside;          // an SRID comes out beside the value (or alone)
  // Result bytes per source byte, roughly: to reserve a column's output once.
  std::uint8_t size_num, size_den;
};

inline constexpr OperationTraits OPERATIONS[] = {
    {Operation::WkbToWkt, "wkb_to_wkt", "wkb", Accepts::Bytes, SridParam::Optional, false,
     false, Produces::Wkt, false, 3, 2},
    {Operation::WkbToWktSplitSrid, "wkb_to_wkt_split_srid", "wkb", Accepts::Bytes,
     SridParam::None, false, false, Produces::Wkt, true, 3, 2},
    {Operation::WktToWkb, "wkt_to_wkb", "wkt", Accepts::Text, SridParam::Optional, false, true,
     Produces::Wkb, false, 1, 1},
    {Operation::WktToWkbSplitSrid, "wkt_to_wkb_split_srid", "wkt", Accepts::Text,
     SridParam::None, false, true, Produces::Wkb, true, 1, 1},
    {Operation::WktToHexWkb, "wkt_to_hex_wkb", "wkt", Accepts::Text, SridParam::Optional, false,
     true, Produces::HexWkb, false, 2, 1},
    {Operation::HexWkbToWkt, "hex_wkb_to_wkt", "hex_wkb", Accepts::Text, SridParam::Optional,
     false, false, Produces::Wkt, false, 3, 2},
    {Operation::ToWkb, "to_wkb", "source", Accepts::Either, SridParam::Optional, false, true,
     Produces::Wkb, false, 1, 1},
    {Operation::ToWkt, "to_wkt", "source", Accepts::Either, SridParam::Optional, true, false,
     Produces::Wkt, false, 3, 2},
    {Operation::ToHexWkb, "to_hex_wkb", "source", Accepts::Either, SridParam::Optional, false,
     true, Produces::HexWkb, false, 2, 1},
    {Operation::WkbHeaderSrid, "wkb_header_srid", "source", Accepts::Either, SridParam::None,
     false, false, Produces::SridOnly, true, 0, 1},
    {Operation::ToWkbNoSridHeader, "to_wkb_no_srid_header", "source", Accepts::Either,
     SridParam::None, false, false, Produces::LikeSource, false, 1, 1},
    {Operation::ToEwkbHeader, "to_ewkb_header", "source", Accepts::Either, SridParam::Required,
     false, false, Produces::LikeSource, false, 1, 1},
};
inline constexpr std::size_t OPERATION_COUNT = sizeof(OPERATIONS) / sizeof(OPERATIONS[0]);

constexpr const OperationTraits& traits(Operation op) noexcept {
  return OPERATIONS[static_cast<std::size_t>(op)];
}

// The table is in enum order: traits(op).op == op for every operation.
consteval bool table_in_enum_order() {
  for (std::size_t i = 0; i < OPERATION_COUNT; ++i) {
    if (static_cast<std::size_t>(OPERATIONS[i].op) != i) return false;
  }
  return true;
}
static_assert(table_in_enum_order() && OPERATION_COUNT == 12);

// A values column (or a value) comes out; an SRID column (or an SRID) comes out.
constexpr bool has_values(Operation op) noexcept {
  return traits(op).produces != Produces::SridOnly;
}
constexpr bool has_srids(Operation op) noexcept { return traits(op).srid_beside; }

// Whether the values are text (a str, a string column) for a source that is
// text or not.
constexpr bool values_are_text(Operation op, bool source_is_text) noexcept {
  switch (traits(op).produces) {
    case Produces::Wkt:
    case Produces::HexWkb:
      return true;
    case Produces::LikeSource:
      return source_is_text;
    default:
      return false;
  }
}

// The GeoArrow extension the values carry when the source had one: WKT text is
// geoarrow.wkt, WKB is geoarrow.wkb, hex digits and SRIDs have none.
constexpr const char* geoarrow_extension(Operation op, bool source_is_text) noexcept {
  switch (traits(op).produces) {
    case Produces::Wkt:
      return "geoarrow.wkt";
    case Produces::Wkb:
      return "geoarrow.wkb";
    case Produces::LikeSource:
      return source_is_text ? nullptr : "geoarrow.wkb";
    default:
      return nullptr;
  }
}

// About how many result bytes `source_bytes` of sources give.
constexpr std::size_t estimated_result_size(Operation op, std::size_t source_bytes) noexcept {
  const OperationTraits& t = traits(op);
  return source_bytes / t.size_den * t.size_num + source_bytes % t.size_den * t.size_num / t.size_den;
}

// What every value of one call shares.
struct OperationArgs {
  SridOption option;  // for the operations without an srid parameter, unread
  bool normalize = false;
  WkbFlavor flavor = WkbFlavor::Extended;  // for the operations writing WKB
};

// One source value: a str's UTF-8 text, or a bytes-like value's bytes.
struct Source {
  bool is_text = false;
  ByteSpan bytes;  // when !is_text
  TextView text;   // when is_text
  // Bytes after the value that may be read, though they are not part of it
  // (a column row's successors in the same buffer): the WKT reader's loads
  // may run into them.
  std::size_t slack = 0;
};

}  // namespace geoweave
