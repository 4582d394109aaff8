// The column kernel's executors: a column cut into chunks converted on worker
// threads (run_kernel) or into blocks handed to a consumer in order
// (run_kernel_in_blocks), and the chunks' results assembled into Arrow
// buffers. What a row becomes is in rows.cpp.
#include "columns/kernel.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "columns/chunk.h"
#include "columns/parallel.h"

namespace geoweave::columns {
namespace kernel_detail {
namespace {

std::atomic<bool> populate_works{true};

}  // namespace

void populate(void* p, std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t PAGE = 4096;
  if (n < 16 * PAGE || !populate_works.load(std::memory_order_relaxed)) return;
  const auto first = (reinterpret_cast<std::uintptr_t>(p) + PAGE - 1) & ~(PAGE - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(PAGE - 1);
  if (last > first && madvise(reinterpret_cast<void*>(first), last - first,
                              MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
    populate_works.store(false, std::memory_order_relaxed);
  }
#else
  (void)p;
  (void)n;
#endif
}

void* checked_malloc(std::size_t n) {
  std::size_t capacity, resident;
  if (void* kept = take_kept_block(n, 2 * n, &capacity, &resident)) {
    if (resident < n) populate(static_cast<char*>(kept) + resident, n - resident);
    return kept;
  }
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  populate(p, n);
  return p;
}

}  // namespace kernel_detail

namespace {

using namespace kernel_detail;

// Rows below which a chunk is not worth a thread of its own; chunk boundaries
// fall on multiples of ALIGN rows so no two chunks share a validity byte.
constexpr std::int64_t MIN_CHUNK_ROWS = 8192;
constexpr std::int64_t ALIGN = 64;

std::atomic<std::int64_t> offsets_limit{INT32_MAX};

// memcpy for the join's large copies. The destination is read by nobody
// before the conversion returns and is far larger than the caches: stores that
// bypass them spare the read of every destination line before it is written,
// a third of the memory traffic of a cached copy. (The C library keeps its own
// streaming copy for blocks above a threshold set from the cache size, which
// virtual machines can report as hundreds of megabytes.)
void copy_streaming(char* to, const char* from, std::size_t n) noexcept {
#if defined(__SSE2__)
  constexpr std::size_t LINE = 64;
  const std::size_t head = (LINE - reinterpret_cast<std::uintptr_t>(to) % LINE) % LINE;
  if (n < head + 4 * LINE) {
    std::memcpy(to, from, n);
    return;
  }
  std::memcpy(to, from, head);
  to += head, from += head, n -= head;
  for (; n >= LINE; to += LINE, from += LINE, n -= LINE) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(to), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 48), d);
  }
  _mm_sfence();  // the streamed lines are visible before the joining thread reads on
  std::memcpy(to, from, n);
#else
  std::memcpy(to, from, n);
#endif
}

// Copies a share of one chunk's bytes, giving the source's pages to the kernel
// as it goes with `advice` (0: none): MADV_DONTNEED for a block that is freed
// after, so that joining chunks never holds a second copy of the result (at
// most one slice is resident twice); MADV_FREE for one kept for the next
// conversion, as keeping it would, here on the copying threads.
void copy_advising(char* to, char* from, std::size_t n, int advice) {
  constexpr std::size_t SLICE = std::size_t{4} << 20;
  const auto page = static_cast<std::uintptr_t>(4096);
  for (std::size_t done = 0; done < n;) {
    const std::size_t step = std::min(SLICE, n - done);
    copy_streaming(to + done, from + done, step);
#if defined(__linux__)
    // Whole pages inside the copied part only: the block's own bookkeeping
    // lies outside [from, from + n).
    const auto first = (reinterpret_cast<std::uintptr_t>(from + done) + page - 1) & ~(page - 1);
    const auto last = reinterpret_cast<std::uintptr_t>(from + done + step) & ~(page - 1);
    if (advice && last > first) madvise(reinterpret_cast<void*>(first), last - first, advice);
#else
    (void)advice;
#endif
    done += step;
  }
}

std::uint8_t* all_valid_bitmap(std::int64_t length) {
  const auto bytes = static_cast<std::size_t>((length + 7) / 8);
  auto* bits = static_cast<std::uint8_t*>(checked_malloc(bytes));
  std::memset(bits, 0xFF, bytes);
  return bits;
}

// One chunk's bytes (or a part of them) going to their place in the joined
// block.
#if defined(__linux__) && defined(MADV_FREE)
constexpr int KEPT = MADV_FREE;
#else
constexpr int KEPT = 0;
#endif
#if defined(__linux__) && defined(MADV_DONTNEED)
constexpr int FREED = MADV_DONTNEED;
#else
constexpr int FREED = 0;
#endif

struct CopyJob {
  char* to;
  char* from;
  std::size_t n;
  int advice;  // for the source's pages as they are copied (see copy_advising)
};

// Runs `jobs` after faulting in their destinations past `faulted`, split by
// bytes into up to `threads` shares run side by side, so that a joined
// column's copy is not a serial step after its chunks' parallel conversion.
void run_copies(const std::vector<CopyJob>& jobs, const char* faulted, unsigned threads) {
  std::size_t bytes = 0;
  for (const CopyJob& j : jobs) bytes += j.n;
  const unsigned shares = pass_shares(bytes, threads);
  run_shares(shares, [&](unsigned k) noexcept {
    const std::size_t from = share_begin(bytes, shares, k), to = share_end(bytes, shares, k);
    std::size_t at = 0;
    for (const CopyJob& j : jobs) {
      const std::size_t lo = std::max(from, at), hi = std::min(to, at + j.n);
      if (lo < hi) {
        char* dst = j.to + (lo - at);
        char* src = j.from + (lo - at);
        const std::size_t n = hi - lo;
        // Pages below `faulted` are in already.
        char* fresh = std::max(dst, const_cast<char*>(faulted));
        if (fresh < dst + n) populate(fresh, static_cast<std::size_t>(dst + n - fresh));
        copy_advising(dst, src, n, j.advice);
      }
      at += j.n;
    }
  });
}

// The chunk whose block holds c's bytes.
Chunk* owner_of(Chunk* c) noexcept { return c->writes_to ? c->writes_to : c; }

// The chunks' bytes one after the other in one block. The block is the first
// that holds them all and whose chunks lie in it in row order (chunk 0 is
// given room for the whole column before the others start, so its block
// usually is; the rows its thread takes are placed after its own only in row
// order), its bytes moved up to their places inside it; else chunk 0's, grown
// by realloc. The other blocks' bytes are copied in (on up to `threads`
// threads) and the blocks freed: one the kept blocks have room for is kept
// for the next conversion, its pages left in (so the join holds at most that
// budget beyond the result, as the kept blocks do after it); any other is
// given back page by page as it is copied, so that no second copy of a large
// result is ever resident whole.
// `*written`: how much of the block from its start is written or faulted in.
char* join_data(const std::vector<Chunk*>& chunks, std::size_t total, unsigned threads,
                std::size_t* written) {
  struct Block {
    Chunk* owner;
    std::size_t next;  // where its next chunk in row order must start to keep row order
    bool in_order;
    bool keep;  // for the next conversion once copied (see copy_advising)
  };
  std::vector<Block> blocks;
  std::vector<std::size_t> block_of(chunks.size());  // index in `blocks`
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    const Chunk& c = *chunks[k];
    Chunk* owner = owner_of(chunks[k]);
    auto b = std::find_if(blocks.begin(), blocks.end(),
                          [owner](const Block& x) { return x.owner == owner; });
    if (b == blocks.end()) b = blocks.insert(blocks.end(), {owner, 0, true, false});
    b->in_order = b->in_order && c.first_byte == b->next;
    b->next = c.first_byte + c.size;
    block_of[k] = static_cast<std::size_t>(b - blocks.begin());
  }
  Chunk* host = nullptr;
  for (const Block& b : blocks) {
    if (b.in_order && b.owner->data.capacity() >= total) {
      host = b.owner;
      break;
    }
  }
  if (!host && blocks[0].in_order) host = blocks[0].owner;
  std::size_t populated = 0;
  char* data;
  if (host) {
    populated = host->data.populated();
    const std::size_t capacity = host->data.capacity();
    data = host->data.release();
    if (!data || capacity < total) {
      void* grown = std::realloc(data, total ? total : 1);
      if (!grown) {
        std::free(data);
        throw std::bad_alloc();
      }
      data = static_cast<char*>(grown);
    }
  } else {
    data = static_cast<char*>(std::malloc(total ? total : 1));
    if (!data) throw std::bad_alloc();
  }
  // Where each chunk's bytes go; the host's own move up over themselves, the
  // last first (each goes no lower than it lies, and no earlier one's place
  // reaches past a later one's bytes once those have moved), before anything
  // is copied over where they lay.
  std::vector<std::size_t> to(chunks.size());
  std::size_t host_end = 0;
  for (std::size_t k = 0, at = 0; k < chunks.size(); at += chunks[k]->size, ++k) {
    to[k] = at;
    if (owner_of(chunks[k]) == host) host_end = at + chunks[k]->size;
  }
  if (populated < host_end) populate(data + populated, host_end - populated);
  std::vector<CopyJob> moves;  // last first
  for (std::size_t k = chunks.size(); k-- > 0;) {
    const Chunk& c = *chunks[k];
    if (owner_of(chunks[k]) == host && to[k] != c.first_byte && c.size) {
      moves.push_back({data + to[k], data + c.first_byte, c.size, 0});
    }
  }
  // Usually one piece moving further than its length: then no move writes
  // where any move reads, and they are copies like the others' (on the
  // call's threads); else one after the other on this thread, overlapping as
  // they may.
  bool apart = true;
  for (const CopyJob& m : moves) {
    for (const CopyJob& n : moves) {
      apart = apart && (m.to + m.n <= n.from || n.from + n.n <= m.to);
    }
  }
  if (apart) {
    if (!moves.empty()) run_copies(moves, data + host_end, threads);
  } else {
    for (const CopyJob& m : moves) std::memmove(m.to, m.from, m.n);
  }
  std::vector<CopyJob> jobs;
  std::size_t kept = 0, kept_bytes = 0;
  for (Block& b : blocks) {
    if (b.owner == host) continue;
    const std::size_t capacity = b.owner->data.capacity();
    b.keep = would_keep(capacity, kept, kept_bytes);
    if (b.keep) ++kept, kept_bytes += capacity;
  }
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    const Block& b = blocks[block_of[k]];
    if (b.owner == host || chunks[k]->size == 0) continue;
    jobs.push_back({data + to[k], b.owner->data.data() + chunks[k]->first_byte, chunks[k]->size,
                    b.keep ? KEPT : FREED});
  }
  if (!jobs.empty()) run_copies(jobs, data + std::max(populated, host_end), threads);
  *written = std::max(populated, total);
  for (const Block& b : blocks) {
    if (b.owner == host) continue;
    ChunkData& block = b.owner->data;
    if (b.keep) {
      block.give_back(block.size());  // its bytes were advised by the copy shares
    } else {
      std::free(block.release());  // its pages are given back already
    }
  }
  return data;
}

