// What each column function takes and writes: the kinds of value its column
// holds, the type of its values column and the GeoArrow extension its result
// carries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "columns/kernel.h"

namespace geoweave::columns::py {

struct FunctionInfo {
  const char* name;        // "wkb_to_wkt"
  const char* parameter;   // "wkb"
  Accepts accepts;         // what its column may hold (the operation's traits)
  Operation op;
};

// The Arrow types a function accepts, as a message names them.
const char* expected_types(Accepts accepts);

// What each operation writes in its values column (from its traits).
enum class ValueType : std::uint8_t { Text, Binary, SameAsInput };

constexpr ValueType value_type(Operation op) noexcept {
  switch (traits(op).produces) {
    case Produces::Wkb: return ValueType::Binary;
    case Produces::LikeSource: return ValueType::SameAsInput;
    default: return ValueType::Text;
  }
}

// The GeoArrow extension metadata (a JSON object) of a result whose input had
// `metadata`: its CRS is EPSG:N when `option` sets SRID N on every row, none
// when it sets SRID 0 or less (unknown); left as it is when rows keep or lose
// their own. Metadata that is not a JSON object counts as an empty one.
std::string result_metadata(std::string_view metadata, SridOption option);

}  // namespace geoweave::columns::py
