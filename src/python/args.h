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
  const char* const* params;     // parameter names in order, keyword-only ones last
  Py_ssize_t count;              // number of positional-or-keyword parameters
  Py_ssize_t required;           // leading parameters that must be given
  Py_ssize_t keyword_only = 0;   // names after params[count - 1], never positional
};

// Fills out[0..count + keyword_only) with borrowed references (nullptr when
// absent). Returns false with a TypeError set on a binding error. Both modules
// bind through this one function.
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
  friend bool borrow_bytes_source(PyObject*, const char*, BorrowedBytes*, bool*);
  ByteSpan span_;
  Py_buffer view_{};
  bool has_view_ = false;
};

// `exporter_failed` (optional) tells the failures the object's own buffer
// export raised apart from this function's refusals of what it exported.
bool borrow_bytes_source(PyObject* object, const char* argument_name, BorrowedBytes* out,
                         bool* exporter_failed = nullptr);
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

// How a column's TypeError for a str row where WKB bytes go ends.
inline constexpr std::string_view BYTES_REQUIRED_NOT_STR = "a bytes-like object is required, not 'str'";

// The hint note of add_usage_hints for the exception being raised, given the
// value it was raised for (one row of a column: its str or bytes).
[[gnu::cold]] void add_usage_hint_for(PyObject* input) noexcept;

// Runs `body` (returning a new reference or nullptr with an exception set) and
// turns a C++ exception that escaped the core into a Python exception, so
// nothing but a Python exception ever leaves a module: MemoryError, or
// SystemError "<module_name>: unexpected internal error". Every function and
// method of both modules runs inside it.
template <class Body>
PyObject* guarded_call(const char* module_name, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_Format(PyExc_SystemError, "%s: unexpected internal error", module_name);
    return nullptr;
  }
}

// A module function of geoweave: its body inside guarded_call. A failed call
// also gets a hint (an exception note) when its input looks like a common
// mistake; a call that succeeds pays for one pointer test.
template <PyObject* (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded_call("geoweave", [&] {
    PyObject* result = Body(args, nargs, kwnames);
    if (!result) [[unlikely]] add_usage_hints(args, nargs, kwnames);
    return result;
  });
}

}  // namespace geoweave::py
