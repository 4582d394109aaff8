// Where a module function's run<Operation> writes: the str, bytes or int the
// function returns. Results built in a buffer go through ResultStorage (its
// memory policy); a planned rewrite's result is created once with the room the
// plan asks for (bytes, or an ASCII str for hex), filled in place and cut to
// what was written when a rebuild came out shorter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <utility>

#include "ops/run.h"
#include "python/args.h"
#include "python/result_storage.h"

namespace geoweave::py {

class ScalarOutput {
 public:
  explicit ScalarOutput(ResultStorage::Kind kind) noexcept : kind_(kind) {}
  ScalarOutput(const ScalarOutput&) = delete;
  ScalarOutput& operator=(const ScalarOutput&) = delete;
  ~ScalarOutput() {
    Py_XDECREF(result_);
    Py_XDECREF(planned_);
  }

  // Made on first use: planned rewrites and SRIDs never need it.
  BufferStorage* storage() noexcept {
    if (!storage_) storage_.emplace(kind_);
    return &*storage_;
  }
  BufferStorage* scratch() noexcept { return nullptr; }
  bool keep(const OutputBuffer& b) {
    // A buffer from storage() or from the heap (storage_ then still empty).
    result_ = storage_ ? storage_->finish(b) : ResultStorage(kind_).finish(b);
    return result_ != nullptr;
  }
  bool keep_view(std::string_view v) {
    result_ = kind_ == ResultStorage::Kind::Str ? text_result(v) : bytes_result(v);
    return result_ != nullptr;
  }
  bool room(std::size_t n, RewriteEncoding encoding, char** at) {
    const auto size = static_cast<Py_ssize_t>(n);
    hex_ = encoding == RewriteEncoding::Hex;
    if (hex_) {
      planned_ = PyUnicode_New(size, 127);
      if (!planned_) return false;
      *at = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(planned_));
    } else {
      planned_ = PyBytes_FromStringAndSize(nullptr, size);
      if (!planned_) return false;
      *at = PyBytes_AS_STRING(planned_);
    }
    return true;
  }
  bool commit(std::size_t n) {
    const auto length = static_cast<Py_ssize_t>(n);
    // The object is new and ours alone, so it is cut in place (a shrinking
    // realloc). A failed bytes resize releases the object; a failed str
    // resize leaves it to us.
    const Py_ssize_t room = hex_ ? PyUnicode_GET_LENGTH(planned_) : PyBytes_GET_SIZE(planned_);
    if (length != room) {
      if (hex_ ? PyUnicode_Resize(&planned_, length) < 0
               : _PyBytes_Resize(&planned_, length) < 0) {
        return false;
      }
    }
    result_ = std::exchange(planned_, nullptr);
    return true;
  }
  void srid(SridSlot s) noexcept { slot_ = s; }
  bool fail(const ConversionError& e) {
    raise_conversion_error(e);
    return false;
  }

  // The function's result: the value, (value, srid), or the SRID alone.
  template <Operation OP>
  PyObject* result() {
    if constexpr (!has_values(OP)) {
      return srid_result(slot_);
    } else if constexpr (has_srids(OP)) {
      return pair_result(std::exchange(result_, nullptr), slot_);
    } else {
      return std::exchange(result_, nullptr);
    }
  }

 private:
  std::optional<ResultStorage> storage_;
  ResultStorage::Kind kind_;
  PyObject* result_ = nullptr;
  PyObject* planned_ = nullptr;  // a planned rewrite's object until committed
  bool hex_ = false;
  SridSlot slot_ = SridSlot::none();
};

// The `source` of the functions taking either: a str is text (WKT or hex WKB,
// told apart by run), anything else must be bytes-like WKB. `held` keeps a
// buffer view alive for the call.
inline bool source_argument(PyObject* object, BorrowedBytes* held, Source* out) {
  if (PyUnicode_Check(object)) {
    out->is_text = true;
    return extract_text_argument(object, "source", &out->text);
  }
  if (!borrow_bytes_source(object, "source", held)) return false;
  out->bytes = held->span();
  return true;
}

// One call of operation OP on one source, its result built for Python.
template <Operation OP>
[[gnu::always_inline]] inline PyObject* run_for_python(const OperationArgs& args, const Source& source) {
  ScalarOutput out(values_are_text(OP, source.is_text) ? ResultStorage::Kind::Str
                                                       : ResultStorage::Kind::Bytes);
  if (!run<OP>(args, source, out)) return nullptr;
  return out.template result<OP>();
}

}  // namespace geoweave::py
