// Results in the caller's library: an Arrow input from pyarrow or Polars gets
// back a pyarrow Array or ChunkedArray, or a Polars Series of the same name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace geoweave::columns::py {

// Where the column came from, to hand the result back in the same kind.
enum class Origin : std::uint8_t { Other, PyarrowArray, PyarrowChunked, Polars };

Origin arrow_origin(PyObject* column);

// `ours` (a new reference, consumed) as the caller's library's array.
PyObject* in_origin_kind(PyObject* ours, Origin origin, PyObject* column);

}  // namespace geoweave::columns::py
