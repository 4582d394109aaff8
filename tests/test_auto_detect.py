"""to_wkt, to_wkb and to_hex_wkb: detection of the source form, the srid option,
the unvalidated text paths and the order in which arguments are checked."""

import struct

import pytest

import geoweave
from conftest import wkb_point


def point(x, y, srid=None, le=True):
    return wkb_point(x, y, srid=srid, order="<" if le else ">")


def multipoint(members, srid=None):
    if srid is None:
        return b"\x01" + struct.pack("<II", 4, len(members)) + b"".join(members)
    return b"\x01" + struct.pack("<IiI", 0x20000004, srid, len(members)) + b"".join(members)


P = point(1.0, 2.0)
P_4326 = point(1.0, 2.0, srid=4326)
P_4326_BE = point(1.0, 2.0, srid=4326, le=False)
MP = multipoint([point(1.0, 2.0), point(3.0, 4.0)])
MP_4326 = multipoint([point(1.0, 2.0), point(3.0, 4.0)], srid=4326)


# to_wkt on WKT text ------------------------------------------------------------

@pytest.mark.parametrize(
    "text, srid, expected",
    [
        ("  SRID=4326;POINT(1 2)  ", None, "SRID=4326;POINT(1 2)"),
        ("  SRID=4326;POINT(1 2)  ", False, "POINT(1 2)"),
        ("  SRID=4326;POINT(1 2)  ", 3857, "SRID=3857;POINT(1 2)"),
        ("  SRID=4326;POINT(1 2)  ", 0, "POINT(1 2)"),
        ("  SRID=4326;POINT(1 2)  ", -7, "POINT(1 2)"),
        ("srid=0;  POINT(1 2)", None, "POINT(1 2)"),
        ("SRID=-1;POINT(1 2)", None, "POINT(1 2)"),
        ("srid=+0;x", None, "x"),
        ("SRID=-0;x", None, "x"),
        ("SRID=-2147483648;x", None, "x"),
        ("sRiD= -3 ;POINT(1 2)", None, "POINT(1 2)"),
        ("SRID=\u3000-3\u00a0;POINT(1 2)", None, "POINT(1 2)"),
        ("SRID=+0;POINT(1 2)", None, "POINT(1 2)"),
        ("SRID=0000000000000000000000000;x", None, "x"),  # leading zeros are no overflow
        # Left alone: positive, malformed or out-of-range values, no ";".
        ("SRID=4326;POINT(1 2)", None, "SRID=4326;POINT(1 2)"),
        ("SRID=abc;POINT(1 2)", None, "SRID=abc;POINT(1 2)"),
        ("srid\x1d0;x", None, "srid\x1d0;x"),  # a byte one bit from "=" is not "="
        ("SRID=;POINT(1 2)", None, "SRID=;POINT(1 2)"),
        ("SRID=-;x", None, "SRID=-;x"),
        ("SRID=+;x", None, "SRID=+;x"),
        ("SRID=+-1;x", None, "SRID=+-1;x"),
        ("SRID=- 1;x", None, "SRID=- 1;x"),
        ("SRID=2147483648;POINT(1 2)", None, "SRID=2147483648;POINT(1 2)"),
        ("SRID=-2147483649;x", None, "SRID=-2147483649;x"),
        ("SRID=-99999999999999999999999;x", None, "SRID=-99999999999999999999999;x"),
        ("SRID=0 POINT(1 2)", None, "SRID=0 POINT(1 2)"),
        (" \tSRID=0;x", None, "x"),  # trimmed first, then recognised
        ("XSRID=0;x", None, "XSRID=0;x"),
        ("SRID=0;", None, ""),
        ("SRID=4326;", False, ""),
        ("SRID=4326;\t", False, ""),
        ("SRID=0;a;b", None, "a;b"),  # the first ";" ends the prefix
        ("SRID=1;a;b", False, "a;b"),
        ("hello", None, "hello"),
        ("hello", False, "hello"),
        ("hello", 4326, "SRID=4326;hello"),
        ("SRID=abc;POINT(1 2)", False, "POINT(1 2)"),  # value never examined
        ("SRID=abc;POINT(1 2)", 5, "SRID=5;POINT(1 2)"),
        ("srid=5", False, "srid=5"),  # no ";": prefix kept
        ("srid", 5, "SRID=5;srid"),
        ("010", None, "010"),  # odd-length all-hex: unvalidated WKT
        ("010", 3, "SRID=3;010"),
        ("ab cd", None, "ab cd"),
        ("point(1  2)", None, "point(1  2)"),  # no normalisation
    ],
)
def test_to_wkt_text_fast_path(text, srid, expected):
    assert geoweave.to_wkt(text, srid) == expected
    assert geoweave.to_wkt(text, srid=srid, normalize_wkt=False) == expected


