#include "columns_python/arrow_capsules.h"

#include <utility>

namespace geoweave::columns::py {

namespace {

// Calls a producer's release callback once; false when it did not mark the
// struct released.
template <class T>
bool release_struct(T& s) noexcept {
  if (!s.release) return true;
  s.release(&s);
  const bool ok = !s.release;
  s.release = nullptr;
  return ok;
}

}  // namespace

bool ImportedArrow::release_all() noexcept {
  // A producer's callback may run Python code: it must not see (or clear)
  // an exception this call is about to raise.
  PyObject* pending = PyErr_GetRaisedException();
  bool ok = true;
  for (ArrowArray& a : arrays_) ok = release_struct(a) && ok;
  arrays_.clear();
  ok = release_struct(schema_) && ok;
  ok = release_struct(stream_) && ok;
  if (pending) PyErr_SetRaisedException(pending);
  return ok;
}

namespace {

void* capsule_pointer(PyObject* capsule, const char* name) {
  if (!PyCapsule_IsValid(capsule, name)) {
    PyErr_Format(PyExc_ValueError, "expected a PyCapsule named '%s' from the Arrow producer",
                 name);
    return nullptr;
  }
  return PyCapsule_GetPointer(capsule, name);
}

bool stream_failed(ArrowArrayStream& stream, int code, const char* what) {
  const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
  PyErr_Format(PyExc_ValueError, "the Arrow stream failed to %s (error %d)%s%s", what, code,
               message ? ": " : "", message ? message : "");
  return false;
}

}  // namespace

bool import_from_array(PyObject* object, ImportedArrow& imported) {
  Ref result(PyObject_CallMethod(object, "__arrow_c_array__", nullptr));
  if (!result) return false;
  if (!PyTuple_Check(result.p) || PyTuple_GET_SIZE(result.p) != 2) {
    PyErr_SetString(PyExc_ValueError,
                    "__arrow_c_array__ must return a (schema, array) tuple of PyCapsules");
    return false;
  }
  PyObject* schema_in = PyTuple_GET_ITEM(result.p, 0);
  PyObject* array_in = PyTuple_GET_ITEM(result.p, 1);
  auto* schema = static_cast<ArrowSchema*>(capsule_pointer(schema_in, "arrow_schema"));
  if (!schema) return false;
  auto* array = static_cast<ArrowArray*>(capsule_pointer(array_in, "arrow_array"));
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
  Py_INCREF(schema_in);
  imported.schema_capsule_ = Ref(schema_in);
  return true;
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

namespace {

template <class T>
constexpr const char* capsule_name();
template <>
constexpr const char* capsule_name<ArrowSchema>() { return "arrow_schema"; }
template <>
constexpr const char* capsule_name<ArrowArray>() { return "arrow_array"; }
template <>
constexpr const char* capsule_name<ArrowArrayStream>() { return "arrow_array_stream"; }

template <class T>
void capsule_destructor(PyObject* capsule) {
  auto* object = static_cast<T*>(PyCapsule_GetPointer(capsule, capsule_name<T>()));
  if (!object) {
    PyErr_Clear();
    return;
  }
  if (object->release) object->release(object);
  delete object;
}

// A capsule owning a new struct that `fill` exports into.
template <class T, class Fill>
PyObject* new_capsule(Fill&& fill) {
  auto object = std::make_unique<T>();
  fill(object.get());
  PyObject* capsule = PyCapsule_New(object.get(), capsule_name<T>(), capsule_destructor<T>);
  if (!capsule) {
    object->release(object.get());
    return nullptr;
  }
  object.release();  // the capsule owns it
  return capsule;
}

}  // namespace

PyObject* schema_capsule(const char* format, std::string_view extension_name,
                         std::string_view extension_metadata) {
  return new_capsule<ArrowSchema>([&](ArrowSchema* out) {
    export_schema(format, extension_name, extension_metadata, out);
  });
}

PyObject* array_capsule(std::shared_ptr<const BuiltColumn> column) {
  return new_capsule<ArrowArray>(
      [&](ArrowArray* out) { export_array(std::move(column), out); });
}

PyObject* stream_capsule(std::shared_ptr<const BuiltColumn> column, std::string format,
                         std::string extension_name, std::string extension_metadata,
                         std::optional<std::vector<std::int64_t>> cuts) {
  return new_capsule<ArrowArrayStream>([&](ArrowArrayStream* out) {
    export_stream(std::move(column), std::move(format), std::move(extension_name),
                  std::move(extension_metadata), std::move(cuts), out);
  });
}

}  // namespace geoweave::columns::py
