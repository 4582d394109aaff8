#include "python/result_storage.h"

#include <cstring>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "python/args.h"

namespace geoweave::py {
namespace {

// Large results are written once and read soon after; on Linux, asking for
// transparent huge pages for them turns thousands of page faults into a few.
constexpr std::size_t HUGE_PAGE_RESULT = std::size_t{8} << 20;

void prefer_huge_pages(char* data, std::size_t capacity) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (capacity < HUGE_PAGE_RESULT) return;
  // Whole pages around the block: a block this large is a mapping of its own,
  // and advising all of it keeps it one mapping, which realloc can then grow
  // or shrink by remapping rather than copying.
  const auto page = static_cast<std::uintptr_t>(4096);
  const auto first = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(data) + capacity + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)capacity;
#endif
}

}  // namespace

// A large result's object is made at least this large: blocks of this size are
// always mappings of their own (glibc serves nothing above 32 MiB from its
// heap), so growing and cutting them later is remapping, never copying. The
// room beyond what is written is never touched, so it costs address space
// only, not memory.
constexpr std::size_t OWN_MAPPING = (std::size_t{32} << 20) + (std::size_t{64} << 10);

char* ResultStorage::resize(std::size_t size, std::size_t capacity) {
  if (!object_ && capacity <= SMALL) return small_;
  if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  if (!object_ && capacity >= HUGE_PAGE_RESULT && capacity < OWN_MAPPING) capacity = OWN_MAPPING;
  const auto length = static_cast<Py_ssize_t>(capacity);
  char* data;
  if (!object_) {
    object_ = kind_ == Kind::Str ? PyUnicode_New(length, 127)
                                 : PyBytes_FromStringAndSize(nullptr, length);
    if (!object_) throw std::bad_alloc();
    data = this->data();
    if (size) std::memcpy(data, small_, size);  // from the small room
  } else {
    // The object is new and referenced only here, so it is resized in place
    // (realloc; for large blocks the kernel moves the pages, not the bytes).
    const int rc = kind_ == Kind::Str ? PyUnicode_Resize(&object_, length)
                                      : _PyBytes_Resize(&object_, length);
    if (rc < 0) throw std::bad_alloc();  // _PyBytes_Resize has freed the object
    data = this->data();
  }
  prefer_huge_pages(data, capacity);
  return data;
}

char* ResultStorage::data() noexcept {
  return kind_ == Kind::Str ? reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(object_))
                            : PyBytes_AS_STRING(object_);
}

PyObject* ResultStorage::finish(const OutputBuffer& buffer) {
  const std::string_view bytes = buffer.view();
  const auto length = static_cast<Py_ssize_t>(bytes.size());
  if (buffer.storage() == this && object_ && bytes.data() == data()) {
    const int rc = kind_ == Kind::Str ? PyUnicode_Resize(&object_, length)
                                      : _PyBytes_Resize(&object_, length);
    if (rc < 0) return nullptr;
    return std::exchange(object_, nullptr);
  }
  if (kind_ == Kind::Bytes) return bytes_result(bytes);
  if (buffer.storage() == this) {  // the small room: ASCII by the lender's promise
    PyObject* text = PyUnicode_New(length, 127);
    if (text && length) std::memcpy(PyUnicode_1BYTE_DATA(text), bytes.data(), bytes.size());
    return text;
  }
  return text_result(bytes);
}

}  // namespace geoweave::py
