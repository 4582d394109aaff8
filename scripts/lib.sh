# Helpers shared by the scripts (sourced, never run on its own).

# apt-get install the given Debian packages (nothing when none is given), with
# sudo when not root. `apt-get update` runs first, once per install.
install_debs() {
  [ $# -gt 0 ] || return 0
  echo "installing Debian packages: $*" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# Configure (Ninja when available) and build a CMake tree of the project:
#   cmake_build BUILD_DIR [CMAKE ARGS...]
cmake_build() {
  local build="$1"; shift
  local generator=()
  command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
  cmake -S "$ROOT" -B "$build" "${generator[@]}" "$@" >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
}

# The ASan+UBSan build of the extension (g++, every report fatal) in
# $SANITIZE_BUILD, shared by sanitize.sh and fuzz_surface.sh. Needs env.sh
# sourced first ($ROOT, $PYTHON).
sanitize_build() {
  SANITIZE_BUILD="${GEOWEAVE_SANITIZE_BUILD:-$ROOT/build/sanitize}"
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
  cmake_build "$SANITIZE_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DPython_EXECUTABLE="$PYTHON"
}

# Environment for running $PYTHON against that build: the sanitizer runtimes
# preloaded, Python's allocator switched to malloc (so the bounds of every
# object, including results the module fills in place, are checked), leak
# detection off (the interpreter keeps memory until exit by design), and the
# build first on the import path, checked to be the module that imports.
sanitize_env() {
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  export PYTHONMALLOC=malloc
  export PYTHONPATH="$SANITIZE_BUILD${PYTHONPATH:+:$PYTHONPATH}"
  "$PYTHON" -c 'import geoweave, sys; assert geoweave.__file__.startswith(sys.argv[1]), geoweave.__file__' "$SANITIZE_BUILD"
}

# pytest's option for running the suite on every core: "-n auto" when
# pytest-xdist is importable by the given interpreter (GEOWEAVE_TEST_WORKERS
# sets the count; 0 runs in one process). The suite's slow configurations
# (sanitizers, other compilers, the wheels) are CPU-bound, so two workers halve
# their time on two cores.
#   "$PY" -m pytest $(pytest_workers "$PY") ...
pytest_workers() {
  "$1" -c 'import xdist' >/dev/null 2>&1 || return 0
  echo "-n ${GEOWEAVE_TEST_WORKERS:-auto}"
}
