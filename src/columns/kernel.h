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
#include "columns/bitmap.h"
#include "columns/builder.h"
#include "core/types.h"
#include "ops/operation.h"

namespace geoweave::columns {

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

// How the caller stops a conversion: `check` runs on the calling thread (never
// on a worker) about every 20 ms while the kernel works, and returns true to
// stop everything (the Python surface runs the signal handlers there).
struct Interrupt {
  bool (*check)(void* context) = nullptr;
  void* context = nullptr;
};

struct KernelRequest {
  Operation op = Operation::WkbToWkt;
  SridOption option;
  bool normalize = false;
  bool errors_to_null = false;
  WkbFlavor flavor = WkbFlavor::Extended;  // what the operations writing WKB write
  bool large_offsets = false;    // a values column with 64-bit offsets (else 32-bit, split)
  unsigned threads = 1;          // >= 1
  std::int64_t limit = -1;       // convert only rows [0, limit) when >= 0
  Interrupt interrupt;
};

struct RowError {
  std::int64_t row = -1;
  ConversionError error;
};

struct KernelOutcome {
  std::shared_ptr<BuiltColumn> values;  // when has_values(op)
  std::shared_ptr<BuiltColumn> srids;   // when has_srids(op)
  std::optional<RowError> error;        // errors raised: the lowest failing row
  bool interrupted = false;             // the interrupt check said stop: no columns
  // Text left unchecked (ArrayView::text_unchecked) is not UTF-8 in some
  // row: no columns; check_text says which.
  bool bad_text = false;
};

// Converts every row (nulls stay null). With errors_to_null a failing row is a
// null; otherwise the first failing row stops the work and is reported, and the
// columns are absent. Identical results for any thread count. A values column
// with 32-bit offsets whose bytes pass the offsets limit comes in several
// arrays (BuiltColumn::more). Throws std::bad_alloc, and std::length_error for
// one value too large for 32-bit offsets.
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

  bool is_valid(std::int64_t i) const noexcept { return bit_is_set(validity, i); }
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
    return bit_is_set(srid_validity, i);
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

// Converts the rows in blocks, on up to `threads` - 1 worker threads (never
// more than there are blocks; on the calling thread alone for threads == 1 or
// when no thread can start, with the hooks around each block), and hands each
// block in row order to `consume` on the calling thread as soon as it is
// done, so that consuming (making Python objects) overlaps converting.
// `consume` returns false to stop, and so does the request's interrupt
// (`*stopped` is then true in both cases). Returns the lowest failing row with
// errors raised (blocks after it are not consumed). Throws std::bad_alloc.
using BlockConsumer = bool (*)(const RowBlock& block, void* context);
std::optional<RowError> run_kernel_in_blocks(const KernelRequest& request,
                                             const ColumnInput& input, WaitHooks hooks,
                                             BlockConsumer consume, void* consume_context,
                                             bool* stopped);

// The number of chunks a column of `rows` rows is split into for `threads`.
unsigned chunk_count(std::int64_t rows, unsigned threads) noexcept;

// The most bytes one array of a 32-bit offsets column holds (beyond it the
// column is split into more arrays of the same type). INT32_MAX; lowered only
// by tests, to reach the split without gigabytes of data. Returns the previous
// value.
std::int64_t set_offsets_limit(std::int64_t bytes) noexcept;

// How many times in this process a thread has taken rows from another thread's
// chunk. For tests, to know that the case they build happened.
std::uint64_t taken_piece_count() noexcept;

// The cores this process may use (its CPU affinity), at least 1.
unsigned hardware_threads() noexcept;

}  // namespace geoweave::columns
