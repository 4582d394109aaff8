// The one-pass WKB -> canonical EWKB rebuild (ops/ewkb_rebuild.cpp), checked
// against a deliberately plain reference written here: a field-by-field walk
// of the input that writes what canonical EWKB must hold. The rebuild replaced
// a WKB -> WKT -> EWKB round trip and was first fuzzed against it; this keeps
// checking the same results without the text in between.
//
// Invariants: the rebuild fails exactly when the reader fails, with its error;
// on success its bytes equal the reference's, its hex is their upper-case hex,
// rebuild_into fills an area of exactly rebuild_bound with the same bytes (an
// overrun is a sanitizer report), and the result reads back to the very same
// WKT. The same for the ISO rebuild (rebuild_iso_into), against the reference
// writing ISO codes and no SRID, which fails a value keeping its SRID only
// when asked to refuse it, and only once the value has been read whole.
#include <memory>
#include <string>

#include "fuzz_common.h"
#include "ops/ewkb_rebuild.h"
#include "wkb_to_wkt/reader.h"

using namespace geoweave;
using namespace geoweave::fuzz;

namespace {

// Walks a value the reader has accepted, so nothing here re-checks the format.
struct Reference {
  const std::uint8_t* p;
  std::string out;
  bool iso = false;  // ISO codes for the dimension, never an SRID

