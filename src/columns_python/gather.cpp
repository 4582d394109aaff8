#include "columns_python/gather.h"

#include <cmath>
#include <cstring>
#include <string_view>

namespace geoweave::columns::py {

using geoweave::py::BorrowedBytes;

bool Objects::take_from(PyObject* sequence) {
  Ref seq(PyList_Check(sequence)
              ? PyList_GetSlice(sequence, 0, PyList_GET_SIZE(sequence))
              : PySequence_Fast(sequence, "column must be iterable"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.p);
  PyObject** from = PySequence_Fast_ITEMS(seq.p);
  items.reserve(items.size() + static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) items.push_back(Py_NewRef(from[i]));
  return true;
}

namespace {

// pandas.NA, recognised by its type's module and name (pandas is not imported).
bool is_pandas_na(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  bool result = false;
  if (PyObject* name = PyType_GetName(type)) {
    if (PyUnicode_EqualToUTF8(name, "NAType")) {
      if (PyObject* module = PyType_GetModuleName(type)) {
        // "pandas._libs.missing", or "pandas.api.typing" from pandas 3 on.
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(module, &n);
        result = text && std::string_view(text, static_cast<std::size_t>(n)).starts_with("pandas.");
        Py_DECREF(module);
      }
    }
    Py_DECREF(name);
  }
  PyErr_Clear();
  return result;
}

// A numpy float NaN (float32, float16: float64 is a float) is missing as
// float('nan') is.
bool is_numpy_nan(PyObject* object) {
  if (!type_from(object, "numpy", "floating")) return false;
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return std::isnan(value);
}

bool is_missing(PyObject* object) {
  if (object == Py_None) return true;
  if (PyFloat_Check(object)) return std::isnan(PyFloat_AS_DOUBLE(object));
  return is_pandas_na(object) || is_numpy_nan(object);
}

// A numpy scalar other than numpy.void (raw bytes): a number, a bool or a
// time, whose buffer holds its value's bytes. numpy.bytes_ and numpy.str_ are
// bytes and str and never get here.
bool is_numpy_scalar(PyObject* item) {
  return type_from(item, "numpy", "generic") && !type_from(item, "numpy", "void");
}

// How reading one element went.
enum class Gather : std::uint8_t {
  Row,        // `row` is filled
  BadValue,   // the conversion's own refusal of the value: a null under errors="null"
  Propagate,  // a wrong type, or what the element's own code raised: always raised
};

// Fills `row` from one element as the scalar function would take it; an
// exception is set unless the result is Gather::Row.
Gather gather_element(PyObject* item, Accepts accepts, const char* parameter, Gathered& g,
                      Row& row) {
  if (PyBytes_Check(item) && accepts != Accepts::Text) {
    row = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item)),
           static_cast<std::size_t>(PyBytes_GET_SIZE(item)), Row::State::Bytes};
    return Gather::Row;
  }
  if (PyUnicode_Check(item) && accepts != Accepts::Bytes) {
    TextView text;
    if (!geoweave::py::extract_text_argument(item, parameter, &text)) {
      // Lone surrogates have no UTF-8: a bad value, as for the scalar function.
      return PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) ? Gather::BadValue
                                                              : Gather::Propagate;
    }
    row = {reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), Row::State::Text};
    return Gather::Row;
  }
  if (is_missing(item)) {
    row = {};
    return Gather::Row;
  }
  if (accepts == Accepts::Text) {
    TextView text;
    geoweave::py::extract_text_argument(item, parameter, &text);  // the scalar's TypeError
    return Gather::Propagate;
  }
  // Numbers are never geometries, whatever buffer a numpy scalar exports.
  if (PyUnicode_Check(item) || PyLong_Check(item) || PyFloat_Check(item) ||
      PyComplex_Check(item) || !PyObject_CheckBuffer(item) || is_numpy_scalar(item)) {
    PyErr_Format(PyExc_TypeError,
                 accepts == Accepts::Bytes ? "argument '%s': a bytes-like object is required, not '%s'"
                                           : "argument '%s': str or a bytes-like object is "
                                             "required, not '%s'",
                 parameter, Py_TYPE(item)->tp_name);
    return Gather::Propagate;
  }
  BorrowedBytes& view = g.views.emplace_back();
  bool exporter_failed = false;
  if (!geoweave::py::borrow_bytes_source(item, parameter, &view, &exporter_failed)) {
    g.views.pop_back();
    return exporter_failed ? Gather::Propagate : Gather::BadValue;
  }
  const ByteSpan span = view.span();
  row = {span.data, span.size, Row::State::Bytes};
  return Gather::Row;
}

}  // namespace

