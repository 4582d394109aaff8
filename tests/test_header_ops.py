"""wkb_header_srid, to_ewkb_header and to_wkb_no_srid_header: header patches in
the input's own byte order for simple headers, the WKT round trip for the rest,
and the argument conventions of the three functions."""

import array
import struct

import pytest
from hypothesis import given, strategies as st

import geoweave

SRID_FLAG = 0x20000000
Z_FLAG = 0x80000000
M_FLAG = 0x40000000


def header(type_word, srid=None, le=True):
    order = "<" if le else ">"
    marker = bytes([1 if le else 0])
    if srid is None:
        return marker + struct.pack(order + "I", type_word)
    return marker + struct.pack(order + "Ii", type_word | SRID_FLAG, srid)


def point(*coords, srid=None, le=True, type_word=1):
    return header(type_word, srid, le) + struct.pack(
        ("<" if le else ">") + "%dd" % len(coords), *coords)


def multi(type_word, members, srid=None, le=True):
    return header(type_word, srid, le) + struct.pack("<I" if le else ">I",
                                                     len(members)) + b"".join(members)


P_LE = point(1.0, 2.0)
P_BE = point(1.0, 2.0, le=False)
P_LE_4326 = point(1.0, 2.0, srid=4326)
P_BE_4326 = point(1.0, 2.0, srid=4326, le=False)
COORDS_LE = struct.pack("<dd", 1.0, 2.0)
COORDS_BE = struct.pack(">dd", 1.0, 2.0)
# Marker and a Point type word with the SRID flag, but no room for the SRID.
FLAGGED_5 = b"\x01" + struct.pack("<I", 0x20000001)


# wkb_header_srid ---------------------------------------------------------------

@pytest.mark.parametrize(
    "source, expected",
    [
        ("0101000020E6100000", 4326),  # header only, no body
        ("0020000001000010E6", 4326),  # the same, big-endian
        ("0101000020e6100000", 4326),
        (P_LE_4326, 4326),
        (P_BE_4326, 4326),
        (point(1.0, 2.0, srid=0), None),
        (point(1.0, 2.0, srid=-1), None),
        (P_LE, None),
        (point(1.0, 2.0, 3.0, type_word=1001), None),  # ISO, no SRID flag
        (header(1) + b"garbage", None),  # body never looked at
        (header(99, srid=31466), 31466),  # unsupported code, SRID still read
        (header(0x80000007, srid=2, le=False), 2),
        (multi(4, [point(1.0, 2.0, srid=9)], srid=None), None),  # nested SRID ignored
        # Non-canonical flag bits: full parse.
        (point(1.0, 2.0, type_word=0x10000001), None),
        (header(0x10000001, srid=77) + COORDS_LE, 77),
    ],
)
def test_wkb_header_srid(source, expected):
    assert geoweave.wkb_header_srid(source) == expected


@pytest.mark.parametrize(
    "source, message",
    [
        (FLAGGED_5 + b"\xe6\x10", "invalid WKB: EWKB header has SRID flag but is too short "
                                  "to contain the SRID field"),
        (bytes.fromhex("0101000020"), "invalid WKB: EWKB header has SRID flag but is too "
                                      "short to contain the SRID field"),
        (bytes.fromhex("0101000020E61000"), "invalid WKB: EWKB header has SRID flag but is "
                                            "too short to contain the SRID field"),
        (b"", "invalid WKB: unexpected end of data"),
        (b"\x01\x01", "invalid WKB: unexpected end of data reading u32"),
        (b"\x02" + P_LE[1:], "invalid WKB: invalid byte order marker: 2"),
        # Non-canonical: the full parse sees the trailing byte.
        (point(1.0, 2.0, type_word=0x10000001) + b"\x00",
         "invalid WKB: unexpected trailing data: 1 bytes remaining"),
        ("", "invalid WKB: empty hex string"),
        (" 0101000020E6100000", "invalid WKB: hex string has odd length"),
        ("0101000020E6100000 ", "invalid WKB: hex string has odd length"),
        ("0101000020E6100000\n\n", "invalid WKB: invalid hex digit at position 18"),
    ],
)
def test_wkb_header_srid_errors(source, message):
    with pytest.raises(ValueError) as info:
        geoweave.wkb_header_srid(source)
    assert str(info.value) == message