  void u32(std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
  std::uint32_t read_u32(bool le) {
    const std::uint32_t v = load_u32(p, le);
    p += 4;
    return v;
  }
  void ordinate(bool le) {
    std::uint64_t bits = load_u64(p, le);
    p += 8;
    const std::uint64_t magnitude = bits & 0x7FFFFFFFFFFFFFFFull;
    if (magnitude > 0x7FF0000000000000ull) bits = 0x7FF8000000000000ull;  // any NaN
    if (magnitude == 0) bits = 0;                                          // -0.0
    out.append(reinterpret_cast<const char*>(&bits), 8);
  }
  void coordinates(bool le, unsigned k) {
    const std::uint32_t n = read_u32(le);
    u32(n);
    for (std::uint64_t i = 0; i < std::uint64_t{n} * k; ++i) ordinate(le);
  }

  // One record: `slot` is written on the outermost one only.
  void record(SridSlot slot, bool top) {
    const bool le = *p++ == 1;
    const std::uint32_t word = read_u32(le);
    if (word & EWKB_SRID_FLAG) p += 4;
    std::uint32_t code = word & 0xFFFF;
    unsigned flags = word & (EWKB_Z_FLAG | EWKB_M_FLAG);
    if (!flags) {  // ISO thousands
      const std::uint32_t iso[] = {0, EWKB_Z_FLAG, EWKB_M_FLAG, EWKB_Z_FLAG | EWKB_M_FLAG};
      const unsigned group = code > 3000 ? 3 : code > 2000 ? 2 : code > 1000 ? 1 : 0;
      flags = iso[group];
      code -= 1000 * group;
    }
    const unsigned k = 2 + ((flags & EWKB_Z_FLAG) != 0) + ((flags & EWKB_M_FLAG) != 0);
    out.push_back('\x01');
    if (iso) {
      u32(code + ((flags & EWKB_Z_FLAG) ? 1000 : 0) + ((flags & EWKB_M_FLAG) ? 2000 : 0));
    } else if (top && slot.has_srid) {
      u32(code | flags | EWKB_SRID_FLAG);
      u32(static_cast<std::uint32_t>(slot.srid));
    } else {
      u32(code | flags);
    }
    switch (code) {
      case 1:
        for (unsigned i = 0; i < k; ++i) ordinate(le);
        return;
      case 2:
        coordinates(le, k);
        return;
      case 3: {
        const std::uint32_t rings = read_u32(le);
        u32(rings);
        for (std::uint32_t r = 0; r < rings; ++r) coordinates(le, k);
        return;
      }
      default: {  // Multi members and collection members are whole records
        const std::uint32_t members = read_u32(le);
        u32(members);
        for (std::uint32_t m = 0; m < members; ++m) record(slot, false);
        return;
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input{data, size};
  auto text = decode_wkb_split_srid(input);
  // The option only changes the outermost header, so each input is rebuilt
  // twice: without an SRID, and with one of the options' SRIDs (which one
  // follows from the input, so all are reached across the corpus).
  const auto options = options_for(data, size);
  std::size_t pick = size;
  for (std::size_t i = 0; i < size && i < 16; ++i) pick = pick * 31 + data[i];
  const SridOption set = options[2 + pick % (options.size() - 2)].normalized();
  for (SridSlot slot : {SridSlot::none(), set.is_set() ? SridSlot::of(set.value) : SridSlot::none()}) {
    auto bytes = rebuild_ewkb(input, slot);
    auto hex = rebuild_ewkb_hex(input, slot);
    // Areas of exactly the bound, so an overrun is a sanitizer report, and
    // written even where the value fails: the bound holds for every input.
    const std::size_t bound = rebuild_bound(input, slot, RewriteEncoding::Bytes);
    FUZZ_CHECK(rebuild_bound(input, slot, RewriteEncoding::Hex) == 2 * bound);
    auto area = std::make_unique<char[]>(bound);
    auto in_area = rebuild_into(input, slot, RewriteEncoding::Bytes, area.get());
    auto hex_area = std::make_unique<char[]>(2 * bound);
    auto in_hex_area = rebuild_into(input, slot, RewriteEncoding::Hex, hex_area.get());
    FUZZ_CHECK(bytes.has_value() == text.has_value());
    FUZZ_CHECK(hex.has_value() == text.has_value());
    FUZZ_CHECK(in_area.has_value() == text.has_value());
    FUZZ_CHECK(in_hex_area.has_value() == text.has_value());
    if (!text) {
      FUZZ_CHECK(same_error(bytes.error(), text.error()));
      FUZZ_CHECK(same_error(hex.error(), text.error()));
      FUZZ_CHECK(same_error(in_area.error(), text.error()));
      FUZZ_CHECK(same_error(in_hex_area.error(), text.error()));
      continue;
    }
    Reference reference{data, {}, false};
    reference.record(slot, true);
    FUZZ_CHECK(bytes->view() == reference.out);
    FUZZ_CHECK(hex->view() == reference_hex(reference.out));
    FUZZ_CHECK(std::string_view(area.get(), *in_area) == bytes->view());
    FUZZ_CHECK(std::string_view(hex_area.get(), *in_hex_area) == hex->view());

    auto again = decode_wkb_split_srid(span_of(*bytes));
    FUZZ_CHECK(again.has_value() && again->text.view() == text->text.view());
    FUZZ_CHECK(again->slot.has_srid == slot.has_srid && again->slot.srid == slot.srid);
  }

  // ISO WKB: the outermost SRID dropped, or refused.
  const std::size_t bound = rebuild_bound(input, SridSlot::none(), RewriteEncoding::Bytes);
  for (bool refuse : {false, true}) {
    auto area = std::make_unique<char[]>(bound);
    auto hex_area = std::make_unique<char[]>(2 * bound);
    auto iso = rebuild_iso_into(input, refuse, RewriteEncoding::Bytes, area.get());
    auto iso_hex = rebuild_iso_into(input, refuse, RewriteEncoding::Hex, hex_area.get());
    FUZZ_CHECK(iso.has_value() == iso_hex.has_value());
    const bool refused = text && refuse && text->slot.has_srid;
    FUZZ_CHECK(iso.has_value() == (text.has_value() && !refused));
    if (!iso) {
      const ConversionError expected =
          text ? ConversionError::iso_srid(text->slot.srid) : text.error();
      FUZZ_CHECK(same_error(iso.error(), expected));
      FUZZ_CHECK(same_error(iso_hex.error(), expected));
      continue;
    }
    Reference reference{data, {}, true};
    reference.record(SridSlot::none(), true);
    const std::string_view out(area.get(), *iso);
    FUZZ_CHECK(out == reference.out);
    FUZZ_CHECK(std::string_view(hex_area.get(), *iso_hex) == reference_hex(out));
    auto again = decode_wkb_split_srid(span_of(out));
    FUZZ_CHECK(again.has_value() && again->text.view() == text->text.view());
    FUZZ_CHECK(!again->slot.has_srid);
  }
  return 0;
}
