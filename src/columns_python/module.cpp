// The geoweave_columns module: the twelve conversions of geoweave over whole
// columns. Each function binds its arguments (the scalar function's, plus the
// keyword-only `errors` and `threads`, and `flavor` where WKB is written),
// checks them all before any row is converted, and hands the column to the
// surface (surface.cpp).
#include <array>
#include <climits>
#include <utility>

#include "columns_python/surface.h"
#include "python/args.h"
#include "python/signatures.h"

namespace geoweave::columns::py {
namespace {

using geoweave::py::extract_bool_argument;

struct ColumnFunction {
  FunctionInfo info;
  // The scalar function's parameters, then the keyword-only errors and threads
  // (and flavor where WKB is written).
  geoweave::py::Signature signature;
};

template <Operation OP>
constexpr ColumnFunction COLUMN_FUNCTION{
    {traits(OP).name, traits(OP).source_param, traits(OP).accepts, OP},
    geoweave::py::COLUMN_SIGNATURE<OP>};

constexpr unsigned MAX_THREADS = 4096;

bool errors_argument(PyObject* value, bool* to_null) {
  *to_null = false;
  if (!value) return true;
  if (PyUnicode_Check(value)) {
    if (PyUnicode_EqualToUTF8(value, "raise")) return true;
    if (PyUnicode_EqualToUTF8(value, "null")) {
      *to_null = true;
      return true;
    }
    PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'null', not %R", value);
    return false;
  }
  PyErr_Format(PyExc_TypeError, "errors must be 'raise' or 'null', not '%s'",
               Py_TYPE(value)->tp_name);
  return false;
}

bool threads_argument(PyObject* value, unsigned* threads) {
  if (!value || value == Py_None) {
    *threads = hardware_threads();
    return true;
  }
  if (PyBool_Check(value) || !PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "threads must be None or an integer, not '%s'",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && n < 1)) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %R", value);
    return false;
  }
  *threads = (overflow > 0 || n > MAX_THREADS) ? MAX_THREADS : static_cast<unsigned>(n);
  return true;
}

// `flavor`: "extended" (EWKB, the default) or "iso" (ISO WKB). ISO WKB has no
// SRID, so a forced one contradicts it for every row: refused for the whole
// call, before any row, whatever `errors` says.
bool flavor_argument(PyObject* value, const SridOption& option, WkbFlavor* flavor) {
  *flavor = WkbFlavor::Extended;
  if (!value) return true;
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "flavor must be 'extended' or 'iso', not '%s'",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (PyUnicode_EqualToUTF8(value, "extended")) return true;
  if (!PyUnicode_EqualToUTF8(value, "iso")) {
    PyErr_Format(PyExc_ValueError, "flavor must be 'extended' or 'iso', not %R", value);
    return false;
  }
  *flavor = WkbFlavor::Iso;
  if (option.is_set()) {
    PyErr_Format(PyExc_ValueError,
                 "ISO WKB cannot carry an SRID (srid=%d): pass srid=False to drop the "
                 "values' SRIDs, or flavor='extended' to embed it",
                 static_cast<int>(option.value));
    return false;
  }
  return true;
}

PyObject* call(PyObject* module, const ColumnFunction& f, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  PyObject* a[6];
  if (!geoweave::py::bind_arguments(f.signature, args, nargs, kwnames, a)) return nullptr;
  const Py_ssize_t count = f.signature.count;
  KernelRequest request;
  request.op = f.info.op;
  // Everything about the whole call is checked before any row is converted,
  // in the scalar function's order, then errors and threads.
  const OperationTraits& t = traits(f.info.op);
  if (t.normalize_wkt && a[geoweave::py::normalize_argument(f.info.op)]) {
    const int normalize =
        extract_bool_argument(a[geoweave::py::normalize_argument(f.info.op)], "normalize_wkt");
    if (normalize < 0) return nullptr;
    request.normalize = normalize != 0;
  }
  if (t.srid != SridParam::None &&
      !geoweave::py::operation_srid_argument(t.srid, a[geoweave::py::SRID_ARGUMENT],
                                             &request.option)) {
    return nullptr;
  }
  if (!errors_argument(a[count], &request.errors_to_null)) return nullptr;
  if (!threads_argument(a[count + 1], &request.threads)) return nullptr;
  // Only the functions writing WKB have a third keyword-only parameter.
  PyObject* flavor = t.writes_wkb ? a[count + 2] : nullptr;
  if (!flavor_argument(flavor, request.option, &request.flavor)) return nullptr;
  if (a[0] == Py_None) Py_RETURN_NONE;
  return convert_column(module, f.info, a[0], request);
}

