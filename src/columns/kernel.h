// Column kernels: one core operation per row over a whole column, split into
// contiguous chunks converted on native threads and assembled in order into
// Arrow buffers. Python-free; never touches the interpreter, so callers run it
// with the interpreter lock released.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "columns/arrow_import.h"
#include "columns/builder.h"
#include "core/types.h"

namespace geoweave::columns {

// The twelve conversions, one per module function.
enum class Operation : std::uint8_t {
  WkbToWkt,
  WkbToWktSplitSrid,
  WktToWkb,
  WktToWkbSplitSrid,
  WktToHexWkb,
  HexWkbToWkt,
  ToWkb,
  ToWkt,
  ToHexWkb,
  WkbHeaderSrid,
  ToWkbNoSridHeader,
  ToEwkbHeader,
};

// What an operation produces: a values column, an int32 SRID column, or both.
constexpr bool has_values(Operation op) noexcept { return op != Operation::WkbHeaderSrid; }
constexpr bool has_srids(Operation op) noexcept {
  return op == Operation::WkbToWktSplitSrid || op == Operation::WktToWkbSplitSrid ||
         op == Operation::WkbHeaderSrid;
}

// One row gathered from Python objects: its bytes (borrowed) and what they are.
struct Row {
  enum class State : std::uint8_t { Null, Bytes, Text };
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  State state = State::Null;
};

// The rows of a column: Arrow arrays one after the other, or gathered rows.
struct ColumnInput {
  std::vector<ArrayView> arrays;  // validated
  bool text = false;              // the arrays' layout is a string type
  std::span<const Row> rows;      // when `arrays` is empty
  bool gathered = false;

  std::int64_t length() const noexcept;
};

struct KernelRequest {
  Operation op = Operation::WkbToWkt;
  SridOption option;
  bool normalize = false;
  bool errors_to_null = false;
  WkbFlavor flavor = WkbFlavor::Extended;  // what the operations writing WKB write
  unsigned threads = 1;          // >= 1
  std::int64_t limit = -1;       // convert only rows [0, limit) when >= 0
};

struct RowError {
  std::int64_t row = -1;
  ConversionError error;
};

struct KernelOutcome {
  std::shared_ptr<BuiltColumn> values;  // when has_values(op)
  std::shared_ptr<BuiltColumn> srids;   // when has_srids(op)
  std::optional<RowError> error;        // errors raised: the lowest failing row
};

// Converts every row (nulls stay null). With errors_to_null a failing row is a
// null; otherwise the first failing row stops the work and is reported, and the
// columns are absent. Identical results for any thread count. Throws
// std::bad_alloc.
KernelOutcome run_kernel(const KernelRequest& request, const ColumnInput& input);

// One finished block of rows [begin, end) of a values and/or SRID column,
// read on the consuming thread while later blocks are being converted.
struct RowBlock {
  std::int64_t begin = 0, end = 0;
  const char* data = nullptr;                  // the block's bytes
  const std::int32_t* ends = nullptr;          // ends[i + 1]: row i's end in `data`
  const std::int64_t* wide_ends = nullptr;     // instead, indexed i - begin (past 2 GiB)
  const std::uint8_t* validity = nullptr;      // indexed by row
  const std::int32_t* srids = nullptr;
  const std::uint8_t* srid_validity = nullptr;

  bool is_valid(std::int64_t i) const noexcept { return (validity[i >> 3] >> (i & 7)) & 1; }
  std::string_view value(std::int64_t i) const noexcept {
    std::int64_t start, stop;
    if (wide_ends) {
      start = i == begin ? 0 : wide_ends[i - 1 - begin];
      stop = wide_ends[i - begin];
    } else {
      start = i == begin ? 0 : ends[i];
      stop = ends[i + 1];
    }
    return {data + start, static_cast<std::size_t>(stop - start)};
  }
  bool has_srid(std::int64_t i) const noexcept {
    return (srid_validity[i >> 3] >> (i & 7)) & 1;
  }
  std::int32_t srid(std::int64_t i) const noexcept { return srids[i]; }
};

// How the calling thread steps aside while it waits for a block (the Python
// surface releases and takes back the GIL).
struct WaitHooks {
  void (*release)(void* context) = nullptr;
  void (*reacquire)(void* context) = nullptr;
  void* context = nullptr;
};

// Converts the rows in blocks, on `threads` - 1 worker threads (or on the
// calling thread alone for threads == 1, with the hooks around each block),
// and hands each block in row order to `consume` on the calling thread as soon
// as it is done, so that consuming (making Python objects) overlaps
// converting. `consume` returns false to stop. Returns the lowest failing row
// with errors raised (blocks after it are not consumed). Throws std::bad_alloc.
using BlockConsumer = bool (*)(const RowBlock& block, void* context);
std::optional<RowError> run_kernel_in_blocks(const KernelRequest& request,
                                             const ColumnInput& input, WaitHooks hooks,
                                             BlockConsumer consume, void* consume_context,
                                             bool* stopped);

// The number of chunks a column of `rows` rows is split into for `threads`.
unsigned chunk_count(std::int64_t rows, unsigned threads) noexcept;

// The largest total size of a values column kept with 32-bit offsets (beyond
// it, 64-bit offsets). INT32_MAX; lowered only by tests, to reach the switch
// without gigabytes of data. Returns the previous value.
std::int64_t set_large_offsets_threshold(std::int64_t bytes) noexcept;

// The cores this process may use (its CPU affinity), at least 1.
unsigned hardware_threads() noexcept;

}  // namespace geoweave::columns
