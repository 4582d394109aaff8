#!/usr/bin/env bash
# Runs the test suite (or the pytest arguments given) under valgrind memcheck
# against a Release build of the extension with debug information. Any memcheck
# error fails the run. Python's allocator is switched to malloc so memcheck sees
# every object. Leaks are not reported here (the interpreter keeps memory until
# exit by design); scripts/leakcheck.py checks the module for leaks.
#
#   bash scripts/valgrind.sh              # the whole suite (slow: tens of minutes)
#   bash scripts/valgrind.sh --ci         # a representative subset, for CI
#   bash scripts/valgrind.sh tests/test_hex.py -k odd
GEOWEAVE_EXTRAS="[test]"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
command -v valgrind >/dev/null 2>&1 || install_debs valgrind
BUILD="${GEOWEAVE_VALGRIND_BUILD:-$ROOT/build/valgrind}"
cmake_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PYTHON"

args=("$@")
if [ "${1:-}" = "--ci" ]; then
  # Every function with its argument and error paths, the header and
  # auto-detection paths and the cross-function properties; the long
  # formatting and parsing tables are left to the full run.
  args=(tests/test_module_surface.py tests/test_auto_detect.py tests/test_hex.py
        tests/test_header_ops.py tests/test_wkt_to_wkb_functions.py tests/test_properties.py
        tests/test_readme.py)
elif [ ${#args[@]} -eq 0 ]; then
  args=(tests)
fi
export PYTHONMALLOC=malloc
export PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}"
check_build_imports "$BUILD"
exec valgrind --tool=memcheck --error-exitcode=99 --leak-check=no --show-leak-kinds=none \
  --num-callers=30 --suppressions="$ROOT/scripts/valgrind-python.supp" \
  "$PYTHON" -m pytest -q -p no:cacheprovider "${args[@]}"