// Where row i of chunk c ends in the chunk's bytes.
std::int64_t end_in_chunk(const Chunk& c, const SharedOutput& out, std::int64_t i) noexcept {
  return c.wide.empty() ? out.chunk_ends[i + 1] : c.wide[static_cast<std::size_t>(i - c.begin)];
}

// Rows [r, e) of chunk c as one array of 32-bit offsets over the chunk's
// block (shared, not copied), starting at byte `start` of the chunk's bytes.
std::shared_ptr<BuiltColumn> piece_of(const Chunk& c, const SharedOutput& out,
                                      const std::shared_ptr<char>& block, std::int64_t r,
                                      std::int64_t e, std::int64_t start, bool any_nulls) {
  auto piece = std::make_shared<BuiltColumn>();
  piece->kind = BuiltColumn::Kind::Variable;
  piece->length = e - r;
  auto* o = static_cast<std::int32_t*>(checked_malloc(4 * static_cast<std::size_t>(e - r + 1)));
  o[0] = 0;
  for (std::int64_t i = r; i < e; ++i) {
    o[i - r + 1] = static_cast<std::int32_t>(end_in_chunk(c, out, i) - start);
  }
  piece->offsets = o;
  if (any_nulls) {
    const auto bytes = static_cast<std::size_t>((e - r + 7) / 8);
    auto* bits = static_cast<std::uint8_t*>(checked_malloc(bytes));
    std::memset(bits, 0, bytes);
    for (std::int64_t i = r; i < e; ++i) {
      if (bit_is_set(out.validity, i)) {
        set_bit(bits, i - r);
      } else {
        ++piece->null_count;
      }
    }
    piece->validity = bits;
    if (piece->null_count == 0) {
      std::free(piece->validity);
      piece->validity = nullptr;
    }
  }
  piece->data = block.get() + c.first_byte + start;
  piece->data_block = block;
  return piece;
}

