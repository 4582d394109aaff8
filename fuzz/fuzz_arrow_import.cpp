// The Arrow import path of the column kernels: hand-built ArrowArray structs
// whose buffers hold exactly what the struct can honestly promise (an offsets
// buffer of offset + length + 1 entries, a data buffer as long as the last
// offset, variadic buffers as long as their declared sizes) while every value
// inside them is hostile: offsets out of order or negative, views pointing
// anywhere, null pointers, bad bitmaps, invalid UTF-8. Whatever validation
// accepts is then converted by every operation.
//
// Two lies on top: an offset or length so large that no buffer could hold its
// byte position (it must be refused, never wrapped around), and offsets or
// views (with the variadic buffers' sizes) rewritten after validation, as
// another thread writing the buffer they live in could (each row's bounds are
// read once and kept inside what was validated, so nothing outside the data
// is read).
//
// Invariants: no read outside a buffer (ASan); an accepted array converts to
// a column of the same length whose offsets are in order and within its data;
// wkb_to_wkt rows equal the core's own conversion of the same bytes.
#include <cstdint>
#include <memory>
#include <vector>

#include "columns/arrow_import.h"
#include "columns/kernel.h"
#include "fuzz_common.h"
#include "ops/convert.h"

using namespace geoweave;
using namespace geoweave::columns;
using namespace geoweave::fuzz;

namespace {

struct Reader {
  const std::uint8_t* p;
  std::size_t n;
  std::uint8_t byte() noexcept {
    if (!n) return 0;
    --n;
    return *p++;
  }
};

// A heap block of exactly `size` bytes (nullptr for a null buffer), so ASan
// sees any read past its end.
std::unique_ptr<std::uint8_t[]> block(std::size_t size, Reader& in) {
  auto b = std::make_unique<std::uint8_t[]>(size ? size : 1);
  for (std::size_t i = 0; i < size; ++i) b[i] = in.byte();
  return b;
}

void check_column(const BuiltColumn& c, std::int64_t length) {
  FUZZ_CHECK(c.length == length);
  if (c.kind != BuiltColumn::Kind::Variable) return;
  std::int64_t previous = 0;
  for (std::int64_t i = 0; i <= length; ++i) {
    const std::int64_t o = c.large ? static_cast<const std::int64_t*>(c.offsets)[i]
                                   : static_cast<const std::int32_t*>(c.offsets)[i];
    FUZZ_CHECK(o >= previous);
    previous = o;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  const auto layout = static_cast<Layout>(in.byte() % 6);
  const std::uint8_t flags = in.byte();
  const std::int64_t length = in.byte() % 40 - (flags & 0x40 ? 1 : 0);  // -1 sometimes
  const std::int64_t offset = in.byte() % 8;
  const std::int64_t rows = length < 0 ? 0 : offset + length;
  std::vector<std::unique_ptr<std::uint8_t[]>> keep;
  std::vector<const void*> buffers;
  // What a rewrite after validation scribbles over: the offsets (binary and
  // string layouts), or the views and the variadic buffers' sizes.
  std::uint8_t* offsets_buffer = nullptr;
  std::size_t offsets_bytes = 0;
  std::uint8_t* sizes_buffer = nullptr;
  std::size_t sizes_bytes = 0;

  // Validity: absent, or a bitmap of exactly the rows' bits.
  if (flags & 1) {
    keep.push_back(block(static_cast<std::size_t>((rows + 7) / 8), in));
    buffers.push_back(keep.back().get());
  } else {
    buffers.push_back(nullptr);
  }
  const std::int64_t null_count = (flags & 2) ? -1 : (flags & 4) ? in.byte() % 4 : 0;

  const bool view_layout = layout == Layout::BinaryView || layout == Layout::StringView;
  if (!view_layout) {
    const bool large = layout == Layout::LargeBinary || layout == Layout::LargeString;
    // Offsets as running sums of signed deltas: mostly in order, sometimes not.
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(rows + 1));
    std::int64_t at = static_cast<std::int8_t>(in.byte()) % 3;
    for (auto& o : offsets) {
      o = at;
      at += static_cast<std::int8_t>(in.byte()) % 24;
    }
    const std::size_t width = large ? 8 : 4;
    auto raw = std::make_unique<std::uint8_t[]>(offsets.size() * width);
    for (std::size_t i = 0; i < offsets.size(); ++i) {
      if (large) {
        std::memcpy(raw.get() + 8 * i, &offsets[i], 8);
      } else {
        const auto v = static_cast<std::int32_t>(offsets[i]);
        std::memcpy(raw.get() + 4 * i, &v, 4);
      }
    }
    keep.push_back(std::move(raw));
    buffers.push_back(flags & 8 ? nullptr : keep.back().get());
    offsets_buffer = keep.back().get();
    offsets_bytes = offsets.size() * width;
    const std::int64_t last = offsets.back();
    keep.push_back(block(static_cast<std::size_t>(last > 0 ? last : 0), in));
    buffers.push_back(flags & 16 ? nullptr : keep.back().get());
  } else {
    const std::size_t n_variadic = in.byte() % 3;
    std::vector<std::int64_t> sizes(n_variadic);
    for (auto& s : sizes) s = in.byte() % 48;
    auto views = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(16 * rows) + 1);
    for (std::int64_t r = 0; r < rows; ++r) {
      std::uint8_t* v = views.get() + 16 * r;
      const std::int32_t len = static_cast<std::int8_t>(in.byte()) % 40;
      std::memcpy(v, &len, 4);
      for (int k = 4; k < 16; ++k) v[k] = in.byte();
      if (len > 12) {
        const std::int32_t index = static_cast<std::int8_t>(in.byte()) % 4;
        const std::int32_t start = static_cast<std::int8_t>(in.byte()) % 48;
        std::memcpy(v + 8, &index, 4);
        std::memcpy(v + 12, &start, 4);
      }
    }
    keep.push_back(std::move(views));
    buffers.push_back(keep.back().get());
    offsets_buffer = keep.back().get();
    offsets_bytes = static_cast<std::size_t>(16 * rows);
    for (std::size_t k = 0; k < n_variadic; ++k) {
      keep.push_back(block(static_cast<std::size_t>(sizes[k]), in));
      buffers.push_back(keep.back().get());
    }
    auto size_buffer = std::make_unique<std::uint8_t[]>(8 * n_variadic + 1);
    if (n_variadic) std::memcpy(size_buffer.get(), sizes.data(), 8 * n_variadic);
    keep.push_back(std::move(size_buffer));
    buffers.push_back(flags & 8 ? nullptr : keep.back().get());
    sizes_buffer = keep.back().get();
    sizes_bytes = 8 * n_variadic;
  }

