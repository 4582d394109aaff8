// Canonical WKT text builder: fixed pieces and ordinate formatting, appended
// straight into the caller's buffer.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/types.h"

namespace geoweave {

// Longest text one ordinate can take ("-0.000...", smallest subnormals).
inline constexpr std::size_t MAX_ORDINATE_CHARS = 327;
// The formatter copies digit and zero runs in fixed-size blocks and may write up
// to this many bytes past the end of the text it returns.
inline constexpr std::size_t ORDINATE_OVERWRITE = 32;
// Room to reserve per ordinate (text, separator and overwrite slack).
inline constexpr std::size_t ORDINATE_RESERVE = MAX_ORDINATE_CHARS + 1 + ORDINATE_OVERWRITE;

// Writes one double in the canonical positional form at `out` (which must have
// room for ORDINATE_RESERVE bytes) and returns the end of the text.
char* format_ordinate(double x, char* out) noexcept;

// Appends `count` (0..4) ordinates separated by single spaces.
void write_ordinates(OutputBuffer& out, const double* values, unsigned count);

// Appends "SRID=<srid>;".
void write_srid_prefix(OutputBuffer& out, std::int32_t srid);

// Appends the keyword of `type` followed by the tag of `dim`.
void write_keyword_and_tag(OutputBuffer& out, GeometryType type, Dimension dim);

// Room put_keyword_and_tag needs (it copies a fixed-width block).
inline constexpr std::size_t KEYWORD_RESERVE = 24;
// Writes the keyword of `type` and the tag of `dim` at `out` (room for
// KEYWORD_RESERVE bytes) and returns the end of the text.
char* put_keyword_and_tag(char* out, GeometryType type, Dimension dim) noexcept;

}  // namespace geoweave
