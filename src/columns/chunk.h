// What the column kernel's row loop (rows.cpp) and its executors (kernel.cpp)
// share: a chunk of rows with its bytes, the output arrays every chunk writes
// its own rows of, the calling thread's interrupt poller, and the memory
// helpers behind them. Internal to the kernel.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "columns/kernel.h"
#include "core/buffer.h"

namespace geoweave::columns::kernel_detail {

// Rows between two looks at the stop word (an error in an earlier chunk, or
// an interrupt): a few microseconds of work.
inline constexpr std::int64_t CHECK_MASK = 15;

// Rows a chunk's loop takes at a time: it claims them (so that no other thread
// takes them from it), and checks their text for UTF-8 when validation left it
// unchecked, just before converting them (a few to a few hundred KiB, which
// stay in the cache between).
inline constexpr std::int64_t CLAIM_ROWS = 256;

using Clock = std::chrono::steady_clock;
// How often the calling thread runs the caller's interrupt check.
inline constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);

// Fresh result memory is faulted in ahead of the writes, a window of pages
// per system call: faulting 4 KiB pages one at a time cost a 1M-row column
// as much time in the kernel (a trap per page, two threads' faults
// contending) as a third to a half of its conversion.
inline constexpr std::size_t POPULATE_WINDOW = std::size_t{2} << 20;

// Faults in the whole pages of [p, p + n) for writing; a no-op where the
// kernel cannot (before Linux 5.14), after which it is not tried again.
void populate(void* p, std::size_t n) noexcept;

// A block every byte of which is written next (offsets, bitmaps, SRIDs): a
// kept one that wastes less than half of itself, else fresh and faulted in.
void* checked_malloc(std::size_t n);

// The value bytes of one chunk, one growing heap block. Lent to the core as the
// storage of each row's result, so a row is written in place at the end of the
// block and kept by moving the end: no allocation or copy per row.
class ChunkData final : public BufferStorage {
 public:
  ChunkData() = default;
  ChunkData(const ChunkData&) = delete;
  ChunkData& operator=(const ChunkData&) = delete;
  ~ChunkData() { give_back(); }

  char* resize(std::size_t keep, std::size_t capacity) override {
    (void)keep;  // the kept bytes are already in place at the end
    ensure(size_ + capacity);
    return data_ + size_;
  }
  char* room(std::size_t n) {
    ensure(size_ + n);
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { grow_size(n); }
  // Keeps a row's result: in place when it was written here, else copied.
  [[gnu::always_inline]] void keep(const OutputBuffer& b) {
    if (b.storage() == this) {
      grow_size(b.size());
    } else {
      append(b.view());
    }
  }
  void append(std::string_view v) {
    char* p = room(v.size());
    if (!v.empty()) std::memcpy(p, v.data(), v.size());
    grow_size(v.size());
  }
  // Room for an estimate of the chunk's bytes. Only the first window of it
  // is faulted in: the rows fault in the rest as they reach it, so an
  // estimate above what the rows write costs no resident memory.
  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
    populate_ahead(size_);
    set_ready(data_ + size_, populated_ - size_);
  }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  // Bytes from the start of the block whose pages are in.
  std::size_t populated() const noexcept { return populated_; }
  char* release() noexcept {
    char* p = data_;
    data_ = nullptr;
    size_ = capacity_ = populated_ = 0;
    set_ready(nullptr, 0);
    return p;
  }
  char* data() noexcept { return data_; }
  // Frees the block or keeps it for a later conversion (see free_or_keep).
  void give_back(std::size_t advised = 0) noexcept {
    free_or_keep(data_, advised, populated_);
    data_ = nullptr;
    size_ = capacity_ = populated_ = 0;
    set_ready(nullptr, 0);
  }

 private:
  // Room for `total` bytes, faulted in (populated_ <= capacity_: one compare
  // on the way of every row).
  void ensure(std::size_t total) {
    if (total <= populated_) return;
    if (total > capacity_) grow(total);
    populate_ahead(total);
    set_ready(data_ + size_, populated_ - size_);
  }
  // The pages already faulted in past the end are the next row's room.
  void grow_size(std::size_t n) noexcept {
    size_ += n;
    set_ready(data_ + size_, populated_ - size_);
  }
  void grow(std::size_t total) {
    std::size_t want = std::max<std::size_t>(capacity_ * 2, 256);
    if (want < total) want = total;
    if (!data_) {
      std::size_t kept_size, resident;
      if (void* kept = take_kept_block(want, SIZE_MAX, &kept_size, &resident)) {
        data_ = static_cast<char*>(kept);
        capacity_ = kept_size;
        populated_ = resident;  // the rest is faulted in ahead like fresh pages
        return;
      }
    }
    void* p = std::realloc(data_, want);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = want;
  }
  // The pages up to a window past `end` are faulted in (those before
  // `populated_` already are: realloc keeps or moves them, and a kept block
  // comes with the pages its last user wrote).
  void populate_ahead(std::size_t end) noexcept {
    const std::size_t to = std::min(capacity_, end + POPULATE_WINDOW);
    if (to <= populated_) return;
    populate(data_ + populated_, to - populated_);
    populated_ = to;
  }
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t populated_ = 0;
};

