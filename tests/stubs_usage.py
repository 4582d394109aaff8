"""Calls every geoweave function the way user code does; scripts/typecheck.sh
type-checks this file with mypy --strict against the installed stubs, and
tests/test_stubs.py runs it so that every call here is also a working call.

assert_type is checked by mypy and does nothing at run time; the isinstance
checks make the run-time results agree with the declared types.
"""

import array
from typing import assert_type

import geoweave

HEX = "0101000020E6100000000000000000F03F0000000000000040"


def main() -> None:
    ewkb: bytes = bytes.fromhex(HEX)

    # WKB to WKT: any bytes-like object is accepted.
    for source in (ewkb, bytearray(ewkb), memoryview(ewkb), array.array("B", ewkb)):
        text = assert_type(geoweave.wkb_to_wkt(source, srid=3857), str)
        assert text == "SRID=3857;POINT (1 2)"
    wkt, srid = assert_type(geoweave.wkb_to_wkt_split_srid(ewkb), tuple[str, int | None])
    assert (wkt, srid) == ("POINT (1 2)", 4326)
    assert assert_type(geoweave.hex_wkb_to_wkt(HEX, srid=False), str) == "POINT (1 2)"

    # WKT to WKB.
    data = assert_type(geoweave.wkt_to_wkb("POINT (1 2)", srid=4326), bytes)
    assert data == ewkb
    body, prefix = assert_type(geoweave.wkt_to_wkb_split_srid("SRID=4326;POINT (1 2)"),
                               tuple[bytes, int | None])
    assert isinstance(body, bytes) and prefix == 4326
    assert assert_type(geoweave.wkt_to_hex_wkb("SRID=4326;POINT (1 2)"), str) == HEX

    # Auto-detecting conversions take str (hex or WKT) or bytes-like sources.
    assert assert_type(geoweave.to_wkb(HEX), bytes) == ewkb
    assert assert_type(geoweave.to_wkt(ewkb, None, True), str) == "SRID=4326;POINT (1 2)"
    assert assert_type(geoweave.to_wkt("POINT(1 2)", normalize_wkt=True), str) == "POINT (1 2)"
    assert assert_type(geoweave.to_hex_wkb(memoryview(ewkb), srid=False), str) == HEX[:2] + \
        "01000000" + HEX[18:]

    # Header operations: the result has the form of the source.
    found: int | None = geoweave.wkb_header_srid(HEX)
    assert found == 4326
    plain_hex = assert_type(geoweave.to_wkb_no_srid_header(HEX), str)
    plain = assert_type(geoweave.to_wkb_no_srid_header(bytearray(ewkb)), bytes)
    assert bytes.fromhex(plain_hex) == plain
    assert isinstance(assert_type(geoweave.to_ewkb_header(HEX, 3857), str), str)
    assert isinstance(assert_type(geoweave.to_ewkb_header(plain, srid=False), bytes), bytes)


if __name__ == "__main__":
    main()
