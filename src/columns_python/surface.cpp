// Which path a column takes (Arrow producers, numpy arrays, pandas Series,
// other iterables), and each path's run of the kernel with the interpreter
// lock released.
#include "columns_python/surface.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "columns_python/arrow_capsules.h"
#include "columns_python/blocks.h"
#include "columns_python/gather.h"
#include "columns_python/library_results.h"
#include "columns_python/python_support.h"
#include "python/args.h"

namespace geoweave::columns::py {
namespace {

// The wait hooks of the block pipeline: the calling thread releases the
// interpreter lock while it waits for a block.
void release_gil(void* context) {
  *static_cast<PyThreadState**>(context) = PyEval_SaveThread();
}
void reacquire_gil(void* context) { PyEval_RestoreThread(*static_cast<PyThreadState**>(context)); }

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

// The result: the values column, the SRID column, or both as a tuple.
PyObject* values_and_srids(Ref values, Ref srids) {
  if (values && srids) return PyTuple_Pack(2, values.p, srids.p);
  return values ? values.release() : srids.release();
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
  // The UTF-8 check of text is left to the kernel, which checks each block of
  // rows as it converts them; when that or a conversion fails, the check runs
  // here over every array, so that an array's invalid text is still reported
  // before any of its rows' errors, as it is by a check made first.
  const auto invalid_text = [&](std::size_t arrays) {
    for (std::size_t k = 0; k < arrays; ++k) {
      const ArrayView& view = input.arrays[k];
      if (!view.text_unchecked) continue;
      std::string text_problem = check_text(view, request.threads);
      if (!text_problem.empty()) {
        PyErr_Format(PyExc_ValueError, "%s(): invalid Arrow array for '%s': %s", info.name,
                     info.parameter, text_problem.c_str());
        return true;
      }
    }
    return false;
  };
  for (const ArrowArray& a : imported.arrays_) {
    ArrayView view;
    problem = schema.single_field_struct
                  ? validate_struct_array(a, schema.layout, &view, request.threads, true)
                  : validate_array(a, schema.layout, &view, request.threads, true);
    if (!problem.empty()) {
      if (invalid_text(input.arrays.size())) return nullptr;  // an earlier array's comes first
      PyErr_Format(PyExc_ValueError, "%s(): invalid Arrow array for '%s': %s", info.name,
                   info.parameter, problem.c_str());
      return nullptr;
    }
    input.arrays.push_back(view);
  }
  // A stream's result comes out in batches of the lengths that went in.
  std::optional<std::vector<std::int64_t>> chunks;
  if (!use_array) {
    chunks.emplace();
    for (const ArrayView& a : input.arrays) chunks->push_back(a.length);
  }
  KernelOutcome outcome;
  if (!run_released(request, input, outcome)) return nullptr;
  if ((outcome.bad_text || outcome.error) && invalid_text(input.arrays.size())) return nullptr;
  if (outcome.bad_text) {
    // Found by the kernel but not again: the producer rewrote the bytes since.
    PyErr_Format(PyExc_ValueError, "%s(): invalid Arrow array for '%s': a row is not valid UTF-8",
                 info.name, info.parameter);
    return nullptr;
  }
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
  const char* extension = geoarrow ? geoarrow_extension(info.op, text_values) : nullptr;
  const Origin origin = arrow_origin(column);
  Ref values, srids;
  if (outcome.values) {
    // Values split at the offsets limit come back chunked, as pyarrow.array does.
    const Origin values_origin =
        origin == Origin::PyarrowArray && !outcome.values->more.empty() ? Origin::PyarrowChunked
                                                                        : origin;
    values = Ref(in_origin_kind(
        new_column(module, outcome.values, text_values, extension,
                   result_metadata(schema.extension_metadata, request.option), chunks),
        values_origin, column));
    if (!values) return nullptr;
  }
  if (outcome.srids) {
    srids = Ref(in_origin_kind(new_column(module, outcome.srids, false, nullptr, {}, chunks),
                               origin, column));
    if (!srids) return nullptr;
  }
  return values_and_srids(std::move(values), std::move(srids));
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
  return values_and_srids(std::move(values), std::move(srids));
}

}  // namespace

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