template <Operation OP>
PyObject* function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return geoweave::py::guarded_call("geoweave_columns",
                                    [&] {
                                      return call(module, COLUMN_FUNCTION<OP>, args, nargs,
                                                  kwnames);
                                    });
}

#define COLUMN_DOC_TAIL                                                                     \
  "\n"                                                                                      \
  "*errors*: ``\"raise\"`` (default) raises the scalar function's exception for the\n"     \
  "failing row with the lowest index, with a note naming the row (\"row 17\");\n"          \
  "``\"null\"`` turns rows whose value fails into nulls. A row of the wrong type\n"       \
  "raises TypeError either way.\n"                                                         \
  "\n"                                                                                      \
  "*threads*: ``None`` (default) converts large columns in contiguous chunks on all\n"     \
  "cores with the GIL released; an integer n >= 1 uses at most n threads, ``1``\n"          \
  "only the calling thread. Results are identical for any value. Inside Dask or\n"         \
  "Spark workers, which already run one task per core, pass ``threads=1``.\n"               \
  "\n"                                                                                      \
  "The column may be an Arrow array (anything exporting ``__arrow_c_array__`` or\n"         \
  "``__arrow_c_stream__``: pyarrow, Polars, nanoarrow, arro3, DuckDB), a numpy\n"          \
  "array or pandas Series of values (None, NaN and pandas.NA are missing), any\n"          \
  "other iterable of values, or None. Arrow in gives Arrow out (a pyarrow Array\n"         \
  "or ChunkedArray, a Polars Series, otherwise a geoweave_columns.ArrowColumn);\n"         \
  "numpy gives a numpy object array, pandas a Series with the same index and\n"            \
  "name, any other iterable a list; None gives None. Missing values stay missing."

#define SRID_DOC                                                                            \
  "*srid* as for the scalar function: ``None`` mirrors each value's SRID, ``False``\n"     \
  "strips it, an integer sets it.\n"

#define FLAVOR_DOC                                                                          \
  "\n"                                                                                      \
  "*flavor*: ``\"extended\"`` (default) writes EWKB, with Z, M and the SRID as\n"         \
  "flags of the type word; ``\"iso\"`` writes ISO WKB, as GeoParquet requires: type\n"    \
  "codes 1001, 1002, ... for Z, 2001, ... for M and 3001, ... for ZM on every record,\n"   \
  "and never an SRID.\n"

#define FLAVOR_SRID_DOC                                                                     \
  FLAVOR_DOC                                                                                \
  "With ``\"iso\"`` a value that would keep its SRID (*srid* ``None``) fails with\n"      \
  "ValueError (a null row with ``errors=\"null\"``) unless ``srid=False`` drops it;\n"    \
  "an integer *srid* above 0 is refused before any row is converted.\n"

