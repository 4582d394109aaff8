"""wkt_to_wkb, wkt_to_wkb_split_srid and wkt_to_hex_wkb: arguments, the srid
option, and the round trip with wkb_to_wkt."""

import math
import struct

import pytest
from hypothesis import given, settings, strategies as st

import geoweave
from conftest import (
    GEOMETRYCOLLECTION, LINESTRING, MULTILINESTRING, MULTIPOINT, MULTIPOLYGON, POINT, POLYGON,
    coords, f64_bits, header, u32, wkb_point,
)

FUNCTIONS = [geoweave.wkt_to_wkb, geoweave.wkt_to_hex_wkb]
PLAIN = wkb_point(1.0, 2.0)


def ewkb(srid):
    return wkb_point(1.0, 2.0, srid=srid) if srid else PLAIN


def run(fn, *args, **kwargs):
    out = fn(*args, **kwargs)
    if fn is geoweave.wkt_to_hex_wkb:
        assert isinstance(out, str) and out == out.upper()
        return bytes.fromhex(out)
    assert type(out) is bytes
    return out


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("text, srid_arg, srid_out", [
    ("SRID=4326;POINT(1 2)", None, 4326),
    ("SRID=4326;POINT(1 2)", False, None),
    ("SRID=4326;POINT(1 2)", 0, None),
    ("SRID=4326;POINT(1 2)", -5, None),
    ("SRID=4326;POINT(1 2)", -2**31, None),
    ("SRID=4326;POINT(1 2)", 3857, 3857),
    ("SRID=4326;POINT(1 2)", Index(3857), 3857),
    ("SRID=4326;POINT(1 2)", 2**31 - 1, 2**31 - 1),
    ("POINT(1 2)", None, None),
    ("POINT(1 2)", 4326, 4326),
    ("POINT(1 2)", False, None),
    ("SRID=0;POINT(1 2)", None, None),
    ("SRID=-3;POINT(1 2)", None, None),
    ("SRID=-3;POINT(1 2)", 7, 7),
])
def test_srid_option(fn, text, srid_arg, srid_out):
    assert run(fn, text, srid_arg) == ewkb(srid_out)
    assert run(fn, wkt=text, srid=srid_arg) == ewkb(srid_out)
    if srid_arg is None:
        assert run(fn, text) == ewkb(srid_out)


@pytest.mark.parametrize("text, expected", [
    ("SRID=4326;POINT(1 2)", (PLAIN, 4326)),
    ("POINT(1 2)", (PLAIN, None)),
    ("SRID=0;POINT(1 2)", (PLAIN, None)),
    ("SRID=-1;POINT(1 2)", (PLAIN, None)),
])
def test_split_srid(text, expected):
    result = geoweave.wkt_to_wkb_split_srid(text)
    assert type(result) is tuple and result == expected
    assert geoweave.wkt_to_wkb_split_srid(wkt=text) == expected


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("srid", [None, False, 0, 4326])
@pytest.mark.parametrize("text, detail", [
    ("SRID=x;POINT(1 2)", "expected integer at position 5"),
    ("SRID=9999999999;POINT(1 2)", "integer out of i32 range: 9999999999"),
    ("SRID=1 POINT(1 2)", "expected ';' after SRID value"),
    ("POINT(1 2) x", 'unexpected trailing content at position 11: "x"'),
])
def test_malformed_text_fails_with_every_srid(fn, srid, text, detail):
    with pytest.raises(ValueError, match="^invalid WKT: ") as info:
        fn(text, srid)
    assert str(info.value) == "invalid WKT: " + detail


def test_split_srid_malformed_prefix():
    with pytest.raises(ValueError) as info:
        geoweave.wkt_to_wkb_split_srid("SRID=;POINT(1 2)")
    assert str(info.value) == "invalid WKT: expected integer at position 5"


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("srid, exc, text", [
    (True, ValueError, "srid=True is not valid; pass an integer SRID, False, or None"),
    (4326.0, ValueError, "srid must be None, False, or an integer"),
    ("4326", ValueError, "srid must be None, False, or an integer"),
    (2**31, ValueError, "srid is out of the allowed range: must fit in a 32-bit integer "
                        "(-2147483648 to 2147483647)"),
    (-2**31 - 1, ValueError, "srid is out of the allowed range: must fit in a 32-bit "
                             "integer (-2147483648 to 2147483647)"),
])
def test_bad_srid(fn, srid, exc, text):
    # The srid error comes even though the text is fine.
    with pytest.raises(exc) as info:
        fn("POINT(1 2)", srid)
    assert str(info.value) == text
    # ...and the srid is only examined after a valid text argument.
    with pytest.raises(ValueError, match="^srid"):
        fn("not WKT at all", srid)


@pytest.mark.parametrize("fn", FUNCTIONS + [geoweave.wkt_to_wkb_split_srid])
@pytest.mark.parametrize("value, shown", [
    (b"POINT(1 2)", "'bytes' object is not an instance of 'str'"),
    (bytearray(b"POINT(1 2)"), "'bytearray' object is not an instance of 'str'"),
    (None, "'None' is not an instance of 'str'"),
    (12, "'int' object is not an instance of 'str'"),
])
def test_wkt_must_be_str_checked_before_srid(fn, value, shown):
    extra = () if fn is geoweave.wkt_to_wkb_split_srid else (True,)
    with pytest.raises(TypeError) as info:
        fn(value, *extra)
    assert str(info.value) == f"argument 'wkt': {shown}"


@pytest.mark.parametrize("fn", FUNCTIONS + [geoweave.wkt_to_wkb_split_srid])
def test_lone_surrogate_is_a_unicode_error(fn):
    with pytest.raises(UnicodeEncodeError):
        fn("POINT(1 2)\udc80")


