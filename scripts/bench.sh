#!/usr/bin/env bash
# The benchmark suites in one command: builds and installs geoweave into .venv
# (installing what is missing, like scripts/test.sh), adds the peers it is
# compared with from the Python package index (shapely, geoarrow-c and
# nanoarrow to feed it, pyarrow, and DuckDB with its spatial extension for the
# column benchmark), builds the C++ floor program bench/floors.cpp with CMake,
# then runs bench/suite.py (single geometries and lists) and bench/columns.py
# (whole columns with geoweave_columns) and prints their tables.
#
#   bash scripts/bench.sh [--quick] [--reps N] [--only suite|columns] [--chart]
#                         [--json FILE] [--columns-json FILE] [--rows N] [ARGS]
#
# --quick (tiny sizes, a smoke run) and --reps go to both; --json FILE and any
# other argument to bench/suite.py; --columns-json FILE (the column results in
# the chart's format) and --rows N to bench/columns.py.
#
# --chart also draws the throughput chart from the run's results with
# bench/chart.py (matplotlib installed into build/bench/chart-venv): from the
# suite's results, or from the column benchmark's with --only columns;
# docs/throughput.png, or build/bench/throughput-quick.png for a --quick run,
# so that a smoke run never replaces the published chart.
#
# bash scripts/bench.sh --by-size [ARGS]   runs bench/sizes.py instead (CPU
#                                            time and page faults per call by
#                                            result size; ARGS go to it)
# bash scripts/bench.sh --srid-rewrite [ARGS]  runs bench/srid_rewrite.py instead
#                                            (SRID rewrites that rebuild, against
#                                            bytes(memoryview(b)) and b.hex())
# bash scripts/bench.sh --cli [ARGS]        runs bench/cli.py instead (the
#                                            geoweave command against DuckDB
#                                            spatial's COPY, GeoPandas and ogr2ogr
#                                            on CSV -> GeoParquet -> CSV; ARGS go
#                                            to it, e.g. --points N --polygons N)
# bash scripts/bench.sh --instructions [ARGS]  runs bench/instructions.py instead
#                                            (instructions per row under callgrind,
#                                            against geoarrow-c; --quick for a
#                                            smoke run); installs valgrind
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"

if [ "${1:-}" = "--by-size" ]; then
  shift
  exec "$PYTHON" bench/sizes.py "$@"
fi
if [ "${1:-}" = "--cli" ]; then
  shift
  "$PYTHON" -m pip install -q --disable-pip-version-check \
    "pyarrow>=16" "numpy>=1.26" "pyproj>=3.6" "geopandas>=1.0" "duckdb>=1.1" >/dev/null
  "$PYTHON" -m pip install -q --disable-pip-version-check duckdb-extension-spatial >/dev/null 2>&1 \
    || echo "duckdb-extension-spatial could not be installed: DuckDB left out" >&2
  # ogr2ogr takes part where it is installed with a Parquet driver (Debian's
  # gdal-bin has none, so it is not installed for this).
  exec "$PYTHON" bench/cli.py "$@"
fi
if [ "${1:-}" = "--srid-rewrite" ]; then
  shift
  exec "$PYTHON" bench/srid_rewrite.py "$@"
fi
if [ "${1:-}" = "--instructions" ]; then
  shift
  command -v valgrind >/dev/null 2>&1 || install_debs valgrind
  "$PYTHON" -m pip install -q --disable-pip-version-check \
    "numpy>=1.26" "geoarrow-c>=0.1" "nanoarrow>=0.5" >/dev/null
  exec "$PYTHON" bench/instructions.py "$@"
fi

"$PYTHON" -m pip install -q --disable-pip-version-check \
  "numpy>=1.26" "shapely>=2.0" "geoarrow-c>=0.1" "nanoarrow>=0.5" "pyarrow>=16" >/dev/null
# DuckDB's spatial extension comes as a package pinning the DuckDB it was built
# for; where it has no wheel the column benchmark leaves DuckDB out.
"$PYTHON" -m pip install -q --disable-pip-version-check duckdb-extension-spatial >/dev/null 2>&1 \
  || echo "duckdb-extension-spatial could not be installed: DuckDB left out" >&2

# The floors link the same core the extension is built from, without Python.
BENCH_BUILD="$ROOT/build/bench"
generator=()
if [ ! -f "$BENCH_BUILD/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
cmake -S "$ROOT" -B "$BENCH_BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DGEOWEAVE_PYTHON=OFF -DGEOWEAVE_BENCH=ON >/dev/null
cmake --build "$BENCH_BUILD" --target geoweave_floors -j "$(nproc)" >/dev/null

chart=0 quick=0 json="" columns_json="" only="" args=() columns_args=() previous=""
for arg in "$@"; do
  case "$previous" in
    --columns-json) columns_json="$arg"; previous=""; continue ;;
    --rows) columns_args+=(--rows "$arg"); previous=""; continue ;;
    --only) only="$arg"; previous=""; continue ;;
    --json) json="$arg" ;;
    --reps) columns_args+=(--reps "$arg") ;;
  esac
  case "$arg" in
    --chart) chart=1; previous=""; continue ;;
    --columns-json|--rows|--only) previous="$arg"; continue ;;
    --quick) quick=1; columns_args+=(--quick) ;;
    --json=*) json="${arg#--json=}" ;;
  esac
  args+=("$arg")
  previous="$arg"
done
if [ "$chart" = 1 ] && [ "$only" = columns ] && [ -z "$columns_json" ]; then
  columns_json="$BENCH_BUILD/columns-results.json"
elif [ "$chart" = 1 ] && [ "$only" != columns ] && [ -z "$json" ]; then
  json="$BENCH_BUILD/results.json"
  args+=(--json "$json")
fi
[ -z "$columns_json" ] || columns_args+=(--json "$columns_json")

if [ "$only" != columns ]; then
  "$PYTHON" bench/suite.py --floors "$BENCH_BUILD/geoweave_floors" ${args[@]+"${args[@]}"}
fi
if [ "$only" != suite ]; then
  [ "$only" = columns ] || echo
  "$PYTHON" bench/columns.py --floors "$BENCH_BUILD/geoweave_floors" \
    ${columns_args[@]+"${columns_args[@]}"}
fi

if [ "$chart" = 1 ]; then
  # matplotlib lives in a venv of its own: .venv, which the test suite, the
  # sanitizers and valgrind run in, never holds it.
  CHART_VENV="$BENCH_BUILD/chart-venv"
  [ -x "$CHART_VENV/bin/python" ] || "$PYTHON" -m venv "$CHART_VENV"
  "$CHART_VENV/bin/python" -m pip install -q --disable-pip-version-check "matplotlib>=3.5" >/dev/null
  output="$ROOT/docs/throughput.png"
  [ "$quick" = 0 ] || output="$BENCH_BUILD/throughput-quick.png"
  source_json="$json"
  [ "$only" != columns ] || source_json="$columns_json"
  "$CHART_VENV/bin/python" bench/chart.py "$source_json" -o "$output" --command "bash scripts/bench.sh $*"
fi
