// The result object of a planned SRID rewrite: created once at its final size
// (bytes, or an ASCII str for hex) and filled in place by write_plan.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ops/header.h"

namespace geoweave::py {

inline PyObject* rewrite_result(const HeaderPlan& plan, ByteSpan wkb) {
  const auto length = static_cast<Py_ssize_t>(plan.length);
  PyObject* result;
  char* out;
  if (plan.encoding == RewriteEncoding::Hex) {
    result = PyUnicode_New(length, 127);
    if (!result) return nullptr;
    out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result));
  } else {
    result = PyBytes_FromStringAndSize(nullptr, length);
    if (!result) return nullptr;
    out = PyBytes_AS_STRING(result);
  }
  try {
    write_plan(plan, wkb, out);
  } catch (...) {
    Py_DECREF(result);
    throw;
  }
  return result;
}

}  // namespace geoweave::py