// A 32-bit column past the offsets limit: each chunk's bytes stay where they
// are and are cut into arrays of at most `limit` bytes (a value larger than
// that alone in its array), chained in BuiltColumn::more.
std::shared_ptr<BuiltColumn> split_values(const std::vector<Chunk*>& chunks, const SharedOutput& out,
                                          std::int64_t limit, bool any_nulls) {
  std::vector<std::shared_ptr<BuiltColumn>> pieces;
  // Each block once, shared by the arrays of every chunk in it.
  std::vector<std::pair<Chunk*, std::shared_ptr<char>>> blocks;
  for (Chunk* chunk : chunks) {
    Chunk& c = *chunk;
    Chunk* owner = owner_of(chunk);
    auto b = std::find_if(blocks.begin(), blocks.end(),
                          [owner](const auto& x) { return x.first == owner; });
    if (b == blocks.end()) {
      char* bytes = owner->data.release();
      if (!bytes) bytes = static_cast<char*>(checked_malloc(1));
      b = blocks.insert(blocks.end(),
                        {owner, std::shared_ptr<char>(bytes, [](char* p) { free_or_keep(p); })});
    }
    const std::shared_ptr<char>& block = b->second;
    for (std::int64_t r = c.begin; r < c.end;) {
      const std::int64_t start = r == c.begin ? 0 : end_in_chunk(c, out, r - 1);
      std::int64_t e = r;
      while (e < c.end && end_in_chunk(c, out, e) - start <= limit) ++e;
      if (e == r) {
        if (end_in_chunk(c, out, r) - start > INT32_MAX) {
          throw std::length_error("a value too large for 32-bit offsets");
        }
        e = r + 1;
      }
      pieces.push_back(piece_of(c, out, block, r, e, start, any_nulls));
      r = e;
    }
  }
  std::shared_ptr<BuiltColumn> head = std::move(pieces[0]);
  head->more.assign(pieces.begin() + 1, pieces.end());
  return head;
}

