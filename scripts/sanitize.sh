#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer (g++,
# every report fatal) and runs the test suite against it, the sanitizer runtimes
# preloaded into the interpreter. Python's allocator is switched to malloc so
# that the bounds of every object, including the results the module fills in
# place, are checked too. Leak detection is off: the interpreter itself keeps
# memory until exit by design; scripts/leakcheck.py checks the module for leaks.
# Extra arguments go to pytest.
#
#   bash scripts/sanitize.sh [PYTEST ARGS...]
GEOWEAVE_EXTRAS="[test]"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
BUILD="${GEOWEAVE_SANITIZE_BUILD:-$ROOT/build/sanitize}"
FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS="$FLAGS" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DPython_EXECUTABLE="$PYTHON"

export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc
export PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}"
# The sanitized module, not the one installed in the virtual environment.
"$PYTHON" -c 'import geoweave, sys; assert geoweave.__file__.startswith(sys.argv[1]), geoweave.__file__' "$BUILD"
exec "$PYTHON" -m pytest -q -p no:cacheprovider "$@" tests
