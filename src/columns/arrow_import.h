// Reading Arrow arrays handed over through the C Data Interface: the six binary
// and string layouts, the schema's extension metadata, and a validated view of
// an array that every later read can trust. Nothing here trusts the producer:
// every length, offset, pointer and bitmap a read depends on is checked first,
// and a failure is a message for the caller, never an out-of-bounds read.
// Python-free.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns/arrow_abi.h"
#include "columns/bitmap.h"
#include "core/types.h"

namespace geoweave::columns {

enum class Layout : std::uint8_t { Binary, LargeBinary, BinaryView, String, LargeString, StringView };

constexpr bool is_text_layout(Layout l) noexcept {
  return l == Layout::String || l == Layout::LargeString || l == Layout::StringView;
}
// "binary", "large_string", ... as the Arrow type is usually named.
std::string_view layout_name(Layout l) noexcept;
// The layout of a C Data Interface format string, if it is one of the six.
std::optional<Layout> layout_of_format(std::string_view format) noexcept;

inline constexpr std::string_view EXTENSION_NAME_KEY = "ARROW:extension:name";
inline constexpr std::string_view EXTENSION_METADATA_KEY = "ARROW:extension:metadata";

struct SchemaInfo {
  Layout layout = Layout::Binary;
  std::string format;              // as given, for messages
  std::string extension_name;      // empty when the field has none
  std::string extension_metadata;  // its ARROW:extension:metadata value
  // A struct of exactly one such field (a record batch of one column, as
  // DuckDB and other table producers export): read through to that field.
  bool single_field_struct = false;
};

// The Arrow type of `schema` as users know it from pyarrow: "int32", "double",
// "dictionary<values=binary, indices=int32>", "list<item: string>",
// "struct with 3 fields" (a forged schema reads as what can be told of it).
std::string arrow_type_name(const ArrowSchema& schema);

// The layout and extension of a schema. Returns an empty string on success,
// otherwise the reason the schema cannot be read (a malformed struct); a format
// outside the six sets `supported` to false and returns empty.
std::string read_schema(const ArrowSchema& schema, SchemaInfo* out, bool* supported);

// A validated array: every valid row's bytes lie inside buffers the producer
// handed over, offsets are in order, text rows are UTF-8.
struct ArrayView {
  Layout layout = Layout::Binary;
  std::int64_t length = 0;
  std::int64_t offset = 0;                 // applied to every index below
  const std::uint8_t* validity = nullptr;  // nullptr: no nulls
  const std::int32_t* offsets32 = nullptr;
  const std::int64_t* offsets64 = nullptr;
  const std::uint8_t* data = nullptr;
  const std::uint8_t* views = nullptr;  // 16 bytes per row
  const void* const* variadic = nullptr;
  // The variadic buffers' sizes as validated: a copy, since the producer's
  // sizes may be rewritten after validation as its views may.
  std::vector<std::int64_t> variadic_sizes;
  // The offsets of the array's first and last row as validated. Every row is
  // read through `between`, which keeps it inside them: offsets rewritten
  // after validation (by the producer, or another thread writing the buffer
  // they live in while the GIL is released) give wrong rows, never a read
  // outside the data.
  std::int64_t first_offset = 0, last_offset = 0;
  // A text array of offsets whose rows were not checked for UTF-8 when it was
  // validated (validate_array with defer_text): the kernel checks each block
  // of rows just before converting it (text_rows_valid), and check_text the
  // whole array when that or a conversion fails.
  bool text_unchecked = false;

