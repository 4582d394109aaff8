// The Python surface of geoweave_columns: taking a column argument apart
// (Arrow PyCapsules, numpy and pandas, other iterables), running a kernel with
// the interpreter lock released, and handing the result back in the caller's
// kind of column. With module.cpp and the files beside it the only column code
// that includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "columns/kernel.h"
#include "columns_python/arrow_column.h"
#include "columns_python/operation_info.h"

namespace geoweave::columns::py {

// Converts `column` (already known not to be None) with `request`; returns the
// result in the caller's kind of column, or nullptr with an exception set.
PyObject* convert_column(PyObject* module, const FunctionInfo& info, PyObject* column,
                         KernelRequest request);

}  // namespace geoweave::columns::py
