#!/usr/bin/env bash
# Builds the sdist into OUTDIR (default dist/). The sdist carries copies of the
# header-only dependencies, dragonbox and fast_float, with their licence texts,
# so that it builds where neither is installed: they are copied here, at sdist
# time, from the installed Debian packages into bundled/ (ignored by git, never
# committed) and CMake uses them only when no system copy is found.
#
#   bash scripts/sdist.sh [OUTDIR]
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
OUTDIR="${1:-dist}"
"$PYTHON" -m pip install -q --disable-pip-version-check "build>=1.2" >/dev/null

# bundled/<name>/include: the package's headers as installed under /usr/include
# (the folder holding <name>/, whatever versioned directory it sits in);
# bundled/<name>/licenses: the package's copyright file and the common licence
# texts it refers to.
bundle() {
  local name="$1" package="$2" header="$3"
  local found
  found=$(dpkg-query -L "$package" | grep -E "/$header\$" | head -n 1)
  [ -n "$found" ] || { echo "$package does not hold $header" >&2; exit 1; }
  local include="${found%/"$header"}"
  local sub="${header%%/*}"
  mkdir -p "bundled/$name/include" "bundled/$name/licenses"
  cp -r "$include/$sub" "bundled/$name/include/"
  cp "/usr/share/doc/$package/copyright" "bundled/$name/licenses/copyright"
  local license
  for license in $(grep -oE '/usr/share/common-licenses/[A-Za-z0-9.+-]+' \
      "/usr/share/doc/$package/copyright" | sort -u); do
    [ -f "$license" ] && cp "$license" "bundled/$name/licenses/"
  done
  echo "bundled $name from $package: $(find "bundled/$name" -type f | wc -l) files" >&2
}

rm -rf bundled
bundle dragonbox libdragonbox-dev dragonbox/dragonbox.h
bundle fast_float libfast-float-dev fast_float/fast_float.h

mkdir -p "$OUTDIR"
rm -f "$OUTDIR"/geoweave-*.tar.gz
log=$(mktemp /tmp/geoweave-sdist.XXXXXX)
"$PYTHON" -m build --sdist --outdir "$OUTDIR" . >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; exit 1; }
rm -f "$log"
ls "$OUTDIR"/geoweave-*.tar.gz