@pytest.mark.parametrize(
    "text, srid, expected",
    [
        ("POINT(1 2)", None, "POINT (1 2)"),
        ("  point ( 1.0   2e0 ) \n", None, "POINT (1 2)"),
        ("SRID=4326;POINT(1 2)", None, "SRID=4326;POINT (1 2)"),
        ("SRID=4326;POINT(1 2)", False, "POINT (1 2)"),
        ("SRID=4326;POINT(1 2)", 3857, "SRID=3857;POINT (1 2)"),
        ("SRID=0;POINT(1 2)", None, "POINT (1 2)"),
        ("SRID=-4;POINT(1 2)", None, "POINT (1 2)"),
        ("POINT(1 2)", 0, "POINT (1 2)"),
        ("multipoint(1 2, 3 4)", 9, "SRID=9;MULTIPOINT ((1 2), (3 4))"),
    ],
)
def test_to_wkt_normalize(text, srid, expected):
    assert geoweave.to_wkt(text, srid, True) == expected


@pytest.mark.parametrize(
    "text",
    ["hello", "010", "SRID=abc;POINT(1 2)", "SRID=+0;POINT(1 2)", "SRID= -3 ;POINT(1 2)",
     "POINT(1 2", "SRID=4326;"],
)
def test_to_wkt_normalize_rejects_what_the_fast_path_passes(text):
    with pytest.raises(ValueError) as info:
        geoweave.to_wkt(text, normalize_wkt=True)
    assert str(info.value).startswith("invalid WKT: ")
    # The same message as the WKT parser gives directly.
    with pytest.raises(ValueError) as direct:
        geoweave.wkt_to_wkb(text.strip())
    assert str(info.value) == str(direct.value)


def test_to_wkt_normalize_prefix_errors():
    for text in ("SRID=abc;POINT(1 2)", "SRID=+0;POINT(1 2)", "SRID= -3 ;POINT(1 2)"):
        with pytest.raises(ValueError, match=r"^invalid WKT: expected integer at position 5$"):
            geoweave.to_wkt(text, srid=False, normalize_wkt=True)


@pytest.mark.parametrize("text", ["", "   ", "\u3000", "\n\t\u2028"])
def test_empty_text(text):
    with pytest.raises(ValueError, match=r"^invalid WKT: empty input$"):
        geoweave.to_wkt(text)
    with pytest.raises(ValueError, match=r"^invalid WKT: empty input$"):
        geoweave.to_wkt(text, srid=4326, normalize_wkt=True)
    # to_wkb / to_hex_wkb have no check of their own: the parser's message.
    for fn in (geoweave.to_wkb, geoweave.to_hex_wkb):
        with pytest.raises(ValueError) as info:
            fn(text)
        with pytest.raises(ValueError) as direct:
            geoweave.wkt_to_wkb("")
        assert str(info.value) == str(direct.value)


# to_wkt on hex text and bytes --------------------------------------------------

@pytest.mark.parametrize("srid", [None, False, 0, 4326, 3857])
@pytest.mark.parametrize("normalize", [False, True])
@pytest.mark.parametrize("source", [P, P_4326, P_4326_BE, MP_4326],
                         ids=["point", "point-4326", "point-4326-be", "multipoint-4326"])
def test_to_wkt_hex_matches_wkb_to_wkt(source, srid, normalize):
    expected = geoweave.wkb_to_wkt(source, srid)
    for text in (source.hex(), source.hex().upper(), "\n " + source.hex() + "\u3000"):
        assert geoweave.to_wkt(text, srid, normalize) == expected
    assert geoweave.to_wkt(source, srid, normalize) == expected
    assert geoweave.to_wkt(bytearray(source), srid, normalize) == expected


