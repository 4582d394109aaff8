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
