// Small Python helpers of the column surface: owned references, the caller's
// libraries looked up without importing them, and the row note of an error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

namespace geoweave::columns::py {

struct Ref {  // an owned reference
  PyObject* p = nullptr;
  Ref() = default;
  explicit Ref(PyObject* o) : p(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p(std::exchange(o.p, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p);
      p = std::exchange(o.p, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p); }
  PyObject* release() noexcept { return std::exchange(p, nullptr); }
  explicit operator bool() const noexcept { return p != nullptr; }
};

// The imported module `name` when the caller has imported it, else nullptr
// (borrowed). Never imports anything.
PyObject* loaded_module(const char* name);

// Whether `object` is an instance of `module_name`.`attribute`, a type of a
// module the caller has loaded (false, without an exception, otherwise).
bool type_from(PyObject* object, const char* module_name, const char* attribute);

// Whether `object` has the attribute `name` (false, without an exception,
// when looking it up raised).
bool has_attribute(PyObject* object, const char* name);

// Adds the note "row N" to the exception being raised.
void add_row_note(std::int64_t row);

}  // namespace geoweave::columns::py
