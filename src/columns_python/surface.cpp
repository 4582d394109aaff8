#include "columns_python/surface.h"

#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/args.h"

namespace geoweave::columns::py {
namespace {

using geoweave::py::BorrowedBytes;

// ---------------------------------------------------------------------------
// Small helpers

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
PyObject* loaded_module(const char* name) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* m = PyDict_GetItemString(modules, name);
  return m;
}

bool type_from(PyObject* object, const char* module_name, const char* attribute) {
  PyObject* m = loaded_module(module_name);
  if (!m) return false;
  Ref type(PyObject_GetAttrString(m, attribute));
  if (!type) {
    PyErr_Clear();
    return false;
  }
  if (!PyType_Check(type.p)) return false;
  const int r = PyObject_IsInstance(object, type.p);
  if (r < 0) PyErr_Clear();
  return r > 0;
}

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

bool is_missing(PyObject* object) {
  if (object == Py_None) return true;
  if (PyFloat_Check(object)) return std::isnan(PyFloat_AS_DOUBLE(object));
  return is_pandas_na(object);
}

void add_row_note(std::int64_t row) {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  std::string note = "row " + std::to_string(row);
  PyObject* r = PyObject_CallMethod(exc, "add_note", "s", note.c_str());
  if (r) {
    Py_DECREF(r);
    PyErr_SetRaisedException(exc);
  } else {
    Py_DECREF(exc);  // the failure to add the note is raised instead
  }
}

const char* expected_types(Accepts accepts) {
  switch (accepts) {
    case Accepts::Bytes: return "binary, large_binary or binary_view";
    case Accepts::Text: return "string, large_string or string_view";
    default:
      return "binary, large_binary, binary_view, string, large_string or string_view";
  }
}

// ---------------------------------------------------------------------------
// Arrow import

// Arrays and schema moved out of the producer's capsules; released (by the
// producer's own callbacks) when this is destroyed, with the GIL held.
class ImportedArrow {
 public:
  ImportedArrow() = default;
  ImportedArrow(const ImportedArrow&) = delete;
  ImportedArrow& operator=(const ImportedArrow&) = delete;
  ~ImportedArrow() { release_all(); }

  // Releases everything; false when a producer's release callback did not
  // mark its struct released.
  bool release_all() noexcept {
    // A producer's callback may run Python code: it must not see (or clear)
    // an exception this call is about to raise.
    PyObject* pending = PyErr_GetRaisedException();
    bool ok = true;
    for (ArrowArray& a : arrays_) {
      if (a.release) {
        a.release(&a);
        if (a.release) ok = false;
        a.release = nullptr;
      }
    }
    arrays_.clear();
    if (schema_.release) {
      schema_.release(&schema_);
      if (schema_.release) ok = false;
      schema_.release = nullptr;
    }
    if (stream_.release) {
      stream_.release(&stream_);
      if (stream_.release) ok = false;
      stream_.release = nullptr;
    }
    if (pending) PyErr_SetRaisedException(pending);
    return ok;
  }

