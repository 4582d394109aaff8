// Canonical WKT text builder: fixed pieces and ordinate formatting, appended
// straight into the caller's buffer.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/types.h"

namespace geoweave {

// Longest text one ordinate can take ("-0.000...", smallest subnormals).
inline constexpr std::size_t MAX_ORDINATE_CHARS = 327;

// Writes one double in the canonical positional form at `out` (which must have
// room for MAX_ORDINATE_CHARS) and returns the end pointer.
char* format_ordinate(double x, char* out) noexcept;

// Appends `count` (0..4) ordinates separated by single spaces.
void write_ordinates(OutputBuffer& out, const double* values, unsigned count);

// Appends "SRID=<srid>;".
void write_srid_prefix(OutputBuffer& out, std::int32_t srid);

// Appends the keyword of `type` followed by the tag of `dim`.
void write_keyword_and_tag(OutputBuffer& out, GeometryType type, Dimension dim);

}  // namespace geoweave
