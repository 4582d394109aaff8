// The ordinate formatter against the one it replaced (reference_ordinate_format.h):
// the same bytes for every double, alone and in tuples of 2 to 4.
//
// Each 8 bytes of input give several doubles: the bit pattern itself and its two
// neighbours, the value rounded to a few decimals and to an integer (the shapes
// coordinates take: short and long significands, points anywhere in them), and
// an integer near 2^53, so subnormals, powers of ten, integers on both sides of
// the integer fast path and halfway cases are all reached.
#include <cmath>
#include <cstring>
#include <limits>

#include "fuzz_common.h"
#include "reference_ordinate_format.h"
#include "wkb_to_wkt/builder.h"
#include "wkb_to_wkt/ordinate_format.h"

namespace {

constexpr std::size_t ROOM = 4 * geoweave::ORDINATE_RESERVE + 64;

void check_one(double x) {
  char got[ROOM];
  char want[ROOM];
  const char* got_end = geoweave::format_ordinate(x, got);
  const char* want_end = geoweave_reference::format_ordinate_inline(x, want);
  FUZZ_CHECK(got_end - got == want_end - want);
  FUZZ_CHECK(std::memcmp(got, want, static_cast<std::size_t>(got_end - got)) == 0);
}

template <unsigned K>
void check_tuple(const double* values) {
  char got[ROOM];
  char want[ROOM];
  const char* got_end = geoweave::detail::format_tuple<K>(values, got);
  const char* want_end = geoweave_reference::format_tuple<K>(values, want);
  FUZZ_CHECK(got_end - got == want_end - want);
  FUZZ_CHECK(std::memcmp(got, want, static_cast<std::size_t>(got_end - got)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  double values[64];
  unsigned count = 0;
  for (std::size_t at = 0; at + 8 <= size && count + 10 <= 64; at += 8) {
    double x;
    std::memcpy(&x, data + at, 8);
    std::int64_t i;
    std::memcpy(&i, data + at, 8);
    const double inf = std::numeric_limits<double>::infinity();
    values[count++] = x;
    values[count++] = std::nextafter(x, inf);
    values[count++] = std::nextafter(x, -inf);
    // Rounded to 0..17 decimals: short significands with the point anywhere.
    const int decimals = static_cast<int>(static_cast<unsigned>(data[at]) % 18);
    const double scale = std::pow(10.0, decimals);
    const double scaled = std::nearbyint(x * scale) / scale;
    values[count++] = std::isfinite(scaled) ? scaled : x;
    values[count++] = std::trunc(x);
    // Integers near 2^53 and below 10^15, and small ones.
    values[count++] = static_cast<double>((std::int64_t{1} << 53) + (i % 4096));
    values[count++] = static_cast<double>(i % 1000000000000000);
    values[count++] = static_cast<double>(i % 100000) / 1000.0;
    // Decimals of up to 15 digits with 7 places, where r = x * 10^7 comes
    // near 10^15, and such decimals' neighbours.
    const double seven = static_cast<double>(i % 1000000000000000) / 1e7;
    values[count++] = seven;
    values[count++] = std::nextafter(seven, inf);
  }
  for (unsigned k = 0; k < count; ++k) check_one(values[k]);
  for (unsigned k = 0; k + 4 <= count; k += 4) {
    check_tuple<2>(values + k);
    check_tuple<3>(values + k);
    check_tuple<4>(values + k);
  }
  return 0;
}