# Patching simple headers -----------------------------------------------------

@pytest.mark.parametrize(
    "source, srid, expected",
    [
        (P_LE, 4326, b"\x01" + struct.pack("<Ii", 0x20000001, 4326) + COORDS_LE),
        (P_BE, 4326, b"\x00" + struct.pack(">Ii", 0x20000001, 4326) + COORDS_BE),
        (P_LE_4326, 3857, b"\x01" + struct.pack("<Ii", 0x20000001, 3857) + COORDS_LE),
        (P_BE_4326, 3857, b"\x00" + struct.pack(">Ii", 0x20000001, 3857) + COORDS_BE),
        (P_LE_4326, False, b"\x01" + struct.pack("<I", 1) + COORDS_LE),
        (P_BE_4326, False, b"\x00" + struct.pack(">I", 1) + COORDS_BE),
        (P_BE_4326, 0, b"\x00" + struct.pack(">I", 1) + COORDS_BE),
        (P_LE_4326, -5, b"\x01" + struct.pack("<I", 1) + COORDS_LE),
        # Z and M flags are kept.
        (point(1.0, 2.0, 3.0, 4.0, type_word=0xC0000001, le=False), 7,
         b"\x00" + struct.pack(">Ii4d", 0xE0000001, 7, 1.0, 2.0, 3.0, 4.0)),
        (point(1.0, 2.0, 3.0, type_word=0x40000002, srid=5), False,
         b"\x01" + struct.pack("<I3d", 0x40000002, 1.0, 2.0, 3.0)),
        # Bodies are never read: a truncated one or trailing bytes pass through.
        (header(2) + b"\xff\xff", 4326, b"\x01" + struct.pack("<Ii", 0x20000002, 4326)
         + b"\xff\xff"),
        (P_LE_4326 + b"junk", False, b"\x01" + struct.pack("<I", 1) + COORDS_LE + b"junk"),
        (header(3, srid=1), False, header(3)),  # exactly 9 bytes
        (header(3), 1, header(3, srid=1)),  # exactly 5 bytes
    ],
)
def test_simple_header_patch(source, srid, expected):
    assert geoweave.to_ewkb_header(source, srid) == expected
    # The same patch through hex text, answered in upper-case hex.
    assert geoweave.to_ewkb_header(source.hex(), srid) == expected.hex().upper()
    # to_wkb takes the same fast paths.
    assert geoweave.to_wkb(source, srid=srid) == expected
    assert geoweave.to_hex_wkb(source, srid=srid) == expected.hex().upper()
    if srid is False or srid <= 0:
        assert geoweave.to_wkb_no_srid_header(source) == expected
        assert geoweave.to_wkb_no_srid_header(source.hex()) == expected.hex().upper()


def test_replacing_srid_changes_only_the_srid_field():
    for source in (P_LE_4326, P_BE_4326):
        result = geoweave.to_ewkb_header(source, 2154)
        assert len(result) == len(source)
        diff = [i for i in range(len(source)) if source[i] != result[i]]
        assert diff and set(diff) <= {5, 6, 7, 8}
        assert geoweave.wkb_header_srid(result) == 2154


@pytest.mark.parametrize(
    "source, call",
    [
        (P_LE_4326, lambda s: geoweave.to_ewkb_header(s, 4326)),
        (P_BE_4326, lambda s: geoweave.to_ewkb_header(s, 4326)),
        (P_LE, lambda s: geoweave.to_ewkb_header(s, False)),
        (P_LE, lambda s: geoweave.to_ewkb_header(s, 0)),
        (P_BE, geoweave.to_wkb_no_srid_header),
    ],
)
def test_unchanged_header_is_still_a_new_bytes_object(source, call):
    result = call(source)
    assert result == source
    assert result is not source
    assert type(result) is bytes