// The chunks' values as one column: 64-bit offsets when asked for, else
// 32-bit offsets while the total fits the offsets limit and several arrays
// beyond it.
std::shared_ptr<BuiltColumn> assemble_values(std::int64_t length, const std::vector<Chunk*>& chunks,
                                             SharedOutput& out, unsigned threads) {
  std::size_t total = 0;
  std::int64_t null_count = 0;
  for (const Chunk* c : chunks) {
    total += c->size;
    null_count += c->null_count;
  }
  const std::int64_t limit = offsets_limit.load(std::memory_order_relaxed);
  if (!out.chunk_ends64 && total > static_cast<std::size_t>(limit)) {
    return split_values(chunks, out, limit, null_count != 0);
  }
  auto column = std::make_shared<BuiltColumn>();
  column->kind = BuiltColumn::Kind::Variable;
  column->length = length;
  column->null_count = null_count;
  column->validity = out.validity;
  out.validity = nullptr;
  if (column->null_count == 0) {
    std::free(column->validity);
    column->validity = nullptr;
  }
  // Each chunk's offsets are relative to its first byte: shifted in place.
  std::int64_t base = 0;
  for (const Chunk* chunk : chunks) {
    const Chunk& c = *chunk;
    if (base) {
      for (std::int64_t i = c.begin; i < c.end; ++i) {
        if (out.chunk_ends64) {
          out.chunk_ends64[i + 1] += base;
        } else {
          out.chunk_ends[i + 1] += static_cast<std::int32_t>(base);
        }
      }
    }
    base += static_cast<std::int64_t>(c.size);
  }
  column->large = out.chunk_ends64 != nullptr;
  if (column->large) {
    column->offsets = out.chunk_ends64;
    out.chunk_ends64 = nullptr;
  } else {
    column->offsets = out.chunk_ends;
    out.chunk_ends = nullptr;
  }
  column->data = join_data(chunks, total, threads, &column->data_written);
  return column;
}

