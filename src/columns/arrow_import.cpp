#include "columns/arrow_import.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "columns/parallel.h"
#include "core/simd.h"

namespace geoweave::columns {
namespace {

constexpr std::int64_t MAX_METADATA_ENTRIES = 1 << 16;
constexpr std::int32_t MAX_METADATA_STRING = 1 << 26;

std::int32_t read_i32(const char*& p) noexcept {
  std::int32_t v;
  std::memcpy(&v, p, 4);
  p += 4;
  return v;
}

std::string describe(std::string_view what, std::int64_t value) {
  return std::string(what) + " " + std::to_string(value);
}

// Offsets of rows [offset, offset + length] must start at or above zero and
// never decrease; the data pointer must exist when they span any bytes.
// True when no byte has its high bit set; 64 bytes a step (four 16-byte
// loads or-ed together in SSE2, eight words otherwise), checked every 4 KiB
// so that the inner loop has no early exit.
bool is_ascii(const std::uint8_t* s, std::size_t n) noexcept {
  std::size_t i = 0;
  while (n - i >= 64) {
    const std::size_t stop = i + std::min<std::size_t>((n - i) & ~std::size_t{63}, 4096);
#if GEOWEAVE_USE_SSE2
    __m128i any = _mm_setzero_si128();
    for (; i < stop; i += 64) {
      const auto* v = reinterpret_cast<const __m128i*>(s + i);
      any = _mm_or_si128(any, _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                           _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3))));
    }
    if (_mm_movemask_epi8(any) != 0) return false;
#else
    std::uint64_t any = 0;
    for (; i < stop; i += 64) {
      std::uint64_t w[8];
      std::memcpy(w, s + i, 64);
      any |= (w[0] | w[1]) | (w[2] | w[3]) | (w[4] | w[5]) | (w[6] | w[7]);
    }
    if (any & 0x8080808080808080ull) return false;
#endif
  }
  for (; i < n; ++i) {
    if (s[i] & 0x80) return false;
  }
  return true;
}

// is_ascii in shares on up to `threads` threads: a large text column's scan
// would otherwise be a serial step before its parallel conversion.
bool is_ascii_shared(const std::uint8_t* s, std::size_t n, unsigned threads) {
  const unsigned shares = pass_shares(n, threads);
  if (shares == 1) return is_ascii(s, n);
  std::vector<unsigned char> ascii(shares, 0);
  run_shares(shares, [&](unsigned k) noexcept {
    const std::size_t begin = share_begin(n, shares, k);
    ascii[k] = is_ascii(s + begin, share_end(n, shares, k) - begin);
  });
  return std::all_of(ascii.begin(), ascii.end(), [](unsigned char a) { return a != 0; });
}

// True when `count` elements of `width` bytes from `base` have addresses:
// their byte size fits a ptrdiff_t and the address does not wrap.
bool fits(const void* base, std::int64_t count, std::int64_t width) noexcept {
  if (count < 0 || count > std::numeric_limits<std::ptrdiff_t>::max() / width) return false;
  const auto bytes = static_cast<std::uintptr_t>(count) * static_cast<std::uintptr_t>(width);
  return reinterpret_cast<std::uintptr_t>(base) <= std::numeric_limits<std::uintptr_t>::max() - bytes;
}

template <class Offset>
std::string check_offsets(ArrayView& v, const Offset* offsets, bool text, unsigned threads,
                          bool defer_text) {
  const std::int64_t offset = v.offset, length = v.length;
  const std::uint8_t* data = v.data;
  if (!offsets) return length == 0 ? std::string() : "offsets buffer is null";
  if (!fits(offsets, offset + length + 1, sizeof(Offset))) {
    return "offset " + std::to_string(offset) + " and length " + std::to_string(length) +
           " lie beyond any address";
  }
  Offset previous = offsets[offset];
  if (previous < 0) return describe("first offset is negative:", previous);
  for (std::int64_t i = offset + 1; i <= offset + length; ++i) {
    const Offset next = offsets[i];
    if (next < previous) {
      return "offsets are out of order at row " + std::to_string(i - offset - 1);
    }
    previous = next;
  }
  const Offset first = offsets[offset];
  if (previous > first && !data) return "data buffer is null";
  if (previous > first && !fits(data, previous, 1)) return "data lies beyond any address";
  v.first_offset = first;
  v.last_offset = previous;
  if (text && previous > first) {
    if (!defer_text) return check_text(v, threads);
    v.text_unchecked = true;
  }
  return {};
}

