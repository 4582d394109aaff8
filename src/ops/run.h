// What each operation does to one source value: every decision about an
// operation (which source it is, which fast path, what the SRID option does
// to it) is made here, once, for the scalar functions, the column kernel and
// the C++ callers alike. They differ only in where the result goes, which is
// the `Out` they pass:
//
//   BufferStorage* storage()   room lent to a result built in an OutputBuffer
//                              (nullptr: the heap)
//   BufferStorage* scratch()   room for bytes between two steps (decoded hex);
//                              nullptr: the heap
//   bool keep(const OutputBuffer& b)     the result is `b`
//   bool keep_view(std::string_view v)   the result is `v` (part of the source)
//   bool room(std::size_t n, RewriteEncoding e, char** at)
//                              room for the n units of a planned rewrite at
//                              *at (which may be null when n is 0)
//   bool commit(std::size_t n) the planned rewrite wrote n units of that room
//   void srid(SridSlot s)      the SRID beside the value (or alone)
//   bool fail(const ConversionError& e)   the value fails; returns false
//
// Members returning bool return false when the output itself failed (the
// output has reported why); run then returns false at once. Python-free.
#pragma once

#include <utility>

#include <string_view>

#include "ops/convert.h"
#include "ops/header.h"
#include "ops/hex.h"
#include "ops/operation.h"
#include "wkb_to_wkt/reader.h"
#include "wkt_to_wkb/parser.h"