std::shared_ptr<BuiltColumn> assemble_srids(std::int64_t length, const std::vector<Chunk*>& chunks,
                                            SharedOutput& out) {
  auto column = std::make_shared<BuiltColumn>();
  column->kind = BuiltColumn::Kind::Int32;
  column->length = length;
  for (const Chunk* c : chunks) column->null_count += c->srid_null_count;
  column->data = out.srid_values;
  out.srid_values = nullptr;
  column->validity = out.srid_validity;
  out.srid_validity = nullptr;
  if (column->null_count == 0) {
    std::free(column->validity);
    column->validity = nullptr;
  }
  return column;
}

// Rows at the back of a running chunk below which they are not worth taking
// (a piece costs a block of its own and a copy at the join).
constexpr std::int64_t MIN_TAKEN_ROWS = 1024;

std::atomic<std::uint64_t> pieces_taken{0};

// The chunks of one conversion whose rows a thread that has run out of its
// own may still take: cores run at different speeds (a busy neighbour, a
// virtual machine's host) and rows cost different amounts, so halves fixed in
// advance leave one thread idle while the other works on. A thread done with
// its chunk takes the back half of the unclaimed rows of the chunk that has
// the most, as a piece of its own written after its bytes so far, joined in
// row order with the rest.
class OpenChunks {
 public:
  OpenChunks(std::vector<Chunk>& chunks, const SharedOutput& out) : chunks_(chunks), out_(out) {
    if (chunks.size() < 2) return;
    for (Chunk& c : chunks) {
      c.shared = true;
      c.claimed = c.begin;
      open_.push_back(&c);
    }
  }

  // Chunk c's thread has finished with it: no rows are taken from it now.
  void close(Chunk& c) {
    std::lock_guard hold(mutex_);
    open_.erase(std::remove(open_.begin(), open_.end(), &c), open_.end());
  }

  // The back half of the unclaimed rows of the open chunk that has the most,
  // as a new open chunk whose bytes go after those of `home` (the calling
  // thread's first chunk), or nullptr when none has enough (or they follow a
  // failed row, or the caller asked to stop). Chunk 0's block is where the
  // column is joined: rows go after its bytes only in row order there, else
  // to a block of their own.
  Chunk* take(Chunk& home) {
    std::lock_guard hold(mutex_);
    Chunk* most = nullptr;
    std::int64_t most_left = 0;
    for (Chunk* c : open_) {
      std::lock_guard chunk(c->lock);
      if (c->end - c->claimed > most_left) {
        most_left = c->end - c->claimed;
        most = c;
      }
    }
    if (!most) return nullptr;
    std::lock_guard chunk(most->lock);
    const std::int64_t left = most->end - most->claimed;  // it may have claimed more since
    const std::int64_t split = (most->claimed + left / 2 + ALIGN - 1) / ALIGN * ALIGN;
    if (left < 2 * MIN_TAKEN_ROWS || split >= most->end ||
        split >= out_.first_error.load(std::memory_order_relaxed)) {
      return nullptr;
    }
    Chunk& piece = taken_.emplace_back();
    piece.begin = piece.claimed = split;
    piece.end = most->end;
    piece.shared = true;
    if (&home != &chunks_[0] || split > home.last_begin) {
      piece.writes_to = &home;
      piece.first_byte = home.data.size();  // only this thread writes there
      home.last_begin = split;
    }
    most->end = split;
    open_.push_back(&piece);
    pieces_taken.fetch_add(1, std::memory_order_relaxed);
    return &piece;
  }

