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
sanitize_build
sanitize_env
exec "$PYTHON" -m pytest -q -p no:cacheprovider $(pytest_workers "$PYTHON") "$@" tests