// A reusable heap block for a row's intermediate bytes (decoded hex).
class ScratchStorage final : public BufferStorage {
 public:
  ScratchStorage() = default;
  ScratchStorage(const ScratchStorage&) = delete;
  ScratchStorage& operator=(const ScratchStorage&) = delete;
  ~ScratchStorage() { std::free(data_); }
  char* resize(std::size_t, std::size_t capacity) override {
    if (capacity > capacity_) {
      void* p = std::realloc(data_, capacity);
      if (!p) throw std::bad_alloc();
      data_ = static_cast<char*>(p);
      capacity_ = capacity;
    }
    return data_;
  }

 private:
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// first_error once the caller asked to stop: every chunk is then overtaken.
inline constexpr std::int64_t INTERRUPTED = INT64_MIN;

// Output arrays shared by all chunks; each chunk writes only its own rows.
struct SharedOutput {
  // Row ends relative to each chunk's first byte, as int32 while a chunk's
  // bytes fit (a chunk past 2 GiB keeps its own 64-bit ends in Chunk::wide),
  // or as int64 (chunk_ends64) for a column with 64-bit offsets.
  std::int32_t* chunk_ends = nullptr;
  std::int64_t* chunk_ends64 = nullptr;
  std::uint8_t* validity = nullptr;       // values column
  std::int32_t* srid_values = nullptr;
  std::uint8_t* srid_validity = nullptr;
  // The lowest failing row, or INTERRUPTED: chunks after it stop.
  std::atomic<std::int64_t> first_error{INT64_MAX};
};

// The calling thread's side of the request's interrupt: runs the check when
// POLL_INTERVAL has passed since the last one, and on a stop makes every
// chunk stop at its next look at the stop word.
class Poller {
 public:
  Poller(const Interrupt& hook, SharedOutput& out) noexcept
      : hook_(hook), out_(out), next_(Clock::now() + POLL_INTERVAL) {}

  // True once the caller asked to stop.
  bool stop_requested() {
    if (interrupted_) return true;
    if (!hook_.check) return false;
    const auto now = Clock::now();
    if (now < next_) return false;
    if (hook_.check(hook_.context)) {
      interrupted_ = true;
      out_.first_error.store(INTERRUPTED);
      return true;
    }
    next_ = Clock::now() + POLL_INTERVAL;
    return false;
  }
  bool interrupted() const noexcept { return interrupted_; }

 private:
  Interrupt hook_;
  SharedOutput& out_;
  Clock::time_point next_;
  bool interrupted_ = false;
};

// Each chunk on a line pair of its own: the row loop writes its ends and counts
// with every row, and chunks side by side in a vector would otherwise have
// their threads take those lines from each other (with two threads that cost
// each a third more time per row).
struct alignas(128) Chunk {
  std::int64_t begin = 0, end = 0;
  // While other threads run, a thread that has run out of rows may take the
  // back of a chunk's unclaimed rows (`end` lowered under `lock`): `shared`
  // chunks claim their rows a block at a time under the lock, up to `claimed`.
  bool shared = false;
  std::int64_t claimed = 0;
  std::mutex lock;

  // Rows from the last claimed one up to min(want, end) are this chunk's own
  // to convert; returns that end (no further than the last claimed row when
  // the rest was taken).
  std::int64_t claim(std::int64_t want) {
    if (!shared) return std::min(want, end);
    std::lock_guard hold(lock);
    const std::int64_t e = std::min(want, end);
    if (e > claimed) claimed = e;
    return e;
  }
  // The chunk's end as it stands (others may lower it while it runs).
  std::int64_t end_now() {
    if (!shared) return end;
    std::lock_guard hold(lock);
    return end;
  }

  // The block the chunk's bytes go to: its own, or for rows a thread took
  // from another chunk, the block of that thread's first chunk, after the
  // bytes already there (a block per piece would be fresh memory on every
  // call: pieces change size from call to call, and the kept blocks with
  // them). The chunk's row ends count from `first_byte`; `size` is its
  // bytes once it has run.
  ChunkData data;
  Chunk* writes_to = nullptr;  // nullptr: its own `data`
  std::size_t first_byte = 0;
  std::size_t size = 0;
  // In a chunk whose block others write to: the first row of the piece
  // written last, to keep the block in row order where that is needed.
  std::int64_t last_begin = 0;
  ChunkData& bytes() noexcept { return writes_to ? writes_to->data : data; }
  const ChunkData& bytes() const noexcept { return writes_to ? writes_to->data : data; }

  ScratchStorage scratch;
  std::int64_t null_count = 0;
  std::int64_t srid_null_count = 0;
  std::optional<RowError> error;
  bool bad_text = false;  // a block of its unchecked text is not UTF-8
  std::exception_ptr exception;
  std::vector<std::int64_t> wide;  // ends of rows begin..end-1 once past 2 GiB
};

// Input bytes of rows [begin, end), to reserve a chunk's output from.
std::size_t input_bytes(const ColumnInput& input, std::int64_t begin, std::int64_t end);

// Converts the rows of one chunk (its failures kept in the chunk, never
// thrown); `poller` only on the calling thread.
using ChunkFn = void (*)(const KernelRequest&, const ColumnInput&, SharedOutput&, Chunk&,
                        Poller*);
ChunkFn chunk_function(Operation op);

}  // namespace geoweave::columns::kernel_detail