  // Every chunk and piece by first row, once all threads are done.
  std::vector<Chunk*> in_row_order() {
    std::vector<Chunk*> all;
    all.reserve(chunks_.size() + taken_.size());
    for (Chunk& c : chunks_) all.push_back(&c);
    for (Chunk& c : taken_) all.push_back(&c);
    std::sort(all.begin(), all.end(), [](const Chunk* a, const Chunk* b) { return a->begin < b->begin; });
    return all;
  }

 private:
  std::vector<Chunk>& chunks_;
  const SharedOutput& out_;
  std::mutex mutex_;
  std::vector<Chunk*> open_;
  std::deque<Chunk> taken_;  // never moves an element
};

struct SharedOutputOwner {
  SharedOutput& out;
  ~SharedOutputOwner() {
    free_or_keep(out.chunk_ends);
    free_or_keep(out.chunk_ends64);
    free_or_keep(out.validity);
    free_or_keep(out.srid_values);
    free_or_keep(out.srid_validity);
  }
};

// The row ends (64-bit when `large`), SRIDs and validity bitmaps the operation
// produces, for `length` rows; freed by the owner whatever happens.
void allocate_shared_output(SharedOutput& out, Operation op, std::int64_t length, bool large) {
  if (has_values(op)) {
    if (large) {
      out.chunk_ends64 = static_cast<std::int64_t*>(
          checked_malloc(8 * static_cast<std::size_t>(length + 1)));
      out.chunk_ends64[0] = 0;
    } else {
      out.chunk_ends = static_cast<std::int32_t*>(
          checked_malloc(4 * static_cast<std::size_t>(length + 1)));
      out.chunk_ends[0] = 0;
    }
    out.validity = all_valid_bitmap(length);
  }
  if (has_srids(op)) {
    out.srid_values = static_cast<std::int32_t*>(
        checked_malloc(4 * static_cast<std::size_t>(length)));
    out.srid_validity = all_valid_bitmap(length);
  }
}

}  // namespace

std::int64_t ColumnInput::length() const noexcept {
  if (gathered) return static_cast<std::int64_t>(rows.size());
  std::int64_t n = 0;
  for (const ArrayView& a : arrays) n += a.length;
  return n;
}

std::uint64_t taken_piece_count() noexcept { return pieces_taken.load(std::memory_order_relaxed); }

std::int64_t set_offsets_limit(std::int64_t bytes) noexcept {
  if (bytes < 1 || bytes > INT32_MAX) bytes = INT32_MAX;
  return offsets_limit.exchange(bytes);
}

