#include "columns_python/arrow_column.h"

#include <new>
#include <utility>

#include "columns_python/arrow_capsules.h"
#include "columns_python/python_support.h"
#include "python/args.h"

namespace geoweave::columns::py {
namespace {

// The column object of this module.
struct ColumnObject {
  PyObject_HEAD
  std::shared_ptr<const BuiltColumn> column;
  bool text;
  std::string* extension_name;      // owned; may be empty
  std::string* extension_metadata;  // owned
  std::optional<std::vector<std::int64_t>>* chunks;  // owned: a stream's batch lengths
};

void column_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<ColumnObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  c->column.~shared_ptr();
  delete c->extension_name;
  delete c->extension_metadata;
  delete c->chunks;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* schema_capsule_of(const ColumnObject* c) {
  return schema_capsule(format_of(*c->column, c->text), *c->extension_name,
                        *c->extension_metadata);
}

// The column's type alone (the PyCapsule interface's schema export): readable
// for every column, a split one included, whose array export refuses.
PyObject* column_arrow_c_schema(PyObject* self, PyObject*) noexcept {
  return geoweave::py::guarded_call("geoweave_columns", [&] {
    return schema_capsule_of(reinterpret_cast<const ColumnObject*>(self));
  });
}

// The exports take requested_schema and ignore it: the column has one type.
bool at_most_one_argument(const char* method, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs <= 1 && (!kwnames || PyTuple_GET_SIZE(kwnames) <= 1)) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes at most one argument", method);
  return false;
}

PyObject* column_arrow_c_array_body(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  if (!at_most_one_argument("__arrow_c_array__", nargs, kwnames)) return nullptr;
  auto* c = reinterpret_cast<ColumnObject*>(self);
  if (!c->column->more.empty()) {
    PyErr_Format(PyExc_ValueError,
                 "this column is %zu arrays (its values pass 32-bit offsets); read it as a "
                 "stream, for example with pyarrow.chunked_array(column)",
                 c->column->more.size() + 1);
    return nullptr;
  }
  Ref schema(schema_capsule_of(c));
  if (!schema) return nullptr;
  Ref array(array_capsule(c->column));
  if (!array) return nullptr;
  return PyTuple_Pack(2, schema.p, array.p);
}

PyObject* column_arrow_c_stream_body(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  if (!at_most_one_argument("__arrow_c_stream__", nargs, kwnames)) return nullptr;
  auto* c = reinterpret_cast<ColumnObject*>(self);
  return stream_capsule(c->column, format_of(*c->column, c->text), *c->extension_name,
                        *c->extension_metadata, *c->chunks);
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

}  // namespace

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

PyTypeObject* create_column_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &COLUMN_SPEC, nullptr));
}

PyObject* new_column(PyObject* module, std::shared_ptr<const BuiltColumn> column, bool text,
                     const char* extension, const std::string& metadata,
                     std::optional<std::vector<std::int64_t>> chunks) {
  PyTypeObject* type = module_state(module)->column_type;
  auto* c = reinterpret_cast<ColumnObject*>(type->tp_alloc(type, 0));
  if (!c) return nullptr;
  new (&c->column) std::shared_ptr<const BuiltColumn>(std::move(column));
  c->text = text;
  c->extension_name = nullptr;
  c->extension_metadata = nullptr;
  c->chunks = nullptr;
  try {
    c->extension_name = new std::string(extension ? extension : "");
    c->extension_metadata = new std::string(extension ? metadata : "");
    c->chunks = new std::optional<std::vector<std::int64_t>>(std::move(chunks));
  } catch (...) {
    Py_DECREF(c);
    throw;
  }
  return reinterpret_cast<PyObject*>(c);
}

}  // namespace geoweave::columns::py
