#include "columns_python/operation_info.h"

namespace geoweave::columns::py {

const char* expected_types(Accepts accepts) {
  switch (accepts) {
    case Accepts::Bytes: return "binary, large_binary or binary_view";
    case Accepts::Text: return "string, large_string or string_view";
    default:
      return "binary, large_binary, binary_view, string, large_string or string_view";
  }
}

ValueType value_type(Operation op) {
  switch (op) {
    case Operation::WktToWkb:
    case Operation::WktToWkbSplitSrid:
    case Operation::ToWkb:
      return ValueType::Binary;
    case Operation::ToWkbNoSridHeader:
    case Operation::ToEwkbHeader:
      return ValueType::SameAsInput;
    default:
      return ValueType::Text;
  }
}

const char* result_extension(Operation op, bool text_values) {
  switch (op) {
    case Operation::WkbToWkt:
    case Operation::WkbToWktSplitSrid:
    case Operation::HexWkbToWkt:
    case Operation::ToWkt:
      return "geoarrow.wkt";
    case Operation::WktToWkb:
    case Operation::WktToWkbSplitSrid:
    case Operation::ToWkb:
      return "geoarrow.wkb";
    case Operation::ToWkbNoSridHeader:
    case Operation::ToEwkbHeader:
      return text_values ? nullptr : "geoarrow.wkb";
    default:
      return nullptr;
  }
}

}  // namespace geoweave::columns::py