unsigned hardware_threads() noexcept {
#if defined(__linux__)
  // The cores this process may run on (a container or taskset may allow
  // fewer than the machine has).
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

unsigned chunk_count(std::int64_t rows, unsigned threads) noexcept {
  if (threads <= 1 || rows < 2 * MIN_CHUNK_ROWS) return 1;
  return static_cast<unsigned>(std::min<std::int64_t>(threads, rows / MIN_CHUNK_ROWS));
}

KernelOutcome run_kernel(const KernelRequest& rq, const ColumnInput& input) {
  std::int64_t length = input.length();
  if (rq.limit >= 0 && rq.limit < length) length = rq.limit;

  SharedOutput out;
  SharedOutputOwner owner{out};
  allocate_shared_output(out, rq.op, length, rq.large_offsets);

  const unsigned n = chunk_count(length, rq.threads);
  std::vector<Chunk> chunks(n);
  const std::int64_t step = (length / n + ALIGN - 1) / ALIGN * ALIGN;
  for (unsigned k = 0; k < n; ++k) {
    chunks[k].begin = std::min<std::int64_t>(length, step * k);
    chunks[k].end = k + 1 == n ? length : std::min<std::int64_t>(length, step * (k + 1));
  }
  if (n > 1 && has_values(rq.op)) {
    // Chunk 0's block is the one the others are joined into: it is given
    // room for the whole column before the workers start, so that it takes
    // the largest kept block and nothing has to move out of the way at the
    // join. Only the first window is faulted in; without the room the join
    // grows it instead.
    try {
      chunks[0].data.reserve(estimated_result_size(rq.op, input_bytes(input, 0, length)));
    } catch (const std::bad_alloc&) {
    }
  }
  OpenChunks open(chunks, out);
  const ChunkFn fn = chunk_function(rq.op);
  Poller poller(rq.interrupt, out);
  {
    // Workers convert chunks 1..n-1, then rows taken from chunks still
    // running, and say when they are done; this thread does the same from
    // chunk 0, then waits in slices, running the interrupt check.
    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = 0;
    std::vector<std::thread> workers;
    workers.reserve(n);
    unsigned started = 1;
    try {
      for (; started < n; ++started) {
        {
          std::lock_guard lock(mutex);
          ++running;
        }
        try {
          workers.emplace_back([&, started] {
            Chunk& home = chunks[started];
            for (Chunk* c = &home; c; c = open.take(home)) {
              fn(rq, input, out, *c, nullptr);
              open.close(*c);
            }
            {
              std::lock_guard lock(mutex);
              --running;
            }
            finished.notify_all();
          });
        } catch (...) {
          std::lock_guard lock(mutex);
          --running;
          throw;
        }
      }
    } catch (...) {
      // No more threads (address space or thread limits): this thread
      // converts what is left.
    }
    fn(rq, input, out, chunks[0], &poller);
    open.close(chunks[0]);
    for (unsigned k = started; k < n; ++k) {
      fn(rq, input, out, chunks[k], &poller);
      open.close(chunks[k]);
    }
    while (Chunk* c = open.take(chunks[0])) {
      fn(rq, input, out, *c, &poller);
      open.close(*c);
    }
    std::unique_lock lock(mutex);
    while (running) {
      if (finished.wait_for(lock, POLL_INTERVAL, [&] { return running == 0; })) break;
      lock.unlock();
      poller.stop_requested();
      lock.lock();
    }
    lock.unlock();
    for (std::thread& t : workers) t.join();
  }
  KernelOutcome outcome;
  if (poller.interrupted()) {
    outcome.interrupted = true;
    return outcome;
  }
  const std::vector<Chunk*> ordered = open.in_row_order();
  for (Chunk* c : ordered) {
    if (c->exception) std::rethrow_exception(c->exception);
  }
  for (Chunk* c : ordered) {
    if (c->bad_text) {
      outcome.bad_text = true;
      return outcome;
    }
  }

  if (!rq.errors_to_null) {
    for (Chunk* c : ordered) {
      if (c->error) {
        outcome.error = std::move(c->error);
        return outcome;
      }
    }
  }
  if (has_values(rq.op)) outcome.values = assemble_values(length, ordered, out, n);
  if (has_srids(rq.op)) outcome.srids = assemble_srids(length, ordered, out);
  return outcome;
}

namespace {

constexpr std::int64_t BLOCK_ROWS = 16384;  // a multiple of ALIGN

RowBlock view_of(const Chunk& c, const SharedOutput& out) {
  RowBlock b;
  b.begin = c.begin;
  b.end = c.end;
  b.data = const_cast<ChunkData&>(c.data).data();
  b.ends = out.chunk_ends;
  b.wide_ends = c.wide.empty() ? nullptr : c.wide.data();
  b.validity = out.validity;
  b.srids = out.srid_values;
  b.srid_validity = out.srid_validity;
  return b;
}

// Worker threads taking blocks in order, at most WINDOW blocks ahead of the
// consumer so that unconsumed results stay bounded.
class BlockWorkers {
 public:
  BlockWorkers(std::vector<Chunk>& blocks, std::size_t window) : blocks_(blocks), window_(window) {
    done_.assign(blocks.size(), 0);
  }
  ~BlockWorkers() { stop(); }

  // Starts up to `count` threads; returns how many started (0: the caller
  // converts every block itself).
  unsigned start(unsigned count, ChunkFn fn, const KernelRequest& rq, const ColumnInput& input,
                 SharedOutput& out) {
    try {
      threads_.reserve(count);
      for (unsigned t = 0; t < count; ++t) {
        threads_.emplace_back([this, fn, &rq, &input, &out] { work(fn, rq, input, out); });
      }
    } catch (...) {
      // No more threads (address space or thread limits): the ones started
      // are enough.
    }
    return static_cast<unsigned>(threads_.size());
  }
  // Waits for block k in slices, running the interrupt check between them;
  // false when the caller asked to stop.
  bool wait_for(std::size_t k, Poller& poller) {
    std::unique_lock lock(mutex_);
    while (!changed_.wait_for(lock, POLL_INTERVAL, [&] { return done_[k] != 0; })) {
      lock.unlock();
      const bool stop = poller.stop_requested();
      lock.lock();
      if (stop) return false;
    }
    return true;
  }
  void consumed(std::size_t k) {
    {
      std::lock_guard lock(mutex_);
      consumed_ = k + 1;
    }
    changed_.notify_all();
  }
  void stop() noexcept {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void work(ChunkFn fn, const KernelRequest& rq, const ColumnInput& input, SharedOutput& out) {
    for (;;) {
      std::size_t k;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
          return stop_ || next_ >= blocks_.size() || next_ < consumed_ + window_;
        });
        if (stop_ || next_ >= blocks_.size()) return;
        k = next_++;
      }
      fn(rq, input, out, blocks_[k], nullptr);  // never throws: failures are kept in the chunk
      {
        std::lock_guard lock(mutex_);
        done_[k] = 1;
      }
      changed_.notify_all();
    }
  }

  std::vector<Chunk>& blocks_;
  std::size_t window_;
  std::vector<char> done_;
  std::size_t next_ = 0, consumed_ = 0;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
};

}  // namespace

