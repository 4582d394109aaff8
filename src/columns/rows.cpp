// The column kernel's row semantics: what one row of a chunk becomes (run<>
// into the chunk's bytes, its end, validity and SRID recorded), the loops over
// Arrow arrays and gathered rows, and the looks at the stop word between rows.
// The executors that run chunks on threads are in kernel.cpp.
#include "columns/chunk.h"
#include "ops/run.h"

namespace geoweave::columns::kernel_detail {
namespace {

// Where run<Operation> writes one row: its value at the end of the chunk's
// bytes, its SRID here, its error for the runner.
class RowOutput {
 public:
  RowOutput(ChunkData& data, ScratchStorage& scratch, ConversionError& error) noexcept
      : data_(data), scratch_(scratch), error_(error) {}

  BufferStorage* storage() noexcept { return &data_; }
  BufferStorage* scratch() noexcept { return &scratch_; }
  [[gnu::always_inline]] bool keep(const OutputBuffer& b) {
    data_.keep(b);
    return true;
  }
  bool keep_view(std::string_view v) {
    data_.append(v);
    return true;
  }
  bool room(std::size_t n, RewriteEncoding, char** at) {
    *at = data_.room(n);
    return true;
  }
  bool commit(std::size_t n) noexcept {
    data_.commit(n);
    return true;
  }
  void srid(SridSlot s) noexcept { slot = s; }
  bool fail(const ConversionError& e) {
    error_ = e;
    return false;
  }

  SridSlot slot = SridSlot::none();

 private:
  ChunkData& data_;
  ScratchStorage& scratch_;
  ConversionError& error_;
};

struct RowBytes {
  ByteSpan bytes;
  std::size_t slack;  // readable bytes after them (see Source)
};

template <Operation OP>
class ChunkRunner {
 public:
  // `poller` on the calling thread only (workers just see the stop word).
  ChunkRunner(const KernelRequest& rq, SharedOutput& out, Chunk& chunk, Poller* poller)
      : rq_(rq), args_{rq.option, rq.normalize, rq.flavor}, out_(out), chunk_(chunk),
        data_(chunk.bytes()), first_byte_(chunk.first_byte), poller_(poller) {}

  void null_row(std::int64_t i) {
    if constexpr (has_values(OP)) {
      set_end(i);
      clear_bit(out_.validity, i);
      ++chunk_.null_count;
    }
    if constexpr (has_srids(OP)) {
      out_.srid_values[i] = 0;
      clear_bit(out_.srid_validity, i);
      ++chunk_.srid_null_count;
    }
  }

  // False when the chunk must stop (an error with errors raised).
  // `slack`: bytes after the row that may be read (see Source).
  [[gnu::always_inline]] bool row(std::int64_t i, ByteSpan in, bool text,
                                  std::size_t slack = 0) {
    RowOutput out(data_, chunk_.scratch, error_);
    if (!run<OP>(args_,
                 Source{text, in, {reinterpret_cast<const char*>(in.data), in.size}, slack},
                 out)) {
      if (rq_.errors_to_null) {
        null_row(i);
        return true;
      }
      chunk_.error = RowError{i, std::move(error_)};
      stop_from(i);
      return false;
    }
    if constexpr (has_values(OP)) {
      set_end(i);
    }
    if constexpr (has_srids(OP)) {
      if (out.slot.has_srid) {
        out_.srid_values[i] = out.slot.srid;
      } else {
        out_.srid_values[i] = 0;
        clear_bit(out_.srid_validity, i);
        ++chunk_.srid_null_count;
      }
    }
    return true;
  }

  // Records where row i ends in the chunk's bytes. Inlined, as are the row
  // output's members: the compiler left them out of line once run<> came in
  // between, at about 27 instructions a row.
  [[gnu::always_inline]] void set_end(std::int64_t i) {
    const std::size_t size = data_.size() - first_byte_;
    if (out_.chunk_ends64) {
      out_.chunk_ends64[i + 1] = static_cast<std::int64_t>(size);
      return;
    }
    if (chunk_.wide.empty()) {
      if (size <= static_cast<std::size_t>(INT32_MAX)) {
        out_.chunk_ends[i + 1] = static_cast<std::int32_t>(size);
        return;
      }
      // Past 2 GiB: 64-bit ends from here on, with the earlier rows' copied.
      chunk_.wide.resize(static_cast<std::size_t>(chunk_.end_now() - chunk_.begin));
      for (std::int64_t r = chunk_.begin; r < i; ++r) {
        chunk_.wide[static_cast<std::size_t>(r - chunk_.begin)] = out_.chunk_ends[r + 1];
      }
    }
    chunk_.wide[static_cast<std::size_t>(i - chunk_.begin)] = static_cast<std::int64_t>(size);
  }

  // The chunks after row i stop: it failed.
  void stop_from(std::int64_t i) noexcept {
    std::int64_t seen = out_.first_error.load(std::memory_order_relaxed);
    while (i < seen && !out_.first_error.compare_exchange_weak(seen, i)) {
    }
  }

  // An earlier chunk failed, or the caller asked to stop: this one's rows can
  // no longer matter. Called every 16 rows; the calling thread reads the
  // clock for its interrupt check every 256.
  bool must_stop() {
    if (out_.first_error.load(std::memory_order_relaxed) < chunk_.begin) return true;
    return poller_ && (++looks_ & 15) == 0 && poller_->stop_requested();
  }

  void run_arrays(const ColumnInput& input) {
    std::int64_t start = 0;  // row index of the current array's first row
    for (const ArrayView& a : input.arrays) {
      const std::int64_t lo = std::max(chunk_.begin, start);
      const std::int64_t hi = std::min(chunk_.end_now(), start + a.length);
      if (lo < hi && !run_array(a, start, lo, hi, input.text)) return;
      start += a.length;
      if (start >= chunk_.end_now()) return;
    }
  }