def test_str_subclass_is_accepted():
    class Text(str):
        pass

    assert geoweave.wkt_to_wkb(Text("POINT(1 2)")) == PLAIN


@pytest.mark.parametrize("call, message", [
    (lambda: geoweave.wkt_to_wkb(), "wkt_to_wkb() missing 1 required positional argument: 'wkt'"),
    (lambda: geoweave.wkt_to_hex_wkb("POINT(1 2)", None, 1),
     "wkt_to_hex_wkb() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: geoweave.wkt_to_wkb_split_srid("POINT(1 2)", None),
     "wkt_to_wkb_split_srid() takes 1 positional arguments but 2 were given"),
    (lambda: geoweave.wkt_to_wkb_split_srid("POINT(1 2)", srid=None),
     "wkt_to_wkb_split_srid() got an unexpected keyword argument 'srid'"),
    (lambda: geoweave.wkt_to_wkb("POINT(1 2)", wkt="POINT(1 2)"),
     "wkt_to_wkb() got multiple values for argument 'wkt'"),
    (lambda: geoweave.wkt_to_hex_wkb(srid=1),
     "wkt_to_hex_wkb() missing 1 required positional argument: 'wkt'"),
])
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


SRID_LINES = [
    "",
    "*srid* controls SRID handling in the output:",
    "- ``None`` (default): mirror the input \u2014 SRID is kept if present, absent if not.",
    "- ``False``: always strip the SRID from the output.",
    "- integer: always embed this SRID, overriding whatever the input contains.",
]


@pytest.mark.parametrize("fn, signature, body", [
    (geoweave.wkt_to_wkb, "(wkt, srid=None)",
     ["Converts a WKT/EWKT string to EWKB bytes."] + SRID_LINES),
    (geoweave.wkt_to_hex_wkb, "(wkt, srid=None)",
     ["Converts a WKT/EWKT string to an uppercase hex-encoded EWKB string."] + SRID_LINES),
    (geoweave.wkt_to_wkb_split_srid, "(wkt)",
     ["Converts a WKT/EWKT string to EWKB bytes and returns the SRID separately.",
      "The SRID is not embedded in the returned bytes."]),
])
def test_docstrings(fn, signature, body):
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == "\n".join(body)


# ---- round trip with wkb_to_wkt ---------------------------------------------------

# No NaN or infinity (they have no WKT number form), no negative zero (written
# "0"): every other double survives the text exactly.
ordinate = st.floats(allow_nan=False, allow_infinity=False).filter(
    lambda x: not (x == 0 and math.copysign(1, x) < 0))
DIMS = {"XY": (0, 2), "XYZ": (0x80000000, 3), "XYM": (0x40000000, 3),
        "XYZM": (0xC0000000, 4)}
EMPTY_POINT_BITS = 0x7FF8000000000000


@st.composite
def ewkb_geometry(draw, depth=0, dim=None):
    """Random EWKB in exactly the form the writer produces (little-endian,
    flag-based, no nested SRID, all-NaN points only as EMPTY, no empty rings)."""
    dim = dim or draw(st.sampled_from(sorted(DIMS)))
    n = DIMS[dim][1]
    kinds = [POINT, LINESTRING, POLYGON, MULTIPOINT, MULTILINESTRING, MULTIPOLYGON]
    kind = draw(st.sampled_from(kinds + ([GEOMETRYCOLLECTION] if depth < 3 else [])))
    head = header(kind, dim)

    def tuples(minimum):
        pts = draw(st.lists(st.tuples(*[ordinate] * n), min_size=minimum, max_size=4))
        return u32(len(pts)) + coords(pts)

    def rings(minimum):
        count = draw(st.integers(minimum, 3))
        return u32(count) + b"".join(tuples(1) for _ in range(count))

    def point_body():
        if draw(st.booleans()):
            return f64_bits(EMPTY_POINT_BITS) * n
        return coords([draw(st.tuples(*[ordinate] * n))])

    if kind == POINT:
        return head + point_body()
    if kind == LINESTRING:
        return head + tuples(0)
    if kind == POLYGON:
        return head + rings(0)
    count = draw(st.integers(0, 3))
    if kind == MULTIPOINT:
        members = [header(POINT, dim) + point_body() for _ in range(count)]
    elif kind == MULTILINESTRING:
        members = [header(LINESTRING, dim) + tuples(0) for _ in range(count)]
    elif kind == MULTIPOLYGON:
        members = [header(POLYGON, dim) + rings(0) for _ in range(count)]
    else:
        # An untagged collection may mix dimensions; a tagged one may not.
        member_dim = None if dim == "XY" else dim
        members = [draw(ewkb_geometry(depth + 1, member_dim)) for _ in range(count)]
    return head + u32(count) + b"".join(members)


def with_srid(wkb, srid):
    word = struct.unpack_from("<I", wkb, 1)[0] | 0x20000000
    return wkb[:1] + struct.pack("<Ii", word, srid) + wkb[5:]


@settings(max_examples=300, deadline=None)
@given(ewkb_geometry(), st.one_of(st.none(), st.integers(1, 2**31 - 1)))
def test_random_geometries_round_trip_exactly(wkb, srid):
    if srid is not None:
        wkb = with_srid(wkb, srid)
    text = geoweave.wkb_to_wkt(wkb)
    assert geoweave.wkt_to_wkb(text) == wkb
    assert geoweave.wkt_to_hex_wkb(text) == wkb.hex().upper()
    # Canonical text is a fixed point of text -> EWKB -> text.
    assert geoweave.wkb_to_wkt(geoweave.wkt_to_wkb(text)) == text
    assert geoweave.wkt_to_wkb_split_srid(text) == (
        geoweave.wkt_to_wkb(text, False), srid)
