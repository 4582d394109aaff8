"""The WKB reader, seen through wkb_to_wkt and wkb_to_wkt_split_srid."""

import resource
import struct

import pytest
from hypothesis import given, settings, strategies as st

import geoweave
from conftest import (
    GEOMETRYCOLLECTION, LINESTRING, MULTILINESTRING, MULTIPOINT, MULTIPOLYGON, NAN, POINT,
    POLYGON, SRID_FLAG, Z_FLAG, coords, f64_bits, header, u32, wkb_collection,
    wkb_linestring, wkb_multi, wkb_nested_collections, wkb_point, wkb_polygon,
)

to_wkt = geoweave.wkb_to_wkt
split = geoweave.wkb_to_wkt_split_srid

END = "invalid WKB: unexpected end of data"
END_U32 = END + " reading u32"
END_I32 = END + " reading i32"
END_F64 = END + " reading f64"
END_MESSAGES = {END, END_U32, END_I32, END_F64}
DEPTH = "invalid WKB: geometry nesting exceeds maximum depth of 128"


def fails(wkb, message, **kw):
    with pytest.raises(ValueError) as info:
        to_wkt(wkb, **kw)
    assert info.value.args == (message,)


# --- basic records, dialects, byte orders --------------------------------------

P12 = wkb_point(1.0, 2.0)


@pytest.mark.parametrize("wkb, text", [
    (bytes.fromhex("0101000000000000000000F03F0000000000000040"), "POINT (1 2)"),
    (bytes.fromhex("00000000013FF00000000000004000000000000000"), "POINT (1 2)"),
    (bytes.fromhex("0101000020E6100000000000000000F03F0000000000000040"),
     "SRID=4326;POINT (1 2)"),
    (bytes.fromhex("0104000000020000000101000000000000000000F03F00000000000000400000000001"
                   "40080000000000004010000000000000"), "MULTIPOINT ((1 2), (3 4))"),
    (wkb_point(1.0, 2.0, 3.0, srid=4326), "SRID=4326;POINT Z (1 2 3)"),
    (wkb_point(1.0, 2.0, 4.0, dim="XYM"), "POINT M (1 2 4)"),
    (wkb_point(1.0, 2.0, 3.0, 4.0, order=">"), "POINT ZM (1 2 3 4)"),
    (wkb_linestring([(0, 0), (1, 1)], order=">"), "LINESTRING (0 0, 1 1)"),
    (wkb_polygon([[(0, 0), (4, 0), (4, 4), (0, 0)], [(1, 1), (2, 1), (2, 2), (1, 1)]]),
     "POLYGON ((0 0, 4 0, 4 4, 0 0), (1 1, 2 1, 2 2, 1 1))"),
    (wkb_multi(MULTILINESTRING, [wkb_linestring([(0, 0), (1, 1)]), wkb_linestring([])]),
     "MULTILINESTRING ((0 0, 1 1), EMPTY)"),
    (wkb_multi(MULTIPOLYGON, [wkb_polygon([[(0, 0), (1, 0), (1, 1), (0, 0)]]), wkb_polygon([])]),
     "MULTIPOLYGON (((0 0, 1 0, 1 1, 0 0)), EMPTY)"),
    (wkb_collection([P12, wkb_linestring([])]),
     "GEOMETRYCOLLECTION (POINT (1 2), LINESTRING EMPTY)"),
    (wkb_collection([P12], srid=3857), "SRID=3857;GEOMETRYCOLLECTION (POINT (1 2))"),
])
def test_examples(wkb, text):
    assert to_wkt(wkb) == text


