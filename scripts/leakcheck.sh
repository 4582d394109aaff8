#!/usr/bin/env bash
# Sets up .venv like the test script and runs the leak check: every function
# called N times (default 10**6) on valid and on failing inputs, memory and
# reference counts flat. See scripts/leakcheck.py.
#
#   bash scripts/leakcheck.sh [N]
GEOWEAVE_EXTRAS="[test]"  # pyarrow, numpy and pandas feed the column functions
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$PYTHON" scripts/leakcheck.py "$@"
