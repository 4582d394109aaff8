#!/usr/bin/env bash
# Other architectures: cross-compiles the Python-free core with the corpus
# replay driver (tools/replay) for aarch64 and s390x (big-endian) with Debian's
# cross compilers, runs it under qemu-user, and requires every result to match
# the x86_64 build's byte for byte. The corpus comes from
# tools/replay/gen_cases.py and the x86_64 results are recorded on every run,
# so the comparison always follows the current code; they are first checked
# against the Python module built in .venv (tools/replay/check_module.py).
# "x86_64-baseline" runs the x86_64 build itself under qemu-user emulating a
# processor without AVX (Nehalem), so that code chosen at run time by the
# processor's features takes its SSE2 fallback, and compares it the same way;
# the module's rebuild tests then run under the same emulated processor.
#
#   bash scripts/cross.sh [ARCH...]      (default: aarch64 s390x x86_64-baseline)
#
# Builds and results go to build/cross/. A difference prints the first
# differing lines and fails.
# The module in .venv (scripts/env.sh) checks the recorded results first.
GEOWEAVE_EXTRAS="[test]"  # pytest, for the module's rebuild tests under x86_64-baseline
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
BUILD="${GEOWEAVE_CROSS_BUILD:-$ROOT/build/cross}"
ARCHES=("$@")
[ ${#ARCHES[@]} -gt 0 ] || ARCHES=(aarch64 s390x x86_64-baseline)

need_debs=()
for arch in "${ARCHES[@]}"; do
  case "$arch" in
    aarch64|s390x)
      command -v "$arch-linux-gnu-g++" >/dev/null 2>&1 || need_debs+=("g++-$arch-linux-gnu")
      command -v "qemu-$arch-static" >/dev/null 2>&1 || need_debs+=(qemu-user-static) ;;
    x86_64-baseline)
      command -v qemu-x86_64-static >/dev/null 2>&1 || need_debs+=(qemu-user-static) ;;
    *) echo "unknown architecture $arch (aarch64, s390x, x86_64-baseline)" >&2; exit 2 ;;
  esac
done
ls /usr/include/dragonbox*/dragonbox/dragonbox.h >/dev/null 2>&1 || need_debs+=(libdragonbox-dev)
[ -f /usr/include/fast_float/fast_float.h ] || need_debs+=(libfast-float-dev)
command -v cmake >/dev/null 2>&1 || need_debs+=(cmake)
command -v g++ >/dev/null 2>&1 || need_debs+=(g++)
install_debs $(printf '%s\n' "${need_debs[@]}" | sort -u)

# Both dependencies are header-only for the core (dragonbox's compiled
# to_chars library is not used), so the host's headers serve every target.
# They are given to the cross compilers through a folder of their own: adding
# /usr/include itself would put the host's C library headers in front of the
# target's.
DRAGONBOX_DIR=$(dirname "$(ls /usr/lib/*/cmake/dragonbox-*/dragonboxConfig.cmake | head -n 1)")
mkdir -p "$BUILD/include"
ln -sfn /usr/include/fast_float "$BUILD/include/fast_float"

"$PYTHON" "$ROOT/tools/replay/gen_cases.py" "$BUILD/cases.txt"

cmake_build "$BUILD/x86_64" -DGEOWEAVE_PYTHON=OFF -DGEOWEAVE_REPLAY=ON
"$BUILD/x86_64/geoweave_replay" "$BUILD/cases.txt" >"$BUILD/x86_64.out"
echo "x86_64: $(wc -l <"$BUILD/x86_64.out") results recorded" >&2
# What is compared is what Python callers get.
"$PYTHON" "$ROOT/tools/replay/check_module.py" "$BUILD/cases.txt" "$BUILD/x86_64.out"

status=0
# compare ARCH HOW: ARCH's results against the x86_64 ones; HOW says how they
# were obtained, for the report.
compare() {
  if cmp -s "$BUILD/x86_64.out" "$BUILD/$1.out"; then
    echo "$1: identical to x86_64 ($(wc -l <"$BUILD/$1.out") results, $2)"
  else
    echo "$1: DIFFERS from x86_64; first differences:" >&2
    diff "$BUILD/x86_64.out" "$BUILD/$1.out" | head -n 20 | cut -c1-300 >&2 || true
    status=1
  fi
}
for arch in "${ARCHES[@]}"; do
  started=$SECONDS
  if [ "$arch" = x86_64-baseline ]; then
    qemu-x86_64-static -cpu Nehalem "$BUILD/x86_64/geoweave_replay" "$BUILD/cases.txt" \
      >"$BUILD/$arch.out"
    compare "$arch" "$((SECONDS - started)) s under qemu -cpu Nehalem"
    # The corpus holds few special ordinates; the rebuild tests put NaNs,
    # negative zeros and infinities at every position of runs of every length,
    # which is where the SSE2 fallback's groups and overlapping last group
    # differ from the AVX2 ones. The module in .venv, under the same processor.
    if ! qemu-x86_64-static -cpu Nehalem "$PYTHON" -m pytest -q -p no:cacheprovider \
        "$ROOT/tests/test_srid_rebuild.py" >"$BUILD/$arch.pytest" 2>&1; then
      echo "$arch: the rebuild tests fail under qemu -cpu Nehalem:" >&2
      tail -n 20 "$BUILD/$arch.pytest" >&2
      status=1
    else
      echo "$arch: $(tail -n 1 "$BUILD/$arch.pytest") under qemu -cpu Nehalem"
    fi
    continue
  fi
  # Static executables: qemu-user then needs no target C library on the host.
  cmake_build "$BUILD/$arch" -DGEOWEAVE_PYTHON=OFF -DGEOWEAVE_REPLAY=ON \
    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$arch" \
    -DCMAKE_CXX_COMPILER="$arch-linux-gnu-g++" -DCMAKE_EXE_LINKER_FLAGS=-static \
    -Ddragonbox_DIR="$DRAGONBOX_DIR" -DFAST_FLOAT_INCLUDE_DIR="$BUILD/include"
  file_type=$(file -b "$BUILD/$arch/geoweave_replay" 2>/dev/null || echo "?")
  started=$SECONDS
  "qemu-$arch-static" "$BUILD/$arch/geoweave_replay" "$BUILD/cases.txt" >"$BUILD/$arch.out"
  compare "$arch" "$((SECONDS - started)) s under qemu; ${file_type%%,*}"
done
exit $status