  std::deque<ArrowArray> arrays_;
  ArrowSchema schema_{};
  ArrowArrayStream stream_{};
  const ArrowSchema* schema_in_capsule_ = nullptr;  // read in place
  Ref schema_capsule_;
};

void* capsule_pointer(PyObject* capsule, const char* name) {
  if (!PyCapsule_IsValid(capsule, name)) {
    PyErr_Format(PyExc_ValueError, "expected a PyCapsule named '%s' from the Arrow producer",
                 name);
    return nullptr;
  }
  return PyCapsule_GetPointer(capsule, name);
}

bool import_from_array(PyObject* object, ImportedArrow& imported) {
  Ref result(PyObject_CallMethod(object, "__arrow_c_array__", nullptr));
  if (!result) return false;
  if (!PyTuple_Check(result.p) || PyTuple_GET_SIZE(result.p) != 2) {
    PyErr_SetString(PyExc_ValueError,
                    "__arrow_c_array__ must return a (schema, array) tuple of PyCapsules");
    return false;
  }
  PyObject* schema_capsule = PyTuple_GET_ITEM(result.p, 0);
  PyObject* array_capsule = PyTuple_GET_ITEM(result.p, 1);
  auto* schema = static_cast<ArrowSchema*>(capsule_pointer(schema_capsule, "arrow_schema"));
  if (!schema) return false;
  auto* array = static_cast<ArrowArray*>(capsule_pointer(array_capsule, "arrow_array"));
  if (!array) return false;
  if (!schema->release || !array->release) {
    PyErr_SetString(PyExc_ValueError, "the Arrow producer handed over a released struct");
    return false;
  }
  // The array is moved out (its capsule then has nothing to release); the
  // schema is read in place and stays with its capsule.
  imported.arrays_.push_back(*array);
  array->release = nullptr;
  imported.schema_in_capsule_ = schema;
  Py_INCREF(schema_capsule);
  imported.schema_capsule_ = Ref(schema_capsule);
  return true;
}

bool stream_failed(ArrowArrayStream& stream, int code, const char* what) {
  const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
  PyErr_Format(PyExc_ValueError, "the Arrow stream failed to %s (error %d)%s%s", what, code,
               message ? ": " : "", message ? message : "");
  return false;
}

bool import_from_stream(PyObject* object, ImportedArrow& imported) {
  Ref capsule(PyObject_CallMethod(object, "__arrow_c_stream__", nullptr));
  if (!capsule) return false;
  auto* stream = static_cast<ArrowArrayStream*>(capsule_pointer(capsule.p, "arrow_array_stream"));
  if (!stream) return false;
  if (!stream->release || !stream->get_schema || !stream->get_next) {
    PyErr_SetString(PyExc_ValueError, "the Arrow producer handed over a released stream");
    return false;
  }
  imported.stream_ = *stream;
  stream->release = nullptr;
  ArrowArrayStream& s = imported.stream_;
  int rc = s.get_schema(&s, &imported.schema_);
  if (rc != 0) return stream_failed(s, rc, "give its schema");
  if (!imported.schema_.release) {
    PyErr_SetString(PyExc_ValueError, "the Arrow stream gave a released schema");
    return false;
  }
  imported.schema_in_capsule_ = &imported.schema_;
  for (;;) {
    ArrowArray next{};
    rc = s.get_next(&s, &next);
    if (rc != 0) return stream_failed(s, rc, "give its next array");
    if (!next.release) break;  // the end
    imported.arrays_.push_back(next);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Gathering Python objects

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
  bool take_from(PyObject* sequence) {
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
};

struct Gathered {
  Objects objects;  // holds every element whose bytes a row borrows
  std::vector<Row> rows;
  std::deque<BorrowedBytes> views;  // buffer views of non-bytes elements
  Ref first_error;                  // errors raised: the exception of row `limit`
  std::int64_t limit = -1;
};

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
  // Numbers are never geometries, whatever buffer a numpy float exports.
  if (PyUnicode_Check(item) || PyLong_Check(item) || PyFloat_Check(item) ||
      PyComplex_Check(item) || !PyObject_CheckBuffer(item)) {
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

// Reads every element of g.objects into g.rows. False with an exception set
// when the call must raise now; a failing row under errors="raise" is kept in
// g.first_error (rows from it on are not converted).
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

// ---------------------------------------------------------------------------
// Results

// What each operation writes in its values column.
enum class ValueType : std::uint8_t { Text, Binary, SameAsInput };

ValueType value_type(Operation op) {
  switch (op) {
    case Operation::WktToWkb:
    case Operation::WktToWkbSplitSrid:
    case Operation::ToWkb:
      return ValueType::Binary;
    case Operation::ToWkbNoSridHeader:
    case Operation::ToEwkbHeader:
      return ValueType::SameAsInput;
    default:
      return ValueType::Text;
  }
}

// The GeoArrow extension a result carries when its input had one: WKT text is
// geoarrow.wkt, WKB is geoarrow.wkb, anything else (hex, SRIDs) none.
const char* result_extension(Operation op, bool text_values) {
  switch (op) {
    case Operation::WkbToWkt:
    case Operation::WkbToWktSplitSrid:
    case Operation::HexWkbToWkt:
    case Operation::ToWkt:
      return "geoarrow.wkt";
    case Operation::WktToWkb:
    case Operation::WktToWkbSplitSrid:
    case Operation::ToWkb:
      return "geoarrow.wkb";
    case Operation::ToWkbNoSridHeader:
    case Operation::ToEwkbHeader:
      return text_values ? nullptr : "geoarrow.wkb";
    default:
      return nullptr;
  }
}

// The column object of this module.
struct ColumnObject {
  PyObject_HEAD
  std::shared_ptr<const BuiltColumn> column;
  bool text;
  std::string* extension_name;      // owned; may be empty
  std::string* extension_metadata;  // owned
};

void column_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<ColumnObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  c->column.~shared_ptr();
  delete c->extension_name;
  delete c->extension_metadata;
  type->tp_free(self);
  Py_DECREF(type);
}

void schema_capsule_destructor(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (!schema) {
    PyErr_Clear();
    return;
  }
  if (schema->release) schema->release(schema);
  delete schema;
}

void array_capsule_destructor(PyObject* capsule) {
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (!array) {
    PyErr_Clear();
    return;
  }
  if (array->release) array->release(array);
  delete array;
}

void stream_capsule_destructor(PyObject* capsule) {
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (!stream) {
    PyErr_Clear();
    return;
  }
  if (stream->release) stream->release(stream);
  delete stream;
}

PyObject* schema_capsule(const ColumnObject* c) {
  auto* schema = new ArrowSchema{};
  try {
    export_schema(format_of(*c->column, c->text), *c->extension_name, *c->extension_metadata,
                  schema);
  } catch (...) {
    delete schema;
    throw;
  }
  PyObject* capsule = PyCapsule_New(schema, "arrow_schema", schema_capsule_destructor);
  if (!capsule) {
    schema->release(schema);
    delete schema;
  }
  return capsule;
}

// The column's type alone (the PyCapsule interface's schema export): readable
// for every column, a split one included, whose array export refuses.
PyObject* column_arrow_c_schema(PyObject* self, PyObject*) {
  try {
    return schema_capsule(reinterpret_cast<const ColumnObject*>(self));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* column_arrow_c_array_body(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  // requested_schema is accepted and ignored: the column has one type.
  if (nargs > 1 || (kwnames && PyTuple_GET_SIZE(kwnames) > 1)) {
    PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() takes at most one argument");
    return nullptr;
  }
  auto* c = reinterpret_cast<ColumnObject*>(self);
  if (!c->column->more.empty()) {
    PyErr_Format(PyExc_ValueError,
                 "this column is %zu arrays (its values pass 32-bit offsets); read it as a "
                 "stream, for example with pyarrow.chunked_array(column)",
                 c->column->more.size() + 1);
    return nullptr;
  }
  Ref schema(schema_capsule(c));
  if (!schema) return nullptr;
  auto* array = new ArrowArray{};
  try {
    export_array(c->column, array);
  } catch (...) {
    delete array;
    throw;
  }
  Ref array_capsule(PyCapsule_New(array, "arrow_array", array_capsule_destructor));
  if (!array_capsule) {
    array->release(array);
    delete array;
    return nullptr;
  }
  return PyTuple_Pack(2, schema.p, array_capsule.p);
}

PyObject* column_arrow_c_stream_body(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  if (nargs > 1 || (kwnames && PyTuple_GET_SIZE(kwnames) > 1)) {
    PyErr_SetString(PyExc_TypeError, "__arrow_c_stream__() takes at most one argument");
    return nullptr;
  }
  auto* c = reinterpret_cast<ColumnObject*>(self);
  auto* stream = new ArrowArrayStream{};
  try {
    export_stream(c->column, format_of(*c->column, c->text), *c->extension_name,
                  *c->extension_metadata, stream);
  } catch (...) {
    delete stream;
    throw;
  }
  PyObject* capsule = PyCapsule_New(stream, "arrow_array_stream", stream_capsule_destructor);
  if (!capsule) {
    stream->release(stream);
    delete stream;
  }
  return capsule;
}

template <PyObject* (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  return geoweave::py::guarded_call("geoweave_columns",
                                    [&] { return Body(self, args, nargs, kwnames); });
}

Py_ssize_t column_length(PyObject* self) {
  return static_cast<Py_ssize_t>(reinterpret_cast<ColumnObject*>(self)->column->total_length());
}

PyObject* column_repr(PyObject* self) {
  auto* c = reinterpret_cast<ColumnObject*>(self);
  const BuiltColumn& col = *c->column;
  const char* type = col.kind == BuiltColumn::Kind::Int32 ? "int32"
                     : c->text ? (col.large ? "large_string" : "string")
                               : (col.large ? "large_binary" : "binary");
  if (!col.more.empty()) {
    return PyUnicode_FromFormat(
        "<geoweave_columns.ArrowColumn %s, %lld rows, %lld nulls, %zu arrays>", type,
        static_cast<long long>(col.total_length()),
        static_cast<long long>(col.total_null_count()), col.more.size() + 1);
  }
  return PyUnicode_FromFormat("<geoweave_columns.ArrowColumn %s, %lld rows, %lld nulls>", type,
                              static_cast<long long>(col.length),
                              static_cast<long long>(col.null_count));
}

PyMethodDef COLUMN_METHODS[] = {
    {"__arrow_c_schema__", column_arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\n"
     "The column's type as a PyCapsule holding an ArrowSchema."},
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
         guarded<column_arrow_c_array_body>)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\n"
     "The column as a pair of PyCapsules (ArrowSchema, ArrowArray) sharing its buffers."},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
         guarded<column_arrow_c_stream_body>)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "The column as a PyCapsule holding an ArrowArrayStream of one array."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot COLUMN_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_methods, COLUMN_METHODS},
    {Py_sq_length, reinterpret_cast<void*>(column_length)},
    {Py_mp_length, reinterpret_cast<void*>(column_length)},
    {Py_tp_repr, reinterpret_cast<void*>(column_repr)},
    {Py_tp_doc, const_cast<char*>(
                    "An immutable Arrow column produced by geoweave_columns. It exports\n"
                    "itself through the Arrow PyCapsule interface (__arrow_c_array__ and\n"
                    "__arrow_c_stream__) without copying, so pyarrow.array(column),\n"
                    "polars.from_arrow(column) or nanoarrow read it directly.")},
    {0, nullptr},
};

PyType_Spec COLUMN_SPEC = {
    "geoweave_columns.ArrowColumn",
    sizeof(ColumnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    COLUMN_SLOTS,
};

PyObject* new_column(PyObject* module, std::shared_ptr<const BuiltColumn> column, bool text,
                     const char* extension, const std::string& metadata) {
  PyTypeObject* type = module_state(module)->column_type;
  auto* c = reinterpret_cast<ColumnObject*>(type->tp_alloc(type, 0));
  if (!c) return nullptr;
  new (&c->column) std::shared_ptr<const BuiltColumn>(std::move(column));
  c->text = text;
  c->extension_name = nullptr;
  c->extension_metadata = nullptr;
  try {
    c->extension_name = new std::string(extension ? extension : "");
    c->extension_metadata = new std::string(extension ? metadata : "");
  } catch (...) {
    Py_DECREF(c);
    throw;
  }
  return reinterpret_cast<PyObject*>(c);
}

// Where the column came from, to hand the result back in the same kind.
enum class Origin : std::uint8_t { Other, PyarrowArray, PyarrowChunked, Polars };

Origin arrow_origin(PyObject* column) {
  if (type_from(column, "pyarrow", "ChunkedArray")) return Origin::PyarrowChunked;
  if (type_from(column, "pyarrow", "Array")) return Origin::PyarrowArray;
  if (type_from(column, "polars", "Series")) return Origin::Polars;
  return Origin::Other;
}

// `ours` (a new reference, consumed) as the caller's library's array.
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

// What the caller gave when it was not Arrow.
enum class Shape : std::uint8_t { List, Numpy, Pandas };

// A new one-dimensional numpy object array of n Nones and its element slots
// (numpy is loaded: the caller gave a numpy array or a pandas Series).
PyObject* numpy_objects(Py_ssize_t n, PyObject*** slots) {
  PyObject* numpy = loaded_module("numpy");
  if (!numpy) {
    PyErr_SetString(PyExc_RuntimeError, "numpy is not loaded");
    return nullptr;
  }
  Ref array(PyObject_CallMethod(numpy, "empty", "nO", n,
                                reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  if (!array) return nullptr;
  // A fresh array is C-contiguous; its data is n object pointers.
  Ref interface(PyObject_GetAttrString(array.p, "__array_interface__"));
  if (!interface) return nullptr;
  PyObject* data = PyDict_GetItemString(interface.p, "data");  // (address, read-only)
  if (!data || !PyTuple_Check(data) || PyTuple_GET_SIZE(data) < 1) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected numpy array interface");
    return nullptr;
  }
  void* address = PyLong_AsVoidPtr(PyTuple_GET_ITEM(data, 0));
  if (!address && PyErr_Occurred()) return nullptr;
  *slots = static_cast<PyObject**>(address);
  return array.release();
}

// A container of n slots for one result column: a list, or a numpy object
// array (numpy and pandas shapes). `slots` receives its element array.
PyObject* new_container(Py_ssize_t n, Shape shape, PyObject*** slots) {
  if (shape == Shape::List) {
    PyObject* list = PyList_New(n);
    if (list) *slots = PySequence_Fast_ITEMS(list);
    return list;
  }
  return numpy_objects(n, slots);
}

// A finished container in the caller's shape (pandas: same index and name).
PyObject* in_shape(Ref container, Shape shape, PyObject* column) {
  if (shape != Shape::Pandas) return container.release();
  Ref series_type(PyObject_GetAttrString(loaded_module("pandas"), "Series"));
  Ref index(PyObject_GetAttrString(column, "index"));
  Ref name(PyObject_GetAttrString(column, "name"));
  if (!series_type || !index || !name) return nullptr;
  Ref args(PyTuple_Pack(1, container.p));
  Ref kwargs(Py_BuildValue("{s:O,s:O,s:O,s:O}", "index", index.p, "name", name.p, "dtype",
                           reinterpret_cast<PyObject*>(&PyBaseObject_Type), "copy", Py_False));
  if (!args || !kwargs) return nullptr;
  return PyObject_Call(series_type.p, args.p, kwargs.p);
}

// Makes the Python objects of each finished block, under the GIL, while the
// next blocks are converted.
struct ObjectFiller {
  PyObject** values = nullptr;  // slots, or nullptr without a values column
  PyObject** srids = nullptr;
  const Gathered* g = nullptr;
  ValueType type = ValueType::Text;
  bool ascii = true;

  // One kind of object for every row of a block with 32-bit ends: each row
  // starts where the one before ended, so the loop reads one end per row and
  // decides nothing else.
  template <typename Make>
  static bool fill_values(const RowBlock& b, PyObject** slots, Make make) {
    std::int32_t start = 0;
    for (std::int64_t i = b.begin; i < b.end; ++i) {
      const std::int32_t stop = b.ends[i + 1];
      PyObject* item = b.is_valid(i)
                           ? make(b.data + start, static_cast<Py_ssize_t>(stop - start))
                           : Py_NewRef(Py_None);
      if (!item) return false;
      Py_XSETREF(slots[i], item);
      start = stop;
    }
    return true;
  }

  static bool consume(const RowBlock& b, void* context) {
    auto& f = *static_cast<ObjectFiller*>(context);
    if (f.values && !f.srids && !b.wide_ends && f.type != ValueType::SameAsInput) {
      if (f.type == ValueType::Binary) {
        return fill_values(b, f.values, [](const char* data, Py_ssize_t size) {
          return PyBytes_FromStringAndSize(data, size);
        });
      }
      if (f.ascii) {
        return fill_values(b, f.values, [](const char* data, Py_ssize_t size) {
          PyObject* item = PyUnicode_New(size, 127);
          if (item && size) {
            std::memcpy(PyUnicode_1BYTE_DATA(item), data, static_cast<std::size_t>(size));
          }
          return item;
        });
      }
    }
    for (std::int64_t i = b.begin; i < b.end; ++i) {
      if (f.values) {
        PyObject* item;
        if (!b.is_valid(i)) {
          item = Py_NewRef(Py_None);
        } else {
          const bool text = f.type == ValueType::Text ||
                            (f.type == ValueType::SameAsInput &&
                             f.g->rows[static_cast<std::size_t>(i)].state == Row::State::Text);
          const std::string_view v = b.value(i);
          const auto size = static_cast<Py_ssize_t>(v.size());
          if (text && f.ascii) {
            item = PyUnicode_New(size, 127);
            if (item && size) std::memcpy(PyUnicode_1BYTE_DATA(item), v.data(), v.size());
          } else if (text) {
            item = PyUnicode_DecodeUTF8(v.data(), size, "strict");
          } else {
            item = PyBytes_FromStringAndSize(v.data(), size);
          }
        }
        if (!item) return false;
        Py_XSETREF(f.values[i], item);
      }
      if (f.srids) {
        PyObject* item = b.has_srid(i) ? PyLong_FromLong(b.srid(i)) : Py_NewRef(Py_None);
        if (!item) return false;
        Py_XSETREF(f.srids[i], item);
      }
    }
    return true;
  }
};

void release_gil(void* context) {
  *static_cast<PyThreadState**>(context) = PyEval_SaveThread();
}
void reacquire_gil(void* context) { PyEval_RestoreThread(*static_cast<PyThreadState**>(context)); }

// ---------------------------------------------------------------------------
// Running

// The kernel's interrupt check, called on this thread while the interpreter
// lock is released: takes the lock back for a moment and runs the signal
// handlers. True when one raised (KeyboardInterrupt): the conversion stops
// and the exception stays set for the caller.
bool signal_raised(void* context) {
  auto* state = static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(*state);
  const bool raised = PyErr_CheckSignals() < 0;
  *state = PyEval_SaveThread();
  return raised;
}

// Runs the kernel with the interpreter lock released. False with an exception
// set when a signal handler raised during the conversion, or when a value does
// not fit 32-bit offsets; throws std::bad_alloc.
bool run_released(KernelRequest request, const ColumnInput& input, KernelOutcome& out) {
  std::exception_ptr failure;
  PyThreadState* state = PyEval_SaveThread();
  request.interrupt = {signal_raised, &state};
  try {
    out = run_kernel(request, input);
  } catch (const std::length_error&) {
    PyEval_RestoreThread(state);
    PyErr_SetString(PyExc_OverflowError,
                    "a result value passes 2 GiB, more than an Arrow array with 32-bit offsets "
                    "holds; convert a large_binary or large_string column instead");
    return false;
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (failure) std::rethrow_exception(failure);
  return !out.interrupted;
}

// Arrow row `row` of `input` as the scalar function would have been given it
// (str for a string type, bytes otherwise), or nullptr without an exception.
PyObject* row_object(const ColumnInput& input, std::int64_t row) {
  for (const ArrayView& a : input.arrays) {
    if (row >= a.length) {
      row -= a.length;
      continue;
    }
    const ByteSpan b = a.value(row);
    const char* data = reinterpret_cast<const char*>(b.data);
    const auto size = static_cast<Py_ssize_t>(b.size);
    PyObject* value = input.text ? PyUnicode_DecodeUTF8(data, size, "strict")
                                 : PyBytes_FromStringAndSize(data, size);
    if (!value) PyErr_Clear();
    return value;
  }
  return nullptr;
}

PyObject* convert_arrow(PyObject* module, const FunctionInfo& info, PyObject* column,
                        KernelRequest request, bool use_array) {
  ImportedArrow imported;
  if (!(use_array ? import_from_array(column, imported) : import_from_stream(column, imported))) {
    return nullptr;
  }
  SchemaInfo schema;
  bool supported = false;
  std::string problem = read_schema(*imported.schema_in_capsule_, &schema, &supported);
  if (!problem.empty()) {
    PyErr_Format(PyExc_ValueError, "%s(): invalid Arrow schema for '%s': %s", info.name,
                 info.parameter, problem.c_str());
    return nullptr;
  }
  const bool text = is_text_layout(schema.layout);
  if (!supported || (info.accepts == Accepts::Bytes && text) ||
      (info.accepts == Accepts::Text && !text)) {
    const ArrowSchema& top = *imported.schema_in_capsule_;
    if (std::string_view(top.format) == "+s" && !schema.single_field_struct) {
      PyErr_Format(PyExc_TypeError, "%s(): '%s' is a %s: pass column= to choose the one to convert",
                   info.name, info.parameter, arrow_type_name(top).c_str());
      return nullptr;
    }
    const ArrowSchema& field = schema.single_field_struct ? *top.children[0] : top;
    PyErr_Format(PyExc_TypeError, "%s(): Arrow type %s is not supported for '%s'; expected %s",
                 info.name, arrow_type_name(field).c_str(), info.parameter,
                 expected_types(info.accepts));
    return nullptr;
  }
  ColumnInput input;
  input.text = text;
  request.large_offsets =
      schema.layout == Layout::LargeBinary || schema.layout == Layout::LargeString;
  for (const ArrowArray& a : imported.arrays_) {
    ArrayView view;
    problem = schema.single_field_struct ? validate_struct_array(a, schema.layout, &view)
                                         : validate_array(a, schema.layout, &view);
    if (!problem.empty()) {
      PyErr_Format(PyExc_ValueError, "%s(): invalid Arrow array for '%s': %s", info.name,
                   info.parameter, problem.c_str());
      return nullptr;
    }
    input.arrays.push_back(view);
  }
  KernelOutcome outcome;
  if (!run_released(request, input, outcome)) return nullptr;
  if (outcome.error) {
    // The failing row's value, for the hint notes, while the arrays live.
    Ref value(row_object(input, outcome.error->row));
    geoweave::py::raise_conversion_error(outcome.error->error);
    geoweave::py::add_usage_hint_for(value.p);
    add_row_note(outcome.error->row);
  }
  if (!imported.release_all()) {
    PyErr_Format(PyExc_ValueError,
                 "%s(): the Arrow producer's release callback did not mark its struct released",
                 info.name);
    return nullptr;
  }
  if (outcome.error) return nullptr;

  const bool geoarrow =
      schema.extension_name == "geoarrow.wkb" || schema.extension_name == "geoarrow.wkt";
  const ValueType type = value_type(info.op);
  const bool text_values = type == ValueType::Text || (type == ValueType::SameAsInput && text);
  const char* extension = geoarrow ? result_extension(info.op, text_values) : nullptr;
  const Origin origin = arrow_origin(column);
  Ref values, srids;
  if (outcome.values) {
    // Values split at the offsets limit come back chunked, as pyarrow.array does.
    const Origin values_origin =
        origin == Origin::PyarrowArray && !outcome.values->more.empty() ? Origin::PyarrowChunked
                                                                        : origin;
    values = Ref(in_origin_kind(
        new_column(module, outcome.values, text_values, extension, schema.extension_metadata),
        values_origin, column));
    if (!values) return nullptr;
  }
  if (outcome.srids) {
    srids = Ref(in_origin_kind(new_column(module, outcome.srids, false, nullptr, {}), origin,
                               column));
    if (!srids) return nullptr;
  }
  if (values && srids) return PyTuple_Pack(2, values.p, srids.p);
  return values ? values.release() : srids.release();
}

// `g.objects` holds the column's elements.
PyObject* convert_objects(const FunctionInfo& info, PyObject* column, Gathered& g, Shape shape,
                          KernelRequest request) {
  if (!gather(info, request.errors_to_null, g)) return nullptr;
  ColumnInput input;
  input.gathered = true;
  input.rows = g.rows;
  request.limit = g.limit;
  const auto n = static_cast<Py_ssize_t>(g.limit >= 0 ? g.limit : input.length());
  ObjectFiller filler;
  filler.g = &g;
  filler.type = value_type(info.op);
  filler.ascii = info.op != Operation::ToWkt;
  Ref values, srids;
  if (has_values(info.op)) {
    values = Ref(new_container(n, shape, &filler.values));
    if (!values) return nullptr;
  }
  if (has_srids(info.op)) {
    srids = Ref(new_container(n, shape, &filler.srids));
    if (!srids) return nullptr;
  }
  PyThreadState* state = nullptr;
  request.interrupt = {signal_raised, &state};
  bool stopped = false;
  auto error = run_kernel_in_blocks(request, input, {release_gil, reacquire_gil, &state},
                                    ObjectFiller::consume, &filler, &stopped);
  if (stopped) return nullptr;  // a Python error while making objects, or a signal
  if (error) {
    geoweave::py::raise_conversion_error(error->error);
    geoweave::py::add_usage_hint_for(g.objects.items[static_cast<std::size_t>(error->row)]);
    add_row_note(error->row);
    return nullptr;
  }
  if (g.first_error) {
    PyErr_SetRaisedException(g.first_error.release());
    geoweave::py::add_usage_hint_for(g.objects.items[static_cast<std::size_t>(g.limit)]);
    add_row_note(g.limit);
    return nullptr;
  }
  if (values) {
    values = Ref(in_shape(std::move(values), shape, column));
    if (!values) return nullptr;
  }
  if (srids) {
    srids = Ref(in_shape(std::move(srids), shape, column));
    if (!srids) return nullptr;
  }
  if (values && srids) return PyTuple_Pack(2, values.p, srids.p);
  return values ? values.release() : srids.release();
}

bool has_attribute(PyObject* object, const char* name) {
  const int r = PyObject_HasAttrStringWithError(object, name);
  if (r < 0) PyErr_Clear();
  return r > 0;
}

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

// The elements of a numpy array or pandas Series (`array`: its values) into
// `out`, through tolist() of `owner` unless read in place.
bool elements_of(PyObject* array, PyObject* owner, Objects& out) {
  const int read = object_array_items(array, out);
  if (read != 0) return read > 0;
  Ref list(PyObject_CallMethod(owner, "tolist", nullptr));
  return list && out.take_from(list.p);
}

// A numpy array's or pandas Series' dtype holds no geometry values when it is
// numeric, boolean or a time: the caller's mistake, refused as a whole.
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

}  // namespace

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

PyTypeObject* create_column_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &COLUMN_SPEC, nullptr));
}

