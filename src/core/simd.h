// Which formatting code the build uses: the SSE2 digit lanes and hex nibble
// shuffles on x86 targets, the portable scalar forms everywhere else and
// whenever the build defines GEOWEAVE_SCALAR_FORMATTER (the CMake option of
// that name), so that the portable code can be built and tested on x86 too.
#pragma once

#if defined(__SSE2__) && !defined(GEOWEAVE_SCALAR_FORMATTER)
#define GEOWEAVE_USE_SSE2 1
#include <emmintrin.h>
#else
#define GEOWEAVE_USE_SSE2 0
#endif
