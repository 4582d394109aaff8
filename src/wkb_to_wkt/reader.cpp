#include "wkb_to_wkt/reader.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "wkb_to_wkt/builder.h"
#include "wkb_to_wkt/ordinate_format.h"
#include "wkb_to_wkt/wkb_reader.h"

namespace geoweave {
namespace {

using wkb::Placement;

// The coordinates of a list, appended separated by ", ". The count comes from
// the data and is never used to size anything: only the bytes actually present
// are formatted, and a list that runs out fails.
template <bool LittleEndian, unsigned K>
void format_coordinate_run(const std::uint8_t* p, std::uint64_t n, OutputBuffer& out) {
  constexpr std::size_t WORST = 2 + K * ORDINATE_RESERVE;
  for (std::uint64_t i = 0; i < n; ++i) {
    char* w = out.tail(WORST);
    // ", " before every coordinate but the first
    std::memcpy(w, ", ", 2);
    w += i ? 2 : 0;
    double values[K];
    for (unsigned j = 0; j < K; ++j) {
      std::uint64_t bits;
      std::memcpy(&bits, p + 8 * j, 8);
      if constexpr (LittleEndian != HOST_LITTLE_ENDIAN) bits = std::byteswap(bits);
      std::memcpy(&values[j], &bits, 8);
    }
    p += 8 * K;
    out.commit_to(detail::format_tuple<K>(values, w));
  }
}

template <bool LittleEndian>
void format_coordinate_run(const std::uint8_t* p, std::uint64_t n, unsigned k,
                           OutputBuffer& out) {
  switch (k) {
    case 2: return format_coordinate_run<LittleEndian, 2>(p, n, out);
    case 3: return format_coordinate_run<LittleEndian, 3>(p, n, out);
    default: return format_coordinate_run<LittleEndian, 4>(p, n, out);
  }
}

// Text around a body: a top-level geometry writes " EMPTY" / " (" after its
// keyword, a member of a Multi geometry (which has no keyword) "EMPTY" / "(".
// Each is copied as a fixed 8 bytes and then cut to its length, which keeps a
// variable-length copy out of every geometry.
struct Marker {
  char text[8];
  std::uint8_t length;
};
struct BodyMarkers {
  Marker empty;
  Marker open;
};
constexpr BodyMarkers AFTER_KEYWORD{{" EMPTY", 6}, {" (", 2}};
constexpr BodyMarkers IN_LIST{{"EMPTY", 5}, {"(", 1}};

inline void put_marker(OutputBuffer& out, const Marker& marker) {
  std::memcpy(out.tail(sizeof marker.text), marker.text, sizeof marker.text);
  out.commit(marker.length);
}

inline bool all_nan(const double* values, unsigned k) noexcept {
  for (unsigned i = 0; i < k; ++i) {
    if (!std::isnan(values[i])) return false;
  }
  return true;
}

// Canonical WKT for the reader: keywords and tags, "SRID=N;" for the outermost
// record when asked, EMPTY for zero counts and all-NaN Points, ordinates
// through the inlined formatter.
class WktEmitter {
 public:
  WktEmitter(OutputBuffer& out, bool emit_srid) noexcept : out_(&out), emit_srid_(emit_srid) {}