// The column functions' docstrings, in the operations' order.
constexpr const char* DOCSTRINGS[] = {
    // wkb_to_wkt
    "wkb_to_wkt(wkb, srid=None, *, errors='raise', threads=None)\n--\n\n"
    "Converts a column of WKB/EWKB values to WKT/EWKT text, each value exactly as\n"
    "geoweave.wkb_to_wkt converts it. Arrow columns must be binary, large_binary\n"
    "or binary_view; the result is a string column.\n\n" SRID_DOC COLUMN_DOC_TAIL,
    // wkb_to_wkt_split_srid
    "wkb_to_wkt_split_srid(wkb, *, errors='raise', threads=None)\n--\n\n"
    "Converts a column of WKB/EWKB values to WKT text without SRID prefix and\n"
    "returns the pair (texts, srids): each row exactly as geoweave.wkb_to_wkt_split_srid\n"
    "gives it. For Arrow the SRIDs are an int32 column, null where a value has none.\n"
    COLUMN_DOC_TAIL,
    // wkt_to_wkb
    "wkt_to_wkb(wkt, srid=None, *, errors='raise', threads=None, flavor='extended')\n--\n\n"
    "Converts a column of WKT/EWKT text to EWKB, each value exactly as\n"
    "geoweave.wkt_to_wkb converts it. Arrow columns must be string, large_string\n"
    "or string_view; the result is a binary column.\n\n" SRID_DOC FLAVOR_SRID_DOC
    COLUMN_DOC_TAIL,
    // wkt_to_wkb_split_srid
    "wkt_to_wkb_split_srid(wkt, *, errors='raise', threads=None, flavor='extended')\n--\n\n"
    "Converts a column of WKT/EWKT text to EWKB without SRID and returns the pair\n"
    "(wkbs, srids): each row exactly as geoweave.wkt_to_wkb_split_srid gives it. For\n"
    "Arrow the SRIDs are an int32 column, null where a value has none.\n" FLAVOR_DOC
    "With ``\"iso\"`` the SRIDs are still returned beside the ISO WKB.\n" COLUMN_DOC_TAIL,
    // wkt_to_hex_wkb
    "wkt_to_hex_wkb(wkt, srid=None, *, errors='raise', threads=None, flavor='extended')\n--\n\n"
    "Converts a column of WKT/EWKT text to upper-case hex EWKB text, each value\n"
    "exactly as geoweave.wkt_to_hex_wkb converts it.\n\n" SRID_DOC FLAVOR_SRID_DOC
    COLUMN_DOC_TAIL,
    // hex_wkb_to_wkt
    "hex_wkb_to_wkt(hex_wkb, srid=None, *, errors='raise', threads=None)\n--\n\n"
    "Converts a column of hex WKB/EWKB text to WKT/EWKT text, each value exactly\n"
    "as geoweave.hex_wkb_to_wkt converts it.\n\n" SRID_DOC COLUMN_DOC_TAIL,
    // to_wkb
    "to_wkb(source, srid=None, *, errors='raise', threads=None, flavor='extended')\n--\n\n"
    "Converts a column of WKT, hex WKB or WKB values to WKB, each value exactly as\n"
    "geoweave.to_wkb converts it: text values (str, or an Arrow string type) are\n"
    "detected as hex or WKT, bytes-like values (an Arrow binary type) are WKB.\n\n"
    SRID_DOC FLAVOR_SRID_DOC
    "With ``\"iso\"`` WKB values are rewritten, never passed through as they are.\n"
    COLUMN_DOC_TAIL,
    // to_wkt
    "to_wkt(source, srid=None, normalize_wkt=False, *, errors='raise', threads=None)\n--\n\n"
    "Converts a column of WKT, hex WKB or WKB values to WKT, each value exactly as\n"
    "geoweave.to_wkt converts it (see there for *normalize_wkt*): text values (str,\n"
    "or an Arrow string type) are detected as hex or WKT, bytes-like values (an\n"
    "Arrow binary type) are WKB.\n\n" SRID_DOC COLUMN_DOC_TAIL,
    // to_hex_wkb
    "to_hex_wkb(source, srid=None, *, errors='raise', threads=None, flavor='extended')\n--\n\n"
    "Converts a column of WKT, hex WKB or WKB values to upper-case hex EWKB text,\n"
    "each value exactly as geoweave.to_hex_wkb converts it.\n\n" SRID_DOC FLAVOR_SRID_DOC
    "With ``\"iso\"`` WKB values are rewritten, never passed through as they are.\n"
    COLUMN_DOC_TAIL,
    // wkb_header_srid
    "wkb_header_srid(source, *, errors='raise', threads=None)\n--\n\n"
    "The SRID in each value's top-level WKB/EWKB header (bytes-like WKB, or hex\n"
    "text), exactly as geoweave.wkb_header_srid reads it. For Arrow the result is\n"
    "an int32 column, null where a value has no SRID; otherwise int or None.\n"
    COLUMN_DOC_TAIL,
    // to_wkb_no_srid_header
    "to_wkb_no_srid_header(source, *, errors='raise', threads=None)\n--\n\n"
    "Strips the top-level SRID from each WKB/EWKB value, exactly as\n"
    "geoweave.to_wkb_no_srid_header does: hex text gives hex text (an Arrow string\n"
    "column gives a string column), bytes-like WKB gives WKB.\n" COLUMN_DOC_TAIL,
    // to_ewkb_header
    "to_ewkb_header(source, srid, *, errors='raise', threads=None)\n--\n\n"
    "Embeds or replaces the SRID of each WKB/EWKB value, exactly as\n"
    "geoweave.to_ewkb_header does: hex text gives hex text (an Arrow string column\n"
    "gives a string column), bytes-like WKB gives WKB. *srid* is required: an\n"
    "integer sets it, ``False`` strips it.\n" COLUMN_DOC_TAIL,
};
static_assert(sizeof(DOCSTRINGS) / sizeof(DOCSTRINGS[0]) == OPERATION_COUNT);

