#!/usr/bin/env bash
# Free-threaded CPython check: builds geoweave for a 3.13 interpreter configured
# with --disable-gil, checks that importing it leaves the GIL off, runs the test
# suite and scripts/thread_stress.py there, and measures two threads against one
# converting polygons.
#
#   bash scripts/freethreaded.sh [pytest args]
#   bash scripts/freethreaded.sh --interpreter   (only make sure the interpreter
#                                                exists; prints its path)
#   GEOWEAVE_FT_WHEEL=dist/wheelhouse/geoweave-...-cp313t-....whl \
#     bash scripts/freethreaded.sh   (the stress and scaling checks against that
#                                     wheel, already tested by scripts/package.sh,
#                                     instead of building the source tree again)
#
# The interpreter is built from Debian 13's python3.13 source package (fetched
# with `apt-get source` through a deb-src-only entry for trixie, so no trixie
# binary package can be installed) into $GEOWEAVE_FT_PREFIX (default
# /opt/geoweave-cpython-3.13t, outside the repository) and reused on later runs
# while it reports a free-threaded 3.13 with ssl, zlib and ctypes; delete that
# folder to rebuild it. The build takes about four minutes on two cores.
# The virtual environment is .venv-3.13t in the checkout.
set -euo pipefail
unset PYTHON_GIL  # the check is that the module itself keeps the GIL off
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/lib.sh"
PREFIX="${GEOWEAVE_FT_PREFIX:-/opt/geoweave-cpython-3.13t}"
SRC_CACHE="${GEOWEAVE_FT_SRC_CACHE:-/var/cache/geoweave-cpython-src}"
FT_PY="$PREFIX/bin/python3.13t"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# True when $FT_PY is a usable free-threaded 3.13.
interpreter_ok() {
  [ -x "$FT_PY" ] && "$FT_PY" - <<'PY' >/dev/null 2>&1
import sys, sysconfig
assert sys.version_info[:2] == (3, 13), sys.version
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert not sys._is_gil_enabled()
import ssl, zlib, ctypes, lzma, bz2, venv, ensurepip  # what pip and the suite use
PY
}