# A 21-byte little-endian 2D Point goes to the text without the reader's
# setup; its neighbours of the same length or one byte more do not.
@pytest.mark.parametrize("wkb, expected", [
    (struct.pack("<BIdd", 1, 1, float("nan"), float("nan")), "POINT EMPTY"),
    (struct.pack("<BIdd", 1, 1, float("nan"), 1.0), "POINT (NaN 1)"),
    (struct.pack("<BIdd", 1, 1, -0.0, 2.5), "POINT (0 2.5)"),
    (struct.pack("<BIdd", 1, 1, -1e15, 0.1), "POINT (-1000000000000000 0.1)"),
    (struct.pack("<BIdd", 1, 0x20000001, 1.0, 2.0), "unexpected end of data reading f64"),
    (struct.pack("<BIdd", 1, 1001, 1.0, 2.0), "unexpected end of data reading f64"),
    (struct.pack("<BIdd", 1, 1, 1.0, 2.0) + b"\0", "unexpected trailing data: 1 bytes remaining"),
    (struct.pack("<BIdd", 2, 1, 1.0, 2.0), "byte order"),
])
def test_plain_point_records_and_their_neighbours(wkb, expected):
    if expected.startswith("POINT"):
        assert to_wkt(wkb) == expected
        assert geoweave.wkb_to_wkt(wkb, 4326) == "SRID=4326;" + expected
    else:
        with pytest.raises(ValueError, match=expected):
            to_wkt(wkb)


@pytest.mark.parametrize("dim", ["XY", "XYZ", "XYM", "XYZM"])
@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("iso", [False, True])
def test_every_type_dimension_order_and_dialect_gives_one_text(dim, order, iso):
    k = {"XY": 2, "XYZ": 3, "XYM": 3, "XYZM": 4}[dim]
    pt = tuple(float(i + 1) for i in range(k))
    pts = [pt, tuple(v + 10 for v in pt)]
    ring = [pt, tuple(v + 1 for v in pt), pt]
    kw = dict(dim=dim, order=order, iso=iso)
    tup = " ".join(str(i + 1) for i in range(k))
    tup2 = " ".join(str(i + 11) for i in range(k))
    tup3 = " ".join(str(i + 2) for i in range(k))
    tag = {"XY": "", "XYZ": " Z", "XYM": " M", "XYZM": " ZM"}[dim]
    line = f"({tup}, {tup2})"
    poly = f"(({tup}, {tup3}, {tup}))"
    cases = [
        (wkb_point(*pt, **kw), f"POINT{tag} ({tup})"),
        (wkb_linestring(pts, **kw), f"LINESTRING{tag} {line}"),
        (wkb_polygon([ring], **kw), f"POLYGON{tag} {poly}"),
        (wkb_multi(MULTIPOINT, [wkb_point(*pt, **kw)] * 2, **kw),
         f"MULTIPOINT{tag} (({tup}), ({tup}))"),
        (wkb_multi(MULTILINESTRING, [wkb_linestring(pts, **kw)], **kw),
         f"MULTILINESTRING{tag} ({line})"),
        (wkb_multi(MULTIPOLYGON, [wkb_polygon([ring], **kw)], **kw),
         f"MULTIPOLYGON{tag} ({poly})"),
        (wkb_collection([wkb_point(*pt, **kw), wkb_linestring(pts, **kw)], **kw),
         f"GEOMETRYCOLLECTION{tag} (POINT{tag} ({tup}), LINESTRING{tag} {line})"),
    ]
    for wkb, text in cases:
        assert to_wkt(wkb) == text
        assert split(wkb) == (text, None)


@pytest.mark.parametrize("word, prefix", [
    (1001, "POINT Z"), (2001, "POINT M"), (3001, "POINT ZM"),
    (0x80000001, "POINT Z"), (0x40000001, "POINT M"), (0xC0000001, "POINT ZM"),
    # undefined bits 16..28 are ignored, for flag and ISO codes alike
    (0x10000001, "POINT"), (0x1FFF0001, "POINT"), (0x1FFF0000 | 1001, "POINT Z"),
    (0x00010000 | 3001, "POINT ZM"), (0x9FFF0001, "POINT Z"),
    # ISO code with the SRID flag (needs an SRID field, see below)
])
def test_type_word_dimension(word, prefix):
    k = {"POINT": 2, "POINT Z": 3, "POINT M": 3, "POINT ZM": 4}[prefix]
    wkb = header(0, word=word) + coords([tuple(range(1, k + 1))])
    assert to_wkt(wkb) == prefix + " (" + " ".join(str(i) for i in range(1, k + 1)) + ")"


