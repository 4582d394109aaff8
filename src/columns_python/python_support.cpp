#include "columns_python/python_support.h"

#include <string>

namespace geoweave::columns::py {

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

bool has_attribute(PyObject* object, const char* name) {
  const int r = PyObject_HasAttrStringWithError(object, name);
  if (r < 0) PyErr_Clear();
  return r > 0;
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

}  // namespace geoweave::columns::py
