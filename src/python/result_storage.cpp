#include "python/result_storage.h"

#include <cstdlib>
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

// Mid-size results. A block of a few hundred kilobytes to a few megabytes is
// one glibc serves as a fresh private mapping unless a freed mapping at least
// as large has raised its mmap threshold (which moves up as mappings are
// freed). An object reserved larger than its result and then cut never gets
// there: what is freed later is the cut block, smaller than the next
// reservation, so every call would fault in every page of its result again.
// These results are therefore written into room that each thread keeps and
// reuses, faulted in once, and copied into an object of exactly the result's
// size. A block freed and requested again at the same size is one the
// threshold has risen to, so at steady state that object comes from the
// heap, from pages the previous result gave back (glibc trims the heap only
// beyond twice the threshold). Copying a result costs a fraction of faulting
// its pages in.
//
// The process-wide malloc settings (M_MMAP_THRESHOLD, M_TRIM_THRESHOLD) are
// left alone: setting either fixes it for every allocation of the host
// process and turns off glibc's own adjustment, which is the host's choice,
// not a library's. The cost is the room itself: below HUGE_PAGE_RESULT bytes
// of address space per thread that made such a result, of which only the
// pages written (its largest result) are memory, given back when the thread
// exits. Below REUSED_FROM (glibc's initial mmap threshold) the heap serves
// blocks anyway, so smaller results go straight into their object.
constexpr std::size_t REUSED_FROM = std::size_t{128} << 10;

// The room of one thread: a private mapping of its own on Linux, so that a
// long-lived block never sits in the middle of the heap; heap memory elsewhere.
class ReusedRoom {
 public:
  ReusedRoom() noexcept = default;
  ReusedRoom(const ReusedRoom&) = delete;
  ReusedRoom& operator=(const ReusedRoom&) = delete;
  ~ReusedRoom() {
#if defined(__linux__)
    if (data_) munmap(data_, capacity_);
#else
    std::free(data_);
#endif
    // Anything still converting on this thread as it ends does without it.
    data_ = nullptr;
    capacity_ = 0;
    held_ = true;
  }

  char* data() const noexcept { return data_; }
  // Room for at least `capacity` bytes, keeping what it holds; nullptr when
  // no memory is left (the room is then unchanged).
  char* reserve(std::size_t capacity) noexcept {
    if (capacity <= capacity_) return data_;
#if defined(__linux__)
    void* p = data_ ? mremap(data_, capacity_, capacity, MREMAP_MAYMOVE)
                    : mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#else
    void* p = std::realloc(data_, capacity);
    if (!p) return nullptr;
#endif
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
    return data_;
  }

  // One storage of this thread holds the room at a time; another one (a
  // conversion started while a result is being written) does without it.
  bool take() noexcept { return !held_ && (held_ = true); }
  void give_back() noexcept { held_ = false; }

 private:
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  bool held_ = false;
};

thread_local ReusedRoom thread_room;

}  // namespace

// A large result's object is made at least this large: blocks of this size are
// always mappings of their own (glibc serves nothing above 32 MiB from its
// heap), so growing and cutting them later is remapping, never copying. The
// room beyond what is written is never touched, so it costs address space
// only, not memory.
constexpr std::size_t OWN_MAPPING = (std::size_t{32} << 20) + (std::size_t{64} << 10);

ResultStorage::~ResultStorage() {
  if (holds_room_) thread_room.give_back();
  Py_XDECREF(object_);
}

// The reused room, holding the `size` bytes written so far; nullptr when this
// thread's room is taken or cannot grow.
char* ResultStorage::reused_room(std::size_t size, std::size_t capacity) noexcept {
  if (!holds_room_ && !(holds_room_ = thread_room.take())) return nullptr;
  const bool in_room = current_ && current_ == thread_room.data();
  char* room = thread_room.reserve(capacity);  // moves what the room holds
  if (!room) return nullptr;
  if (size && !in_room) std::memcpy(room, current_, size);  // from the small room
  return room;
}

char* ResultStorage::resize(std::size_t size, std::size_t capacity) {
  if (!object_) {
    if (capacity <= SMALL) return current_ = small_;
    if (capacity >= REUSED_FROM && capacity < HUGE_PAGE_RESULT) {
      if (char* room = reused_room(size, capacity)) return current_ = room;
    }
  }
  if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  if (!object_ && capacity >= HUGE_PAGE_RESULT && capacity < OWN_MAPPING) capacity = OWN_MAPPING;
  const auto length = static_cast<Py_ssize_t>(capacity);
  char* data;
  if (!object_) {
    object_ = kind_ == Kind::Str ? PyUnicode_New(length, 127)
                                 : PyBytes_FromStringAndSize(nullptr, length);
    if (!object_) throw std::bad_alloc();
    data = this->data();
    if (size) std::memcpy(data, current_, size);  // from the small or reused room
  } else {
    // The object is new and referenced only here, so it is resized in place
    // (realloc; for large blocks the kernel moves the pages, not the bytes).
    const int rc = kind_ == Kind::Str ? PyUnicode_Resize(&object_, length)
                                      : _PyBytes_Resize(&object_, length);
    if (rc < 0) throw std::bad_alloc();  // _PyBytes_Resize has freed the object
    data = this->data();
  }
  prefer_huge_pages(data, capacity);
  return current_ = data;
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
  if (buffer.storage() == this) {  // the small or reused room: ASCII by the lender's promise
    PyObject* text = PyUnicode_New(length, 127);
    if (text && length) std::memcpy(PyUnicode_1BYTE_DATA(text), bytes.data(), bytes.size());
    return text;
  }
  return text_result(bytes);
}

}  // namespace geoweave::py
