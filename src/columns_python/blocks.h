// Python objects out: the list or numpy object array a list, numpy or pandas
// input gets back, filled block by block (str, bytes or int per row) while
// the kernel converts the next blocks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "columns/kernel.h"
#include "columns_python/gather.h"
#include "columns_python/operation_info.h"
#include "columns_python/python_support.h"

namespace geoweave::columns::py {

// What the caller gave when it was not Arrow.
enum class Shape : std::uint8_t { List, Numpy, Pandas };

// A container of n slots for one result column: a list, or a numpy object
// array (numpy and pandas shapes). `slots` receives its element array.
PyObject* new_container(Py_ssize_t n, Shape shape, PyObject*** slots);

// A finished container in the caller's shape (pandas: same index and name).
PyObject* in_shape(Ref container, Shape shape, PyObject* column);

// Makes the Python objects of each finished block, under the GIL, while the
// next blocks are converted.
struct ObjectFiller {
  PyObject** values = nullptr;  // slots, or nullptr without a values column
  PyObject** srids = nullptr;
  const Gathered* g = nullptr;
  ValueType type = ValueType::Text;
  bool ascii = true;

  // The kernel's block consumer (`context`: the filler); false with an
  // exception set.
  static bool consume(const RowBlock& b, void* context);
};

}  // namespace geoweave::columns::py
