// The Python surface of geoweave_columns: taking a column argument apart
// (Arrow PyCapsules, numpy and pandas, other iterables), running a kernel with
// the interpreter lock released, and handing the result back in the caller's
// kind of column. With module.cpp the only column code that includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "columns/kernel.h"

namespace geoweave::columns::py {


struct FunctionInfo {
  const char* name;        // "wkb_to_wkt"
  const char* parameter;   // "wkb"
  Accepts accepts;
  Operation op;
};

// Per-module state: the column type returned when the caller's library is not
// pyarrow or Polars.
struct ModuleState {
  PyTypeObject* column_type = nullptr;
};

ModuleState* module_state(PyObject* module);

// Creates the column type for `module` (the exec step).
PyTypeObject* create_column_type(PyObject* module);

// Converts `column` (already known not to be None) with `request`; returns the
// result in the caller's kind of column, or nullptr with an exception set.
PyObject* convert_column(PyObject* module, const FunctionInfo& info, PyObject* column,
                         KernelRequest request);

}  // namespace geoweave::columns::py