std::optional<RowError> run_kernel_in_blocks(const KernelRequest& rq, const ColumnInput& input,
                                             WaitHooks hooks, BlockConsumer consume,
                                             void* consume_context, bool* stopped) {
  *stopped = false;
  std::int64_t length = input.length();
  if (rq.limit >= 0 && rq.limit < length) length = rq.limit;
  SharedOutput out;
  SharedOutputOwner owner{out};
  allocate_shared_output(out, rq.op, length, false);
  const auto n = static_cast<std::size_t>((length + BLOCK_ROWS - 1) / BLOCK_ROWS);
  std::vector<Chunk> blocks(n);
  for (std::size_t k = 0; k < n; ++k) {
    blocks[k].begin = static_cast<std::int64_t>(k) * BLOCK_ROWS;
    blocks[k].end = std::min<std::int64_t>(length, blocks[k].begin + BLOCK_ROWS);
  }
  const ChunkFn fn = chunk_function(rq.op);
  // Workers convert while this thread consumes; one thread converts and
  // consumes in turn. Never more workers than blocks.
  unsigned worker_count =
      rq.threads > 1 && n > 1
          ? static_cast<unsigned>(std::min<std::size_t>(rq.threads - 1, n))
          : 0;
  BlockWorkers workers(blocks, 2 * static_cast<std::size_t>(worker_count) + 2);
  if (worker_count) worker_count = workers.start(worker_count, fn, rq, input, out);
  Poller poller(rq.interrupt, out);
  for (std::size_t k = 0; k < n; ++k) {
    Chunk& block = blocks[k];
    hooks.release(hooks.context);
    if (worker_count) {
      workers.wait_for(k, poller);
    } else {
      fn(rq, input, out, block, &poller);
    }
    hooks.reacquire(hooks.context);
    if (poller.interrupted()) {
      *stopped = true;
      return std::nullopt;
    }
    if (block.exception) std::rethrow_exception(block.exception);
    if (block.error && !rq.errors_to_null) return std::move(block.error);
    if (!consume(view_of(block, out), consume_context)) {
      *stopped = true;
      return std::nullopt;
    }
    block.data.give_back();
    if (worker_count) workers.consumed(k);
  }
  return std::nullopt;
}

}  // namespace geoweave::columns