@pytest.mark.parametrize("order", ["<", ">"])
def test_iso_code_with_srid_flag(order):
    wkb = header(0, word=0x200003E9, order=order) + struct.pack(order + "i", 4326) + \
        coords([(1, 2, 3)], order)
    assert to_wkt(wkb) == "SRID=4326;POINT Z (1 2 3)"
    assert split(wkb) == ("POINT Z (1 2 3)", 4326)


@pytest.mark.parametrize("srid, shown", [
    (0, None), (-1, None), (-2**31, None), (1, 1), (2**31 - 1, 2**31 - 1)])
@pytest.mark.parametrize("order", ["<", ">"])
def test_srid_field_values(srid, shown, order):
    wkb = wkb_point(1.0, 2.0, srid=srid, order=order)
    prefix = "" if shown is None else f"SRID={shown};"
    assert to_wkt(wkb) == prefix + "POINT (1 2)"
    assert to_wkt(wkb, srid=None) == prefix + "POINT (1 2)"
    assert split(wkb) == ("POINT (1 2)", shown)
    assert to_wkt(wkb, srid=False) == "POINT (1 2)"
    assert to_wkt(wkb, srid=0) == "POINT (1 2)"
    assert to_wkt(wkb, srid=-5) == "POINT (1 2)"
    assert to_wkt(wkb, srid=3857) == "SRID=3857;POINT (1 2)"


def test_split_srid_result_types():
    text, srid = split(wkb_point(1.0, 2.0, srid=4326))
    assert type(text) is str and type(srid) is int


def test_nested_srids_ignored():
    inner = wkb_point(1.0, 2.0, srid=3857, order=">")
    member = wkb_point(3.0, 4.0, srid=900913)
    gc = wkb_collection([inner, wkb_multi(MULTIPOINT, [member], srid=27700)], srid=4326)
    text = "GEOMETRYCOLLECTION (POINT (1 2), MULTIPOINT ((3 4)))"
    assert to_wkt(gc) == "SRID=4326;" + text
    assert split(gc) == (text, 4326)
    # nested SRIDs only: none at the top, none reported
    gc = wkb_collection([inner])
    assert to_wkt(gc) == "GEOMETRYCOLLECTION (POINT (1 2))"
    assert split(gc) == ("GEOMETRYCOLLECTION (POINT (1 2))", None)


def test_mixed_byte_orders_and_dialects_in_nested_records():
    gc = wkb_collection([
        wkb_point(1.0, 2.0, 3.0, order=">", iso=True),
        wkb_multi(MULTILINESTRING, [
            wkb_linestring([(0, 0, 1), (1, 1, 2)], order="<", iso=True),
            wkb_linestring([(2, 2, 3)], order=">"),
        ], dim="XYZ", order=">", iso=True),
        wkb_multi(MULTIPOLYGON, [wkb_polygon([[(0, 0, 0), (1, 0, 0), (0, 0, 0)]],
                                             order=">", iso=True)], dim="XYZ"),
        wkb_collection([wkb_point(5.0, 6.0, 7.0, iso=True)], dim="XYZ", order=">"),
    ], dim="XYZ", order="<", iso=True)
    assert to_wkt(gc) == (
        "GEOMETRYCOLLECTION Z (POINT Z (1 2 3), MULTILINESTRING Z ((0 0 1, 1 1 2), (2 2 3)), "
        "MULTIPOLYGON Z (((0 0 0, 1 0 0, 0 0 0))), GEOMETRYCOLLECTION Z (POINT Z (5 6 7)))")


@pytest.mark.parametrize("extra", [0x00010000, 0x10000000, 0x1FFF0000])
def test_undefined_bits_in_nested_records(extra):
    member = header(POINT, "XYZ", extra=extra, order=">", iso=True) + coords([(1, 2, 3)], ">")
    mp = wkb_multi(MULTIPOINT, [member, member], dim="XYZ", extra=extra)
    gc = wkb_collection([mp, wkb_linestring([], extra=extra, srid=9)], extra=extra, srid=4326)
    assert split(gc) == (
        "GEOMETRYCOLLECTION (MULTIPOINT Z ((1 2 3), (1 2 3)), LINESTRING EMPTY)", 4326)


