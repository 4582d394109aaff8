#include "columns/builder.h"

#include "columns/arrow_import.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#define GEOWEAVE_KEEP_BLOCKS 1
#endif

namespace geoweave::columns {
namespace {

#if GEOWEAVE_KEEP_BLOCKS
// Blocks below this are the allocator's business (its heap reuses them).
constexpr std::size_t KEPT_MIN = std::size_t{1} << 20;
constexpr std::size_t KEPT_TOTAL = std::size_t{1} << 30;
constexpr std::size_t KEPT_COUNT = 16;

struct KeptBlock {
  void* block;
  std::size_t size;
  std::size_t resident;  // bytes from the start written before it was kept
};

struct KeptBlocks {
  std::mutex mutex;
  std::vector<KeptBlock> blocks;  // at most KEPT_COUNT
  std::size_t total = 0;
};

KeptBlocks& kept() {
  static auto* k = new KeptBlocks;  // never destroyed: columns may outlive static destructors
  return *k;
}
#endif

struct ArrayPrivate {
  std::shared_ptr<const BuiltColumn> column;
  const void* buffers[3];
};

void release_array(ArrowArray* array) {
  if (!array->release) return;
  delete static_cast<ArrayPrivate*>(array->private_data);
  array->private_data = nullptr;
  array->release = nullptr;
}

struct SchemaPrivate {
  std::string format;
  std::string metadata;
};

void release_schema(ArrowSchema* schema) {
  if (!schema->release) return;
  delete static_cast<SchemaPrivate*>(schema->private_data);
  schema->private_data = nullptr;
  schema->release = nullptr;
}

void append_i32(std::string& s, std::size_t v) {
  const auto n = static_cast<std::int32_t>(v);
  char b[4];
  std::memcpy(b, &n, 4);
  s.append(b, 4);
}

struct StreamPrivate {
  std::shared_ptr<const BuiltColumn> column;
  std::string format, extension_name, extension_metadata;
  std::optional<std::vector<std::int64_t>> cuts;
  std::size_t next = 0;  // the array handed out next: 0 is the column itself
  std::size_t cut = 0;   // with cuts: the one handed out next,
  std::int64_t cut_done = 0;  // its rows already handed out,
  std::int64_t row = 0;       // and where it goes on in array `next`
  std::string last_error;
};

// Hands out the next piece of the column cut at p.cuts: the rest of the
// current cut or of the current array, whichever ends first.
void next_cut_piece(StreamPrivate& p, ArrowArray* out) {
  const std::size_t count = 1 + p.column->more.size();
  for (;;) {
    if (p.cut >= p.cuts->size() || p.next >= count) {
      std::memset(out, 0, sizeof *out);  // release == nullptr: the end
      return;
    }
    const auto& array = p.next == 0 ? p.column : p.column->more[p.next - 1];
    const std::int64_t want = (*p.cuts)[p.cut] - p.cut_done;
    if (want > 0 && p.row == array->length && p.next + 1 < count) {
      ++p.next;  // this array is used up: the cut goes on in the next one
      p.row = 0;
      continue;
    }
    const std::int64_t n = std::min(want, array->length - p.row);
    export_array(array, out);
    if (n != array->length) {
      out->offset = p.row;
      out->length = n;
      out->null_count = array->null_count == 0 ? 0 : -1;  // counted by whoever needs it
    }
    p.row += n;
    p.cut_done += n;
    if (p.cut_done == (*p.cuts)[p.cut] || n == 0) {
      ++p.cut;
      p.cut_done = 0;
    }
    return;
  }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  try {
    export_schema(p->format.c_str(), p->extension_name, p->extension_metadata, out);
  } catch (const std::bad_alloc&) {
    p->last_error = "out of memory";
    return ENOMEM;
  }
  return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  if (p->cuts) {
    try {
      next_cut_piece(*p, out);
    } catch (const std::bad_alloc&) {
      p->last_error = "out of memory";
      return ENOMEM;
    }
    return 0;
  }
  const std::size_t count = 1 + p->column->more.size();
  if (p->next >= count) {
    std::memset(out, 0, sizeof *out);  // release == nullptr: the end
    return 0;
  }
  try {
    export_array(p->next == 0 ? p->column : p->column->more[p->next - 1], out);
  } catch (const std::bad_alloc&) {
    p->last_error = "out of memory";
    return ENOMEM;
  }
  ++p->next;
  return 0;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  return p->last_error.empty() ? nullptr : p->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  if (!stream->release) return;
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

}  // namespace

void* take_kept_block(std::size_t at_least, std::size_t at_most, std::size_t* capacity,
                      std::size_t* resident) noexcept {
#if GEOWEAVE_KEEP_BLOCKS
  if (at_least < KEPT_MIN) return nullptr;
  KeptBlocks& k = kept();
  std::lock_guard lock(k.mutex);
  // Pages a block lacks of the first `at_least` bytes are faulted in again:
  // a block a conversion half filled loses to one of the same size filled
  // whole (the result block of the one before) for a taker that fills it.
  const auto in = [at_least](const KeptBlock& b) { return std::min(b.resident, at_least); };
  std::size_t best = k.blocks.size();
  for (std::size_t i = 0; i < k.blocks.size(); ++i) {
    const KeptBlock& b = k.blocks[i];
    if (b.size < at_least || b.size > at_most) continue;
    if (best == k.blocks.size() || in(b) > in(k.blocks[best]) ||
        (in(b) == in(k.blocks[best]) && b.size < k.blocks[best].size)) {
      best = i;
    }
  }
  if (best == k.blocks.size()) return nullptr;
  const KeptBlock b = k.blocks[best];
  k.blocks[best] = k.blocks.back();
  k.blocks.pop_back();
  k.total -= b.size;
  *capacity = b.size;
  if (resident) *resident = b.resident;
  return b.block;
#else
  (void)at_least;
  (void)at_most;
  (void)capacity;
  (void)resident;
  return nullptr;
#endif
}

void free_or_keep(void* block, std::size_t advised, std::size_t written) noexcept {
#if GEOWEAVE_KEEP_BLOCKS
  if (!block) return;
  const std::size_t size = malloc_usable_size(block);
  if (size >= KEPT_MIN) {
    // The kernel may take the pages back under pressure (they then read as
    // zeros, and a taker writes before it reads); until then they cost
    // nothing to reuse.
    constexpr std::uintptr_t PAGE = 4096;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    // Whole pages only: the allocator's bookkeeping lies just before the block.
    const auto first = std::max((start + PAGE - 1) & ~(PAGE - 1),
                                (start + std::min(advised, size)) & ~(PAGE - 1));
    const auto last = (start + size) & ~(PAGE - 1);
#if defined(MADV_FREE)
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_FREE);
#endif
    KeptBlocks& k = kept();
    std::lock_guard lock(k.mutex);
    if (k.blocks.size() < KEPT_COUNT && k.total + size <= KEPT_TOTAL) {
      k.blocks.push_back({block, size, std::min(written, size)});
      k.total += size;
      return;
    }
  }
#endif
  std::free(block);
}

bool would_keep(std::size_t bytes, std::size_t promised, std::size_t promised_bytes) noexcept {
#if GEOWEAVE_KEEP_BLOCKS
  if (bytes < KEPT_MIN) return false;
  KeptBlocks& k = kept();
  std::lock_guard lock(k.mutex);
  return k.blocks.size() + promised < KEPT_COUNT &&
         k.total + promised_bytes + bytes <= KEPT_TOTAL;
#else
  (void)bytes;
  (void)promised;
  (void)promised_bytes;
  return false;
#endif
}

const char* format_of(const BuiltColumn& column, bool text) noexcept {
  if (column.kind == BuiltColumn::Kind::Int32) return "i";
  if (text) return column.large ? "U" : "u";
  return column.large ? "Z" : "z";
}

void export_array(std::shared_ptr<const BuiltColumn> column, ArrowArray* out) {
  auto* p = new ArrayPrivate{std::move(column), {}};
  const BuiltColumn& c = *p->column;
  p->buffers[0] = c.validity;
  std::int64_t n_buffers;
  if (c.kind == BuiltColumn::Kind::Int32) {
    p->buffers[1] = c.data;
    n_buffers = 2;
  } else {
    p->buffers[1] = c.offsets;
    p->buffers[2] = c.data;
    n_buffers = 3;
  }
  out->length = c.length;
  out->null_count = c.null_count;
  out->offset = 0;
  out->n_buffers = n_buffers;
  out->n_children = 0;
  out->buffers = p->buffers;
  out->children = nullptr;
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = p;
}

void export_schema(const char* format, std::string_view extension_name,
                   std::string_view extension_metadata, ArrowSchema* out) {
  auto* p = new SchemaPrivate{format, {}};
  if (!extension_name.empty()) {
    // int32 count, then int32-prefixed keys and values.
    append_i32(p->metadata, 2);
    append_i32(p->metadata, EXTENSION_NAME_KEY.size());
    p->metadata += EXTENSION_NAME_KEY;
    append_i32(p->metadata, extension_name.size());
    p->metadata += extension_name;
    append_i32(p->metadata, EXTENSION_METADATA_KEY.size());
    p->metadata += EXTENSION_METADATA_KEY;
    append_i32(p->metadata, extension_metadata.size());
    p->metadata += extension_metadata;
  }
  out->format = p->format.c_str();
  out->name = "";
  out->metadata = p->metadata.empty() ? nullptr : p->metadata.data();
  out->flags = ARROW_FLAG_NULLABLE;
  out->n_children = 0;
  out->children = nullptr;
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = p;
}

void export_stream(std::shared_ptr<const BuiltColumn> column, std::string format,
                   std::string extension_name, std::string extension_metadata,
                   std::optional<std::vector<std::int64_t>> cuts, ArrowArrayStream* out) {
  auto* p = new StreamPrivate{};
  p->column = std::move(column);
  p->format = std::move(format);
  p->extension_name = std::move(extension_name);
  p->extension_metadata = std::move(extension_metadata);
  p->cuts = std::move(cuts);
  out->private_data = p;
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
}

}  // namespace geoweave::columns