@pytest.mark.parametrize("make", [bytearray, memoryview, lambda b: array.array("B", b)])
def test_buffer_sources_give_bytes_and_are_not_modified(make):
    for source, srid in ((P_LE, 4326), (P_LE_4326, 3857), (P_LE_4326, 4326),
                         (P_LE_4326, False), (multi(4, [P_LE]), 4326)):
        buf = make(bytearray(source))
        before = bytes(buf)
        result = geoweave.to_ewkb_header(buf, srid)
        assert type(result) is bytes
        assert result == geoweave.to_ewkb_header(source, srid)
        assert bytes(buf) == before
        result = geoweave.to_wkb_no_srid_header(buf)
        assert type(result) is bytes and bytes(buf) == before


def test_hex_sources_answer_upper_case_str():
    class Hex(str):
        pass

    lower = P_LE_4326.hex()
    for result in (geoweave.to_ewkb_header(lower, 4326),  # unchanged, still upper case
                   geoweave.to_wkb_no_srid_header(P_LE.hex()),
                   geoweave.to_ewkb_header(Hex(lower), 4326),
                   geoweave.to_wkb_no_srid_header(Hex(lower))):
        assert type(result) is str
        assert result == result.upper()
    assert geoweave.to_ewkb_header(Hex(lower), 4326) == lower.upper()


@pytest.mark.parametrize("srid", [0, -5, -2**31])
def test_nonpositive_srid_is_strip(srid):
    for source in (P_LE_4326, P_BE_4326, P_LE, multi(4, [P_LE], srid=4326),
                   P_BE_4326.hex()):
        assert geoweave.to_ewkb_header(source, srid) == geoweave.to_wkb_no_srid_header(source)


# Round trip through WKT for headers that cannot be patched ---------------------

def round_trip_expected(source, srid):
    """What a rebuild must give: the reader's text written back by the writer."""
    return geoweave.wkt_to_wkb(geoweave.wkb_to_wkt(source, srid=False), srid=srid)


NOT_SIMPLE = [
    multi(4, [point(1.0, 2.0, le=False), point(3.0, 4.0, le=False)], le=False),  # BE multi
    multi(4, [point(1.0, 2.0, srid=99)], srid=4326),  # nested SRID
    multi(7, [P_LE, multi(7, [], le=False)], srid=4326, le=False),  # collection
    point(1.0, 2.0, 3.0, type_word=1001),  # ISO Point Z
    point(1.0, 2.0, 3.0, 4.0, type_word=3001, le=False),  # ISO Point ZM
    point(1.0, 2.0, type_word=0x10000001),  # undefined flag bit
    header(0x20000001 | 0x00010000, srid=4326) + COORDS_LE,  # undefined bit with SRID
]


@pytest.mark.parametrize("source", NOT_SIMPLE)
@pytest.mark.parametrize("srid", [4326, 3857, False])
def test_round_trip_normalises(source, srid):
    expected = round_trip_expected(source, srid if srid is not False else None)
    result = geoweave.to_ewkb_header(source, srid)
    assert result == expected
    assert result[0] == 1  # little-endian, flag form
    assert geoweave.to_ewkb_header(source.hex(), srid) == expected.hex().upper()
    assert geoweave.to_wkb(source, srid=srid) == expected
    assert geoweave.to_hex_wkb(source, srid=srid) == expected.hex().upper()
    assert geoweave.wkb_header_srid(result) == (srid or None)


def test_round_trip_removes_nested_srids():
    source = multi(4, [point(1.0, 2.0, srid=99, le=False)], srid=4326)
    result = geoweave.to_wkb_no_srid_header(source)
    assert result == (b"\x01" + struct.pack("<II", 4, 1) + b"\x01"
                      + struct.pack("<Idd", 1, 1.0, 2.0))