  bool is_valid(std::int64_t i) const noexcept {
    return !validity || bit_is_set(validity, offset + i);
  }
  // The bytes of valid row i (rows are 0-based from the array's offset).
  ByteSpan value(std::int64_t i) const noexcept {
    const std::int64_t j = offset + i;
    static constexpr std::uint8_t EMPTY[1] = {0};
    if (!views && !data) return {EMPTY, 0};  // validated: every row is empty
    switch (layout) {
      case Layout::Binary:
      case Layout::String: return between(offsets32[j], offsets32[j + 1]);
      case Layout::LargeBinary:
      case Layout::LargeString: return between(offsets64[j], offsets64[j + 1]);
      default: return view_value(j);
    }
  }
  // The bytes from offset `begin` to `end`, each read once by the caller,
  // clamped to [first_offset, last_offset] (two compares).
  ByteSpan between(std::int64_t begin, std::int64_t end) const noexcept {
    clamp(begin, end);
    return {data + begin, static_cast<std::size_t>(end - begin)};
  }
  // The bytes of rows [begin, end) of an offsets layout, from the first's
  // start to the last's end (null rows' bytes included).
  ByteSpan rows_between(std::int64_t begin, std::int64_t end) const noexcept {
    if (!data) return {data, 0};
    const std::int64_t b = offset + begin, e = offset + end;
    switch (layout) {
      case Layout::Binary:
      case Layout::String: return between(offsets32[b], offsets32[e]);
      case Layout::LargeBinary:
      case Layout::LargeString: return between(offsets64[b], offsets64[e]);
      default: return {data, 0};
    }
  }
  // between(begin, end).size, also where `data` is null (every row empty).
  std::size_t size_between(std::int64_t begin, std::int64_t end) const noexcept {
    clamp(begin, end);
    return static_cast<std::size_t>(end - begin);
  }
  void clamp(std::int64_t& begin, std::int64_t& end) const noexcept {
    begin = begin < first_offset ? first_offset : begin > last_offset ? last_offset : begin;
    end = end < begin ? begin : end > last_offset ? last_offset : end;
  }
  // A view's fields are read once and kept inside what validation saw, as
  // offsets are: a view rewritten since gives a wrong row, never a read
  // outside the view itself or its data buffer.
  ByteSpan view_value(std::int64_t j) const noexcept {
    const std::uint8_t* v = views + 16 * j;
    std::int32_t size;
    std::memcpy(&size, v, 4);
    if (size <= 12) return {v + 4, static_cast<std::size_t>(size < 0 ? 0 : size)};
    std::int32_t index, start;
    std::memcpy(&index, v + 8, 4);
    std::memcpy(&start, v + 12, 4);
    if (static_cast<std::uint32_t>(index) >= variadic_sizes.size()) return {v + 4, 0};
    const std::int64_t limit = variadic_sizes[static_cast<std::uint32_t>(index)];
    const std::int64_t begin = start < 0 ? 0 : start > limit ? limit : start;
    const std::int64_t end = begin + size > limit ? limit : begin + size;
    return {static_cast<const std::uint8_t*>(variadic[index]) + begin,
            static_cast<std::size_t>(end - begin)};
  }
};

// Checks `array` against `layout` and fills `out`. Returns an empty string on
// success, otherwise what is wrong with the array. A large text column's bytes
// are scanned on up to `threads` threads; with `defer_text` the UTF-8 check of
// a text array of offsets is left to whoever reads its rows (see
// ArrayView::text_unchecked).
std::string validate_array(const ArrowArray& array, Layout layout, ArrayView* out,
                           unsigned threads = 1, bool defer_text = false);
// The same for the one child of a single-field struct array, with the struct's
// slice applied; the struct itself must have no nulls. Text is deferred only
// where the slice is the whole child (else the child is checked whole now).
std::string validate_struct_array(const ArrowArray& array, Layout layout, ArrayView* out,
                                  unsigned threads = 1, bool defer_text = false);

// The UTF-8 check validation leaves out with defer_text: empty, or which row
// of `v` is not valid UTF-8 (the same message validation gives).
std::string check_text(const ArrayView& v, unsigned threads = 1);
// Whether rows [begin, end) of a text array of offsets are valid UTF-8: their
// bytes ASCII, else each valid row checked on its own.
bool text_rows_valid(const ArrayView& v, std::int64_t begin, std::int64_t end) noexcept;

// True when `bytes` is well-formed UTF-8 (what a Python str could hand over).
bool is_valid_utf8(const std::uint8_t* bytes, std::size_t size) noexcept;

}  // namespace geoweave::columns
