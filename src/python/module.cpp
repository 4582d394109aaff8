// Module definition and exec step: creates the function objects in table order,
// stores each on the module and lists it in __all__.
#include <array>
#include <utility>

#include "python/args.h"
#include "python/functions.h"
#include "python/scalar_function.h"

namespace geoweave::py {
namespace {

// One function per operation, in the operations' order (the order of
// __all__), each body inside entry<>, which turns an escaping C++ exception
// into a Python one and adds the usage hints.
template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> method_table(std::index_sequence<I...>) {
  return {{{traits(static_cast<Operation>(I)).name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
                &entry<scalar_body<static_cast<Operation>(I)>>)),
            METH_FASTCALL | METH_KEYWORDS, DOCSTRINGS[I]}...,
           {nullptr, nullptr, 0, nullptr}}};
}

std::array<PyMethodDef, OPERATION_COUNT + 1> FUNCTIONS =
    method_table(std::make_index_sequence<OPERATION_COUNT>{});

int append_to_all(PyObject* module, PyObject* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (!all) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    Py_DECREF(all);
    return -1;
  }
  int rc = PyList_Append(all, name);
  Py_DECREF(all);
  return rc;
}

int exec_module(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (!module_name) return -1;
  int rc = 0;
  for (PyMethodDef* def = FUNCTIONS.data(); def->ml_name; ++def) {
    PyObject* fn = PyCMethod_New(def, module, module_name, nullptr);
    if (!fn) { rc = -1; break; }
    PyObject* name = PyObject_GetAttrString(fn, "__name__");
    if (!name || append_to_all(module, name) < 0 || PyObject_SetAttr(module, name, fn) < 0) {
      Py_XDECREF(name);
      Py_DECREF(fn);
      rc = -1;
      break;
    }
    Py_DECREF(name);
    Py_DECREF(fn);
  }
  Py_DECREF(module_name);
  return rc;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef DEFINITION = {
    PyModuleDef_HEAD_INIT,
    "geoweave",
    "",
    0,
    nullptr,
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace geoweave::py

PyMODINIT_FUNC PyInit_geoweave(void) { return PyModuleDef_Init(&geoweave::py::DEFINITION); }
