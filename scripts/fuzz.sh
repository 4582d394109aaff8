#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer
# over the Python-free core) and runs each one for SECONDS (default 20, the CI run;
# pass e.g. 600 for a long run). Seeds come from fuzz/gen_corpus.py; what a run
# discovers stays in the build directory and seeds the next run. Prints the number
# of executions per target; exits non-zero on the first crash, sanitizer report or
# broken invariant, leaving the input in $BUILD/artifacts.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/lib.sh"
BUILD="${GEOWEAVE_FUZZ_BUILD:-$ROOT/build/fuzz}"
SECONDS_PER_TARGET="${1:-20}"
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(wkb_to_wkt wkt_to_ewkb hex header auto arrow_import rebuild number format)

CLANG_VERSION=19
CXX="clang++-$CLANG_VERSION"
need_debs=()
command -v "$CXX" >/dev/null 2>&1 || need_debs+=("clang-$CLANG_VERSION")
ls /usr/lib/llvm-$CLANG_VERSION/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || need_debs+=("libclang-rt-$CLANG_VERSION-dev")
[ -f /usr/include/fast_float/fast_float.h ] || need_debs+=(libfast-float-dev)
ls /usr/include/dragonbox*/dragonbox/dragonbox.h >/dev/null 2>&1 || need_debs+=(libdragonbox-dev)
command -v cmake >/dev/null 2>&1 || need_debs+=(cmake)
command -v python3 >/dev/null 2>&1 || need_debs+=(python3)
install_debs "${need_debs[@]}"

cmake_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$CXX" -DGEOWEAVE_PYTHON=OFF -DGEOWEAVE_FUZZ=ON

python3 "$ROOT/fuzz/gen_corpus.py" "$BUILD/seeds"
mkdir -p "$BUILD/artifacts"
summary="$BUILD/summary.txt"
: >"$summary"
status=0
for target in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$target"
  mkdir -p "$corpus"
  log="$BUILD/$target.log"
  dict=()
  case "$target" in wkt_to_ewkb|auto|hex) dict=(-dict="$ROOT/fuzz/wkt.dict") ;; esac
  echo "fuzzing $target for ${SECONDS_PER_TARGET}s" >&2
  # New inputs go to the first directory; the seeds are read only.
  if UBSAN_OPTIONS=print_stacktrace=1 "$BUILD/fuzz/fuzz_$target" "$corpus" "$BUILD/seeds/$target" \
      "${dict[@]}" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED; status=1
    grep -E "ERROR|invariant failed|runtime error|SUMMARY" "$log" | head -n 5 >&2 || true
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  units=$(ls "$corpus" | wc -l)
  printf '%-12s %-6s executions=%s corpus=%s seconds=%s\n' \
    "$target" "$result" "${runs:-?}" "$units" "$SECONDS_PER_TARGET" | tee -a "$summary"
done
[ $status -eq 0 ] || echo "fuzzing found a problem: logs in $BUILD/*.log, inputs in $BUILD/artifacts" >&2
exit $status