  auto release = [](ArrowArray* a) { a->release = nullptr; };
  ArrowArray array{length, null_count, offset, static_cast<std::int64_t>(buffers.size()),
                   (flags & 32) ? 1 : 0, buffers.data(), nullptr, nullptr, release, nullptr};
  ArrayView view;
  const std::uint8_t lie = in.byte();
  if (lie & 1) {
    // Positions past PTRDIFF_MAX bytes whatever the element width (4, 8 or 16).
    static constexpr std::int64_t HUGE_VALUES[] = {std::int64_t{1} << 62, std::int64_t{3} << 61,
                                                   INT64_MAX - 5, (std::int64_t{1} << 62) + 12345};
    std::int64_t& target = (lie & 2) ? array.offset : array.length;
    target = HUGE_VALUES[(lie >> 2) & 3];
    // Refused, unless nothing at all would be read: no rows and no buffer
    // the offset applies to.
    const bool reads_nothing = array.length == 0 && !buffers[1];
    if (length >= 0 && !reads_nothing) FUZZ_CHECK(!validate_array(array, layout, &view).empty());
    return 0;
  }
  // Text left unchecked (as the column functions leave it) is checked by the
  // kernel a block of rows at a time: any split into blocks finds what the
  // whole check finds.
  const bool defer_text = lie & 64;
  if (!validate_array(array, layout, &view, 1, defer_text).empty()) return 0;
  bool text_valid = true;
  if (view.text_unchecked) {
    text_valid = check_text(view).empty();
    FUZZ_CHECK(text_rows_valid(view, 0, view.length) == text_valid);
    const std::int64_t step = 1 + (lie >> 3) % 5;
    bool blocks_valid = true;
    for (std::int64_t b = 0; b < view.length; b += step) {
      blocks_valid &= text_rows_valid(view, b, std::min(view.length, b + step));
    }
    FUZZ_CHECK(blocks_valid == text_valid);
  }
  if ((lie & 2) && offsets_buffer) {
    for (std::size_t i = 0; i < offsets_bytes; ++i) offsets_buffer[i] = in.byte();
    for (std::size_t i = 0; i < sizes_bytes; ++i) sizes_buffer[i] = in.byte();
  }

  ColumnInput input;
  input.arrays.push_back(view);
  input.text = is_text_layout(layout);
  KernelRequest request;
  request.errors_to_null = flags & 128;
  for (unsigned op = 0; op <= static_cast<unsigned>(Operation::ToEwkbHeader); ++op) {
    request.op = static_cast<Operation>(op);
    request.option = op % 2 ? SridOption::set(4326) : SridOption::mirror();
    if (request.op == Operation::ToEwkbHeader) request.option = SridOption::set(3857);
    KernelOutcome out = run_kernel(request, input);
    // Offsets rewritten after validation may show other bytes: no verdict.
    if (!(lie & 2)) FUZZ_CHECK(!out.bad_text || !text_valid);
    if (!(lie & 2) && !text_valid) FUZZ_CHECK(out.bad_text || out.error);
    if (out.bad_text) continue;
    if (out.error) {
      FUZZ_CHECK(!request.errors_to_null);
      FUZZ_CHECK(out.error->row >= 0 && out.error->row < length);
      continue;
    }
    if (out.values) check_column(*out.values, length);
    if (out.srids) check_column(*out.srids, length);
    // The block pipeline (numpy and list results) hands over the same rows.
    if (out.values) {
      struct Compare {
        const BuiltColumn* whole;
        static bool consume(const RowBlock& b, void* context) {
          const BuiltColumn& c = *static_cast<Compare*>(context)->whole;
          for (std::int64_t i = b.begin; i < b.end; ++i) {
            FUZZ_CHECK(b.is_valid(i) == c.is_valid(i));
            if (b.is_valid(i)) FUZZ_CHECK(b.value(i) == c.value(i));
          }
          return true;
        }
      } compare{out.values.get()};
      auto no_op = [](void*) {};
      bool stopped = false;
      auto error = run_kernel_in_blocks(request, input, {no_op, no_op, nullptr},
                                        Compare::consume, &compare, &stopped);
      FUZZ_CHECK(!error && !stopped);
    }
    if (request.op == Operation::WkbToWkt && !input.text) {
      for (std::int64_t i = 0; i < length; ++i) {
        if (!view.is_valid(i)) {
          FUZZ_CHECK(!out.values->is_valid(i));
          continue;
        }
        auto direct = convert_wkb_to_wkt(view.value(i), request.option);
        FUZZ_CHECK(direct.has_value() == out.values->is_valid(i));
        if (direct) FUZZ_CHECK(direct->view() == out.values->value(i));
      }
    }
  }
  return 0;
}