def test_xy_collection_accepts_any_member_dimension():
    gc = wkb_collection([wkb_point(1.0, 2.0, 3.0), wkb_point(1.0, 2.0, 4.0, dim="XYM"),
                         wkb_collection([wkb_point(1.0, 2.0, 3.0, 4.0)], dim="XYZM")])
    assert to_wkt(gc) == ("GEOMETRYCOLLECTION (POINT Z (1 2 3), POINT M (1 2 4), "
                          "GEOMETRYCOLLECTION ZM (POINT ZM (1 2 3 4)))")


# --- empties and NaN -------------------------------------------------------------

NAN_BITS = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
            0xFFF0000000000001, 0x7FFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF, 0x7FF4000000000000]


@pytest.mark.parametrize("bits", NAN_BITS)
@pytest.mark.parametrize("dim, tag", [("XY", ""), ("XYZ", " Z"), ("XYM", " M"), ("XYZM", " ZM")])
@pytest.mark.parametrize("order", ["<", ">"])
def test_all_nan_point_is_empty_for_any_payload(bits, dim, tag, order):
    k = {"XY": 2, "XYZ": 3, "XYM": 3, "XYZM": 4}[dim]
    # mix the payload under test with the quiet NaN
    body = b"".join(f64_bits(bits if i % 2 == 0 else 0x7FF8000000000000, order)
                    for i in range(k))
    pt = header(POINT, dim, order=order) + body
    assert to_wkt(pt) == f"POINT{tag} EMPTY"
    mp = wkb_multi(MULTIPOINT, [pt, pt], dim=dim, order=order)
    assert to_wkt(mp) == f"MULTIPOINT{tag} (EMPTY, EMPTY)"
    assert to_wkt(wkb_collection([pt])) == f"GEOMETRYCOLLECTION (POINT{tag} EMPTY)"
    # in a coordinate list NaN is just a value
    ls = header(LINESTRING, dim, order=order) + u32(1, order) + body
    assert to_wkt(ls) == f"LINESTRING{tag} (" + " ".join(["NaN"] * k) + ")"


@pytest.mark.parametrize("ordinates, text", [
    ((NAN, 1.0), "POINT (NaN 1)"),
    ((1.0, NAN), "POINT (1 NaN)"),
    ((NAN, NAN, 0.0), "POINT Z (NaN NaN 0)"),
    ((1.0, 2.0, 3.0, NAN), "POINT ZM (1 2 3 NaN)"),
    ((NAN, NAN, NAN, -0.0), "POINT ZM (NaN NaN NaN 0)"),
    ((float("inf"), float("-inf")), "POINT (inf -inf)"),
    ((float("inf"), NAN), "POINT (inf NaN)"),
])
def test_partial_nan_point_is_written(ordinates, text):
    assert to_wkt(wkb_point(*ordinates)) == text
    assert to_wkt(wkb_point(*ordinates, order=">")) == text


@pytest.mark.parametrize("wkb, text", [
    (wkb_linestring([]), "LINESTRING EMPTY"),
    (wkb_polygon([]), "POLYGON EMPTY"),
    (wkb_polygon([[]]), "POLYGON (())"),
    (wkb_polygon([[(0, 0), (1, 1), (0, 0)], []]), "POLYGON ((0 0, 1 1, 0 0), ())"),
    (wkb_multi(MULTIPOINT, []), "MULTIPOINT EMPTY"),
    (wkb_multi(MULTILINESTRING, []), "MULTILINESTRING EMPTY"),
    (wkb_multi(MULTIPOLYGON, []), "MULTIPOLYGON EMPTY"),
    (wkb_collection([]), "GEOMETRYCOLLECTION EMPTY"),
    (wkb_collection([], dim="XYZM", srid=4326), "SRID=4326;GEOMETRYCOLLECTION ZM EMPTY"),
    (wkb_multi(MULTIPOINT, [wkb_point(1.0, 2.0), wkb_point(NAN, NAN)]),
     "MULTIPOINT ((1 2), EMPTY)"),
    (wkb_multi(MULTIPOINT, [wkb_point(NAN, NAN)]), "MULTIPOINT (EMPTY)"),
    (wkb_multi(MULTIPOLYGON, [wkb_polygon([[]])]), "MULTIPOLYGON ((()))"),
    (wkb_multi(MULTIPOLYGON, [wkb_polygon([]), wkb_polygon([[], []])]),
     "MULTIPOLYGON (EMPTY, ((), ()))"),
    (wkb_multi(MULTILINESTRING, [wkb_linestring([], dim="XYM")], dim="XYM"),
     "MULTILINESTRING M (EMPTY)"),
    (wkb_multi(MULTIPOINT, [wkb_point(1.0, 2.0, 3.0)], dim="XYZ"), "MULTIPOINT Z ((1 2 3))"),
    (wkb_point(NAN, NAN, dim="XY", srid=4326), "SRID=4326;POINT EMPTY"),
    (wkb_collection([wkb_collection([]), wkb_point(NAN, NAN, NAN, NAN)]),
     "GEOMETRYCOLLECTION (GEOMETRYCOLLECTION EMPTY, POINT ZM EMPTY)"),
])
def test_empty_forms(wkb, text):
    assert to_wkt(wkb) == text


