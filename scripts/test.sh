#!/usr/bin/env bash
# Builds and installs geoweave with its test dependencies into .venv (installing
# what is missing) and runs the test suite. Extra arguments go to pytest.
GEOWEAVE_EXTRAS="[test]"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
exec "$PYTHON" -m pytest -q -p no:cacheprovider $(pytest_workers "$PYTHON") "$@" tests
