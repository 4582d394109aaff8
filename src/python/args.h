// Argument conventions shared by every module function: binding, the `srid`
// option, borrowing bytes-like and text arguments, boolean flags, turning a
// ConversionError into an exception, and building results. The only code, with
// module.cpp and the fn_*.cpp files, that includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string_view>

#include "core/buffer.h"
#include "core/types.h"
#include "python/result_storage.h"  // every function's result object

namespace geoweave::py {

// A function's parameter list, as the binding errors describe it.
struct Signature {
  const char* name;              // "wkb_to_wkt"
  const char* const* params;     // parameter names in order
  Py_ssize_t count;              // number of parameters
  Py_ssize_t required;           // leading parameters that must be given
};

// Fills out[0..count) with borrowed references (nullptr when absent). Returns
// false with a TypeError set on a binding error.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

inline constexpr const char* SRID_TRUE_MESSAGE =
    "srid=True is not valid; pass an integer SRID, False, or None";
inline constexpr const char* SRID_INVALID_MESSAGE = "srid must be None, False, or an integer";
// to_ewkb_header has no Mirror: None is as invalid as any other non-integer.
inline constexpr const char* HEADER_SRID_TRUE_MESSAGE =
    "srid=True is not valid; pass an integer SRID or False";
inline constexpr const char* HEADER_SRID_INVALID_MESSAGE = "srid must be False or an integer";

// `value` is present and not None. Returns false with an exception set.
bool parse_srid_option(PyObject* value, const char* true_message, const char* invalid_message,
                       SridOption* out);
// Absent or None gives Mirror; otherwise parse_srid_option with the usual messages.
bool srid_argument(PyObject* value, SridOption* out);

// PyBuffer_Release, under the exporter's lock where its export count needs one
// (see borrow_bytes_source).
void release_buffer_view(Py_buffer* view) noexcept;

// A bytes-like argument's bytes, read in place. Releases its buffer view (if it
// took one) when destroyed, so every path out of a function releases it.
class BorrowedBytes {
 public:
  BorrowedBytes() noexcept = default;
  BorrowedBytes(const BorrowedBytes&) = delete;
  BorrowedBytes& operator=(const BorrowedBytes&) = delete;
  ~BorrowedBytes() { release(); }
  void release() noexcept {
    if (has_view_) {
      release_buffer_view(&view_);
      has_view_ = false;
    }
  }
  ByteSpan span() const noexcept { return span_; }

 private:
  friend bool borrow_bytes_source(PyObject*, const char*, BorrowedBytes*);
  ByteSpan span_;
  Py_buffer view_{};
  bool has_view_ = false;
};

bool borrow_bytes_source(PyObject* object, const char* argument_name, BorrowedBytes* out);
// The UTF-8 text of a str (owned by the string object).
bool extract_text_argument(PyObject* object, const char* argument_name, TextView* out);
// 1 for true, 0 for false, -1 with an exception set.
int extract_bool_argument(PyObject* object, const char* argument_name);

// Sets the ValueError for `error`; always returns nullptr.
PyObject* raise_conversion_error(const ConversionError& error);

inline PyObject* text_result(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
inline PyObject* bytes_result(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}
inline PyObject* srid_result(SridSlot slot) {
  if (!slot.has_srid) Py_RETURN_NONE;
  return PyLong_FromLong(slot.srid);
}
// Steals `value`; returns (value, srid).
PyObject* pair_result(PyObject* value, SridSlot slot);

// On the failure path of a call: adds a note to the raised exception when the
// call's input looks like a common mistake (hex text where WKB bytes go,
// GeoJSON, PostGIS's untagged XYZ, whitespace around hex that is not trimmed).
[[gnu::cold]] void add_usage_hints(PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept;

// Runs a function body and turns a C++ exception that escaped the core into a
// Python exception, so nothing but a Python exception ever leaves the module.
// A failed call also gets a hint (an exception note) when its input looks like
// a common mistake; a call that succeeds pays for one pointer test.
template <PyObject* (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  try {
    PyObject* result = Body(args, nargs, kwnames);
    if (!result) [[unlikely]] add_usage_hints(args, nargs, kwnames);
    return result;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "geoweave: unexpected internal error");
    return nullptr;
  }
}

}  // namespace geoweave::py
