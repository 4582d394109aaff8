#include "python/args.h"

#include "core/text.h"
#include "ops/hex.h"

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
    // A TypeError subclass whose __str__ fails: the caller gets the
    // original exception, not the failure of formatting it.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
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

// The span is view.len bytes from view.buf, so they must agree with the shape
// the contiguity check looked at: len the product of the extents (itemsize is
// 1), never negative, and memory behind a non-empty view. CPython's own
// exporters always agree; a C exporter with an inconsistent view would
// otherwise have the conversion read outside its memory.
bool consistent_view(const Py_buffer& view) noexcept {
  if (view.len < 0 || view.ndim < 0 || view.ndim > PyBUF_MAX_NDIM) return false;
  if (view.len > 0 && !view.buf) return false;
  Py_ssize_t items = 1;
  for (int i = 0; i < view.ndim; ++i) {
    const Py_ssize_t extent = view.shape[i];
    if (extent < 0) return false;
    if (extent == 0) return view.len == 0;
    if (items > view.len / extent) return false;  // the product exceeds len
    items *= extent;
  }
  return items == view.len;
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
  const Py_ssize_t names = sig.count + sig.keyword_only;
  for (Py_ssize_t i = 0; i < names; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) [[unlikely]] {
        // The interpreter only passes str names, but a C caller of the
        // vectorcall protocol can pass anything; comparing a non-str as text
        // would read it as a string object.
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
        return false;
      }
      Py_ssize_t slot = -1;
      for (Py_ssize_t i = 0; i < names; ++i) {
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

// A free-threaded CPython 3.13 bytearray or memoryview counts the buffers it
// has exported with a plain increment and decrement, unlocked (later versions
// lock them). Two threads taking views of one shared object at once could
// lose an update: the object would stay "exported" for ever (never resizable
// or releasable again, its deallocation reporting exported buffers), or count
// none while a view is still being read. Views are therefore taken and given
// back under the exporter's own lock, which costs nothing with the GIL.
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
#define GEOWEAVE_LOCK_BUFFER_EXPORTS 1
#endif

namespace {

int get_buffer_view(PyObject* object, Py_buffer* view) {
#ifdef GEOWEAVE_LOCK_BUFFER_EXPORTS
  int result;
  Py_BEGIN_CRITICAL_SECTION(object);
  result = PyObject_GetBuffer(object, view, PyBUF_FULL_RO);
  Py_END_CRITICAL_SECTION();
  return result;
#else
  return PyObject_GetBuffer(object, view, PyBUF_FULL_RO);
#endif
}

}  // namespace

void release_buffer_view(Py_buffer* view) noexcept {
#ifdef GEOWEAVE_LOCK_BUFFER_EXPORTS
  // The exporter stays alive until the lock is let go.
  PyObject* exporter = Py_XNewRef(view->obj);
  if (exporter) {
    Py_BEGIN_CRITICAL_SECTION(exporter);
    PyBuffer_Release(view);
    Py_END_CRITICAL_SECTION();
    Py_DECREF(exporter);
    return;
  }
#endif
  PyBuffer_Release(view);
}

bool borrow_bytes_source(PyObject* object, const char* argument_name, BorrowedBytes* out,
                         bool* exporter_failed) {
  if (PyBytes_Check(object)) {
    out->span_ = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
    return true;
  }
  Py_buffer* view = &out->view_;
  if (get_buffer_view(object, view) < 0) {
    if (exporter_failed) *exporter_failed = true;
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
  if (view->itemsize != 1 || !PyBuffer_IsContiguous(view, 'C') || !consistent_view(*view)) {
    out->release();
    PyErr_Format(PyExc_BufferError, "%s must be a contiguous one-byte buffer", argument_name);
    return false;
  }
  // An empty view may come with no memory at all; the core reads an empty
  // span by its pointer too (memcpy and friends want it non-null).
  static constexpr std::uint8_t EMPTY[1] = {0};
  out->span_ = {view->len ? static_cast<const std::uint8_t*>(view->buf) : EMPTY,
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
  // For a class defined in Python both names come from attributes that
  // Python code may set: `__module__` to any object at all, so each is
  // compared as text only when it is a str.
  if (PyObject* module = PyType_GetModuleName(type)) {
    if (PyUnicode_Check(module) && PyUnicode_EqualToUTF8(module, "numpy")) {
      if (PyObject* name = PyType_GetName(type)) {
        numpy_bool = PyUnicode_Check(name) && (PyUnicode_EqualToUTF8(name, "bool_") ||
                                               PyUnicode_EqualToUTF8(name, "bool"));
        Py_DECREF(name);
      }
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

// Hints on common mistakes, attached as notes (PEP 678) to the exception a
// call raised: the exception keeps its type and message. Only the failure path
// runs this, and it reads the arguments without running any Python code
// (str, bytes and bytearray are read directly; anything else is left alone).
namespace {

bool all_hex(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (!is_hex_digit(c)) return false;
  }
  return true;
}

bool is_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view trim_ascii(std::string_view text) noexcept {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

bool is_letter(char c) noexcept { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// The input argument: every function's first parameter, given by position or
// by one of its names.
PyObject* input_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  if (nargs > 0) return args[0];
  if (!kwnames) return nullptr;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) continue;
    for (const char* name : {"wkb", "wkt", "hex_wkb", "source"}) {
      if (PyUnicode_EqualToUTF8(key, name)) return args[nargs + k];
    }
  }
  return nullptr;
}

// An untagged keyword whose first coordinate holds three values, as PostGIS
// writes XYZ: "POINT(1 2 3)", "SRID=4326;LINESTRING(0 0 1,1 1 1)". Only the
// first coordinate is looked at; a collection is followed into its first member.
bool postgis_untagged_z(std::string_view text) noexcept {
  std::size_t i = 0;
  const auto skip_space = [&] {
    while (i < text.size() && is_space(text[i])) ++i;
  };
  skip_space();
  if (starts_with_srid_key(text.substr(i))) {
    const std::size_t semicolon = text.find(';', i);
    if (semicolon == std::string_view::npos) return false;
    i = semicolon + 1;
  }
  for (;;) {
    skip_space();
    const std::size_t start = i;
    while (i < text.size() && is_letter(text[i])) ++i;
    if (i == start) return false;  // no keyword
    skip_space();
    if (i >= text.size() || text[i] != '(') return false;  // a tag, EMPTY, or nothing
    while (i < text.size() && (text[i] == '(' || is_space(text[i]))) ++i;
    if (i < text.size() && is_letter(text[i]) && (text[i] | 0x20) != 'n' &&
        (text[i] | 0x20) != 'i') {
      continue;  // a collection's first member (not nan or inf)
    }
    break;
  }
  int values = 0;
  while (i < text.size() && text[i] != ',' && text[i] != ')') {
    if (is_space(text[i])) {
      ++i;
      continue;
    }
    const char c = text[i];
    if (!(c == '-' || c == '+' || c == '.' || (c >= '0' && c <= '9') || is_letter(c))) {
      return false;
    }
    ++values;
    while (i < text.size() && !is_space(text[i]) && text[i] != ',' && text[i] != ')') ++i;
  }
  return values == 3 && i < text.size();
}

const char* hint_for(PyObject* exc, PyObject* input) {
  const bool value_error = Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_ValueError));
  bool buffer_error = Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_BufferError));
  // A column refuses a str row where WKB goes with a TypeError, where the
  // scalar function raises BufferError: the same mistake, the same hint.
  const bool type_error = Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
  if (!value_error && !buffer_error && !type_error) return nullptr;

  // A ValueError's message says which conversion failed; a bad srid gets no hint.
  struct Args {
    PyObject* tuple;
    ~Args() { Py_XDECREF(tuple); }
  } exc_args{value_error || type_error ? PyException_GetArgs(exc) : nullptr};
  std::string_view message;
  if (exc_args.tuple && PyTuple_GET_SIZE(exc_args.tuple) == 1 &&
      PyUnicode_Check(PyTuple_GET_ITEM(exc_args.tuple, 0))) {
    Py_ssize_t n = 0;
    if (const char* m = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(exc_args.tuple, 0), &n)) {
      message = {m, static_cast<std::size_t>(n)};  // lives as long as exc_args
    }
  }
  PyErr_Clear();
  if (type_error) {
    if (!message.ends_with(BYTES_REQUIRED_NOT_STR)) return nullptr;
    buffer_error = true;
  }
  const bool wkb_error = message.starts_with("invalid WKB: ") ||
                         message.starts_with("unsupported geometry type code: ");

  if (PyBytes_Check(input) || PyByteArray_Check(input)) {
    if (!wkb_error) return nullptr;
    const char* data =
        PyBytes_Check(input) ? PyBytes_AS_STRING(input) : PyByteArray_AS_STRING(input);
    const Py_ssize_t size = PyBytes_Check(input) ? PyBytes_GET_SIZE(input)
                                                 : PyByteArray_GET_SIZE(input);
    if (size >= 2 && all_hex(trim_ascii({data, static_cast<std::size_t>(size)}))) {
      return "hint: these bytes are hex text, not WKB; pass the text as str "
             "(e.g. value.decode()) to to_wkt() or hex_wkb_to_wkt()";
    }
    return nullptr;
  }
  if (!PyUnicode_Check(input)) return nullptr;
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(input, &length);
  if (!utf8) {
    PyErr_Clear();
    return nullptr;
  }
  const std::string_view text(utf8, static_cast<std::size_t>(length));
  const std::string_view trimmed = trim_text(text);
  if (buffer_error) {
    if (all_hex(trimmed)) {
      return "hint: hex WKB text goes to hex_wkb_to_wkt() or to_wkt(); "
             "this parameter takes WKB bytes";
    }
    return nullptr;
  }
  if (message.starts_with("invalid WKT: ")) {
    if (trimmed.starts_with('{')) return "hint: the text starts with '{': GeoJSON is not WKT";
    if (postgis_untagged_z(text)) {
      return "hint: a coordinate has one value too many for an untagged keyword; PostGIS "
             "writes XYZ as POINT(1 2 3), WKT tags it: add a Z or M tag, as in POINT Z (1 2 3)";
    }
    return nullptr;
  }
  // Only when the whitespace is all that stands between the text and hex.
  if ((message.starts_with("invalid WKB: invalid hex digit") ||
       message.starts_with("invalid WKB: hex string has odd length")) &&
      trimmed.size() != text.size() && trimmed.size() % 2 == 0 && all_hex(trimmed)) {
    return "hint: hex text is read here exactly as given; strip the surrounding whitespace, "
           "or use to_wkt(), to_wkb() or to_hex_wkb(), which trim it";
  }
  return nullptr;
}

}  // namespace

void add_usage_hints(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  add_usage_hint_for(input_argument(args, nargs, kwnames));
}

void add_usage_hint_for(PyObject* input) noexcept {
  if (!input || !PyErr_Occurred()) return;
  PyObject* exc = PyErr_GetRaisedException();
  if (const char* hint = hint_for(exc, input)) {
    PyObject* done = PyObject_CallMethod(exc, "add_note", "s", hint);
    if (done) {
      Py_DECREF(done);
    } else {
      PyErr_Clear();  // the note is a courtesy: the original exception stands
    }
  }
  PyErr_SetRaisedException(exc);
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
