// What each column function takes and writes: the kinds of value its column
// holds, the type of its values column and the GeoArrow extension its result
// carries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "columns/kernel.h"

namespace geoweave::columns::py {

// What a function accepts in its column: bytes-like WKB, text, or either.
enum class Accepts : std::uint8_t { Bytes, Text, Either };

struct FunctionInfo {
  const char* name;        // "wkb_to_wkt"
  const char* parameter;   // "wkb"
  Accepts accepts;
  Operation op;
};

// The Arrow types a function accepts, as a message names them.
const char* expected_types(Accepts accepts);

// What each operation writes in its values column.
enum class ValueType : std::uint8_t { Text, Binary, SameAsInput };

ValueType value_type(Operation op);

// The GeoArrow extension a result carries when its input had one: WKT text is
// geoarrow.wkt, WKB is geoarrow.wkb, anything else (hex, SRIDs) none.
const char* result_extension(Operation op, bool text_values);

// The GeoArrow extension metadata (a JSON object) of a result whose input had
// `metadata`: its CRS is EPSG:N when `option` sets SRID N on every row, none
// when it sets SRID 0 or less (unknown); left as it is when rows keep or lose
// their own. Metadata that is not a JSON object counts as an empty one.
std::string result_metadata(std::string_view metadata, SridOption option);

}  // namespace geoweave::columns::py