@pytest.mark.parametrize(
    "source, message",
    [
        ("00", "invalid WKB: unexpected end of data reading u32"),
        ("ABCD", "invalid WKB: invalid byte order marker: 171"),
        (b"0101000000", "invalid WKB: invalid byte order marker: 48"),  # bytes are raw WKB
        (b"", "invalid WKB: unexpected end of data"),
        (P.hex() + "00", "invalid WKB: unexpected trailing data: 1 bytes remaining"),
    ],
)
@pytest.mark.parametrize("normalize", [False, True])
def test_to_wkt_wkb_errors(source, message, normalize):
    with pytest.raises(ValueError) as info:
        geoweave.to_wkt(source, normalize_wkt=normalize)
    assert str(info.value) == message


# to_wkb --------------------------------------------------------------------------

def test_to_wkb_mirror_passes_through_unvalidated():
    assert geoweave.to_wkb("ABCD") == b"\xab\xcd"
    assert geoweave.to_wkb(" abcd\n") == b"\xab\xcd"
    assert geoweave.to_wkb(b"\x07garbage") == b"\x07garbage"
    assert geoweave.to_wkb(b"") == b""
    source = bytearray(P_4326)
    result = geoweave.to_wkb(source)
    assert type(result) is bytes and result == P_4326
    raw = bytes(P_4326)
    again = geoweave.to_wkb(raw)
    assert again == raw and again is not raw


@pytest.mark.parametrize("srid", [None, False, 0, 4326])
@pytest.mark.parametrize(
    "text",
    ["POINT(1 2)", "  SRID=4326;POINT(1 2)\n", "SRID=0;LINESTRING(1 2, 3 4)",
     "GEOMETRYCOLLECTION(POINT Z (1 2 3))", "point empty"],
)
def test_to_wkb_and_to_hex_wkb_of_wkt_equal_the_direct_functions(text, srid):
    t = text.strip()
    assert geoweave.to_wkb(text, srid) == geoweave.wkt_to_wkb(t, srid)
    assert geoweave.to_hex_wkb(text, srid) == geoweave.wkt_to_hex_wkb(t, srid)


@pytest.mark.parametrize("srid", [False, 4326])
def test_to_wkb_empty_bytes_with_rewrite(srid):
    for fn in (geoweave.to_wkb, geoweave.to_hex_wkb):
        with pytest.raises(ValueError, match=r"^invalid WKB: unexpected end of data$"):
            fn(b"", srid)


def test_to_wkb_hex_rewrite():
    assert geoweave.to_wkb(P.hex(), srid=4326) == P_4326
    assert geoweave.to_wkb(P_4326.hex(), srid=4326) == P_4326  # unchanged: the decoded bytes
    assert geoweave.to_wkb(P_4326_BE.hex().lower(), srid=False) == point(1.0, 2.0, le=False)
    # Multi types take the round trip: little-endian EWKB.
    assert geoweave.to_wkb(MP.hex(), srid=4326) == MP_4326
    assert geoweave.to_wkb(MP_4326.hex(), srid=False) == MP


def test_to_wkb_mirror_keeps_unknown_srid_values_in_place():
    # Pass-through paths are not validated, so an SRID field of 0 stays.
    source = point(1.0, 2.0, srid=0)
    assert geoweave.to_wkb(source) == source
    assert geoweave.to_wkb(source.hex()) == source
    assert geoweave.to_hex_wkb(source) == source.hex().upper()


def test_to_wkb_input_is_never_modified():
    source = bytearray(P_4326)
    for srid in (None, False, 3857, 4326):
        geoweave.to_wkb(source, srid)
        geoweave.to_hex_wkb(source, srid)
        geoweave.to_wkt(source, srid)
    assert source == P_4326


# to_hex_wkb ------------------------------------------------------------------------

def test_to_hex_wkb_mirror():
    assert geoweave.to_hex_wkb(" abcd\n") == "ABCD"
    assert geoweave.to_hex_wkb("0000") == "0000"  # not decoded, not validated
    assert geoweave.to_hex_wkb(P_4326) == P_4326.hex().upper()
    assert geoweave.to_hex_wkb(memoryview(P_4326)) == P_4326.hex().upper()
    assert geoweave.to_hex_wkb(b"") == ""
    # Odd length or a stray character: WKT, rejected by the parser.
    for text in ("abc", "abcg", "ab cd"):
        with pytest.raises(ValueError, match=r"^invalid WKT: "):
            geoweave.to_hex_wkb(text)


