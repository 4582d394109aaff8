// The object a module function's result is written into, and the memory
// policy behind it: small results in room on the stack, large ones straight
// into the str or bytes object that is returned. Lent to a conversion as its
// output buffer's storage (BufferStorage in core/buffer.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"

namespace geoweave::py {

// A result object lent to a conversion as its output buffer's storage (see
// BufferStorage), so that large results are written in place rather than
// copied at the end. A small result is written into room inside this object
// (on the caller's stack) and copied once into an exact-size object, which
// costs less than allocating and then shrinking an object.
class ResultStorage final : public BufferStorage {
 public:
  // Str: an ASCII str (the caller lends it only to conversions that write
  // ASCII). Bytes: a bytes object.
  enum class Kind : std::uint8_t { Str, Bytes };
  explicit ResultStorage(Kind kind) noexcept : kind_(kind) {}
  ResultStorage(const ResultStorage&) = delete;
  ResultStorage& operator=(const ResultStorage&) = delete;
  ~ResultStorage() { Py_XDECREF(object_); }

  char* resize(std::size_t size, std::size_t capacity) override;

  // The finished result for `buffer`: when the buffer lives here, the object
  // cut to the buffer's size (or a new one made from the small room);
  // otherwise a new object made from the buffer's bytes (decoded as UTF-8 for
  // Str, as such a buffer may hold caller text).
  PyObject* finish(const OutputBuffer& buffer);

 private:
  static constexpr std::size_t SMALL = 4096;

  char* data() noexcept;

  Kind kind_;
  PyObject* object_ = nullptr;
  char small_[SMALL];
};

}  // namespace geoweave::py
