// Floors for the benchmark suite: what the large conversions could cost at
// best, measured on the very data the Python side converts, plus the core
// conversions themselves without any Python around them.
//
//   floors --wkb LINESTRING.wkb --wkt LINESTRING.wkt [--reps N] [--only NAME,...]
//   floors --rows-wkb ROWS.list --rows-wkt ROWS.list [--reps N]
//
// The WKB must be one little-endian LineString (marker 1, type 2, count, then
// the XY doubles) and the WKT any text whose numbers are the tokens to parse.
// Prints one JSON object: for every measurement the median nanoseconds over N
// repetitions (one warm-up run excluded) and the individual runs. Times are
// the CPU time of the measuring thread (user and system, page faults
// included), like the Python side's, so that a busy machine's waits for a core
// do not count.
//
// Floors:
//   memcpy      the WKB bytes copied into a buffer that is already faulted in
//   dragonbox   jkj::dragonbox::to_decimal over every double of the WKB (the
//               shortest-digits search alone, no text written)
//   fast_float  fast_float::from_chars over every number token of the WKT,
//               token boundaries found beforehand
// Core (geoweave_core, each call owning a fresh output buffer as it does when
// called from Python):
//   core_wkb_to_wkt, core_wkt_to_wkb, core_wkt_to_hex_wkb, core_hex_encode,
//   core_hex_decode, core_set_srid_header
// Parts of the WKB -> WKT path:
//   format_ordinates   format_ordinate over every double into a warm buffer
// Per row, with --rows-wkb/--rows-wkt (files of records, each a little-endian
// u32 length then that many bytes: a column of small WKB or WKT geometries):
//   rows_wkb_to_wkt, rows_wkt_to_wkb  the core conversion called on every row
//               in turn, each call owning a fresh output buffer: the core's own
//               per-geometry time, which the column layer adds to

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <dragonbox/dragonbox.h>
#include <fast_float/fast_float.h>

#include "core/buffer.h"
#include "ops/convert.h"
#include "ops/header.h"
#include "ops/hex.h"
#include "wkb_to_wkt/builder.h"

