// WKB of any dialect rebuilt as canonical EWKB: the WKB reader driving the
// emitter of ops/ewkb_emitter.h.
#include "ops/ewkb_rebuild.h"

#include "ops/ewkb_emitter.h"

namespace geoweave {
namespace {

template <bool Hex>
Result<std::size_t> rebuild_with(ByteSpan wkb, SridSlot slot, char* out) {
  EwkbEmitter<Hex, WkbFlavor::Extended> emitter(out, slot);
  // The input's own SRID is read and dropped: the slot alone decides.
  if (auto read = wkb::read_wkb(wkb, emitter); !read) return fail(std::move(read.error()));
  return static_cast<std::size_t>(emitter.end() - out);
}

Result<OutputBuffer> rebuild_to_buffer(ByteSpan wkb, SridSlot slot, RewriteEncoding encoding,
                                       BufferStorage* storage) {
  const std::size_t bound = rebuild_bound(wkb, slot, encoding);
  OutputBuffer out(storage, bound);
  auto written = rebuild_into(wkb, slot, encoding, out.tail(bound));
  if (!written) return fail(std::move(written.error()));
  out.commit(*written);
  return out;
}

}  // namespace

Result<OutputBuffer> rebuild_ewkb(ByteSpan wkb, SridSlot slot, BufferStorage* storage) {
  return rebuild_to_buffer(wkb, slot, RewriteEncoding::Bytes, storage);
}

Result<OutputBuffer> rebuild_ewkb_hex(ByteSpan wkb, SridSlot slot, BufferStorage* storage) {
  return rebuild_to_buffer(wkb, slot, RewriteEncoding::Hex, storage);
}

std::size_t rebuild_bound(ByteSpan wkb, SridSlot slot, RewriteEncoding encoding) noexcept {
  const std::size_t bytes = wkb.size + (slot.has_srid ? 4 : 0);
  return encoding == RewriteEncoding::Hex ? 2 * bytes : bytes;
}

Result<std::size_t> rebuild_into(ByteSpan wkb, SridSlot slot, RewriteEncoding encoding,
                                 char* out) {
  if (encoding == RewriteEncoding::Hex) return rebuild_with<true>(wkb, slot, out);
  return rebuild_with<false>(wkb, slot, out);
}

}  // namespace geoweave
