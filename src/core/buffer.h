// The one growable output buffer each conversion owns. Append-only, grows by at
// least doubling, throws std::bad_alloc when memory runs out (turned into
// MemoryError at the Python boundary).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace geoweave {

// Memory for one OutputBuffer lent by the caller of a conversion, so that the
// bytes of a result can be written straight into the object that will hold
// them instead of being copied there at the end (the Python surface lends the
// storage of a str or bytes object). A storage serves one buffer at a time; a
// buffer that cannot claim it uses the C heap as usual.
class BufferStorage {
 public:
  // Reserves the storage for the calling buffer; false when it is taken.
  bool claim() noexcept { return !claimed_ && (claimed_ = true); }
  // Gives it back when that buffer is discarded; what it held is garbage then.
  void unclaim() noexcept { claimed_ = false; }
  // Storage of at least `capacity` bytes whose first `size` bytes are kept
  // (`size` is 0 for a buffer that has just claimed it). Throws std::bad_alloc.
  virtual char* resize(std::size_t size, std::size_t capacity) = 0;
  // Room a storage already holds ready for the next buffer (none unless the
  // storage says so): a buffer that needs no more starts in it without the
  // call to resize(), which a column pays on every row otherwise.
  char* ready() const noexcept { return ready_; }
  std::size_t ready_size() const noexcept { return ready_size_; }

 protected:
  BufferStorage() = default;
  ~BufferStorage() = default;
  void set_ready(char* at, std::size_t n) noexcept {
    ready_ = at;
    ready_size_ = n;
  }

 private:
  bool claimed_ = false;
  char* ready_ = nullptr;
  std::size_t ready_size_ = 0;
};

class OutputBuffer {
 public:
  OutputBuffer() noexcept = default;
  explicit OutputBuffer(std::size_t capacity) { reserve(capacity); }
  // A buffer living in `storage` when it can claim it (nullptr: the C heap).
  OutputBuffer(BufferStorage* storage, std::size_t capacity)
      : storage_(storage && storage->claim() ? storage : nullptr) {
    if (storage_ && storage_->ready_size() != 0 && capacity <= storage_->ready_size()) {
      data_ = storage_->ready();
      capacity_ = storage_->ready_size();
      return;
    }
    reserve(capacity);
  }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  OutputBuffer(OutputBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        storage_(std::exchange(other.storage_, nullptr)) {}
  OutputBuffer& operator=(OutputBuffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      storage_ = std::exchange(other.storage_, nullptr);
    }
    return *this;
  }
  ~OutputBuffer() { release(); }

  // The lent storage the bytes live in, if any.
  const BufferStorage* storage() const noexcept { return storage_; }

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  const std::uint8_t* bytes() const noexcept {
    return reinterpret_cast<const std::uint8_t*>(data_);
  }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::string_view view() const noexcept { return {data_ ? data_ : "", size_}; }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) reallocate(capacity);
  }

  // Returns a pointer to at least `n` writable bytes at the end; the caller
  // writes some of them and then calls commit() with the number written.
  char* tail(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }
  void commit_to(char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

  void append(const void* src, std::size_t n) {
    char* p = tail(n);
    if (n) std::memcpy(p, src, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void push_back(char c) {
    char* p = tail(1);
    *p = c;
    ++size_;
  }

  // Overwrite bytes already written (count placeholders).
  void overwrite(std::size_t offset, const void* src, std::size_t n) noexcept {
    std::memcpy(data_ + offset, src, n);
  }

  void clear() noexcept { size_ = 0; }

 private:
  void grow(std::size_t needed) {
    std::size_t want = capacity_ < 8 ? 8 : capacity_ * 2;
    if (want - size_ < needed) want = size_ + needed;
    reallocate(want);
  }
  void reallocate(std::size_t capacity) {
    if (storage_) {
      data_ = storage_->resize(size_, capacity);
    } else {
      void* p = std::realloc(data_, capacity);
      if (!p) throw std::bad_alloc();
      data_ = static_cast<char*>(p);
    }
    capacity_ = capacity;
  }
  // Lent storage stays with its lender.
  void release() noexcept {
    if (storage_) {
      storage_->unclaim();
    } else if (data_) {  // moved-from buffers, one per result, skip the call
      std::free(data_);
    }
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  BufferStorage* storage_ = nullptr;
};

// Unaligned little-/big-endian loads and stores, on hosts of either order.
inline constexpr bool HOST_LITTLE_ENDIAN = std::endian::native == std::endian::little;
static_assert(HOST_LITTLE_ENDIAN || std::endian::native == std::endian::big,
              "the byte-order helpers assume a little- or big-endian host");

// v read from (or to be written as) bytes of the given order.
template <class U>
constexpr U in_order(U v, bool little_endian) noexcept {
  return little_endian == HOST_LITTLE_ENDIAN ? v : std::byteswap(v);
}
// v as little-endian bytes, the order of every WKB value this module writes.
template <class U>
constexpr U to_little_endian(U v) noexcept {
  if constexpr (HOST_LITTLE_ENDIAN) {
    return v;
  } else {
    return std::byteswap(v);
  }
}

inline std::uint32_t load_u32(const std::uint8_t* p, bool little_endian) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return in_order(v, little_endian);
}
inline std::uint64_t load_u64(const std::uint8_t* p, bool little_endian) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return in_order(v, little_endian);
}
inline void store_u32(std::uint8_t* p, std::uint32_t v, bool little_endian) noexcept {
  v = in_order(v, little_endian);
  std::memcpy(p, &v, 4);
}

}  // namespace geoweave
