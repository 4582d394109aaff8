#!/usr/bin/env bash
# The sdist builds where dragonbox and fast_float are not installed: builds the
# sdist (scripts/sdist.sh), then, in a private mount namespace where the system
# copies of both are hidden under empty tmpfs mounts, installs it with pip into
# a clean virtual environment (CMake must say it used the bundled copies), runs
# the test suite of this checkout against that installation, and checks that a
# source tree with neither a system nor a bundled copy still fails to configure
# with the message naming the Debian package. Extra arguments go to pytest.
#
#   bash scripts/sdist_check.sh [PYTEST ARGS...]
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
command -v unshare >/dev/null 2>&1 || install_debs util-linux

WORK=$(mktemp -d /tmp/geoweave-sdist-check.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
bash "$ROOT/scripts/sdist.sh" "$WORK/dist" >/dev/null
SDIST=$(ls "$WORK"/dist/geoweave-*.tar.gz)
listing=$(tar tzf "$SDIST")
for want in bundled/dragonbox/include/dragonbox/dragonbox.h bundled/dragonbox/licenses/copyright \
    bundled/fast_float/include/fast_float/fast_float.h bundled/fast_float/licenses/copyright; do
  grep -qx "geoweave-[^/]*/$want" <<<"$listing" || { echo "sdist lacks $want" >&2; exit 1; }
done
echo "sdist: $(basename "$SDIST"), $(wc -l <<<"$listing") entries, dependencies bundled"

# What a machine without the Debian packages lacks: the headers and dragonbox's
# CMake package files (fast_float's too, though the build does not look for them).
HIDE=(/usr/include/dragonbox* /usr/include/fast_float /usr/lib/*/cmake/dragonbox* /usr/lib/cmake/FastFloat)
BASE=$("$PYTHON" -c 'import sys; print(sys._base_executable)')
"$BASE" -m venv "$WORK/venv"
CPY="$WORK/venv/bin/python"

# Root mounts in a plain private namespace; anyone else needs a user namespace.
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(-r)
# shellcheck disable=SC2016
unshare -m "${as_root[@]}" bash -euo pipefail -c '
  work="$1"; sdist="$2"; cpy="$3"; shift 3
  for dir in "$@"; do
    if [ -d "$dir" ]; then mount -t tmpfs -o size=1m,mode=755 tmpfs "$dir"; fi
  done
  if ls /usr/include/dragonbox*/dragonbox/dragonbox.h /usr/include/fast_float/fast_float.h \
      2>/dev/null; then
    echo "the system copies are still visible" >&2; exit 1
  fi
  # As a user would install it: pip builds the wheel from the sdist.
  "$cpy" -m pip install -v --no-cache-dir --no-deps --disable-pip-version-check "$sdist" \
    >"$work/install.log" 2>&1 || { tail -n 60 "$work/install.log" >&2; exit 1; }

  # No system copy and no bundled one: the configure step names the package.
  mkdir "$work/bare" && tar xzf "$sdist" -C "$work/bare" --strip-components=1
  rm -rf "$work/bare/bundled"
  if cmake -S "$work/bare" -B "$work/bare/build" -DGEOWEAVE_PYTHON=OFF >"$work/bare.log" 2>&1; then
    echo "configured without dragonbox" >&2; exit 1
  fi
  grep -q "install the Debian package libdragonbox-dev" "$work/bare.log" \
    || { cat "$work/bare.log" >&2; exit 1; }
' _ "$WORK" "$SDIST" "$CPY" "${HIDE[@]}"
for name in dragonbox fast_float; do
  grep -q -- "-- $name: bundled copy" "$WORK/install.log" \
    || { grep -E -- "-- (dragonbox|fast_float):" "$WORK/install.log" >&2; echo "$name: not the bundled copy" >&2; exit 1; }
done
grep -E -- "-- (dragonbox|fast_float):" "$WORK/install.log" | sed 's/^.*-- /built with /'
echo "without dragonbox: configure fails naming libdragonbox-dev"

"$CPY" -m pip install -q --disable-pip-version-check "pytest>=8" "hypothesis>=6" \
  "numpy>=1.26" "shapely>=2.0" "pyarrow>=16" "pandas>=2.2" >/dev/null
# The checkout's tests against the clean venv's geoweave: -P keeps the checkout
# off sys.path, and a plugin checks after collection that the geoweave the
# tests imported is the installed one.
mkdir "$WORK/plugin"
cat >"$WORK/plugin/geoweave_origin.py" <<'PY'
import pathlib
import sys


def pytest_collection_finish(session):
    module = sys.modules.get("geoweave")
    assert module is not None, "the tests did not import geoweave"
    where = pathlib.Path(module.__file__).resolve()
    assert where.is_relative_to(pathlib.Path(sys.prefix).resolve()), f"geoweave from {where}"
    sys.__stderr__.write(f"geoweave under test: {where}\n")
PY
PYTHONPATH="$WORK/plugin" "$CPY" -P -m pytest -q -p no:cacheprovider -p geoweave_origin \
  "$@" tests