build_interpreter() {
  # The build needs dpkg-dev for `apt-get source` and the -dev packages of the
  # standard modules pip and the tests use (ssl, zlib, ctypes, bz2, lzma).
  local debs=()
  command -v dpkg-source >/dev/null 2>&1 || debs+=(dpkg-dev)
  command -v make >/dev/null 2>&1 || debs+=(make)
  command -v gcc >/dev/null 2>&1 || debs+=(gcc)
  command -v pkg-config >/dev/null 2>&1 || debs+=(pkg-config)
  command -v xz >/dev/null 2>&1 || debs+=(xz-utils)
  local dev
  for dev in libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev; do
    dpkg-query -W -f='${Status}' "$dev" 2>/dev/null | grep -q "ok installed" || debs+=("$dev")
  done
  install_debs "${debs[@]}"

  # Source only: a deb-src entry for trixie on the mirror this machine already
  # uses, in a file of its own. Without a `deb` line for trixie apt never sees
  # a trixie binary package, so nothing of this machine is upgraded.
  local list=/etc/apt/sources.list.d/geoweave-trixie-src.sources
  if ! grep -qs "trixie" "$list"; then
    local mirror
    mirror=$(grep -rhoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
               /etc/apt/sources.list.d/*.list 2>/dev/null | grep -v security | head -n 1 | tr -d ' ' || true)
    mirror="${mirror:-http://deb.debian.org/debian}"
    echo "adding $list (deb-src trixie from $mirror)" >&2
    printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "${mirror%/}" | $SUDO tee "$list" >/dev/null
  fi
  $SUDO apt-get update -qq
  # apt-cache policy lists the binary package indexes apt knows: none may be trixie's.
  if apt-cache policy | grep -q "n=trixie"; then
    echo "refusing to go on: apt has a binary package index for trixie" >&2; exit 1
  fi
  $SUDO mkdir -p "$SRC_CACHE"
  local orig
  orig=$(ls "$SRC_CACHE"/python3.13_3.13.*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$orig" ]; then
    # Download only: the upstream tarball is built as it is, without Debian's
    # packaging patches (they are about Debian's own file layout).
    (cd "$SRC_CACHE" && $SUDO apt-get source -qq --download-only python3.13)
    orig=$(ls "$SRC_CACHE"/python3.13_3.13.*.orig.tar.xz | sort -V | tail -n 1)
  fi
  local work
  work=$(mktemp -d /tmp/geoweave-cpython.XXXXXX)
  echo "building free-threaded CPython from $(basename "$orig") into $PREFIX" >&2
  tar -C "$work" -xf "$orig"
  local src
  src=$(ls -d "$work"/Python-3.13.* | head -n 1)
  $SUDO rm -rf "$PREFIX"
  local started=$SECONDS
  (
    cd "$src"
    ./configure --prefix="$PREFIX" --disable-gil --disable-test-modules --with-ensurepip=install \
      >"$work/configure.log" 2>&1 || { tail -n 30 "$work/configure.log" >&2; exit 1; }
    make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
    $SUDO make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
  )
  echo "built in $((SECONDS - started)) s" >&2
  rm -rf "$work"
  interpreter_ok || { echo "the interpreter built in $PREFIX does not work" >&2; exit 1; }
}

if interpreter_ok; then
  echo "reusing $("$FT_PY" -VV | head -n 1) from $PREFIX" >&2
else
  build_interpreter >&2  # stdout carries only the path in --interpreter mode
fi
if [ "${1:-}" = "--interpreter" ]; then
  echo "$FT_PY"
  exit 0
fi

# geoweave and the test tools in a venv of the free-threaded interpreter. The
# newest hypothesis needs a Rust build on 3.13t; 6.150.0 has a wheel there.
VENV="$ROOT/.venv-3.13t"
[ -x "$VENV/bin/python" ] || "$FT_PY" -m venv "$VENV"
PY="$VENV/bin/python"
pip_q() { "$PY" -m pip install -q --disable-pip-version-check "$@"; }
pip_q "scikit-build-core>=0.10" >/dev/null
if [ -n "${GEOWEAVE_FT_WHEEL:-}" ]; then
  pip_q --force-reinstall --no-deps "$GEOWEAVE_FT_WHEEL" >/dev/null
else
  pip_q --no-build-isolation "$ROOT" >/dev/null
fi
pip_q "pytest>=8" "pytest-xdist>=3.5" "hypothesis==6.150.0" >/dev/null
# numpy, shapely, pyarrow and pandas only as binary wheels; tests needing them
# skip without.
for optional in "numpy>=1.26" "shapely>=2.0" "pyarrow>=16" "pandas>=2.2"; do
  pip_q --only-binary=:all: "$optional" >/dev/null 2>&1 \
    || echo "note: no free-threaded wheel of $optional; its tests skip" >&2
done

"$PY" - <<'PY'
import importlib, sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert not sys._is_gil_enabled(), "GIL on before any import"
import geoweave
assert not sys._is_gil_enabled(), "importing geoweave enabled the GIL"
modules = ["geoweave"]
try:
    importlib.import_module("geoweave_columns")
    modules.append("geoweave_columns")
except ModuleNotFoundError as e:
    if e.name != "geoweave_columns":
        raise
assert not sys._is_gil_enabled(), "importing geoweave_columns enabled the GIL"
print(f"{sys.version.split()[0]} free-threaded: GIL still disabled after importing",
      ", ".join(modules))
PY

cd "$ROOT"
"$PY" scripts/thread_stress.py 200
"$PY" bench/thread_scaling.py
# A wheel given from scripts/package.sh has had the suite run on it there.
[ -n "${GEOWEAVE_FT_WHEEL:-}" ] || "$PY" -m pytest -q -p no:cacheprovider $(pytest_workers "$PY") "$@" tests
