// The result object of a planned SRID rewrite: created once with the room the
// plan asks for (bytes, or an ASCII str for hex), filled in place by
// write_plan and cut to what was written when a rebuild came out shorter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ops/header.h"
#include "python/args.h"

namespace geoweave::py {

inline PyObject* rewrite_result(const HeaderPlan& plan, ByteSpan wkb) {
  const auto room = static_cast<Py_ssize_t>(plan.length);
  const bool hex = plan.encoding == RewriteEncoding::Hex;
  PyObject* result;
  char* out;
  if (hex) {
    result = PyUnicode_New(room, 127);
    if (!result) return nullptr;
    out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result));
  } else {
    result = PyBytes_FromStringAndSize(nullptr, room);
    if (!result) return nullptr;
    out = PyBytes_AS_STRING(result);
  }
  Result<std::size_t> written;
  try {
    written = write_plan(plan, wkb, out);
  } catch (...) {
    Py_DECREF(result);
    throw;
  }
  if (!written) {
    Py_DECREF(result);
    return raise_conversion_error(written.error());
  }
  const auto length = static_cast<Py_ssize_t>(*written);
  if (length == room) return result;
  // The object is new and ours alone, so it is cut in place (a shrinking
  // realloc). A failed bytes resize releases the object; a failed str resize
  // leaves it to us.
  if (hex) {
    if (PyUnicode_Resize(&result, length) < 0) {
      Py_XDECREF(result);
      return nullptr;
    }
  } else if (_PyBytes_Resize(&result, length) < 0) {
    return nullptr;
  }
  return result;
}

}  // namespace geoweave::py
