// Splitting one pass over memory (a join's copies, a text column's ASCII scan)
// across threads, for the steps that would otherwise run alone on the calling
// thread before or after a conversion's parallel part.
#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

namespace geoweave::columns {

// Below this many bytes a pass stays on the calling thread: a thread costs
// tens of microseconds to start, a megabyte about a hundred to read or copy.
inline constexpr std::size_t PARALLEL_PASS_BYTES = std::size_t{8} << 20;

// How many shares a pass over `bytes` bytes is worth with `threads` allowed:
// one per thread, each of at least half the threshold.
inline unsigned pass_shares(std::size_t bytes, unsigned threads) noexcept {
  if (threads <= 1 || bytes < PARALLEL_PASS_BYTES) return 1;
  return static_cast<unsigned>(
      std::max<std::size_t>(1, std::min<std::size_t>(threads, bytes / (PARALLEL_PASS_BYTES / 2))));
}

// Calls share(k) for every k in [0, shares): share 0 on the calling thread,
// each other on a thread of its own as far as threads can be started (the
// calling thread runs those that could not). `share` must not throw.
template <class Share>
void run_shares(unsigned shares, const Share& share) {
  std::vector<std::thread> helpers;
  unsigned k = 1;
  try {
    helpers.reserve(shares > 0 ? shares - 1 : 0);
    for (; k < shares; ++k) helpers.emplace_back(share, k);
  } catch (...) {
    // No more threads (address space or thread limits).
  }
  share(0u);
  for (unsigned rest = k; rest < shares; ++rest) share(rest);
  for (std::thread& t : helpers) t.join();
}

// Bytes [begin, end) of share k of `shares` over `bytes` bytes.
inline std::size_t share_begin(std::size_t bytes, unsigned shares, unsigned k) noexcept {
  return k == 0 ? 0 : bytes / shares * k;
}
inline std::size_t share_end(std::size_t bytes, unsigned shares, unsigned k) noexcept {
  return k + 1 == shares ? bytes : bytes / shares * (k + 1);
}

}  // namespace geoweave::columns
