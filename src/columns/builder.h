// Columns built by the kernels, owned as plain Arrow buffers, and their export
// through the C Data Interface without a copy. Python-free.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns/arrow_abi.h"
#include "columns/bitmap.h"

namespace geoweave::columns {

// Large blocks of finished columns are kept when freed (up to a bound, their
// pages left for the kernel to take back lazily under memory pressure) and
// lent to the next conversion: fresh pages cost a 1M-row conversion a third
// of its time again in the kernel, faulting and zeroing them.
//
// A kept block of at least `at_least` bytes and at most `at_most` (its usable
// size in `*capacity`, and in `*resident` how many bytes from its start were
// written before it was kept, their pages still in unless the kernel took
// them back), or nullptr. Of the blocks that fit, the one with the most of
// its first `at_least` bytes resident, then the smallest.
void* take_kept_block(std::size_t at_least, std::size_t at_most, std::size_t* capacity,
                      std::size_t* resident = nullptr) noexcept;
// Frees a malloc block, or keeps it for a later take_kept_block. The whole
// pages of its first `advised` bytes were given MADV_FREE by the caller; its
// first `written` bytes (all of it by default) were written.
void free_or_keep(void* block, std::size_t advised = 0, std::size_t written = SIZE_MAX) noexcept;
// Whether a block of `bytes` would be kept if it were freed now, after
// `promised` other blocks of `promised_bytes` in all that are to be kept first.
bool would_keep(std::size_t bytes, std::size_t promised = 0,
                std::size_t promised_bytes = 0) noexcept;

// One finished column: variable-size values (binary or UTF-8, 32- or 64-bit
// offsets) or int32 values, with an optional validity bitmap. Buffers come from
// malloc and are freed with the column; exported arrays share it. A 32-bit
// column past its offsets limit continues in `more`, arrays of the same type
// exported after it as one stream.
struct BuiltColumn {
  enum class Kind : std::uint8_t { Variable, Int32 };
  Kind kind = Kind::Variable;
  std::int64_t length = 0;     // this array's rows
  std::int64_t null_count = 0;
  bool large = false;          // 64-bit offsets
  void* validity = nullptr;    // nullptr when there are no nulls
  void* offsets = nullptr;     // Variable only: length + 1 entries
  void* data = nullptr;        // value bytes, or the int32 values
  // When set, `data` lies in this block (shared by the arrays of one
  // converted chunk) and is not freed with the column.
  std::shared_ptr<char> data_block;
  // How much of `data` from its start was written (its pages are in), for
  // the block's next user when it is kept.
  std::size_t data_written = SIZE_MAX;
  std::vector<std::shared_ptr<const BuiltColumn>> more;

  BuiltColumn() = default;
  BuiltColumn(const BuiltColumn&) = delete;
  BuiltColumn& operator=(const BuiltColumn&) = delete;
  ~BuiltColumn() {
    if (!data_block) free_or_keep(data, 0, data_written);
    free_or_keep(validity);
    free_or_keep(offsets);
  }

  // Row i of this array (the fuzz targets check results through these).
  bool is_valid(std::int64_t i) const noexcept {
    return !validity || bit_is_set(static_cast<const std::uint8_t*>(validity), i);
  }
  std::string_view value(std::int64_t i) const noexcept {
    std::int64_t begin, end;
    if (large) {
      begin = static_cast<const std::int64_t*>(offsets)[i];
      end = static_cast<const std::int64_t*>(offsets)[i + 1];
    } else {
      begin = static_cast<const std::int32_t*>(offsets)[i];
      end = static_cast<const std::int32_t*>(offsets)[i + 1];
    }
    return {static_cast<const char*>(data) + begin, static_cast<std::size_t>(end - begin)};
  }

  // Rows and nulls over this array and the ones in `more`.
  std::int64_t total_length() const noexcept {
    std::int64_t n = length;
    for (const auto& c : more) n += c->length;
    return n;
  }
  std::int64_t total_null_count() const noexcept {
    std::int64_t n = null_count;
    for (const auto& c : more) n += c->null_count;
    return n;
  }
};

// The C Data Interface format of a column: "i" for int32, otherwise "u"/"U"
// (text) or "z"/"Z" (binary) by its offsets' width.
const char* format_of(const BuiltColumn& column, bool text) noexcept;

// Fills `out` with an array sharing `column`'s buffers; releasing it drops the
// share. Throws std::bad_alloc.
void export_array(std::shared_ptr<const BuiltColumn> column, ArrowArray* out);

// Fills `out` with a schema of `format`, an empty name, nullable, and when
// `extension_name` is not empty the extension metadata entries. Throws
// std::bad_alloc.
void export_schema(const char* format, std::string_view extension_name,
                   std::string_view extension_metadata, ArrowSchema* out);

// A stream of the column's arrays (itself, then `more`) and their schema, each
// produced on request. With `cuts` the arrays are cut (without copying) into
// one of cuts[i] rows after the other, as the input's batches came; an array of
// `more` starting inside one cuts it in two. `cuts` adds up to the rows.
void export_stream(std::shared_ptr<const BuiltColumn> column, std::string format,
                   std::string extension_name, std::string extension_metadata,
                   std::optional<std::vector<std::int64_t>> cuts, ArrowArrayStream* out);

}  // namespace geoweave::columns