bool gather(const FunctionInfo& info, bool errors_to_null, Gathered& g) {
  const std::size_t n = g.objects.items.size();
  g.rows.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = g.objects.items[i];
    const Gather how = gather_element(item, info.accepts, info.parameter, g, g.rows[i]);
    if (how == Gather::Row) continue;
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    // KeyboardInterrupt, SystemExit and their kind stop the call at once.
    const bool urgent = !PyErr_ExceptionMatches(PyExc_Exception);
    if (errors_to_null || urgent) {
      if (how == Gather::Propagate || urgent) {
        geoweave::py::add_usage_hint_for(item);
        add_row_note(static_cast<std::int64_t>(i));
        return false;
      }
      PyErr_Clear();
      g.rows[i] = {};
      continue;
    }
    g.first_error = Ref(PyErr_GetRaisedException());
    g.limit = static_cast<std::int64_t>(i);
    break;
  }
  return true;
}

namespace {

// The elements of a one-dimensional numpy object array (exactly numpy.ndarray:
// a subclass such as a masked array may give other values through tolist()),
// read straight from the array's pointers into `out`. tolist() makes a list
// through one item lookup per element, which costs a column as much as
// converting its Points. 0 without an exception when the array is not such an
// array (the caller uses tolist()), -1 with one set.
int object_array_items(PyObject* array, Objects& out) {
  PyObject* numpy = loaded_module("numpy");
  if (!numpy) return 0;
  Ref ndarray(PyObject_GetAttrString(numpy, "ndarray"));
  if (!ndarray) {
    PyErr_Clear();
    return 0;
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(array)) != ndarray.p) return 0;
  Ref interface(PyObject_GetAttrString(array, "__array_interface__"));
  if (!interface || !PyDict_Check(interface.p)) {
    PyErr_Clear();
    return 0;
  }
  PyObject* typestr = PyDict_GetItemString(interface.p, "typestr");
  PyObject* shape = PyDict_GetItemString(interface.p, "shape");
  PyObject* data = PyDict_GetItemString(interface.p, "data");
  PyObject* strides = PyDict_GetItemString(interface.p, "strides");
  if (!typestr || !PyUnicode_Check(typestr) || !PyUnicode_EqualToUTF8(typestr, "|O") ||
      !shape || !PyTuple_Check(shape) || PyTuple_GET_SIZE(shape) != 1 || !data ||
      !PyTuple_Check(data) || PyTuple_GET_SIZE(data) < 1) {
    return 0;
  }
  const Py_ssize_t n = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape, 0));
  Py_ssize_t stride = static_cast<Py_ssize_t>(sizeof(PyObject*));
  if (strides && strides != Py_None) {
    if (!PyTuple_Check(strides) || PyTuple_GET_SIZE(strides) != 1) return 0;
    stride = PyLong_AsSsize_t(PyTuple_GET_ITEM(strides, 0));
  }
  const char* base = static_cast<const char*>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(data, 0)));
  if (PyErr_Occurred() || n < 0 || (n > 0 && !base)) {
    PyErr_Clear();
    return 0;
  }
  out.items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item;
    std::memcpy(&item, base + i * stride, sizeof item);  // possibly unaligned
    out.items.push_back(Py_NewRef(item ? item : Py_None));  // an unfilled slot reads as None
  }
  return 1;
}

}  // namespace

bool elements_of(PyObject* array, PyObject* owner, Objects& out) {
  const int read = object_array_items(array, out);
  if (read != 0) return read > 0;
  Ref list(PyObject_CallMethod(owner, "tolist", nullptr));
  return list && out.take_from(list.p);
}

bool refuse_numeric_dtype(PyObject* column, const FunctionInfo& info, const char* what) {
  Ref dtype(PyObject_GetAttrString(column, "dtype"));
  if (!dtype) return false;
  Ref kind(PyObject_GetAttrString(dtype.p, "kind"));
  if (!kind) {
    PyErr_Clear();
    return true;
  }
  if (PyUnicode_Check(kind.p) && PyUnicode_GET_LENGTH(kind.p) == 1 &&
      std::string_view("biufcmM").find(static_cast<char>(PyUnicode_READ_CHAR(kind.p, 0))) !=
          std::string_view::npos) {
    PyErr_Format(PyExc_TypeError,
                 "%s(): '%s' must hold bytes, str or missing values, not be a %s of dtype %S",
                 info.name, info.parameter, what, dtype.p);
    return false;
  }
  return true;
}

}  // namespace geoweave::columns::py
