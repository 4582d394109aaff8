// The docstrings of geoweave's twelve functions (docstrings.cpp), indexed by
// operation; the functions themselves are made from their operations
// (scalar_function.h) and registered in that order by module.cpp.
#pragma once

#include "ops/operation.h"

namespace geoweave::py {

extern const char* const DOCSTRINGS[OPERATION_COUNT];

}  // namespace geoweave::py