  void run_rows(std::span<const Row> rows) {
    for (std::int64_t b = chunk_.begin;;) {
      const std::int64_t e = chunk_.claim(b + CLAIM_ROWS);
      if (e <= b) return;
      for (std::int64_t i = b; i < e; ++i) {
        const Row& r = rows[static_cast<std::size_t>(i)];
        if (r.state == Row::State::Null) {
          null_row(i);
        } else if (!row(i, {r.data, r.size}, r.state == Row::State::Text)) {
          return;
        }
        if ((i & CHECK_MASK) == 0 && must_stop()) return;
      }
      b = e;
    }
  }

 private:
  // Rows [lo, hi) of the column, which lie in `a` starting at column row `start`.
  bool run_array(const ArrayView& a, std::int64_t start, std::int64_t lo, std::int64_t hi,
                 bool text) {
    // value_of(j) gives row j's bytes and how many bytes after them may be
    // read: rows of one data buffer may read on into the rows after them, up
    // to the last byte validation saw.
    //
    // Rows are claimed a block at a time (another thread may take the rest).
    // Text that validation left unchecked is checked a block of rows at a time
    // just before they are converted, so that its bytes are read from the cache
    // and the check runs on every thread instead of before them all.
    auto loop = [&](auto value_of) {
      for (std::int64_t b = lo; b < hi;) {
        const std::int64_t e = chunk_.claim(std::min(hi, b + CLAIM_ROWS));
        if (e <= b) return true;  // the rest is another thread's now
        if (a.text_unchecked && !text_rows_valid(a, b - start, e - start)) [[unlikely]] {
          chunk_.bad_text = true;
          stop_from(b);
          return false;
        }
        for (std::int64_t i = b; i < e; ++i) {
          const std::int64_t j = i - start;
          if (!a.is_valid(j)) {
            null_row(i);
          } else {
            const auto [in, slack] = value_of(j);
            if (!row(i, in, text, slack)) return false;
          }
          if ((i & CHECK_MASK) == 0 && must_stop()) return false;
        }
        b = e;
      }
      return true;
    };
    static constexpr std::uint8_t EMPTY[1] = {0};
    const bool views = a.layout == Layout::BinaryView || a.layout == Layout::StringView;
    if (!views && !a.data) {  // validated: every row is empty
      return loop([](std::int64_t) { return RowBytes{{EMPTY, 0}, 0}; });
    }
    const std::uint8_t* const readable_end = a.data + a.last_offset;
    const auto with_slack = [readable_end](ByteSpan in) {
      return RowBytes{in, static_cast<std::size_t>(readable_end - (in.data + in.size))};
    };
    switch (a.layout) {
      case Layout::Binary:
      case Layout::String:
        return loop([&](std::int64_t j) {
          const std::int32_t* o = a.offsets32 + a.offset + j;
          return with_slack(a.between(o[0], o[1]));  // each offset read once, clamped
        });
      case Layout::LargeBinary:
      case Layout::LargeString:
        return loop([&](std::int64_t j) {
          const std::int64_t* o = a.offsets64 + a.offset + j;
          return with_slack(a.between(o[0], o[1]));  // each offset read once, clamped
        });
      default:
        return loop([&](std::int64_t j) { return RowBytes{a.view_value(a.offset + j), 0}; });
    }
  }

  const KernelRequest& rq_;
  const OperationArgs args_;
  SharedOutput& out_;
  Chunk& chunk_;
  ChunkData& data_;
  const std::size_t first_byte_;
  Poller* poller_;
  unsigned looks_ = 0;
  ConversionError error_;
};

template <Operation OP>
void run_chunk(const KernelRequest& rq, const ColumnInput& input, SharedOutput& out,
               Chunk& chunk, Poller* poller) {
  try {
    if constexpr (has_values(OP)) {
      chunk.bytes().reserve(chunk.first_byte + estimated_result_size(
                                OP, input_bytes(input, chunk.begin, chunk.end_now())));
    }
    ChunkRunner<OP> runner(rq, out, chunk, poller);
    if (input.gathered) {
      runner.run_rows(input.rows);
    } else {
      runner.run_arrays(input);
    }
    if constexpr (has_values(OP)) chunk.size = chunk.bytes().size() - chunk.first_byte;
  } catch (...) {
    chunk.exception = std::current_exception();
  }
}

}  // namespace

std::size_t input_bytes(const ColumnInput& input, std::int64_t begin, std::int64_t end) {
  if (input.gathered) {
    std::size_t n = 0;
    for (std::int64_t i = begin; i < end; ++i) n += input.rows[static_cast<std::size_t>(i)].size;
    return n;
  }
  std::size_t n = 0;
  std::int64_t start = 0;
  for (const ArrayView& a : input.arrays) {
    const std::int64_t lo = std::max(begin, start) - start;
    const std::int64_t hi = std::min(end, start + a.length) - start;
    if (lo < hi) {
      if (a.offsets32) {
        n += a.size_between(a.offsets32[a.offset + lo], a.offsets32[a.offset + hi]);
      } else if (a.offsets64) {
        n += a.size_between(a.offsets64[a.offset + lo], a.offsets64[a.offset + hi]);
      } else {
        n += static_cast<std::size_t>(hi - lo) * 16;
      }
    }
    start += a.length;
  }
  return n;
}

ChunkFn chunk_function(Operation op) {
  return with_operation(op, []<Operation OP>() -> ChunkFn { return run_chunk<OP>; });
}

}  // namespace geoweave::columns::kernel_detail