std::string check_views(ArrayView& v, std::int64_t n_buffers, const void* const* buffers,
                        bool text) {
  if (!v.views) return v.length == 0 ? std::string() : "views buffer is null";
  if (!fits(v.views, v.offset + v.length, 16)) {
    return "offset " + std::to_string(v.offset) + " and length " + std::to_string(v.length) +
           " lie beyond any address";
  }
  if (n_buffers > 2) {
    const std::int64_t n_variadic = n_buffers - 3;
    v.variadic = buffers + 2;
    const auto* sizes = static_cast<const std::int64_t*>(buffers[n_buffers - 1]);
    if (n_variadic > 0 && !sizes) return "variadic buffer sizes are null";
    v.variadic_sizes.assign(sizes, sizes + n_variadic);
  }
  const std::int64_t n_variadic = static_cast<std::int64_t>(v.variadic_sizes.size());
  const std::int64_t* sizes = v.variadic_sizes.data();
  for (std::int64_t i = 0; i < v.length; ++i) {
    if (!v.is_valid(i)) continue;
    const std::uint8_t* view = v.views + 16 * (v.offset + i);
    std::int32_t size;
    std::memcpy(&size, view, 4);
    if (size < 0) return "row " + std::to_string(i) + " has a negative length";
    if (size > 12) {
      std::int32_t index, start;
      std::memcpy(&index, view + 8, 4);
      std::memcpy(&start, view + 12, 4);
      if (index < 0 || index >= n_variadic) {
        return "row " + std::to_string(i) + " refers to a missing data buffer";
      }
      if (!v.variadic[index]) return "data buffer " + std::to_string(index) + " is null";
      if (start < 0 || static_cast<std::int64_t>(start) + size > sizes[index]) {
        return "row " + std::to_string(i) + " lies outside its data buffer";
      }
    }
    if (text) {
      const ByteSpan b = v.view_value(v.offset + i);
      if (!is_valid_utf8(b.data, b.size)) {
        return "row " + std::to_string(i) + " is not valid UTF-8";
      }
    }
  }
  return {};
}

}  // namespace

std::string_view layout_name(Layout l) noexcept {
  switch (l) {
    case Layout::Binary: return "binary";
    case Layout::LargeBinary: return "large_binary";
    case Layout::BinaryView: return "binary_view";
    case Layout::String: return "string";
    case Layout::LargeString: return "large_string";
    case Layout::StringView: return "string_view";
  }
  return "?";
}

namespace {

constexpr int MAX_TYPE_NAME_DEPTH = 4;

std::string type_name(const ArrowSchema* schema, int depth) {
  if (!schema || !schema->format) return "?";
  const std::string_view f = schema->format;
  if (schema->dictionary && depth < MAX_TYPE_NAME_DEPTH) {
    ArrowSchema indices = *schema;
    indices.dictionary = nullptr;
    return "dictionary<values=" + type_name(schema->dictionary, depth + 1) +
           ", indices=" + type_name(&indices, depth + 1) + ">";
  }
  if (auto layout = layout_of_format(f)) return std::string(layout_name(*layout));
  static constexpr std::pair<std::string_view, std::string_view> SIMPLE[] = {
      {"n", "null"},       {"b", "bool"},         {"c", "int8"},        {"C", "uint8"},
      {"s", "int16"},      {"S", "uint16"},       {"i", "int32"},       {"I", "uint32"},
      {"l", "int64"},      {"L", "uint64"},       {"e", "halffloat"},   {"f", "float"},
      {"g", "double"},     {"tdD", "date32[day]"}, {"tdm", "date64[ms]"}, {"tts", "time32[s]"},
      {"ttm", "time32[ms]"}, {"ttu", "time64[us]"}, {"ttn", "time64[ns]"},
      {"tDs", "duration[s]"}, {"tDm", "duration[ms]"}, {"tDu", "duration[us]"},
      {"tDn", "duration[ns]"}, {"tiM", "month_interval"}, {"tiD", "day_time_interval"},
      {"tin", "month_day_nano_interval"}};
  for (const auto& [code, name] : SIMPLE) {
    if (f == code) return std::string(name);
  }
  const bool one_child = schema->n_children == 1 && schema->children && schema->children[0];
  const auto item = [&] {
    return depth < MAX_TYPE_NAME_DEPTH && one_child ? type_name(schema->children[0], depth + 1)
                                                    : std::string("?");
  };
  if (f == "+l") return "list<item: " + item() + ">";
  if (f == "+L") return "large_list<item: " + item() + ">";
  if (f == "+vl") return "list_view<item: " + item() + ">";
  if (f == "+vL") return "large_list_view<item: " + item() + ">";
  if (f.starts_with("+w:")) {
    return "fixed_size_list<item: " + item() + ">[" + std::string(f.substr(3)) + "]";
  }
  if (f == "+s") {
    const std::int64_t n = schema->n_children;
    return "struct with " + std::to_string(n) + (n == 1 ? " field" : " fields");
  }
  if (f == "+m") return "map";
  if (f.starts_with("+u")) return "union";
  if (f == "+r") return "run_end_encoded";
  if (f.starts_with("w:")) return "fixed_size_binary[" + std::string(f.substr(2)) + "]";
  if (f.starts_with("d:")) {  // d:P,S or d:P,S,BITS
    std::string_view rest = f.substr(2);
    const std::size_t comma = rest.find(',');
    const std::size_t bits_at = comma == std::string_view::npos ? comma : rest.find(',', comma + 1);
    const std::string_view bits =
        bits_at == std::string_view::npos ? std::string_view("128") : rest.substr(bits_at + 1);
    const std::string_view scale =
        comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1, bits_at - comma - 1);
    return "decimal" + std::string(bits) + "(" + std::string(rest.substr(0, comma)) + ", " +
           std::string(scale) + ")";
  }
  if (f.size() >= 4 && f.starts_with("ts") && f[3] == ':') {  // tsu:TZ
    const char unit = f[2];
    std::string name = std::string("timestamp[") + (unit == 's' ? "s" : unit == 'm' ? "ms" : unit == 'u' ? "us" : "ns");
    if (f.size() > 4) name += ", tz=" + std::string(f.substr(4));
    return name + "]";
  }
  return "the Arrow type of format '" + std::string(f) + "'";
}

}  // namespace

