#include "columns_python/blocks.h"

#include <cstring>
#include <string_view>

namespace geoweave::columns::py {
namespace {

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

// A str of `size` ASCII characters (the WKT and hex the kernel writes).
PyObject* ascii_text(const char* data, Py_ssize_t size) {
  PyObject* item = PyUnicode_New(size, 127);
  if (item && size) std::memcpy(PyUnicode_1BYTE_DATA(item), data, static_cast<std::size_t>(size));
  return item;
}

// One kind of object for every row of a block with 32-bit ends: each row
// starts where the one before ended, so the loop reads one end per row and
// decides nothing else.
template <typename Make>
bool fill_values(const RowBlock& b, PyObject** slots, Make make) {
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

}  // namespace

PyObject* new_container(Py_ssize_t n, Shape shape, PyObject*** slots) {
  if (shape == Shape::List) {
    PyObject* list = PyList_New(n);
    if (list) *slots = PySequence_Fast_ITEMS(list);
    return list;
  }
  return numpy_objects(n, slots);
}

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

bool ObjectFiller::consume(const RowBlock& b, void* context) {
  auto& f = *static_cast<ObjectFiller*>(context);
  if (f.values && !f.srids && !b.wide_ends && f.type != ValueType::SameAsInput) {
    if (f.type == ValueType::Binary) {
      return fill_values(b, f.values, [](const char* data, Py_ssize_t size) {
        return PyBytes_FromStringAndSize(data, size);
      });
    }
    if (f.ascii) {
      return fill_values(b, f.values, ascii_text);
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
          item = ascii_text(v.data(), size);
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

}  // namespace geoweave::columns::py