# --- failure table -----------------------------------------------------------------

@pytest.mark.parametrize("wkb, message", [
    (b"", END),
    (b"\x02", "invalid WKB: invalid byte order marker: 2"),
    (b"\xff" + P12[1:], "invalid WKB: invalid byte order marker: 255"),
    (b"\x01", END_U32),
    (b"\x00\x00\x00\x00", END_U32),
    (header(POINT, srid=4326)[:-1], END_I32),
    (header(POINT, word=SRID_FLAG | 1), END_I32),
    (P12[:-1], END_F64),
    (header(POINT, "XYZM") + coords([(1, 2, 3)]), END_F64),
    (header(LINESTRING), END_U32),
    (header(POLYGON) + u32(1) + b"\x00\x00", END_U32),
    (header(MULTIPOINT) + u32(1), END),
    (header(GEOMETRYCOLLECTION) + u32(2) + P12, END),
    (wkb_multi(MULTIPOINT, [b"\x03"]), "invalid WKB: invalid byte order marker: 3"),
    (wkb_collection([b"\x01\x01"]), END_U32),
])
def test_failure_messages(wkb, message):
    fails(wkb, message)
    fails(wkb, message, srid=False)
    fails(wkb, message, srid=4326)
    with pytest.raises(ValueError) as info:
        split(wkb)
    assert info.value.args == (message,)


@pytest.mark.parametrize("word, code", [
    (0, 0), (8, 8), (999, 999), (1000, 1000), (2000, 1000), (3000, 1000), (1008, 8),
    (2008, 8), (3008, 8), (0xFFFF, 0xFFFF - 3000), (4001, 1001), (6000, 3000),
    (3001 + 7, 8), (0x800003E9, 1001), (0x400007D1, 2001), (0xC0000BB9, 3001),
    (0x80000000, 0), (0x10000008, 8), (0x1FFF0000, 0),
    # the base is rejected before the SRID field is looked at
    (SRID_FLAG | 9, 9), (SRID_FLAG | Z_FLAG | 1001, 1001),
])
def test_unsupported_type_codes(word, code):
    fails(header(0, word=word), f"unsupported geometry type code: {code}")


@pytest.mark.parametrize("multi, member, name", [
    (MULTIPOINT, wkb_linestring([(0, 0)]), "LineString"),
    (MULTIPOINT, wkb_collection([]), "GeometryCollection"),
    (MULTIPOINT, wkb_multi(MULTIPOINT, []), "MultiPoint"),
    (MULTILINESTRING, P12, "Point"),
    (MULTILINESTRING, wkb_multi(MULTILINESTRING, []), "MultiLineString"),
    (MULTIPOLYGON, wkb_linestring([]), "LineString"),
    (MULTIPOLYGON, wkb_multi(MULTIPOLYGON, []), "MultiPolygon"),
])
def test_multi_member_wrong_type(multi, member, name):
    want = {MULTIPOINT: ("Point", "MultiPoint"), MULTILINESTRING: ("LineString", "MultiLineString"),
            MULTIPOLYGON: ("Polygon", "MultiPolygon")}[multi]
    fails(wkb_multi(multi, [member]),
          f"invalid WKB: expected {want[0]} sub-geometry in {want[1]}, got type code {name}")


