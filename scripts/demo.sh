#!/usr/bin/env bash
# Builds and installs geoweave into .venv (installing what is missing) and runs
# a real conversion.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
"$PYTHON" - <<'PY'
import geoweave

wkb = bytes.fromhex("0101000020E6100000000000000000F03F0000000000000040")
print("wkb_to_wkt:", geoweave.wkb_to_wkt(wkb))
if hasattr(geoweave, "wkt_to_hex_wkb"):
    print("wkt_to_hex_wkb:", geoweave.wkt_to_hex_wkb("SRID=3857;LINESTRING (0.5 1, 2 3.25)"))
PY