def test_iso_point_comes_back_in_flag_form():
    result = geoweave.to_ewkb_header(point(1.0, 2.0, 3.0, type_word=1001, le=False), 5)
    assert result == b"\x01" + struct.pack("<Iiddd", 0xA0000001, 5, 1.0, 2.0, 3.0)


@pytest.mark.parametrize(
    "source, message",
    [
        (b"", "invalid WKB: unexpected end of data"),
        (b"\x01\x01\x00", "invalid WKB: unexpected end of data reading u32"),
        # Too short for the flagged SRID, so not simple: the reader decides.
        (FLAGGED_5, "invalid WKB: unexpected end of data reading i32"),
        (FLAGGED_5 + b"\x01\x02\x03", "invalid WKB: unexpected end of data reading i32"),
        # A MultiPoint header with the body a simple header would not read.
        (header(4) + b"\xff\xff", "invalid WKB: unexpected end of data reading u32"),
        (multi(4, [P_LE]) + b"xyz", "invalid WKB: unexpected trailing data: 3 bytes remaining"),
        (multi(4, [point(1.0, 2.0, 3.0, type_word=1001)]),
         "invalid WKB: MultiPoint child has incompatible dimension XYZ; expected XY"),
        (header(99), "unsupported geometry type code: 99"),
        (header(3000), "unsupported geometry type code: 1000"),
        (b"\x05" + P_LE[1:], "invalid WKB: invalid byte order marker: 5"),
    ],
)
def test_round_trip_errors(source, message):
    for call in (lambda s: geoweave.to_ewkb_header(s, 4326),
                 lambda s: geoweave.to_ewkb_header(s, False),
                 geoweave.to_wkb_no_srid_header,
                 lambda s: geoweave.to_wkb(s, srid=False),
                 lambda s: geoweave.to_hex_wkb(s, srid=4326)):
        with pytest.raises(ValueError) as info:
            call(source)
        assert str(info.value) == message
        if source:
            with pytest.raises(ValueError) as info:
                call(source.hex())
            assert str(info.value) == message


NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize(
    "source",
    [
        multi(4, [point(1.0, NAN), point(3.0, 4.0)]),
        multi(5, [header(2) + struct.pack("<I2d2d", 2, 1.0, INF, -INF, 2.0)], srid=4326),
        point(NAN, 2.0, 3.0, type_word=1001),
        multi(6, [header(3) + struct.pack("<II", 1, 0)]),  # a ring of no points
        header(1003) + struct.pack("<III", 2, 0, 0),  # ISO, two empty rings
    ],
    ids=["multipoint-nan", "multilinestring-inf", "iso-point-nan", "multipolygon-empty-ring",
         "iso-polygon-empty-rings"],
)
def test_round_trip_accepts_what_the_reader_accepts(source):
    text = geoweave.wkb_to_wkt(source, srid=False)  # valid WKB
    result = geoweave.to_ewkb_header(source, 4326)
    assert geoweave.wkb_to_wkt(result, srid=False) == text
    assert geoweave.wkb_header_srid(result) == 4326
    assert geoweave.to_wkb(source, srid=False) == geoweave.to_wkb_no_srid_header(source)
    assert geoweave.to_hex_wkb(source, srid=4326) == result.hex().upper()
    # The leniency is internal to the round trip: caller-written WKT holding the
    # same text is still refused.
    with pytest.raises(ValueError, match="^invalid WKT: "):
        geoweave.wkt_to_wkb(text)


def test_all_nan_point_in_a_collection_round_trips_as_empty():
    source = multi(4, [point(NAN, NAN), P_LE])
    result = geoweave.to_ewkb_header(source, 4326)
    assert geoweave.wkb_to_wkt(result) == "SRID=4326;MULTIPOINT (EMPTY, (1 2))"


# Hex and bytes paths agree -----------------------------------------------------

simple_type_words = st.builds(
    lambda code, z, m: code | (Z_FLAG if z else 0) | (M_FLAG if m else 0),
    st.sampled_from([1, 2, 3]), st.booleans(), st.booleans())


