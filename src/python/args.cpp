#include "python/args.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace geoweave::py {
namespace {

PyObject* positional_count_error(const Signature& sig, Py_ssize_t given) {
  const char* were = given == 1 ? "was" : "were";
  if (sig.required < sig.count) {
    return PyErr_Format(PyExc_TypeError,
                        "%s() takes from %zd to %zd positional arguments but %zd %s given",
                        sig.name, sig.required, sig.count, given, were);
  }
  return PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given",
                      sig.name, sig.count, given, were);
}

PyObject* missing_error(const Signature& sig, PyObject* const* out) {
  std::string names;
  Py_ssize_t missing = 0;
  const char* listed[8];
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (!out[i]) listed[missing++] = sig.params[i];
  }
  for (Py_ssize_t i = 0; i < missing; ++i) {
    if (i > 0) names += (i + 1 == missing) ? (missing > 2 ? ", and " : " and ") : ", ";
    names += '\'';
    names += listed[i];
    names += '\'';
  }
  return PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s",
                      sig.name, missing, missing == 1 ? "" : "s", names.c_str());
}

// "'<qualname>' object" or "'None'" for messages about a wrong type.
std::string describe_type(PyObject* object) {
  if (object == Py_None) return "'None' is";
  std::string result = "'";
  PyObject* qualname = PyType_GetQualName(Py_TYPE(object));
  if (qualname) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(qualname, &n);
    if (s) result.append(s, static_cast<std::size_t>(n));
    Py_DECREF(qualname);
  }
  PyErr_Clear();
  result += "' object is";
  return result;
}

// A TypeError raised while extracting a named argument reaches the caller as
// "argument '<name>': <message>", keeping the original cause.
void prefix_type_error(const char* argument_name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* message = PyObject_Str(exc);
  if (!message) {
    Py_DECREF(exc);
    return;
  }
  PyObject* cause = PyException_GetCause(exc);  // new reference or NULL
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", argument_name, message);
  Py_DECREF(message);
  if (cause) {
    PyObject* replacement = PyErr_GetRaisedException();
    PyException_SetCause(replacement, cause);  // steals cause
    PyErr_SetRaisedException(replacement);
  }
  Py_DECREF(exc);
}

bool srid_from_int(PyObject* value, SridOption* out) {
  long v = PyLong_AsLong(value);
  if ((v == -1 && PyErr_Occurred()) || v < INT32_MIN || v > INT32_MAX) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError,
                    "srid is out of the allowed range: must fit in a 32-bit integer "
                    "(-2147483648 to 2147483647)");
    return false;
  }
  *out = SridOption::set(static_cast<std::int32_t>(v));
  return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  if (nargs > sig.count) {
    positional_count_error(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t slot = -1;
      for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_EqualToUTF8(key, sig.params[i])) {
          slot = i;
          break;
        }
      }
      if (slot < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                     key);
        return false;
      }
      if (out[slot]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                     sig.params[slot]);
        return false;
      }
      out[slot] = args[nargs + k];
    }
  }
  for (Py_ssize_t i = 0; i < sig.required; ++i) {
    if (!out[i]) {
      missing_error(sig, out);
      return false;
    }
  }
  return true;
}

bool parse_srid_option(PyObject* value, const char* true_message, const char* invalid_message,
                       SridOption* out) {
  if (Py_IS_TYPE(value, &PyBool_Type)) {
    if (value == Py_True) {
      PyErr_SetString(PyExc_ValueError, true_message);
      return false;
    }
    *out = SridOption::strip();
    return true;
  }
  if (PyLong_Check(value)) return srid_from_int(value, out);

  PyObject* index = PyObject_GetAttrString(value, "__index__");
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, invalid_message);
    }
    return false;
  }
  PyObject* result = PyObject_CallNoArgs(index);
  Py_DECREF(index);
  if (!result) return false;
  bool ok;
  if (!Py_IS_TYPE(result, &PyBool_Type) && PyLong_Check(result)) {
    ok = srid_from_int(result, out);
  } else {
    PyErr_SetString(PyExc_ValueError, invalid_message);
    ok = false;
  }
  Py_DECREF(result);
  return ok;
}