  void begin_geometry(const wkb::WkbHeader& h, Placement where) {
    if (where == Placement::InMulti) return;  // members of Multi types have no keyword
    if (emit_srid_ && h.has_srid) write_srid_prefix(*out_, h.srid);
    write_keyword_and_tag(*out_, h.geometry_type, h.dimension);
  }
  // A whole Point from one reservation: keyword, marker, ordinates and the
  // closing parenthesis written through one pointer.
  [[gnu::always_inline]] inline void point(const wkb::WkbHeader& h, const double* values, unsigned k,
                                           Placement where) {
    const bool top = where != Placement::InMulti;
    if (top && emit_srid_ && h.has_srid) write_srid_prefix(*out_, h.srid);
    const BodyMarkers& markers = markers_for(where);
    char* w = out_->tail(KEYWORD_RESERVE + sizeof(Marker::text) + 1 + k * ORDINATE_RESERVE);
    if (top) w = put_keyword_and_tag(w, h.geometry_type, h.dimension);
    const Marker& marker = all_nan(values, k) ? markers.empty : markers.open;
    std::memcpy(w, marker.text, sizeof marker.text);
    w += marker.length;
    if (&marker == &markers.open) {
      switch (k) {
        case 2: w = detail::format_tuple<2>(values, w); break;
        case 3: w = detail::format_tuple<3>(values, w); break;
        default: w = detail::format_tuple<4>(values, w); break;
      }
      *w++ = ')';
    }
    out_->commit_to(w);
  }
  void open_list(std::uint32_t count, Placement where) {
    const BodyMarkers& markers = markers_for(where);
    put_marker(*out_, count == 0 ? markers.empty : markers.open);
  }
  void close_list() { out_->push_back(')'); }
  void separator() { out_->append(", ", 2); }
  void open_ring(std::uint32_t) { out_->push_back('('); }
  void close_ring() { out_->push_back(')'); }
  template <bool LittleEndian>
  void coordinates(const std::uint8_t* p, std::uint64_t n, unsigned k) {
    format_coordinate_run<LittleEndian>(p, n, k, *out_);
  }

 private:
  static const BodyMarkers& markers_for(Placement where) noexcept {
    return where == Placement::InMulti ? IN_LIST : AFTER_KEYWORD;
  }

  OutputBuffer* out_;  // a pointer: the reader copies and assigns emitters
  bool emit_srid_;
};

// Room every record's first writes fit in: a keyword with its tag, a marker
// and one tuple's worst case, which write_ordinates and each coordinate ask
// for whole. Reserved up front, a Point never grows its buffer on the way.
constexpr std::size_t FIRST_TUPLE_RESERVE = 64 + 4 * ORDINATE_RESERVE;

// Runs the reader over `input`, appending to `out` (which may already hold a
// prefix).
[[gnu::always_inline]] inline Result<SridSlot> run_reader(ByteSpan input, OutputBuffer& out,
                                                          bool emit_srid) {
  if (input.size) {
    const std::size_t three = input.size > OUTPUT_RESERVE_CAP / 3 ? OUTPUT_RESERVE_CAP
                                                                   : input.size * 3;
    out.reserve(out.size() + (three < FIRST_TUPLE_RESERVE ? FIRST_TUPLE_RESERVE : three));
  }
  WktEmitter emitter(out, emit_srid);
  // The record most columns hold, a little-endian 2D Point without SRID and
  // nothing after it, goes straight to the emitter: what the reader would
  // find in it is known from its 21 bytes, and the reader's setup would cost
  // such a row about 60 of its 770 instructions.
  if (input.size == 21 && input.data[0] == 1 && load_u32(input.data + 1, true) == 1) {
    double values[2];
    for (unsigned i = 0; i < 2; ++i) {
      const std::uint64_t bits = load_u64(input.data + 5 + 8 * i, true);
      std::memcpy(&values[i], &bits, 8);
    }
    emitter.point(wkb::WkbHeader{Dimension::XY, GeometryType::Point, false, 0}, values, 2,
                  Placement::Top);
    return SridSlot::none();
  }
  return wkb::read_wkb(input, emitter);
}

}  // namespace

Result<OutputBuffer> decode_wkb_to_ewkt(ByteSpan input, BufferStorage* storage) {
  OutputBuffer out(storage, 0);
  auto slot = run_reader(input, out, true);
  if (!slot) return fail(std::move(slot.error()));
  return out;
}

Result<SplitText> decode_wkb_split_srid(ByteSpan input, BufferStorage* storage) {
  OutputBuffer out(storage, 0);
  auto slot = run_reader(input, out, false);
  if (!slot) return fail(std::move(slot.error()));
  return SplitText{std::move(out), *slot};
}

Result<OutputBuffer> decode_wkb_with_srid(ByteSpan input, std::int32_t srid,
                                          BufferStorage* storage) {
  OutputBuffer out(storage, 0);
  write_srid_prefix(out, srid);
  auto slot = run_reader(input, out, false);
  if (!slot) return fail(std::move(slot.error()));
  return out;
}

}  // namespace geoweave
