// WKB of any dialect rebuilt as ISO WKB, in a translation unit of its own
// (see ops/ewkb_emitter.h).
#include "ops/ewkb_emitter.h"
#include "ops/ewkb_rebuild.h"

namespace geoweave {
namespace {

template <bool Hex>
Result<std::size_t> rebuild_iso_with(ByteSpan wkb, bool refuse_srid, char* out) {
  EwkbEmitter<Hex, WkbFlavor::Iso> emitter(out, SridSlot::none());
  auto read = wkb::read_wkb(wkb, emitter);
  if (!read) return fail(std::move(read.error()));
  if (refuse_srid && read->has_srid) return fail(ConversionError::iso_srid(read->srid));
  return static_cast<std::size_t>(emitter.end() - out);
}

}  // namespace

Result<std::size_t> rebuild_iso_into(ByteSpan wkb, bool refuse_srid, RewriteEncoding encoding,
                                     char* out) {
  if (encoding == RewriteEncoding::Hex) return rebuild_iso_with<true>(wkb, refuse_srid, out);
  return rebuild_iso_with<false>(wkb, refuse_srid, out);
}

}  // namespace geoweave
