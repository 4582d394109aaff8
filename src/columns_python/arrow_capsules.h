// The Arrow PyCapsule interface both ways: arrays, schemas and streams taken
// out of a producer's capsules (and released by its own callbacks), and this
// module's columns handed out in capsules of their own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <deque>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns/builder.h"
#include "columns_python/python_support.h"

namespace geoweave::columns::py {

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
  bool release_all() noexcept;

  std::deque<ArrowArray> arrays_;
  ArrowSchema schema_{};
  ArrowArrayStream stream_{};
  const ArrowSchema* schema_in_capsule_ = nullptr;  // read in place
  Ref schema_capsule_;
};

// Takes the schema and array of `object`'s __arrow_c_array__, or the schema
// and every array of its __arrow_c_stream__; false with an exception set.
bool import_from_array(PyObject* object, ImportedArrow& imported);
bool import_from_stream(PyObject* object, ImportedArrow& imported);

// Capsules holding a new ArrowSchema, ArrowArray (sharing the column's
// buffers) or ArrowArrayStream, each released with its capsule unless a
// consumer moved it out. nullptr with an exception set; throw std::bad_alloc.
PyObject* schema_capsule(const char* format, std::string_view extension_name,
                         std::string_view extension_metadata);
PyObject* array_capsule(std::shared_ptr<const BuiltColumn> column);
PyObject* stream_capsule(std::shared_ptr<const BuiltColumn> column, std::string format,
                         std::string extension_name, std::string extension_metadata,
                         std::optional<std::vector<std::int64_t>> cuts);

}  // namespace geoweave::columns::py