@given(type_word=simple_type_words, le=st.booleans(),
       srid=st.one_of(st.none(), st.integers(-2**31, 2**31 - 1)),
       body=st.binary(max_size=40),
       option=st.one_of(st.just(False), st.integers(-2**31, 2**31 - 1)))
def test_patch_paths_agree(type_word, le, srid, body, option):
    source = header(type_word, srid, le) + body
    as_bytes = geoweave.to_ewkb_header(source, option)
    assert geoweave.to_ewkb_header(source.hex(), option) == as_bytes.hex().upper()
    assert geoweave.to_wkb(source, srid=option) == as_bytes
    assert geoweave.to_hex_wkb(source, srid=option) == as_bytes.hex().upper()
    assert as_bytes[0] == source[0]
    assert as_bytes.endswith(body)
    expected_srid = option if option is not False and option > 0 else None
    assert geoweave.wkb_header_srid(as_bytes) == expected_srid
    # Patching again with what is there changes nothing.
    assert geoweave.to_ewkb_header(as_bytes, option) == as_bytes


# Argument conventions --------------------------------------------------------

@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: geoweave.to_ewkb_header(P_LE, None), ValueError,
         "srid must be False or an integer"),
        (lambda: geoweave.to_ewkb_header(42, None), ValueError,
         "srid must be False or an integer"),  # srid before the source
        (lambda: geoweave.to_ewkb_header(42, True), ValueError,
         "srid=True is not valid; pass an integer SRID or False"),
        (lambda: geoweave.to_ewkb_header(P_LE, 1.5), ValueError,
         "srid must be False or an integer"),
        (lambda: geoweave.to_ewkb_header(P_LE, 2**31), ValueError,
         "srid is out of the allowed range: must fit in a 32-bit integer "
         "(-2147483648 to 2147483647)"),
        (lambda: geoweave.to_ewkb_header(42, 4326), BufferError,
         "source must be a contiguous one-byte buffer"),
        (lambda: geoweave.to_ewkb_header(None, False), BufferError,
         "source must be a contiguous one-byte buffer"),
        (lambda: geoweave.to_wkb_no_srid_header(array.array("H", [1, 2, 3])), BufferError,
         "source must be a contiguous one-byte buffer"),
        (lambda: geoweave.wkb_header_srid(memoryview(P_LE_4326)[::2]), BufferError,
         "source must be a contiguous one-byte buffer"),
        (lambda: geoweave.to_ewkb_header(), TypeError,
         "to_ewkb_header() missing 2 required positional arguments: 'source' and 'srid'"),
        (lambda: geoweave.to_ewkb_header(P_LE), TypeError,
         "to_ewkb_header() missing 1 required positional argument: 'srid'"),
        (lambda: geoweave.to_ewkb_header(srid=4326), TypeError,
         "to_ewkb_header() missing 1 required positional argument: 'source'"),
        (lambda: geoweave.wkb_header_srid(P_LE, 1), TypeError,
         "wkb_header_srid() takes 1 positional arguments but 2 were given"),
        (lambda: geoweave.to_wkb_no_srid_header(P_LE, srid=1), TypeError,
         "to_wkb_no_srid_header() got an unexpected keyword argument 'srid'"),
        (lambda: geoweave.to_ewkb_header(P_LE, 1, source=P_LE), TypeError,
         "to_ewkb_header() got multiple values for argument 'source'"),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


def test_keywords_and_index_objects():
    class Srid:
        def __index__(self):
            return 4326

    assert geoweave.to_ewkb_header(source=P_LE, srid=Srid()) == P_LE_4326
    assert geoweave.wkb_header_srid(source=P_LE_4326) == 4326
    assert geoweave.to_wkb_no_srid_header(source=P_LE_4326) == P_LE
    with pytest.raises(UnicodeEncodeError):
        geoweave.wkb_header_srid("01\udc00")
