// ArrowColumn, the column type of geoweave_columns: an immutable result that
// exports itself through the Arrow PyCapsule interface without copying; what a
// caller gets back when its library is not pyarrow or Polars.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "columns/builder.h"

namespace geoweave::columns::py {

// Per-module state: the column type returned when the caller's library is not
// pyarrow or Polars.
struct ModuleState {
  PyTypeObject* column_type = nullptr;
};

ModuleState* module_state(PyObject* module);

// Creates the column type for `module` (the exec step).
PyTypeObject* create_column_type(PyObject* module);

// A new ArrowColumn of `module` over `column` (a string type when `text`),
// with the GeoArrow `extension` and its metadata, or none (nullptr). With
// `chunks` (the row counts of a stream's batches) its stream export hands the
// rows out in arrays of those lengths. Throws std::bad_alloc.
PyObject* new_column(PyObject* module, std::shared_ptr<const BuiltColumn> column, bool text,
                     const char* extension, const std::string& metadata,
                     std::optional<std::vector<std::int64_t>> chunks);

}  // namespace geoweave::columns::py