@pytest.mark.parametrize("multi, base, cdim, mdim", [
    (MULTIPOINT, POINT, "XY", "XYZ"),
    (MULTIPOINT, POINT, "XYZ", "XY"),
    (MULTIPOINT, POINT, "XYZ", "XYM"),
    (MULTILINESTRING, LINESTRING, "XYM", "XYZM"),
    (MULTIPOLYGON, POLYGON, "XYZM", "XYZ"),
])
def test_multi_member_dimension(multi, base, cdim, mdim):
    name = {MULTIPOINT: "MultiPoint", MULTILINESTRING: "MultiLineString",
            MULTIPOLYGON: "MultiPolygon"}[multi]
    for iso in (False, True):
        fails(wkb_multi(multi, [header(base, mdim, iso=iso)], dim=cdim, iso=not iso),
              f"invalid WKB: {name} child has incompatible dimension {mdim}; expected {cdim}")


@pytest.mark.parametrize("cdim, mdim", [("XYZ", "XY"), ("XYM", "XYZ"), ("XYZM", "XYM")])
def test_collection_member_dimension(cdim, mdim):
    k = {"XY": 2, "XYZ": 3, "XYM": 3, "XYZM": 4}[mdim]
    member = wkb_point(*range(1, k + 1), dim=mdim)
    fails(wkb_collection([member], dim=cdim),
          f"invalid WKB: GeometryCollection {cdim} member has incompatible dimension {mdim}")


# --- order of checks -----------------------------------------------------------------

@pytest.mark.parametrize("wkb, message", [
    # depth before marker
    (wkb_nested_collections(128, b"\x07"), DEPTH),
    (wkb_nested_collections(127, b"\x07"), "invalid WKB: invalid byte order marker: 7"),
    # marker before type word
    (b"\x09\x01", "invalid WKB: invalid byte order marker: 9"),
    # base code before a truncated SRID field
    (header(0, word=SRID_FLAG | 8), "unsupported geometry type code: 8"),
    # member SRID field before member type
    (wkb_multi(MULTIPOINT, [header(0, word=SRID_FLAG | LINESTRING)]), END_I32),
    # member base code before member type
    (wkb_multi(MULTIPOINT, [header(0, word=12)]), "unsupported geometry type code: 12"),
    # member type before member dimension
    (wkb_multi(MULTIPOINT, [header(LINESTRING, "XYZ")]),
     "invalid WKB: expected Point sub-geometry in MultiPoint, got type code LineString"),
    # member dimension before the member body
    (wkb_multi(MULTIPOINT, [header(POINT, "XYZ")]),
     "invalid WKB: MultiPoint child has incompatible dimension XYZ; expected XY"),
    (wkb_multi(MULTIPOLYGON, [header(POLYGON, "XYM")], dim="XYZ"),
     "invalid WKB: MultiPolygon child has incompatible dimension XYM; expected XYZ"),
    # a collection member is read to its end before its dimension is compared
    (wkb_collection([P12[:-3]], dim="XYZ"), END_F64),
    (wkb_collection([wkb_collection([b"\x05"])], dim="XYZ"),
     "invalid WKB: invalid byte order marker: 5"),
    (wkb_collection([wkb_multi(MULTIPOINT, [wkb_linestring([])])], dim="XYM"),
     "invalid WKB: expected Point sub-geometry in MultiPoint, got type code LineString"),
    (wkb_collection([P12, b"\x02"], dim="XYZ"),
     "invalid WKB: GeometryCollection XYZ member has incompatible dimension XY"),
    # the body is read front to back: the first bad member wins
    (wkb_multi(MULTIPOINT, [P12, wkb_linestring([]), wkb_point(1.0, 2.0, 3.0)]),
     "invalid WKB: expected Point sub-geometry in MultiPoint, got type code LineString"),
    (wkb_multi(MULTIPOINT, [P12, wkb_point(1.0, 2.0, 3.0), wkb_linestring([])]),
     "invalid WKB: MultiPoint child has incompatible dimension XYZ; expected XY"),
    # a decoding error is reported before trailing data
    (wkb_collection([P12], count=2) + b"\x01\x02", END_U32),
])
def test_order_of_checks(wkb, message):
    fails(wkb, message)