// A test hook, not part of the interface: lowers the bytes one array of a
// 32-bit offsets column holds before it is split; returns the previous limit.
PyObject* set_offsets_limit_fn(PyObject*, PyObject* arg) noexcept {
  const long long n = PyLong_AsLongLong(arg);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  return PyLong_FromLongLong(set_offsets_limit(n));
}

// A test hook, not part of the interface: how many times a thread has taken
// rows from another's chunk in this process.
PyObject* taken_pieces_fn(PyObject*, PyObject*) noexcept {
  return PyLong_FromUnsignedLongLong(taken_piece_count());
}

// One function per operation, in the operations' order (geoweave's order,
// the order of __all__).
template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> method_table(std::index_sequence<I...>) {
  return {{{traits(static_cast<Operation>(I)).name,
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)(void)>(function<static_cast<Operation>(I)>)),
            METH_FASTCALL | METH_KEYWORDS, DOCSTRINGS[I]}...,
           {nullptr, nullptr, 0, nullptr}}};
}

std::array<PyMethodDef, OPERATION_COUNT + 1> FUNCTIONS =
    method_table(std::make_index_sequence<OPERATION_COUNT>{});

int exec_module(PyObject* module) {
  PyTypeObject* type = create_column_type(module);
  if (!type) return -1;
  module_state(module)->column_type = type;  // the state owns the reference
  if (PyModule_AddObjectRef(module, "ArrowColumn", reinterpret_cast<PyObject*>(type)) < 0) {
    return -1;
  }
  PyObject* module_name = PyModule_GetNameObject(module);
  if (!module_name) return -1;
  PyObject* all = PyList_New(0);
  int rc = all ? 0 : -1;
  for (PyMethodDef* def = FUNCTIONS.data(); rc == 0 && def->ml_name; ++def) {
    PyObject* fn = PyCMethod_New(def, module, module_name, nullptr);
    PyObject* name = fn ? PyUnicode_FromString(def->ml_name) : nullptr;
    if (!name || PyList_Append(all, name) < 0 || PyObject_SetAttr(module, name, fn) < 0) rc = -1;
    Py_XDECREF(name);
    Py_XDECREF(fn);
  }
  if (rc == 0) rc = PyModule_AddObjectRef(module, "__all__", all);
  Py_XDECREF(all);
  Py_DECREF(module_name);
  static PyMethodDef hooks[] = {
      {"_set_offsets_limit", set_offsets_limit_fn, METH_O,
       "Test hook: lowers the bytes of one 32-bit offsets array."},
      {"_taken_pieces", taken_pieces_fn, METH_NOARGS,
       "Test hook: how many times a thread has taken rows from another's chunk."},
  };
  for (PyMethodDef& hook : hooks) {
    if (rc != 0) break;
    PyObject* fn = PyCMethod_New(&hook, module, nullptr, nullptr);
    rc = fn ? PyModule_AddObjectRef(module, hook.ml_name, fn) : -1;
    Py_XDECREF(fn);
  }
  return rc;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  if (state) Py_VISIT(state->column_type);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = module_state(module);
  if (state) Py_CLEAR(state->column_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// The native half of the geoweave_columns package, imported as
// geoweave_columns._native; the package's Python functions wrap these.
PyModuleDef DEFINITION = {
    PyModuleDef_HEAD_INIT,
    "geoweave_columns._native",
    "The conversions of geoweave over whole columns: Arrow arrays (through the\n"
    "Arrow PyCapsule interface), numpy arrays, pandas Series and iterables. Each\n"
    "function takes the scalar function's arguments plus keyword-only ``errors``\n"
    "and ``threads``; every value's result or error is the scalar function's.",
    sizeof(ModuleState),
    nullptr,
    SLOTS,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace geoweave::columns::py

PyMODINIT_FUNC PyInit__native(void) {
  return PyModuleDef_Init(&geoweave::columns::py::DEFINITION);
}