std::string arrow_type_name(const ArrowSchema& schema) { return type_name(&schema, 0); }

std::optional<Layout> layout_of_format(std::string_view f) noexcept {
  if (f == "z") return Layout::Binary;
  if (f == "Z") return Layout::LargeBinary;
  if (f == "vz") return Layout::BinaryView;
  if (f == "u") return Layout::String;
  if (f == "U") return Layout::LargeString;
  if (f == "vu") return Layout::StringView;
  return std::nullopt;
}

std::string read_schema(const ArrowSchema& top, SchemaInfo* out, bool* supported) {
  *supported = false;
  if (!top.release) return "the schema has been released";
  if (!top.format) return "the schema has no format";
  const ArrowSchema* field = &top;
  if (std::string_view(top.format) == "+s" && top.n_children == 1) {
    if (!top.children || !top.children[0]) return "the struct schema's child is null";
    field = top.children[0];
    if (!field->format) return "the schema has no format";
    out->single_field_struct = true;
  }
  const ArrowSchema& schema = *field;
  out->format = schema.format;
  if (schema.metadata) {
    // int32 count, then per entry an int32-prefixed key and value. Nothing
    // gives the total size, so the counts are only checked for sanity.
    const char* p = schema.metadata;
    const std::int32_t count = read_i32(p);
    if (count < 0 || count > MAX_METADATA_ENTRIES) return "schema metadata is malformed";
    for (std::int32_t e = 0; e < count; ++e) {
      const std::int32_t key_size = read_i32(p);
      if (key_size < 0 || key_size > MAX_METADATA_STRING) return "schema metadata is malformed";
      const std::string_view key(p, static_cast<std::size_t>(key_size));
      p += key_size;
      const std::int32_t value_size = read_i32(p);
      if (value_size < 0 || value_size > MAX_METADATA_STRING) {
        return "schema metadata is malformed";
      }
      const std::string_view value(p, static_cast<std::size_t>(value_size));
      p += value_size;
      if (key == EXTENSION_NAME_KEY) {
        out->extension_name = value;
      } else if (key == EXTENSION_METADATA_KEY) {
        out->extension_metadata = value;
      }
    }
  }
  if (schema.dictionary) return {};  // dictionary-encoded: not one of the six
  if (auto layout = layout_of_format(out->format)) {
    out->layout = *layout;
    *supported = schema.n_children == 0;
  }
  return {};
}