@pytest.mark.parametrize("extra, n", [(b"\x00", 1), (b"\x01\x02\x03", 3), (P12, 21)])
@pytest.mark.parametrize("srid", [None, False, 4326, 0])
def test_trailing_data(extra, n, srid):
    for wkb in (P12, wkb_collection([P12], srid=4326), wkb_multi(MULTIPOINT, [])):
        fails(wkb + extra, f"invalid WKB: unexpected trailing data: {n} bytes remaining",
              srid=srid)


def test_trailing_data_split():
    with pytest.raises(ValueError, match="^invalid WKB: unexpected trailing data: 1 bytes"
                                          " remaining$"):
        split(P12 + b"\x00")


# --- nesting depth -------------------------------------------------------------------

def nested_text(levels, inner):
    return "GEOMETRYCOLLECTION (" * levels + inner + ")" * levels


@pytest.mark.parametrize("levels, inner, text", [
    (127, P12, nested_text(127, "POINT (1 2)")),
    (128, None, nested_text(127, "GEOMETRYCOLLECTION EMPTY")),
    (126, wkb_collection([], srid=5), nested_text(126, "GEOMETRYCOLLECTION EMPTY")),
    # multi members do not count a level
    (127, wkb_multi(MULTIPOLYGON, [wkb_polygon([[(0, 0)]])]),
     nested_text(127, "MULTIPOLYGON (((0 0)))")),
    (127, wkb_multi(MULTIPOINT, [wkb_point(1.0, 2.0, order=">")], order=">"),
     nested_text(127, "MULTIPOINT ((1 2))")),
], ids=range(5))
def test_depth_accepted(levels, inner, text):
    assert to_wkt(wkb_nested_collections(levels, inner)) == text


@pytest.mark.parametrize("levels, inner", [
    (128, P12), (129, None), (128, wkb_multi(MULTIPOINT, [])), (128, b""), (5000, None),
    (128, wkb_collection([])),
], ids=range(6))
def test_depth_rejected(levels, inner):
    fails(wkb_nested_collections(levels, inner), DEPTH)
    fails(wkb_nested_collections(levels, inner), DEPTH, srid=4326)


def test_depth_with_mixed_orders_and_dims():
    rec = wkb_point(1.0, 2.0, 3.0, order=">")
    for i in range(127):
        rec = wkb_collection([rec], dim="XYZ", order="<>"[i % 2],
                             iso=bool(i % 3))
    assert to_wkt(rec).count("POINT Z (1 2 3)") == 1
    rec = wkb_collection([rec])
    fails(rec, DEPTH)


# --- forged counts and truncation ------------------------------------------------------

@pytest.mark.parametrize("wkb, message", [
    (wkb_linestring([(1, 2), (3, 4)], count=0xFFFFFFFF), END_F64),
    (wkb_linestring([(1, 2, 3, 4)], count=0xFFFFFFFF, order=">"), END_F64),
    (header(POLYGON) + u32(0xFFFFFFFF) + u32(1) + coords([(0, 0)]), END_U32),
    (header(POLYGON) + u32(1) + u32(0xFFFFFFFF), END_F64),
    (wkb_multi(MULTIPOINT, [P12], count=0xFFFFFFFF), END),
    (wkb_multi(MULTILINESTRING, [wkb_linestring([], count=0xFFFFFFFF)]), END_F64),
    (wkb_collection([P12] * 3, count=0xFFFFFFFF), END),
    (wkb_collection([wkb_collection([], count=0xFFFFFFFF)]), END),
    (wkb_multi(MULTIPOLYGON, [header(POLYGON) + u32(0x80000000)]), END_U32),
])
def test_forged_counts_fail_at_end_of_data(wkb, message):
    fails(wkb, message)


def test_forged_counts_do_not_blow_up_memory():
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    # 1 MiB of real points under a count of 2**32 - 1, in both byte orders
    for order in "<>":
        wkb = wkb_linestring([(1.0, 2.0)] * 65536, count=0xFFFFFFFF, order=order)
        fails(wkb, END_F64)
        wkb = wkb_collection([P12] * 40000, count=0xFFFFFFFF, order=order)
        fails(wkb, END)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert after - before < 200 * 1024  # KiB: far below what the counts would imply


