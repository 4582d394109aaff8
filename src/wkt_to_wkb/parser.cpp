// Recursive-descent WKT parser that writes little-endian EWKB while it reads.
//
// There is no geometry tree and no second pass: headers and coordinates go to
// the sink as soon as they are read, and counts that are only known at the end
// of a list are written as zero placeholders and patched afterwards. The parser
// is a template over its sink so the same code produces either bytes or the
// upper-case hex text of those bytes without building the bytes first.
#include "wkt_to_wkb/parser.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "wkt_to_wkb/plain_point.h"
#include "wkt_to_wkb/sinks.h"

namespace geoweave {

namespace {

using plain_point::slot_to_write;
using plain_point::write_plain_point;

// ---- parser --------------------------------------------------------------------


[[gnu::cold, gnu::noinline]] ConversionError too_many(const char* list_name) {
  return ConversionError::wkt(std::string("too many ") + list_name);
}

// The tokenizer's fast path declined the number at `p`; let the full
// operation build the message (it re-reads the same token).
[[gnu::cold, gnu::noinline]] ConversionError number_failure(WktCursor& c, const char* p) {
  c.position = static_cast<std::size_t>(p - c.text.data());
  auto r = read_number(c);
  return r ? ConversionError::wkt("number rejected by the fast path but not on retry")
           : r.error();
}

[[gnu::cold, gnu::noinline]] ConversionError separator_failure(WktCursor& c, const char* p) {
  c.position = static_cast<std::size_t>(p - c.text.data());
  return read_separator(c).error();
}

// One tuple of N numbers, each converted straight into the sink's reserved
// space. Advances `p`; returns false (p at the failing number) on a bad number.
template <class Sink, unsigned N>
[[gnu::always_inline]] inline bool put_tuple(const char* begin, const char*& p, const char* end,
                                             Sink& sink) {
  char* out = sink.tail(N * Sink::F64_WIDTH);
  for (unsigned i = 0; i < N; ++i) {
    p = detail::skip_whitespace(p, end);
    double v;
    const char* next = detail::scan_number(begin, p, end, v);
    if (next == nullptr) [[unlikely]] return false;
    Sink::store_f64(out + i * Sink::F64_WIDTH, v);
    p = next;
  }
  sink.commit(N * Sink::F64_WIDTH);
  return true;
}

template <class Sink>
[[gnu::always_inline]] inline Result<void> write_tuple(WktCursor& c, Sink& sink,
                                                       unsigned ordinates) {
  const char* const base = c.text.data();
  const char* const end = base + c.text.size();
  const char* p = base + c.position;
  bool ok;
  switch (ordinates) {
    case 2: ok = put_tuple<Sink, 2>(base, p, end, sink); break;
    case 3: ok = put_tuple<Sink, 3>(base, p, end, sink); break;
    default: ok = put_tuple<Sink, 4>(base, p, end, sink); break;
  }
  if (!ok) return fail(number_failure(c, p));
  c.position = static_cast<std::size_t>(p - base);
  return {};
}

// The tokenizer's operations behind an inline look at the common case: the
// byte that is nearly always next is taken in place, and only anything else
// (EMPTY, failures and their messages) goes to the full operation.
[[gnu::always_inline]] inline Result<EmptyOrOpen> empty_or_open(WktCursor& c) {
  if (detail::take(c, '(')) [[likely]] return EmptyOrOpen::Open;
  return read_empty_or_open(c);
}
[[gnu::always_inline]] inline Result<EmptyOrOpen> peek_empty_or_open_inline(WktCursor& c) {
  if (detail::take(c, '(')) [[likely]] return EmptyOrOpen::Open;
  return peek_empty_or_open(c);
}
[[gnu::always_inline]] inline Result<Separator> separator(WktCursor& c) {
  switch (detail::take_separator(c)) {
    case 1: return Separator::Comma;
    case 2: return Separator::Close;
    default: return read_separator(c);
  }
}
[[gnu::always_inline]] inline Result<void> open_paren(WktCursor& c) {
  if (detail::take(c, '(')) [[likely]] return {};
  return expect_open_paren(c);
}
[[gnu::always_inline]] inline Result<void> close_paren(WktCursor& c) {
  if (detail::take(c, ')')) [[likely]] return {};
  return expect_close_paren(c);
}
[[gnu::always_inline]] inline Result<GeometryTag> geometry_tag(WktCursor& c) {
  GeometryTag tag;
  if (detail::take_geometry_tag(c, tag)) [[likely]] return tag;
  return read_geometry_tag(c);
}

template <class Sink>
void write_empty_point(Sink& sink, unsigned ordinates) {
  const double nan = std::bit_cast<double>(QUIET_NAN_BITS);
  for (unsigned i = 0; i < ordinates; ++i) sink.put_f64(nan);
}

// After an element has been written: `count` already includes it.
inline bool count_exceeded(std::uint64_t count) noexcept { return count > MAX_ELEMENT_COUNT; }

// Tuples up to and including the closing parenthesis; the opening one has been
// consumed. Returns the tuple count. This is where nearly all the time goes, so
// the position lives in a local pointer and is written back only on the way out.
template <class Sink, unsigned N>
Result<std::uint32_t> write_coordinates(WktCursor& c, Sink& sink) {
  const char* const base = c.text.data();
  const char* const end = base + c.text.size();
  const char* p = base + c.position;
  std::uint64_t count = 0;
  for (;;) {
    if (!put_tuple<Sink, N>(base, p, end, sink)) [[unlikely]] return fail(number_failure(c, p));
    if (count_exceeded(++count)) [[unlikely]] return fail(too_many("coordinate tuples"));
    p = detail::skip_whitespace(p, end);
    if (p != end) [[likely]] {
      if (*p == ',') {
        ++p;
        continue;
      }
      if (*p == ')') {
        c.position = static_cast<std::size_t>(p + 1 - base);
        return static_cast<std::uint32_t>(count);
      }
    }
    return fail(separator_failure(c, p));
  }
}

template <class Sink>
Result<std::uint32_t> write_coordinate_list(WktCursor& c, Sink& sink, Dimension d) {
  switch (ordinate_count(d)) {
    case 2: return write_coordinates<Sink, 2>(c, sink);
    case 3: return write_coordinates<Sink, 3>(c, sink);
    default: return write_coordinates<Sink, 4>(c, sink);
  }
}

// Rings up to and including the polygon's closing parenthesis.
template <class Sink>
Result<std::uint32_t> write_polygon_rings(WktCursor& c, Sink& sink, Dimension d) {
  std::uint64_t count = 0;
  for (;;) {
    if (auto r = open_paren(c); !r) return fail(std::move(r.error()));
    const std::size_t slot = sink.reserve_count();
    auto tuples = write_coordinate_list(c, sink, d);
    if (!tuples) return fail(std::move(tuples.error()));
    sink.patch_count(slot, *tuples);
    if (count_exceeded(++count)) return fail(too_many("polygon rings"));
    auto sep = separator(c);
    if (!sep) return fail(std::move(sep.error()));
    if (*sep == Separator::Close) return static_cast<std::uint32_t>(count);
  }
}

// Every counted body (LineString, Polygon, the Multi types, GeometryCollection
// and the line and polygon members of Multi geometries): EMPTY gives a zero
// count; otherwise a placeholder, the list (`list()` runs after the opening
// parenthesis and returns the element count) and the patched count.
template <class Sink, class List>
Result<void> write_counted(WktCursor& c, Sink& sink, List&& list) {
  auto eo = empty_or_open(c);
  if (!eo) return fail(std::move(eo.error()));
  if (*eo == EmptyOrOpen::Empty) {
    sink.put_u32(0);
    return {};
  }
  const std::size_t slot = sink.reserve_count();
  Result<std::uint32_t> n = list();
  if (!n) return fail(std::move(n.error()));
  sink.patch_count(slot, *n);
  return {};
}

template <class Sink, Result<std::uint32_t> (*List)(WktCursor&, Sink&, Dimension)>
Result<void> write_counted_body(WktCursor& c, Sink& sink, Dimension d) {
  return write_counted(c, sink, [&] { return List(c, sink, d); });
}

template <class Sink>
Result<void> write_point_member(WktCursor& c, Sink& sink, Dimension d) {
  auto eo = peek_empty_or_open_inline(c);
  if (!eo) return fail(std::move(eo.error()));
  const unsigned ordinates = ordinate_count(d);
  switch (*eo) {
    case EmptyOrOpen::Empty:
      write_empty_point(sink, ordinates);
      return {};
    case EmptyOrOpen::Open:
      if (auto r = write_tuple(c, sink, ordinates); !r) return r;
      return close_paren(c);
    case EmptyOrOpen::Neither:
      break;
  }
  return write_tuple(c, sink, ordinates);  // bare tuple
}

// Members of MultiPoint / MultiLineString / MultiPolygon, after the opening
// parenthesis: written inline with their own header, the parent's dimension and
// never an SRID. Returns the member count.
template <class Sink, Result<void> (*Member)(WktCursor&, Sink&, Dimension)>
Result<std::uint32_t> write_multi_members(WktCursor& c, Sink& sink, Dimension d,
                                          GeometryType member, const char* list_name) {
  const std::uint32_t member_word = type_word_of(sink.flavor(), member, d);
  std::uint64_t count = 0;
  for (;;) {
    sink.put_byte_order();
    sink.put_u32(member_word);
    if (auto r = Member(c, sink, d); !r) return fail(std::move(r.error()));
    if (count_exceeded(++count)) return fail(too_many(list_name));
    auto sep = separator(c);
    if (!sep) return fail(std::move(sep.error()));
    if (*sep == Separator::Close) return static_cast<std::uint32_t>(count);
  }
}

template <class Sink, Result<void> (*Member)(WktCursor&, Sink&, Dimension)>
Result<void> write_multi_body(WktCursor& c, Sink& sink, Dimension d, GeometryType member,
                              const char* list_name) {
  return write_counted(c, sink, [&] {
    return write_multi_members<Sink, Member>(c, sink, d, member, list_name);
  });
}

template <class Sink>
Result<GeometryTag> write_geometry(WktCursor& c, Sink& sink, SridSlot slot, std::size_t depth);

// Members of a GeometryCollection, after the opening parenthesis: complete
// geometries one level deeper. Returns the member count.
template <class Sink>
Result<std::uint32_t> write_collection_members(WktCursor& c, Sink& sink, Dimension d,
                                               std::size_t depth) {
  std::uint64_t count = 0;
  for (;;) {
    auto member = write_geometry(c, sink, SridSlot::none(), depth + 1);
    if (!member) return fail(std::move(member.error()));
    // Only a tagged collection constrains its members.
    if (d != Dimension::XY && member->dimension != d) {
      return fail(ConversionError::wkt(collection_member_dimension_message(d, member->dimension)));
    }
    if (count_exceeded(++count)) return fail(too_many("GeometryCollection members"));
    auto sep = separator(c);
    if (!sep) return fail(std::move(sep.error()));
    if (*sep == Separator::Close) return static_cast<std::uint32_t>(count);
  }
}

// A record's header: byte order, type word and, when asked, the SRID.
template <class Sink>
[[gnu::always_inline]] inline void put_header(Sink& sink, GeometryTag tag, SridSlot slot) {
  sink.put_byte_order();
  const std::uint32_t word = type_word_of(sink.flavor(), tag.type, tag.dimension);
  if (slot.has_srid) {  // never for ISO (see write_whole_iso)
    sink.put_u32(word | EWKB_SRID_FLAG);
    sink.put_u32(static_cast<std::uint32_t>(slot.srid));
  } else {
    sink.put_u32(word);
  }
}

// A Point's body after its keyword: EMPTY, or one parenthesised tuple.
template <class Sink>
[[gnu::always_inline]] inline Result<void> write_point_body(WktCursor& c, Sink& sink,
                                                            Dimension d) {
  auto eo = empty_or_open(c);
  if (!eo) return fail(std::move(eo.error()));
  if (*eo == EmptyOrOpen::Empty) {
    write_empty_point(sink, ordinate_count(d));
    return {};
  }
  if (auto r = write_tuple(c, sink, ordinate_count(d)); !r) return r;
  return close_paren(c);
}

template <class Sink>
Result<void> write_tagged(WktCursor& c, Sink& sink, SridSlot slot, std::size_t depth,
                          GeometryTag tag);

template <class Sink>
Result<GeometryTag> write_geometry(WktCursor& c, Sink& sink, SridSlot slot, std::size_t depth) {
  if (depth >= MAX_NESTING_DEPTH) {
    return fail(ConversionError::wkt(NESTING_DEPTH_MESSAGE));
  }
  auto tag = geometry_tag(c);
  if (!tag) return fail(std::move(tag.error()));
  if (auto r = write_tagged(c, sink, slot, depth, *tag); !r) return fail(std::move(r.error()));
  return *tag;
}

// The record whose keyword and tag have been read: its header and body.
template <class Sink>
Result<void> write_tagged(WktCursor& c, Sink& sink, SridSlot slot, std::size_t depth,
                          GeometryTag tag) {
  const GeometryType type = tag.type;
  const Dimension d = tag.dimension;
  put_header(sink, tag, slot);

  Result<void> body;
  switch (type) {
    case GeometryType::Point:
      return write_point_body(c, sink, d);
    case GeometryType::LineString:
      body = write_counted_body<Sink, write_coordinate_list<Sink>>(c, sink, d);
      break;
    case GeometryType::Polygon:
      body = write_counted_body<Sink, write_polygon_rings<Sink>>(c, sink, d);
      break;
    case GeometryType::MultiPoint:
      body = write_multi_body<Sink, write_point_member<Sink>>(c, sink, d, GeometryType::Point,
                                                              "MultiPoint members");
      break;
    case GeometryType::MultiLineString:
      body = write_multi_body<Sink, write_counted_body<Sink, write_coordinate_list<Sink>>>(
          c, sink, d, GeometryType::LineString, "MultiLineString members");
      break;
    case GeometryType::MultiPolygon:
      body = write_multi_body<Sink, write_counted_body<Sink, write_polygon_rings<Sink>>>(
          c, sink, d, GeometryType::Polygon, "MultiPolygon members");
      break;
    case GeometryType::GeometryCollection:
      body = write_counted(c, sink, [&] { return write_collection_members(c, sink, d, depth); });
      break;
  }
  return body;
}

// The whole text after its prefix. Inlined into the entry points, with a
// Point (most rows of most columns) written here: a row then costs one call
// instead of a chain of them, each with its frame and its Result.
template <class Sink>
[[gnu::always_inline]] inline Result<OutputBuffer> write_whole(WktCursor& cursor,
                                                               std::size_t capacity_hint,
                                                               SridSlot slot,
                                                               BufferStorage* storage,
                                                               std::size_t slack) {
  Sink sink(storage, std::min(capacity_hint, OUTPUT_RESERVE_CAP));
  if (write_plain_point(cursor, sink, slot, slack)) [[likely]] return sink.take();
  GeometryTag tag;
  if (detail::take_geometry_tag(cursor, tag)) [[likely]] {
    Result<void> r;
    if (tag.type == GeometryType::Point) [[likely]] {
      put_header(sink, tag, slot);
      r = write_point_body(cursor, sink, tag.dimension);
    } else {
      r = write_tagged(cursor, sink, slot, 0, tag);
    }
    if (!r) return fail(std::move(r.error()));
  } else if (auto g = write_geometry(cursor, sink, slot, 0); !g) {
    return fail(std::move(g.error()));
  }
  if (!detail::at_end_after_whitespace(cursor)) [[unlikely]] {
    if (auto e = expect_end_of_input(cursor); !e) return fail(std::move(e.error()));
  }
  return sink.take();
}

// The same for ISO WKB, kept apart so that the EWKB entry stays as it was. ISO
// WKB has no SRID: the text is written without one, and only then, once its
// own errors have had their turn, an SRID it should carry fails it.
template <class Sink>
[[gnu::noinline, gnu::cold]] Result<OutputBuffer> write_whole_iso(
    WktCursor& cursor, std::size_t capacity_hint, SridSlot slot, BufferStorage* storage) {
  Sink sink(storage, std::min(capacity_hint, OUTPUT_RESERVE_CAP), WkbFlavor::Iso);
  if (auto g = write_geometry(cursor, sink, SridSlot::none(), 0); !g) {
    return fail(std::move(g.error()));
  }
  if (auto e = expect_end_of_input(cursor); !e) return fail(std::move(e.error()));
  if (slot.has_srid) return fail(ConversionError::iso_srid(slot.srid));
  return sink.take();
}

// The text's prefix is always parsed first, so a malformed prefix is an error
// even when the option discards or overrides its value. The prefix's SRID goes
// to `prefix_out` when one is given.
template <class Sink>
[[gnu::always_inline]] inline Result<OutputBuffer> write_text(TextView text, SridOption option,
                                                              BufferStorage* storage,
                                                              WkbFlavor flavor,
                                                              std::size_t slack,
                                                              SridSlot* prefix_out = nullptr) {
  WktCursor cursor{text, 0};
  auto prefix = parse_srid_prefix(cursor);
  if (!prefix) return fail(std::move(prefix.error()));
  if (prefix_out) *prefix_out = *prefix;
  const SridSlot slot = slot_to_write(option, *prefix);
  if (flavor == WkbFlavor::Iso) [[unlikely]] {
    return write_whole_iso<Sink>(cursor, text.size(), slot, storage);
  }
  return write_whole<Sink>(cursor, text.size(), slot, storage, slack);
}

}  // namespace

Result<OutputBuffer> wkt_to_ewkb_bytes(TextView text, SridOption option, BufferStorage* storage,
                                       WkbFlavor flavor, std::size_t slack) {
  return write_text<BinarySink>(text, option, storage, flavor, slack);
}

Result<OutputBuffer> wkt_to_ewkb_hex(TextView text, SridOption option, BufferStorage* storage,
                                     WkbFlavor flavor, std::size_t slack) {
  return write_text<HexSink>(text, option, storage, flavor, slack);
}

Result<SplitBytes> wkt_to_ewkb_bytes_split_srid(TextView text, BufferStorage* storage,
                                                WkbFlavor flavor) {
  SridSlot prefix = SridSlot::none();
  auto bytes = write_text<BinarySink>(text, SridOption::strip(), storage, flavor, 0, &prefix);
  if (!bytes) return fail(std::move(bytes.error()));
  return SplitBytes{std::move(*bytes), prefix};
}

}  // namespace geoweave