bool srid_argument(PyObject* value, SridOption* out) {
  if (!value || value == Py_None) {
    *out = SridOption::mirror();
    return true;
  }
  return parse_srid_option(value, SRID_TRUE_MESSAGE, SRID_INVALID_MESSAGE, out);
}

bool borrow_bytes_source(PyObject* object, const char* argument_name, BorrowedBytes* out) {
  if (PyBytes_Check(object)) {
    out->span_ = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
    return true;
  }
  Py_buffer* view = &out->view_;
  if (PyObject_GetBuffer(object, view, PyBUF_FULL_RO) < 0) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_BufferError, "%s must be a contiguous one-byte buffer", argument_name);
    }
    return false;
  }
  out->has_view_ = true;
  if (!view->shape) {
    out->release();
    PyErr_SetString(PyExc_BufferError, "shape is null");
    return false;
  }
  if (!view->strides) {
    out->release();
    PyErr_SetString(PyExc_BufferError, "strides is null");
    return false;
  }
  if (view->itemsize != 1 || !PyBuffer_IsContiguous(view, 'C')) {
    out->release();
    PyErr_Format(PyExc_BufferError, "%s must be a contiguous one-byte buffer", argument_name);
    return false;
  }
  out->span_ = {static_cast<const std::uint8_t*>(view->buf),
                static_cast<std::size_t>(view->len)};
  return true;
}

bool extract_text_argument(PyObject* object, const char* argument_name, TextView* out) {
  if (PyUnicode_Check(object)) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(object, &n);
    if (!s) return false;
    *out = TextView(s, static_cast<std::size_t>(n));
    return true;
  }
  std::string what = describe_type(object);
  PyErr_Format(PyExc_TypeError, "argument '%s': %s not an instance of 'str'", argument_name,
               what.c_str());
  return false;
}

int extract_bool_argument(PyObject* object, const char* argument_name) {
  if (Py_IS_TYPE(object, &PyBool_Type)) return object == Py_True;
  PyTypeObject* type = Py_TYPE(object);
  bool numpy_bool = false;
  if (PyObject* module = PyType_GetModuleName(type)) {
    if (PyObject* name = PyType_GetName(type)) {
      numpy_bool = PyUnicode_EqualToUTF8(module, "numpy") &&
                   (PyUnicode_EqualToUTF8(name, "bool_") || PyUnicode_EqualToUTF8(name, "bool"));
      Py_DECREF(name);
    }
    Py_DECREF(module);
  }
  PyErr_Clear();  // an unreadable module or type name just means "not numpy"
  if (numpy_bool) {
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (!nb_bool) {
      PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                   reinterpret_cast<PyObject*>(type));
      prefix_type_error(argument_name);
      return -1;
    }
    int truth = nb_bool(object);
    if (truth < 0) {
      prefix_type_error(argument_name);
      return -1;
    }
    return truth ? 1 : 0;
  }
  std::string what = describe_type(object);
  PyErr_Format(PyExc_TypeError, "argument '%s': %s not an instance of 'bool'", argument_name,
               what.c_str());
  return -1;
}

PyObject* raise_conversion_error(const ConversionError& error) {
  std::string message = error.display();
  PyObject* text = PyUnicode_FromStringAndSize(message.data(),
                                               static_cast<Py_ssize_t>(message.size()));
  if (text) {
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

PyObject* pair_result(PyObject* value, SridSlot slot) {
  if (!value) return nullptr;
  PyObject* srid = srid_result(slot);
  if (!srid) {
    Py_DECREF(value);
    return nullptr;
  }
  PyObject* tuple = PyTuple_New(2);
  if (!tuple) {
    Py_DECREF(value);
    Py_DECREF(srid);
    return nullptr;
  }
  PyTuple_SET_ITEM(tuple, 0, value);
  PyTuple_SET_ITEM(tuple, 1, srid);
  return tuple;
}

}  // namespace geoweave::py