std::string validate_array(const ArrowArray& a, Layout layout, ArrayView* out, unsigned threads,
                           bool defer_text) {
  if (!a.release) return "the array has been released";
  if (a.length < 0) return describe("negative length", a.length);
  if (a.offset < 0) return describe("negative offset", a.offset);
  if (a.length > std::numeric_limits<std::int64_t>::max() - a.offset - 1) {
    return "length and offset overflow";
  }
  if (a.null_count < -1 || a.null_count > a.length) {
    return describe("null count out of range:", a.null_count);
  }
  if (a.n_children != 0) return "a binary or string array has no children";
  if (a.dictionary) return "a binary or string array has no dictionary";
  const bool view_layout = layout == Layout::BinaryView || layout == Layout::StringView;
  if (view_layout ? a.n_buffers < 2 : a.n_buffers != 3) {
    return describe("unexpected number of buffers:", a.n_buffers);
  }
  if (!a.buffers) return "buffers array is null";
  if (view_layout && a.n_buffers > 2 && a.n_buffers - 3 > std::numeric_limits<std::int32_t>::max()) {
    return "too many data buffers";
  }
  ArrayView v;
  v.layout = layout;
  v.length = a.length;
  v.offset = a.offset;
  // With a null count of zero the bitmap, if any, is not needed; an unknown
  // count (-1) means it must be read.
  if (a.null_count != 0) {
    v.validity = static_cast<const std::uint8_t*>(a.buffers[0]);
    if (!v.validity && a.null_count > 0) return "validity bitmap is null but the array has nulls";
    if (v.validity && !fits(v.validity, (a.offset + a.length) / 8 + 1, 1)) {
      return "the validity bitmap lies beyond any address";
    }
  }
  const bool text = is_text_layout(layout);
  std::string problem;
  switch (layout) {
    case Layout::Binary:
    case Layout::String:
      v.offsets32 = static_cast<const std::int32_t*>(a.buffers[1]);
      v.data = static_cast<const std::uint8_t*>(a.buffers[2]);
      problem = check_offsets(v, v.offsets32, text, threads, defer_text);
      break;
    case Layout::LargeBinary:
    case Layout::LargeString:
      v.offsets64 = static_cast<const std::int64_t*>(a.buffers[1]);
      v.data = static_cast<const std::uint8_t*>(a.buffers[2]);
      problem = check_offsets(v, v.offsets64, text, threads, defer_text);
      break;
    case Layout::BinaryView:
    case Layout::StringView:
      v.views = static_cast<const std::uint8_t*>(a.buffers[1]);
      problem = check_views(v, a.n_buffers, a.buffers, text);
      break;
  }
  if (!problem.empty()) return problem;
  *out = v;
  return {};
}

std::string validate_struct_array(const ArrowArray& a, Layout layout, ArrayView* out,
                                  unsigned threads, bool defer_text) {
  if (!a.release) return "the array has been released";
  if (a.length < 0) return describe("negative length", a.length);
  if (a.offset < 0) return describe("negative offset", a.offset);
  if (a.n_children != 1 || !a.children || !a.children[0]) {
    return "a single-field struct array needs exactly one child";
  }
  if (a.n_buffers != 1 || !a.buffers) return describe("unexpected number of buffers:", a.n_buffers);
  if (a.null_count != 0 && a.buffers[0]) return "null rows of the struct itself are not supported";
  const ArrowArray& child = *a.children[0];
  if (child.length < 0 || a.length > child.length || a.offset > child.length - a.length) {
    return "the struct's rows lie outside its child";
  }
  ArrayView v;
  // Text checked later covers only the rows read: the struct's whole child,
  // or its slice, where the child's other rows are checked now.
  const bool whole = a.offset == 0 && a.length == child.length;
  std::string problem = validate_array(child, layout, &v, threads, defer_text && whole);
  if (!problem.empty()) return problem;
  // Only the struct's slice of the child is read; the child was validated
  // whole, which covers it.
  v.offset += a.offset;
  v.length = a.length;
  *out = v;
  return {};
}

// Text that is ASCII from its first row's start to its last row's end is
// valid UTF-8 in every row: one pass over the bytes, without a call per row
// (WKT and hex almost always are). Otherwise each row is checked on its own: a
// sequence may not run from one row into the next, and a null row's bytes mean
// nothing.
namespace {

// The first valid row of [begin, end) that is not UTF-8, or -1.
std::int64_t first_invalid_row(const ArrayView& v, std::int64_t begin, std::int64_t end) noexcept {
  for (std::int64_t i = begin; i < end; ++i) {
    if (!v.is_valid(i)) continue;
    const ByteSpan row = v.value(i);
    if (!is_valid_utf8(row.data, row.size)) return i;
  }
  return -1;
}

}  // namespace

std::string check_text(const ArrayView& v, unsigned threads) {
  if (v.last_offset <= v.first_offset || !v.data) return {};
  if (is_ascii_shared(v.data + v.first_offset,
                      static_cast<std::size_t>(v.last_offset - v.first_offset), threads)) {
    return {};
  }
  const std::int64_t bad = first_invalid_row(v, 0, v.length);
  return bad < 0 ? std::string() : "row " + std::to_string(bad) + " is not valid UTF-8";
}

bool text_rows_valid(const ArrayView& v, std::int64_t begin, std::int64_t end) noexcept {
  const ByteSpan bytes = v.rows_between(begin, end);
  return is_ascii(bytes.data, bytes.size) || first_invalid_row(v, begin, end) < 0;
}

bool is_valid_utf8(const std::uint8_t* s, std::size_t n) noexcept {
  std::size_t i = 0;
  while (i < n) {
    if (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if (!(word & 0x8080808080808080ull)) {
        i += 8;
        continue;
      }
    }
    const unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t need;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i <= need) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k <= need; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
    }
    i += need + 1;
  }
  return true;
}

}  // namespace geoweave::columns
