// Python objects in: the elements of a list, numpy array or pandas Series
// taken as strong references and read into rows, each as the scalar function
// would take it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <deque>
#include <vector>

#include "columns/kernel.h"
#include "columns_python/operation_info.h"
#include "columns_python/python_support.h"
#include "python/args.h"

namespace geoweave::columns::py {

// Strong references to a column's elements, all taken before any element's
// own code runs: a __buffer__ may empty or free the list they came from (a
// tolist() result is not necessarily this call's own, and even a list made
// here is reachable through gc.get_referrers).
struct Objects {
  std::vector<PyObject*> items;
  Objects() = default;
  Objects(const Objects&) = delete;
  Objects& operator=(const Objects&) = delete;
  ~Objects() {
    for (PyObject* o : items) Py_DECREF(o);
  }
  // Appends a strong reference to each element of `sequence` (a list is
  // copied first: another thread may change a caller's list meanwhile).
  bool take_from(PyObject* sequence);
};

struct Gathered {
  Objects objects;  // holds every element whose bytes a row borrows
  std::vector<Row> rows;
  std::deque<geoweave::py::BorrowedBytes> views;  // buffer views of non-bytes elements
  Ref first_error;                  // errors raised: the exception of row `limit`
  std::int64_t limit = -1;
};

// Reads every element of g.objects into g.rows. False with an exception set
// when the call must raise now; a failing row under errors="raise" is kept in
// g.first_error (rows from it on are not converted).
bool gather(const FunctionInfo& info, bool errors_to_null, Gathered& g);

// The elements of a numpy array or pandas Series (`array`: its values) into
// `out`, through tolist() of `owner` unless read in place.
bool elements_of(PyObject* array, PyObject* owner, Objects& out);

// A numpy array's or pandas Series' dtype holds no geometry values when it is
// numeric, boolean or a time: the caller's mistake, refused as a whole.
bool refuse_numeric_dtype(PyObject* column, const FunctionInfo& info, const char* what);

}  // namespace geoweave::columns::py
