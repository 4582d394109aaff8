#include "columns_python/library_results.h"

#include "columns_python/python_support.h"

namespace geoweave::columns::py {

Origin arrow_origin(PyObject* column) {
  if (type_from(column, "pyarrow", "ChunkedArray")) return Origin::PyarrowChunked;
  if (type_from(column, "pyarrow", "Array")) return Origin::PyarrowArray;
  if (type_from(column, "polars", "Series")) return Origin::Polars;
  return Origin::Other;
}

PyObject* in_origin_kind(PyObject* ours, Origin origin, PyObject* column) {
  Ref own(ours);
  if (!own) return nullptr;
  switch (origin) {
    case Origin::PyarrowArray:
      return PyObject_CallMethod(loaded_module("pyarrow"), "array", "O", own.p);
    case Origin::PyarrowChunked:
      return PyObject_CallMethod(loaded_module("pyarrow"), "chunked_array", "O", own.p);
    case Origin::Polars: {
      Ref name(PyObject_GetAttrString(column, "name"));
      if (!name) return nullptr;
      Ref series_type(PyObject_GetAttrString(loaded_module("polars"), "Series"));
      if (!series_type) return nullptr;
      // Polars names the series after the exported (empty) field name; the
      // result keeps the input's name instead.
      Ref series(PyObject_CallFunctionObjArgs(series_type.p, name.p, own.p, nullptr));
      if (!series) return nullptr;
      return PyObject_CallMethod(series.p, "alias", "O", name.p);
    }
    default:
      return own.release();
  }
}

}  // namespace geoweave::columns::py
