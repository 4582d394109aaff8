#!/usr/bin/env bash
# Fuzzes the Python surface of both modules, geoweave and geoweave_columns
# (fuzz/surface_fuzz.py, atheris), for SECONDS (default 60, the CI run; pass
# e.g. 1800 for a long run) against the ASan+UBSan build of the extension that
# scripts/sanitize.sh uses. Prints libFuzzer's final statistics
# (stat::number_of_executed_units is the execution count); exits non-zero on a
# crash, a sanitizer report or a broken invariant, leaving the input in
# build/fuzz-surface/artifacts. What a run discovers stays in
# build/fuzz-surface/corpus and seeds the next one. Extra arguments go to
# libFuzzer (e.g. -seed=1, or an artifact path to replay one input).
#
#   bash scripts/fuzz_surface.sh [SECONDS] [LIBFUZZER ARGS...]
GEOWEAVE_EXTRAS="[test]"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
SECONDS_TO_RUN="${1:-60}"
shift || true

# libFuzzer from Debian's clang runtime, as a shared library preloaded ahead
# of the sanitizer runtimes (see below); atheris then runs on it. atheris
# ships wheels for x86_64 CPython 3.13; where pip finds none it builds from
# source, which needs clang.
CLANG_VERSION=19
need_debs=()
FUZZER_A=$(ls /usr/lib/llvm-$CLANG_VERSION/lib/clang/*/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a 2>/dev/null | head -n 1 || true)
[ -n "$FUZZER_A" ] || need_debs+=("libclang-rt-$CLANG_VERSION-dev")
if ! "$PYTHON" -c 'import atheris' >/dev/null 2>&1 \
   && ! "$PYTHON" -m pip install -q --disable-pip-version-check --only-binary=atheris atheris; then
  command -v "clang-$CLANG_VERSION" >/dev/null 2>&1 || need_debs+=("clang-$CLANG_VERSION")
  ATHERIS_FROM_SOURCE=1
fi
install_debs "${need_debs[@]}"
FUZZER_A=$(ls /usr/lib/llvm-$CLANG_VERSION/lib/clang/*/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a | head -n 1)
if [ -n "${ATHERIS_FROM_SOURCE:-}" ]; then
  CLANG_BIN="$(command -v "clang-$CLANG_VERSION")" LIBFUZZER_LIB="$FUZZER_A" \
    "$PYTHON" -m pip install -q --disable-pip-version-check --no-binary=atheris atheris
fi

sanitize_build
OUT="$ROOT/build/fuzz-surface"
mkdir -p "$OUT/corpus" "$OUT/artifacts"
LIBFUZZER="$OUT/libfuzzer.so"
if [ ! -f "$LIBFUZZER" ] || [ "$FUZZER_A" -nt "$LIBFUZZER" ]; then
  g++ -shared -o "$LIBFUZZER" -Wl,--whole-archive "$FUZZER_A" -Wl,--no-whole-archive -lpthread
fi
sanitize_env
# libFuzzer comes first: the sanitizer runtime carries weak no-op versions of
# the coverage callbacks (__sanitizer_cov_8bit_counters_init and friends), and
# with it first atheris's coverage counters would be handed to those and never
# reach libFuzzer. ASan only needs to precede anything that defines malloc,
# which libFuzzer does not, so its link-order check is relaxed.
export LD_PRELOAD="$LIBFUZZER $LD_PRELOAD"
export ASAN_OPTIONS="$ASAN_OPTIONS:verify_asan_link_order=0"
# The extension itself carries no coverage instrumentation (g++ builds it, as
# for the sanitizer suite); coverage comes from the harness's own Python code,
# which spreads the inputs over every argument form.
# Given input files (an artifact to replay), libFuzzer runs just those.
corpus=("$OUT/corpus")
for arg in "$@"; do [ -f "$arg" ] && corpus=(); done
exec "$PYTHON" "$ROOT/fuzz/surface_fuzz.py" -max_total_time="$SECONDS_TO_RUN" \
  -print_final_stats=1 -rss_limit_mb=4096 -artifact_prefix="$OUT/artifacts/" "$@" "${corpus[@]}"
