#!/usr/bin/env bash
# The benchmark suite in one command: builds and installs geoweave into .venv
# (installing what is missing, like scripts/test.sh), adds the peers it is
# compared with (shapely, geoarrow-c and nanoarrow to feed it) from the Python
# package index, builds the C++ floor program bench/floors.cpp with CMake, runs
# bench/suite.py and prints its table. Extra arguments go to bench/suite.py
# (--quick for a smoke run with tiny sizes, --reps N, --json FILE).
#
# --chart also draws the throughput chart from the run's results with
# bench/chart.py (matplotlib installed into build/bench/chart-venv):
# docs/throughput.png, or
# build/bench/throughput-quick.png for a --quick run, so that a smoke run never
# replaces the published chart.
#
# bash scripts/bench.sh --by-size [ARGS]   runs bench/sizes.py instead (CPU
#                                            time and page faults per call by
#                                            result size; ARGS go to it)
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"

if [ "${1:-}" = "--by-size" ]; then
  shift
  exec "$PYTHON" bench/sizes.py "$@"
fi

"$PYTHON" -m pip install -q --disable-pip-version-check \
  "numpy>=1.26" "shapely>=2.0" "geoarrow-c>=0.1" "nanoarrow>=0.5" >/dev/null

# The floors link the same core the extension is built from, without Python.
BENCH_BUILD="$ROOT/build/bench"
generator=()
if [ ! -f "$BENCH_BUILD/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
cmake -S "$ROOT" -B "$BENCH_BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DGEOWEAVE_PYTHON=OFF -DGEOWEAVE_BENCH=ON >/dev/null
cmake --build "$BENCH_BUILD" --target geoweave_floors -j "$(nproc)" >/dev/null

chart=0 quick=0 json="" args=() previous=""
for arg in "$@"; do
  case "$arg" in
    --chart) chart=1; continue ;;
    --quick) quick=1 ;;
    --json=*) json="${arg#--json=}" ;;
  esac
  [ "$previous" = "--json" ] && json="$arg"
  args+=("$arg")
  previous="$arg"
done
if [ "$chart" = 1 ] && [ -z "$json" ]; then
  json="$BENCH_BUILD/results.json"
  args+=(--json "$json")
fi

"$PYTHON" bench/suite.py --floors "$BENCH_BUILD/geoweave_floors" ${args[@]+"${args[@]}"}

if [ "$chart" = 1 ]; then
  # matplotlib lives in a venv of its own: .venv, which the test suite, the
  # sanitizers and valgrind run in, never holds it.
  CHART_VENV="$BENCH_BUILD/chart-venv"
  [ -x "$CHART_VENV/bin/python" ] || "$PYTHON" -m venv "$CHART_VENV"
  "$CHART_VENV/bin/python" -m pip install -q --disable-pip-version-check "matplotlib>=3.5" >/dev/null
  output="$ROOT/docs/throughput.png"
  [ "$quick" = 0 ] || output="$BENCH_BUILD/throughput-quick.png"
  "$CHART_VENV/bin/python" bench/chart.py "$json" -o "$output" --command "bash scripts/bench.sh $*"
fi