namespace geoweave {
namespace run_detail {

inline ByteSpan span_of(const OutputBuffer& b) noexcept { return {b.bytes(), b.size()}; }
inline std::string_view chars_of(ByteSpan b) noexcept {
  return {reinterpret_cast<const char*>(b.data), b.size};
}

// Inlined: on the hot path of every row, an out-of-line call here cost a
// column as much as a tenth of a Point row.
template <class Out, class R>
[[gnu::always_inline]] inline bool keep_result(Out& out, R& r) {
  if (!r) return out.fail(r.error());
  return out.keep(*r);
}

// A planned SRID rewrite of `wkb` written into the room the plan asks for.
template <class Out>
[[gnu::always_inline]] inline bool write_planned(const RewritePlan& plan, ByteSpan wkb, Out& out) {
  char* room = nullptr;
  if (!out.room(plan.length, plan.encoding, &room)) return false;
  auto written = write_plan(plan, wkb, room);
  if (!written) return out.fail(written.error());
  return out.commit(*written);
}

}  // namespace run_detail

// Converts one value. True when the result (and SRID) went to `out`; false
// when the value failed (out.fail) or the output did. Inlined into its caller
// (one operation each): out of line, the layers cost a scalar call about 80
// instructions.
template <Operation OP, class Out>
[[gnu::always_inline]] inline bool run(const OperationArgs& args, const Source& src, Out& out) {
  using namespace run_detail;
  const SridOption option = args.option.normalized();
  const WkbFlavor flavor = args.flavor;

  if constexpr (OP == Operation::WkbToWkt) {
    auto r = convert_wkb_to_wkt(src.bytes, option, out.storage());
    return keep_result(out, r);

  } else if constexpr (OP == Operation::WkbToWktSplitSrid) {
    auto r = decode_wkb_split_srid(src.bytes, out.storage());
    if (!r) return out.fail(r.error());
    out.srid(r->slot);
    return out.keep(r->text);

  } else if constexpr (OP == Operation::WktToWkb) {
    auto r = convert_wkt_to_wkb(src.text, option, out.storage(), flavor, src.slack);
    return keep_result(out, r);

  } else if constexpr (OP == Operation::WktToWkbSplitSrid) {
    auto r = wkt_to_ewkb_bytes_split_srid(src.text, out.storage(), flavor);
    if (!r) return out.fail(r.error());
    out.srid(r->slot);
    return out.keep(r->bytes);

  } else if constexpr (OP == Operation::WktToHexWkb) {
    auto r = convert_wkt_to_hex_wkb(src.text, option, out.storage(), flavor, src.slack);
    return keep_result(out, r);

  } else if constexpr (OP == Operation::HexWkbToWkt) {
    auto decoded = hex_decode(src.text, out.scratch());  // never trimmed
    if (!decoded) return out.fail(decoded.error());
    auto r = convert_wkb_to_wkt(span_of(*decoded), option, out.storage());
    return keep_result(out, r);

  } else if constexpr (OP == Operation::ToWkb) {
    // WKB passes as it is only with Mirror and EWKB out (not validated): ISO
    // WKB needs its type words, and the SRID's absence, checked at least in
    // the header. Every other WKB is a planned rewrite, written at once into
    // the room it needs.
    const bool pass = option.is_mirror() && flavor == WkbFlavor::Extended;
    if (!src.is_text) {
      if (pass) return out.keep_view(chars_of(src.bytes));
      return write_planned(plan_srid_rewrite(src.bytes, option, RewriteEncoding::Bytes, flavor),
                           src.bytes, out);
    }
    const TextView t = trim_text(src.text);
    // Decoded hex is the result itself only when it passes.
    if (auto decoded = try_hex_decode(t, pass ? out.storage() : out.scratch())) {
      if (pass) return out.keep(*decoded);
      return write_planned(
          plan_srid_rewrite(span_of(*decoded), option, RewriteEncoding::Bytes, flavor),
          span_of(*decoded), out);
    }
    auto r = convert_wkt_to_wkb(t, option, out.storage(), flavor);
    return keep_result(out, r);

  } else if constexpr (OP == Operation::ToWkt) {
    if (!src.is_text) {
      auto r = convert_wkb_to_wkt(src.bytes, option, out.storage());
      return keep_result(out, r);
    }
    const TextView t = trim_text(src.text);
    if (t.empty()) return out.fail(ConversionError::wkt("empty input"));
    // Hex WKB: a text whose first byte is no hex digit cannot be hex, so the
    // unvalidated path below never pays for a detection attempt.
    if (args.normalize || is_hex_digit(static_cast<unsigned char>(t[0]))) {
      if (auto decoded = try_hex_decode(t, out.scratch())) {
        auto r = convert_wkb_to_wkt(span_of(*decoded), option, out.storage());
        return keep_result(out, r);
      }
    }
    if (args.normalize) {
      auto ewkb = convert_wkt_to_wkb(t, option, out.scratch());
      if (!ewkb) return out.fail(ewkb.error());
      auto r = decode_wkb_to_ewkt(span_of(*ewkb), out.storage());
      return keep_result(out, r);
    }
    // Unvalidated WKT: only the prefix is edited. The text is the caller's
    // (any UTF-8), so a new prefix goes on a copy made on the heap, never in
    // room lent for this module's own ASCII text.
    if (option.is_mirror()) return out.keep_view(drop_unknown_srid_prefix(t));
    if (option.is_strip()) return out.keep_view(strip_ewkt_prefix(t));
    return out.keep(prefixed_text(option.value, strip_ewkt_prefix(t)));

  } else if constexpr (OP == Operation::ToHexWkb) {
    // Bytes, Mirror too: planned (Mirror encodes them as they are, not validated).
    if (!src.is_text) {
      return write_planned(plan_srid_rewrite(src.bytes, option, RewriteEncoding::Hex, flavor),
                           src.bytes, out);
    }
    const TextView t = trim_text(src.text);
    if (option.is_mirror() && flavor == WkbFlavor::Extended) {
      if (auto upper = uppercase_hex_text(t, out.storage())) return out.keep(*upper);
    } else if (auto decoded = try_hex_decode(t, out.scratch())) {
      return write_planned(
          plan_srid_rewrite(span_of(*decoded), option, RewriteEncoding::Hex, flavor),
          span_of(*decoded), out);
    }
    auto r = convert_wkt_to_hex_wkb(t, option, out.storage(), flavor);
    return keep_result(out, r);

  } else if constexpr (OP == Operation::WkbHeaderSrid) {
    Result<std::optional<std::int32_t>> srid;
    if (src.is_text) {
      auto decoded = hex_decode(src.text, out.scratch());  // never trimmed
      if (!decoded) return out.fail(decoded.error());
      srid = read_header_srid(span_of(*decoded));
    } else {
      srid = read_header_srid(src.bytes);
    }
    if (!srid) return out.fail(srid.error());
    out.srid(*srid ? SridSlot{true, **srid} : SridSlot::none());
    return true;

  } else {
    static_assert(OP == Operation::ToWkbNoSridHeader || OP == Operation::ToEwkbHeader);
    // Hex text answers hex text (upper case even when nothing changed), bytes
    // answer bytes; always EWKB.
    const SridOption header_option =
        OP == Operation::ToWkbNoSridHeader ? SridOption::strip() : args.option;
    if (src.is_text) {
      auto decoded = hex_decode(src.text, out.scratch());  // never trimmed
      if (!decoded) return out.fail(decoded.error());
      return write_planned(
          plan_srid_rewrite(span_of(*decoded), header_option, RewriteEncoding::Hex),
          span_of(*decoded), out);
    }
    return write_planned(plan_srid_rewrite(src.bytes, header_option, RewriteEncoding::Bytes),
                         src.bytes, out);
  }
}

// Calls f.template operator()<OP>() for the operation `op` names: the one
// step from a run-time operation to its compile-time run, a table of one
// call per operation made from the enum itself.
template <class F>
decltype(auto) with_operation(Operation op, F&& f) {
  using R = decltype(f.template operator()<Operation::WkbToWkt>());
  return [&]<std::size_t... I>(std::index_sequence<I...>) -> R {
    using Call = R (*)(F&);
    static constexpr Call CALLS[] = {
        [](F& g) -> R { return g.template operator()<static_cast<Operation>(I)>(); }...};
    return CALLS[static_cast<std::size_t>(op)](f);
  }(std::make_index_sequence<OPERATION_COUNT>{});
}

// An output collecting the result in an OutputBuffer (in `storage` when one is
// lent), or as a view of the source, for the C++ callers.
class BufferOutput {
 public:
  explicit BufferOutput(BufferStorage* storage = nullptr) noexcept : storage_(storage) {}

  BufferStorage* storage() const noexcept { return storage_; }
  BufferStorage* scratch() const noexcept { return nullptr; }
  bool keep(OutputBuffer& b) {
    result.owned = std::move(b);
    return true;
  }
  bool keep(OutputBuffer&& b) { return keep(b); }
  bool keep_view(std::string_view v) {
    result.borrowed = v;
    result.is_borrowed = true;
    return true;
  }
  bool room(std::size_t n, RewriteEncoding, char** at) {
    result.owned = OutputBuffer(storage_, n);
    *at = result.owned.tail(n);
    return true;
  }
  bool commit(std::size_t n) {
    result.owned.commit(n);
    return true;
  }
  void srid(SridSlot s) noexcept { slot = s; }
  bool fail(const ConversionError& e) {
    error = e;
    return false;
  }

  MaybeBorrowed result;
  SridSlot slot = SridSlot::none();
  ConversionError error;

 private:
  BufferStorage* storage_;
};

}  // namespace geoweave
