"""Hints on common mistakes: a note on the raised exception, whose type and
message stay exactly what they are without the hint."""

import pytest

import geoweave as gw

HEX = "0101000000000000000000F03F0000000000000040"  # POINT (1 2)

HEX_STR = "hint: hex WKB text goes to hex_wkb_to_wkt() or to_wkt()"
HEX_BYTES = "hint: these bytes are hex text, not WKB"
GEOJSON = "hint: the text starts with '{': GeoJSON is not WKT"
POSTGIS = "add a Z or M tag, as in POINT Z (1 2 3)"
SPACE = "hint: hex text is read here exactly as given; strip the surrounding whitespace"
BAD_MARKER = "invalid WKB: invalid byte order marker: 48"

# (function, arguments, exception, exact message, expected note or None)
CASES = [
    (gw.wkb_to_wkt, (HEX,), BufferError, "wkb must be a contiguous one-byte buffer", HEX_STR),
    (gw.wkb_to_wkt_split_srid, (" " + HEX.lower(),), BufferError,
     "wkb must be a contiguous one-byte buffer", HEX_STR),
    (gw.wkb_to_wkt, (HEX.encode(),), ValueError, BAD_MARKER, HEX_BYTES),
    (gw.to_wkt, (bytearray(HEX.encode() + b"\n"),), ValueError, BAD_MARKER, HEX_BYTES),
    (gw.to_wkb, (HEX.encode(), 4326), ValueError, BAD_MARKER, HEX_BYTES),
    (gw.wkb_header_srid, (HEX.encode(),), ValueError, BAD_MARKER, HEX_BYTES),
    (gw.to_wkb, ('{"type": "Point", "coordinates": [1, 2]}',), ValueError,
     'invalid WKT: unknown geometry type at position 0: "{\\"type\\": \\"Point\\", \\"c"',
     GEOJSON),
    (gw.to_wkt, (' {"type": "Point"}', None, True), ValueError,
     'invalid WKT: unknown geometry type at position 0: "{\\"type\\": \\"Point\\"}"', GEOJSON),
    (gw.wkt_to_wkb, ("POINT(1 2 3)",), ValueError,
     "invalid WKT: expected ')' at position 10, got Some('3')", POSTGIS),
    (gw.wkt_to_hex_wkb, ("SRID=4326;LINESTRING(0 0 1,1 1 1)",), ValueError,
     "invalid WKT: expected ',' or ')' at position 25, got Some('1')", POSTGIS),
    (gw.wkt_to_wkb, ("Srid=4326;POINT(1 2 3)",), ValueError,
     "invalid WKT: expected ')' at position 20, got Some('3')", POSTGIS),
    (gw.to_wkb, ("GEOMETRYCOLLECTION(POINT(1 2 3))",), ValueError,
     "invalid WKT: expected ')' at position 29, got Some('3')", POSTGIS),
    (gw.wkt_to_wkb_split_srid, ("MULTIPOLYGON(((0 0 1,1 0 1,1 1 1,0 0 1)))",), ValueError,
     "invalid WKT: expected ',' or ')' at position 19, got Some('1')", POSTGIS),
    (gw.hex_wkb_to_wkt, (HEX + "\n",), ValueError, "invalid WKB: hex string has odd length", SPACE),
    (gw.hex_wkb_to_wkt, ("\u00a0" + HEX + "  ",), ValueError,
     "invalid WKB: invalid hex digit at position 0", SPACE),
    (gw.wkb_header_srid, (HEX + "\r\n",), ValueError,
     "invalid WKB: invalid hex digit at position 42", SPACE),
    (gw.to_ewkb_header, ("\t" + HEX, 5), ValueError, "invalid WKB: hex string has odd length",
     SPACE),
    # No hint where the mistake is another one.
    (gw.wkt_to_wkb, ("POINT(1 2 3 4)",), ValueError,
     "invalid WKT: expected ')' at position 10, got Some('3')", None),
    (gw.wkt_to_wkb, ("POINT Z (1 2 3 4)",), ValueError,
     "invalid WKT: expected ')' at position 15, got Some('4')", None),
    (gw.wkt_to_wkb, ("POINT(1)",), ValueError,
     'invalid WKT: expected number at position 7, got ")"', None),
    (gw.hex_wkb_to_wkt, ("zz",), ValueError, "invalid WKB: invalid hex digit at position 0", None),
    (gw.hex_wkb_to_wkt, ("01 01",), ValueError, "invalid WKB: hex string has odd length", None),
    (gw.hex_wkb_to_wkt, ("010\t",), ValueError, "invalid WKB: invalid hex digit at position 3",
     None),  # stripped, still not hex: the whitespace is not the mistake
    (gw.to_wkt, (" 0101000000 ",), ValueError,
     "invalid WKB: unexpected end of data reading f64", None),
    (gw.wkb_to_wkt, (b"\x01\x02",), ValueError,
     "invalid WKB: unexpected end of data reading u32", None),
    (gw.wkb_to_wkt, (b"0",), ValueError, BAD_MARKER, None),
    (gw.to_wkb, (HEX.encode(), True), ValueError,
     "srid=True is not valid; pass an integer SRID, False, or None", None),
    (gw.wkb_to_wkt, ("POINT(1 2)",), BufferError, "wkb must be a contiguous one-byte buffer",
     None),
    (gw.wkt_to_wkb, (HEX.encode(),), TypeError,
     "argument 'wkt': 'bytes' object is not an instance of 'str'", None),
    (gw.wkb_to_wkt, (memoryview(HEX.encode()),), ValueError, BAD_MARKER, None),
]


@pytest.mark.parametrize("fn, args, exc_type, message, note", CASES,
                         ids=[f"{c[0].__name__}-{i}" for i, c in enumerate(CASES)])
def test_usage_hint(fn, args, exc_type, message, note):
    with pytest.raises(exc_type) as info:
        fn(*args)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    if note is None:
        assert notes == []
    else:
        assert len(notes) == 1 and note in notes[0]


def test_hint_also_for_keyword_input():
    with pytest.raises(BufferError) as info:
        gw.wkb_to_wkt(srid=None, wkb=HEX)
    assert HEX_STR in info.value.__notes__[0]
