#!/usr/bin/env bash
# Builds geoweave another way, with warnings as errors, in a virtual environment
# and build tree of its own (build/variant-MODE/), and runs the test suite
# against that build. Extra arguments go to pytest.
#
#   bash scripts/build_variant.sh clang   # clang 19 and libc++ (Debian's clang-19, libc++-19-dev)
#   bash scripts/build_variant.sh gcc     # g++ and libstdc++, as the default build
#   bash scripts/build_variant.sh scalar  # g++, portable formatting code (GEOWEAVE_SCALAR_FORMATTER=ON)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/lib.sh"
MODE="${1:?usage: build_variant.sh clang|gcc|scalar [PYTEST ARGS...]}"
shift

CLANG_VERSION=19
export CXXFLAGS="-Werror"
unset LDFLAGS GEOWEAVE_CMAKE_DEFINES
case "$MODE" in
  clang)
    # libc++ 19: std::expected and std::byteswap need a recent one (Debian
    # 12's default libc++-dev is 14).
    need_debs=()
    command -v "clang++-$CLANG_VERSION" >/dev/null 2>&1 || need_debs+=("clang-$CLANG_VERSION")
    [ -d "/usr/lib/llvm-$CLANG_VERSION/include/c++/v1" ] \
      || need_debs+=("libc++-$CLANG_VERSION-dev" "libc++abi-$CLANG_VERSION-dev")
    install_debs "${need_debs[@]}"
    export CXX="clang++-$CLANG_VERSION"
    export CXXFLAGS="-stdlib=libc++ -Werror"
    export LDFLAGS="-stdlib=libc++"
    ;;
  gcc)
    export CXX=g++
    ;;
  scalar)
    export CXX=g++
    export GEOWEAVE_CMAKE_DEFINES="GEOWEAVE_SCALAR_FORMATTER=ON"
    ;;
  *) echo "unknown mode $MODE: clang, gcc or scalar" >&2; exit 2 ;;
esac

export GEOWEAVE_VENV="$ROOT/build/variant-$MODE/venv"
export GEOWEAVE_BUILD_DIR="$ROOT/build/variant-$MODE/cmake"
export GEOWEAVE_EXTRAS="[test]"
source "$ROOT/scripts/env.sh"
cd "$ROOT"

# The build is the one asked for: compiler, standard library and options as
# CMake recorded them, and the module linked against the expected library.
cache="$GEOWEAVE_BUILD_DIR/CMakeCache.txt"
grep -q "^CMAKE_CXX_COMPILER:[A-Z]*=.*$CXX\$" "$cache" \
  || { grep "^CMAKE_CXX_COMPILER:" "$cache" >&2; echo "not built with $CXX" >&2; exit 1; }
module=$("$PYTHON" -P -c 'import geoweave; print(geoweave.__file__)')
libs=$(ldd "$module")
case "$MODE" in
  clang) grep -q 'libc++\.so' <<<"$libs" || { echo "$module does not use libc++" >&2; exit 1; } ;;
  *) grep -q 'libstdc++\.so' <<<"$libs" || { echo "$module does not use libstdc++" >&2; exit 1; } ;;
esac
if [ "$MODE" = scalar ]; then
  grep -q '^GEOWEAVE_SCALAR_FORMATTER:BOOL=ON$' "$cache" || { echo "scalar option not set" >&2; exit 1; }
fi
echo "variant $MODE: $module ($CXX, CXXFLAGS=$CXXFLAGS)"
exec "$PYTHON" -P -m pytest -q -p no:cacheprovider $(pytest_workers "$PYTHON") "$@" tests
