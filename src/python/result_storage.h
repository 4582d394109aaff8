// The object a module function's result is written into, and the memory
// policy behind it: small results in room on the stack, mid-size ones in room
// each thread reuses, large ones straight into the str or bytes object that is
// returned. Lent to a conversion as its
// output buffer's storage (BufferStorage in core/buffer.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/buffer.h"

namespace geoweave::py {

// A result object lent to a conversion as its output buffer's storage (see
// BufferStorage). Where the bytes are written depends on the room asked for:
// - up to SMALL, room inside this object (on the caller's stack), copied once
//   into an exact-size object, which costs less than allocating and then
//   shrinking an object;
// - mid-size results (see result_storage.cpp), room the calling thread keeps
//   and reuses, copied once into an exact-size object, so that neither is
//   memory the kernel must fault in on every call;
// - anything else straight into the str or bytes object, grown and cut in
//   place; the largest get a private mapping of their own with huge pages,
//   so growing them is remapping, never copying.
class ResultStorage final : public BufferStorage {
 public:
  // Str: an ASCII str (the caller lends it only to conversions that write
  // ASCII). Bytes: a bytes object.
  enum class Kind : std::uint8_t { Str, Bytes };
  explicit ResultStorage(Kind kind) noexcept : kind_(kind) {}
  ResultStorage(const ResultStorage&) = delete;
  ResultStorage& operator=(const ResultStorage&) = delete;
  ~ResultStorage();

  char* resize(std::size_t size, std::size_t capacity) override;

  // The finished result for `buffer`: when the buffer lives in the object, the
  // object cut to the buffer's size; when it lives in the small or reused
  // room, a new object made from it; otherwise a new object made from the
  // buffer's bytes (decoded as UTF-8 for Str, as such a buffer may hold
  // caller text).
  PyObject* finish(const OutputBuffer& buffer);

 private:
  static constexpr std::size_t SMALL = 4096;

  char* data() noexcept;
  char* reused_room(std::size_t size, std::size_t capacity) noexcept;

  Kind kind_;
  PyObject* object_ = nullptr;
  char* current_ = nullptr;       // where the buffer's bytes are now
  bool holds_room_ = false;       // this storage holds its thread's reused room
  char small_[SMALL];
};

}  // namespace geoweave::py
