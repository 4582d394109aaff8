# Shared set-up, sourced by the other scripts: installs the Debian packages the
# build needs when they are missing, finds a Python 3.13+ interpreter and makes a
# virtual environment from it with the project built and installed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/lib.sh"
VENV="${GEOWEAVE_VENV:-$ROOT/.venv}"

need_debs=()
[ -f /usr/include/dragonbox-1.1.3/dragonbox/dragonbox.h ] || ls /usr/include/dragonbox*/dragonbox/dragonbox.h >/dev/null 2>&1 || need_debs+=(libdragonbox-dev)
[ -f /usr/include/fast_float/fast_float.h ] || need_debs+=(libfast-float-dev)
[ -f /usr/share/unicode/UnicodeData.txt ] || need_debs+=(unicode-data)
command -v cmake >/dev/null 2>&1 || need_debs+=(cmake)
command -v g++ >/dev/null 2>&1 || need_debs+=(g++)
install_debs "${need_debs[@]}"

# A Python 3.13 (or later) interpreter: python3.13 on PATH, Debian's, or pyenv's.
find_python() {
  local candidate
  for candidate in "${GEOWEAVE_PYTHON:-}" python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    [ -n "$candidate" ] || continue
    if "$candidate" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)' >/dev/null 2>&1; then
      command -v "$candidate"; return 0
    fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    local version
    version=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.(1[3-9])(\.[0-9]+)?$' | sort -V | head -n 1 || true)
    if [ -n "$version" ] && [ -x "$(pyenv prefix "$version")/bin/python3" ]; then
      echo "$(pyenv prefix "$version")/bin/python3"; return 0
    fi
  fi
  return 1
}

if [ ! -x "$VENV/bin/python" ]; then
  PY=$(find_python) || { echo "no Python 3.13 or later found (python3.13, /usr/bin/python3.13 or pyenv)" >&2; exit 1; }
  echo "creating $VENV from $PY" >&2
  "$PY" -m venv "$VENV"
fi
PYTHON="$VENV/bin/python"

# Build requirements live in the venv so rebuilds reuse the CMake build tree.
# setuptools too: installs run without build isolation, and a dependency that
# comes only as an sdist (pyspark) is built with the venv's own setuptools.
"$PYTHON" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" setuptools \
  >/dev/null
# A build of another compiler or option set keeps its own build tree
# (GEOWEAVE_BUILD_DIR) and passes CMake cache entries (GEOWEAVE_CMAKE_DEFINES,
# NAME=VALUE separated by spaces); compilers and flags come from CXX, CXXFLAGS
# and LDFLAGS as CMake reads them.
build_args=()
[ -z "${GEOWEAVE_BUILD_DIR:-}" ] || build_args+=(-C "build-dir=$GEOWEAVE_BUILD_DIR")
for define in ${GEOWEAVE_CMAKE_DEFINES:-}; do build_args+=(-C "cmake.define.$define"); done
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation "${build_args[@]}" \
  "$ROOT${GEOWEAVE_EXTRAS:-}"