PyObject* convert_column(PyObject* module, const FunctionInfo& info, PyObject* column,
                         KernelRequest request) {
  if (PyUnicode_Check(column) || PyBytes_Check(column) || PyByteArray_Check(column) ||
      PyMemoryView_Check(column)) {
    PyErr_Format(PyExc_TypeError,
                 "%s(): '%s' must be a column (an Arrow array, a numpy array, a pandas Series "
                 "or an iterable of values), not a single '%s' value; use geoweave.%s for one",
                 info.name, info.parameter, Py_TYPE(column)->tp_name, info.name);
    return nullptr;
  }
  if (type_from(column, "pandas", "Series")) {
    if (!refuse_numeric_dtype(column, info, "pandas Series")) return nullptr;
    // An object Series' values are its numpy array, read without tolist().
    Ref values(PyObject_GetAttrString(column, "values"));
    if (!values) return nullptr;
    Gathered g;
    if (!elements_of(values.p, column, g.objects)) return nullptr;
    return convert_objects(info, column, g, Shape::Pandas, request);
  }
  if (type_from(column, "numpy", "ndarray")) {
    Ref ndim(PyObject_GetAttrString(column, "ndim"));
    if (!ndim) return nullptr;
    if (PyLong_AsLong(ndim.p) != 1) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "%s(): '%s' must be a one-dimensional array", info.name,
                     info.parameter);
      }
      return nullptr;
    }
    if (!refuse_numeric_dtype(column, info, "numpy array")) return nullptr;
    Gathered g;
    if (!elements_of(column, column, g.objects)) return nullptr;
    return convert_objects(info, column, g, Shape::Numpy, request);
  }
  if (has_attribute(column, "__arrow_c_array__")) {
    return convert_arrow(module, info, column, request, true);
  }
  if (has_attribute(column, "__arrow_c_stream__")) {
    return convert_arrow(module, info, column, request, false);
  }
  PyObject* iterator = PyObject_GetIter(column);
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "%s(): '%s' must be an Arrow array, a numpy array, a pandas Series, an "
                   "iterable or None, not '%s'",
                   info.name, info.parameter, Py_TYPE(column)->tp_name);
    }
    return nullptr;
  }
  Py_DECREF(iterator);
  Gathered g;
  if (!g.objects.take_from(column)) return nullptr;
  return convert_objects(info, column, g, Shape::List, request);
}

}  // namespace geoweave::columns::py