def test_to_hex_wkb_rewrite_of_hex_text():
    assert geoweave.to_hex_wkb(P.hex(), 4326) == P_4326.hex().upper()
    assert geoweave.to_hex_wkb(P_4326.hex(), 4326) == P_4326.hex().upper()
    assert geoweave.to_hex_wkb(P_4326_BE.hex(), False) == point(1.0, 2.0, le=False).hex().upper()
    assert geoweave.to_hex_wkb(MP.hex(), 4326) == MP_4326.hex().upper()
    with pytest.raises(ValueError, match=r"^invalid WKB: unexpected end of data reading u32$"):
        geoweave.to_hex_wkb("00", 4326)


def test_result_types():
    class Text(str):
        pass

    assert type(geoweave.to_wkt(Text("POINT(1 2)"))) is str
    assert type(geoweave.to_hex_wkb(Text("abcd"))) is str
    assert type(geoweave.to_wkb(Text("abcd"))) is bytes
    assert geoweave.to_wkt(Text("SRID=0;x")) == "x"


# Argument order and conventions ------------------------------------------------

@pytest.mark.parametrize(
    "call, exc, message",
    [
        # srid before source
        (lambda: geoweave.to_wkb(42, True), ValueError,
         "srid=True is not valid; pass an integer SRID, False, or None"),
        (lambda: geoweave.to_hex_wkb(None, srid=True), ValueError,
         "srid=True is not valid; pass an integer SRID, False, or None"),
        (lambda: geoweave.to_wkt(42, srid="x"), ValueError,
         "srid must be None, False, or an integer"),
        # normalize_wkt before srid
        (lambda: geoweave.to_wkt(42, True, None), TypeError,
         "argument 'normalize_wkt': 'None' is not an instance of 'bool'"),
        (lambda: geoweave.to_wkt("x", normalize_wkt=0), TypeError,
         "argument 'normalize_wkt': 'int' object is not an instance of 'bool'"),
        (lambda: geoweave.to_wkt("x", normalize_wkt=1), TypeError,
         "argument 'normalize_wkt': 'int' object is not an instance of 'bool'"),
        (lambda: geoweave.to_wkt("x", normalize_wkt="yes"), TypeError,
         "argument 'normalize_wkt': 'str' object is not an instance of 'bool'"),
        (lambda: geoweave.to_wkt(42), BufferError, "source must be a contiguous one-byte buffer"),
        (lambda: geoweave.to_wkb(None), BufferError,
         "source must be a contiguous one-byte buffer"),
        (lambda: geoweave.to_hex_wkb(memoryview(b"abcd")[::2]), BufferError,
         "source must be a contiguous one-byte buffer"),
        (lambda: geoweave.to_wkt(2**40, srid=2**31), ValueError,
         "srid is out of the allowed range: must fit in a 32-bit integer "
         "(-2147483648 to 2147483647)"),
        (lambda: geoweave.to_wkt("x", None, False, 1), TypeError,
         "to_wkt() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: geoweave.to_wkb("x", None, False), TypeError,
         "to_wkb() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: geoweave.to_hex_wkb("x", normalize_wkt=True), TypeError,
         "to_hex_wkb() got an unexpected keyword argument 'normalize_wkt'"),
        (lambda: geoweave.to_wkt(), TypeError,
         "to_wkt() missing 1 required positional argument: 'source'"),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


def test_lone_surrogate_source():
    for fn in (geoweave.to_wkt, geoweave.to_wkb, geoweave.to_hex_wkb):
        with pytest.raises(UnicodeEncodeError):
            fn("POINT(1 2)\ud800")


def test_numpy_bool_for_normalize_wkt():
    np = pytest.importorskip("numpy")
    assert geoweave.to_wkt("point(1 2)", normalize_wkt=np.True_) == "POINT (1 2)"
    assert geoweave.to_wkt("point(1 2)", normalize_wkt=np.False_) == "point(1 2)"
    assert geoweave.to_wkt("point(1 2)", None, np.bool_(True)) == "POINT (1 2)"
    # numpy integers are not booleans.
    with pytest.raises(TypeError, match=r"^argument 'normalize_wkt': 'int64' object is not "
                                        r"an instance of 'bool'$"):
        geoweave.to_wkt("x", normalize_wkt=np.int64(1))
    # numpy integers are fine as srid.
    assert geoweave.to_wkt("x", srid=np.int32(7)) == "SRID=7;x"
