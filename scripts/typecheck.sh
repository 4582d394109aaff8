#!/usr/bin/env bash
# Type checks: installs geoweave (with its stubs) and mypy into .venv, then runs
# mypy --strict over tests/stubs_usage.py (every function called as user code
# does) and tests/stubs_columns_usage.py (each kind of column typed to its own
# kind of result), mypy's stubtest (stubs against the built modules) and the stub
# drift test.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
"$PYTHON" -m pip install -q --disable-pip-version-check "mypy>=1.11" "pytest>=8" >/dev/null
# From outside the tree, so mypy finds geoweave only as installed (PEP 561 stubs).
OUTSIDE=$(mktemp -d)
trap 'rm -rf "$OUTSIDE"' EXIT
(cd "$OUTSIDE" && "$PYTHON" -m mypy --strict --cache-dir=/dev/null "$ROOT/tests/stubs_usage.py" \
  "$ROOT/tests/stubs_columns_usage.py" \
  && "$PYTHON" -m mypy.stubtest geoweave geoweave_columns)
"$PYTHON" -m pytest -q -p no:cacheprovider "$@" tests/test_stubs.py