namespace {

// CPU time of this thread in nanoseconds.
std::int64_t thread_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Keeps results alive so the optimiser cannot drop the work being timed.
volatile std::uint64_t g_sink;

struct Measurement {
  std::string name;
  std::vector<double> runs_ns;
  double median_ns = 0;
};

// Names given with --only; empty means all.
std::vector<std::string> g_only;

bool wanted(const char* name) {
  return g_only.empty() || std::find(g_only.begin(), g_only.end(), name) != g_only.end();
}

Measurement measure(const char* name, int reps, const std::function<void()>& body) {
  Measurement m{name, {}, 0};
  if (!wanted(name)) return m;
  body();  // warm-up, not counted
  for (int i = 0; i < reps; ++i) {
    const std::int64_t start = thread_ns();
    body();
    m.runs_ns.push_back(static_cast<double>(thread_ns() - start));
  }
  std::vector<double> sorted = m.runs_ns;
  std::sort(sorted.begin(), sorted.end());
  const std::size_t n = sorted.size();
  m.median_ns = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  return m;
}

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// The records of a rows file (see the top of this file).
std::vector<std::string> read_rows(const char* path) {
  const std::string data = read_file(path);
  std::vector<std::string> rows;
  std::size_t i = 0;
  while (i + 4 <= data.size()) {
    std::uint32_t n;
    std::memcpy(&n, data.data() + i, 4);
    i += 4;
    if (n > data.size() - i) {
      std::fprintf(stderr, "%s: record past the end of the file\n", path);
      std::exit(2);
    }
    rows.emplace_back(data.data() + i, n);
    i += n;
  }
  return rows;
}

void print_results(const std::vector<Measurement>& results) {
  std::printf(" \"results\": {");
  bool first = true;
  for (const Measurement& m : results) {
    if (m.runs_ns.empty()) continue;
    std::printf("%s\n  \"%s\": {\"median_ns\": %.0f, \"runs_ns\": [", first ? "" : ",",
                m.name.c_str(), m.median_ns);
    first = false;
    for (std::size_t k = 0; k < m.runs_ns.size(); ++k) {
      std::printf("%s%.0f", k ? ", " : "", m.runs_ns[k]);
    }
    std::printf("]}");
  }
  std::printf("\n }}\n");
}

// Per-row core conversions over columns of small geometries.
int run_rows(const char* wkb_rows_path, const char* wkt_rows_path, int reps) {
  std::vector<Measurement> results;
  std::size_t rows = 0;
  if (wkb_rows_path) {
    const std::vector<std::string> wkb = read_rows(wkb_rows_path);
    rows = wkb.size();
    results.push_back(measure("rows_wkb_to_wkt", reps, [&] {
      std::uint64_t n = 0;
      for (const std::string& row : wkb) {
        const geoweave::ByteSpan span{reinterpret_cast<const std::uint8_t*>(row.data()),
                                      row.size()};
        auto r = geoweave::convert_wkb_to_wkt(span, geoweave::SridOption::mirror());
        n += r ? r->size() : 0;
      }
      g_sink = n;
    }));
  }
  if (wkt_rows_path) {
    const std::vector<std::string> wkt = read_rows(wkt_rows_path);
    rows = wkt.size();
    results.push_back(measure("rows_wkt_to_wkb", reps, [&] {
      std::uint64_t n = 0;
      for (const std::string& row : wkt) {
        auto r = geoweave::convert_wkt_to_wkb(row, geoweave::SridOption::mirror());
        n += r ? r->size() : 0;
      }
      g_sink = n;
    }));
  }
  std::printf("{\"rows\": %zu,\n", rows);
  print_results(results);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* wkb_path = nullptr;
  const char* wkt_path = nullptr;
  const char* wkb_rows_path = nullptr;
  const char* wkt_rows_path = nullptr;
  int reps = 7;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--wkb" && i + 1 < argc) {
      wkb_path = argv[++i];
    } else if (arg == "--wkt" && i + 1 < argc) {
      wkt_path = argv[++i];
    } else if (arg == "--rows-wkb" && i + 1 < argc) {
      wkb_rows_path = argv[++i];
    } else if (arg == "--rows-wkt" && i + 1 < argc) {
      wkt_rows_path = argv[++i];
    } else if (arg == "--reps" && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc) {
      std::string_view list = argv[++i];
      while (!list.empty()) {
        const std::size_t comma = std::min(list.find(','), list.size());
        g_only.emplace_back(list.substr(0, comma));
        list.remove_prefix(std::min(comma + 1, list.size()));
      }
    } else {
      std::fprintf(stderr,
                   "usage: %s (--wkb FILE --wkt FILE | --rows-wkb FILE --rows-wkt FILE)"
                   " [--reps N] [--only NAME,...]\n",
                   argv[0]);
      return 2;
    }
  }
  if (wkb_rows_path || wkt_rows_path) return run_rows(wkb_rows_path, wkt_rows_path, reps);
  if (!wkb_path || !wkt_path) {
    std::fprintf(stderr, "usage: %s --wkb FILE --wkt FILE [--reps N]\n", argv[0]);
    return 2;
  }
  const std::string wkb = read_file(wkb_path);
  const std::string wkt = read_file(wkt_path);
  if (wkb.size() < 9 || wkb[0] != 1 || wkb[1] != 2) {
    std::fprintf(stderr, "%s is not a little-endian LineString\n", wkb_path);
    return 2;
  }
  const std::size_t doubles = (wkb.size() - 9) / 8;
  std::vector<double> values(doubles);
  std::memcpy(values.data(), wkb.data() + 9, doubles * 8);

  // Number tokens of the text, found before anything is timed.
  std::vector<std::pair<const char*, const char*>> tokens;
  for (std::size_t i = 0; i < wkt.size();) {
    if (is_number_char(wkt[i]) && (i == 0 || !std::isalpha(static_cast<unsigned char>(wkt[i - 1])))) {
      std::size_t j = i;
      while (j < wkt.size() && is_number_char(wkt[j])) ++j;
      tokens.emplace_back(wkt.data() + i, wkt.data() + j);
      i = j;
    } else {
      ++i;
    }
  }

  const geoweave::ByteSpan wkb_span{reinterpret_cast<const std::uint8_t*>(wkb.data()),
                                    wkb.size()};
  const std::string hex = [&] {
    geoweave::OutputBuffer h = geoweave::hex_encode_upper(wkb_span);
    return std::string(h.view());
  }();

  std::vector<Measurement> results;

  // A destination faulted in once, so the floor is the copy alone.
  std::vector<char> copy_target(wkb.size() + 64, 1);
  results.push_back(measure("memcpy", reps, [&] {
    std::memcpy(copy_target.data(), wkb.data(), wkb.size());
    g_sink = static_cast<std::uint64_t>(copy_target[wkb.size() / 2]);
  }));

  results.push_back(measure("dragonbox", reps, [&] {
    std::uint64_t acc = 0;
    for (double v : values) {
      if (v == 0.0 || !std::isfinite(v)) continue;
      const auto d = jkj::dragonbox::to_decimal(v);
      acc += d.significand ^ static_cast<std::uint64_t>(d.exponent);
    }
    g_sink = acc;
  }));

  results.push_back(measure("fast_float", reps, [&] {
    double acc = 0;
    for (const auto& [first, last] : tokens) {
      double v = 0;
      fast_float::from_chars(first, last, v);
      acc += v;
    }
    g_sink = static_cast<std::uint64_t>(acc);
  }));

  {
    std::vector<char> text(doubles * geoweave::ORDINATE_RESERVE / 8 + 4096, 1);
    const std::size_t chunk = 4096;  // rewind often so the buffer stays warm
    results.push_back(measure("format_ordinates", reps, [&] {
      char* p = text.data();
      std::size_t written = 0;
      for (std::size_t i = 0; i < doubles; ++i) {
        char* end = geoweave::format_ordinate(values[i], p);
        written += static_cast<std::size_t>(end - p);
        *end = ' ';
        p = (i % chunk == chunk - 1) ? text.data() : end + 1;
      }
      g_sink = written;
    }));
  }

  results.push_back(measure("core_wkb_to_wkt", reps, [&] {
    auto r = geoweave::convert_wkb_to_wkt(wkb_span, geoweave::SridOption::mirror());
    g_sink = r ? r->size() : 0;
  }));
  results.push_back(measure("core_wkt_to_wkb", reps, [&] {
    auto r = geoweave::convert_wkt_to_wkb(wkt, geoweave::SridOption::mirror());
    g_sink = r ? r->size() : 0;
  }));
  results.push_back(measure("core_wkt_to_hex_wkb", reps, [&] {
    auto r = geoweave::convert_wkt_to_hex_wkb(wkt, geoweave::SridOption::mirror());
    g_sink = r ? r->size() : 0;
  }));
  results.push_back(measure("core_hex_encode", reps, [&] {
    auto r = geoweave::hex_encode_upper(wkb_span);
    g_sink = r.size();
  }));
  results.push_back(measure("core_hex_decode", reps, [&] {
    auto r = geoweave::hex_decode(hex);
    g_sink = r ? r->size() : 0;
  }));
  results.push_back(measure("core_set_srid_header", reps, [&] {
    const auto plan = geoweave::plan_srid_rewrite(wkb_span, geoweave::SridOption::set(4326));
    geoweave::OutputBuffer out(plan.length);
    auto written = geoweave::write_plan(plan, wkb_span, out.tail(plan.length));
    if (!written) return;
    out.commit(*written);
    g_sink = out.size();
  }));

  std::printf("{\"doubles\": %zu, \"tokens\": %zu, \"wkb_bytes\": %zu, \"wkt_bytes\": %zu,\n",
              doubles, tokens.size(), wkb.size(), wkt.size());
  print_results(results);
  return 0;
}