COMPLEX = wkb_collection([
    wkb_point(1.0, 2.0, order=">", srid=3857),
    wkb_point(NAN, NAN, 1.5, dim="XYM", iso=True),
    wkb_linestring([(0.5, 0.25), (1e300, -2.0)], order=">"),
    wkb_polygon([[(0, 0, 1), (1, 0, 1), (0, 0, 1)], []], iso=True),
    wkb_multi(MULTIPOINT, [wkb_point(1.0, 2.0), wkb_point(NAN, NAN, order=">")], order=">"),
    wkb_multi(MULTILINESTRING, [wkb_linestring([]), wkb_linestring([(1, 2), (3, 4)], order=">")]),
    wkb_multi(MULTIPOLYGON, [wkb_polygon([[(0, 0, 0, 0)]], order=">", srid=1)], dim="XYZM"),
    wkb_collection([wkb_collection([]), wkb_point(5.0, 6.0, 7.0)], order=">"),
], srid=4326)

COMPLEX_TEXT = (
    "GEOMETRYCOLLECTION (POINT (1 2), POINT M (NaN NaN 1.5), LINESTRING (0.5 0.25, 1" + "0" * 300
    + " -2), POLYGON Z ((0 0 1, 1 0 1, 0 0 1), ()), MULTIPOINT ((1 2), EMPTY), "
    "MULTILINESTRING (EMPTY, (1 2, 3 4)), MULTIPOLYGON ZM (((0 0 0 0))), "
    "GEOMETRYCOLLECTION (GEOMETRYCOLLECTION EMPTY, POINT Z (5 6 7)))")


def test_complex_record():
    assert to_wkt(COMPLEX) == "SRID=4326;" + COMPLEX_TEXT
    assert split(COMPLEX) == (COMPLEX_TEXT, 4326)
    assert to_wkt(COMPLEX, srid=False) == COMPLEX_TEXT
    assert to_wkt(bytearray(COMPLEX), srid=7) == "SRID=7;" + COMPLEX_TEXT


def test_every_prefix_of_a_valid_record_fails_cleanly():
    for n in range(len(COMPLEX)):
        for srid in (None, False, 4326):
            with pytest.raises(ValueError) as info:
                to_wkt(COMPLEX[:n], srid=srid)
            assert info.value.args[0] in END_MESSAGES, (n, info.value.args)
        with pytest.raises(ValueError):
            split(memoryview(COMPLEX)[:n])


@pytest.mark.parametrize("cut, message", [
    (0, END), (1, END_U32), (4, END_U32), (5, END_I32), (8, END_I32), (9, END_U32),
    (12, END_U32), (13, END), (14, END_U32), (18, END_I32), (22, END_F64), (37, END_F64),
])
def test_prefix_messages(cut, message):
    # COMPLEX: marker, word, SRID, count; member 1 at 13: marker, word (BE), SRID, X, Y
    fails(COMPLEX[:cut], message)


@given(st.binary(max_size=200))
@settings(max_examples=3000, deadline=None)
def test_random_bytes_never_crash(data):
    try:
        text = to_wkt(data)
    except ValueError as e:
        msg = e.args[0]
        assert msg.startswith(("invalid WKB: ", "unsupported geometry type code: "))
        return
    assert text.isascii()
    plain, srid = split(data)
    assert text == (plain if srid is None else f"SRID={srid};{plain}")


@given(st.lists(st.tuples(st.integers(0, len(COMPLEX) - 1), st.integers(0, 255)),
                min_size=1, max_size=6))
@settings(max_examples=2000, deadline=None)
def test_mutated_records_never_crash(edits):
    data = bytearray(COMPLEX)
    for pos, value in edits:
        data[pos] = value
    try:
        text = to_wkt(data, srid=False)
    except ValueError as e:
        assert e.args[0].startswith(("invalid WKB: ", "unsupported geometry type code: "))
        with pytest.raises(ValueError) as again:
            split(data)
        assert again.value.args == e.args
        return
    assert split(bytes(data))[0] == text
