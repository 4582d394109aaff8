// The one growable output buffer each conversion owns. Append-only, grows by at
// least doubling, throws std::bad_alloc when memory runs out (turned into
// MemoryError at the Python boundary).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace geoweave {

class OutputBuffer {
 public:
  OutputBuffer() noexcept = default;
  explicit OutputBuffer(std::size_t capacity) { reserve(capacity); }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  OutputBuffer(OutputBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  OutputBuffer& operator=(OutputBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~OutputBuffer() { std::free(data_); }

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
    void* p = std::realloc(data_, capacity);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Unaligned little-/big-endian loads and stores.
inline std::uint32_t load_u32(const std::uint8_t* p, bool little_endian) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return little_endian ? v : __builtin_bswap32(v);
}
inline std::uint64_t load_u64(const std::uint8_t* p, bool little_endian) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return little_endian ? v : __builtin_bswap64(v);
}
inline void store_u32(std::uint8_t* p, std::uint32_t v, bool little_endian) noexcept {
  if (!little_endian) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the byte-order helpers assume a little-endian host");

}  // namespace geoweave
