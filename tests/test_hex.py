"""Hex WKB text: strict decoding (hex_wkb_to_wkt), detection and encoding as seen
through the auto-detecting functions, and whitespace trimming."""

import pytest

import geoweave
from conftest import wkb_point

HEX_DIGITS = set(b"0123456789abcdefABCDEF")


def ewkb_point(x, y, srid=None, le=True):
    return wkb_point(x, y, srid=srid, order="<" if le else ">")


POINT_4326 = ewkb_point(1.0, 2.0, srid=4326)
POINT_4326_HEX = POINT_4326.hex().upper()


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "empty hex string"),
        ("0", "hex string has odd length"),
        ("010", "hex string has odd length"),
        ("0G", "invalid hex digit at position 1"),
        ("G0", "invalid hex digit at position 0"),
        ("01020X", "invalid hex digit at position 5"),
        ("01X2YZ", "invalid hex digit at position 2"),  # the first of several
        ("ZZZ", "hex string has odd length"),  # length is checked before digits
        (" " + "0101000000000000000000F03F000000000000F03F", "hex string has odd length"),
        ("  " + "0101000000000000000000F03F000000000000F03F",
         "invalid hex digit at position 0"),  # no trimming
        ("0101000000000000000000F03F000000000000F03F\n ",
         "invalid hex digit at position 42"),
        ("é", "invalid hex digit at position 0"),  # two UTF-8 bytes
        ("é0", "hex string has odd length"),
        ("00é", "invalid hex digit at position 2"),
        ("0000\u3000", "hex string has odd length"),  # three UTF-8 bytes
        ("000000\u20ac1", "invalid hex digit at position 6"),
        ("01 02", "hex string has odd length"),
        ("01 002", "invalid hex digit at position 2"),
        ("0x0101", "invalid hex digit at position 1"),
    ],
)
def test_strict_decode_errors(text, message):
    with pytest.raises(ValueError) as info:
        geoweave.hex_wkb_to_wkt(text)
    assert str(info.value) == "invalid WKB: " + message
    assert type(info.value) is ValueError


def test_every_non_digit_byte_is_rejected_at_its_position():
    for code in range(128):
        if code in HEX_DIGITS:
            continue
        text = "01" + chr(code) + "1"
        with pytest.raises(ValueError, match=r"^invalid WKB: invalid hex digit at position 2$"):
            geoweave.hex_wkb_to_wkt(text)
        text = "010" + chr(code)
        with pytest.raises(ValueError, match=r"^invalid WKB: invalid hex digit at position 3$"):
            geoweave.hex_wkb_to_wkt(text)


def test_every_byte_value_decodes_and_encodes():
    data = bytes(range(256))
    upper = data.hex().upper()
    lower = data.hex()
    mixed = "".join(c.upper() if i % 3 else c for i, c in enumerate(lower))
    # Mirror passes decoded hex and raw bytes through without looking at them.
    assert geoweave.to_wkb(upper) == data
    assert geoweave.to_wkb(lower) == data
    assert geoweave.to_wkb(mixed) == data
    assert geoweave.to_hex_wkb(data) == upper
    assert geoweave.to_hex_wkb(lower) == upper


@pytest.mark.parametrize(
    "data, expected",
    [(b"\x00\xab\xff", "00ABFF"), (b"", ""), (b"\x0f", "0F"), (b"\xf0", "F0")],
)
def test_encode_upper(data, expected):
    assert geoweave.to_hex_wkb(data) == expected


def test_case_does_not_matter():
    lower = POINT_4326.hex()
    mixed = "".join(c.upper() if i % 2 else c for i, c in enumerate(lower))
    expected = "SRID=4326;POINT (1 2)"
    for text in (POINT_4326_HEX, lower, mixed):
        assert geoweave.hex_wkb_to_wkt(text) == expected


@pytest.mark.parametrize(
    "srid, expected",
    [
        (None, "SRID=4326;POINT (1 2)"),
        (False, "POINT (1 2)"),
        (0, "POINT (1 2)"),
        (-1, "POINT (1 2)"),
        (-2**31, "POINT (1 2)"),
        (3857, "SRID=3857;POINT (1 2)"),
        (4326, "SRID=4326;POINT (1 2)"),
    ],
)
def test_hex_wkb_to_wkt_srid_option(srid, expected):
    assert geoweave.hex_wkb_to_wkt(POINT_4326_HEX, srid) == expected
    assert geoweave.hex_wkb_to_wkt(hex_wkb=POINT_4326_HEX, srid=srid) == expected
    # Identical to converting the bytes themselves.
    assert geoweave.wkb_to_wkt(POINT_4326, srid) == expected


@pytest.mark.parametrize("srid_field", [0, -1])
def test_hex_wkb_to_wkt_unknown_srid_field(srid_field):
    text = ewkb_point(1.0, 2.0, srid=srid_field).hex()
    assert geoweave.hex_wkb_to_wkt(text) == "POINT (1 2)"
    assert geoweave.hex_wkb_to_wkt(text, 7) == "SRID=7;POINT (1 2)"


def test_hex_wkb_to_wkt_big_endian():
    assert geoweave.hex_wkb_to_wkt(ewkb_point(1.0, 2.0, 4326, le=False).hex()) == (
        "SRID=4326;POINT (1 2)")


@pytest.mark.parametrize("srid", [None, False, 4326])
def test_hex_wkb_to_wkt_reader_errors(srid):
    with pytest.raises(ValueError, match=r"^invalid WKB: unexpected end of data reading u32$"):
        geoweave.hex_wkb_to_wkt("00", srid)
    with pytest.raises(ValueError,
                       match=r"^invalid WKB: unexpected trailing data: 1 bytes remaining$"):
        geoweave.hex_wkb_to_wkt(POINT_4326_HEX + "00", srid)
    with pytest.raises(ValueError, match=r"^unsupported geometry type code: 99$"):
        geoweave.hex_wkb_to_wkt("0163000000", srid)


def test_hex_wkb_to_wkt_argument_checks():
    with pytest.raises(TypeError,
                       match=r"^argument 'hex_wkb': 'bytes' object is not an instance of 'str'$"):
        geoweave.hex_wkb_to_wkt(POINT_4326)
    # The text is checked before srid.
    with pytest.raises(TypeError, match=r"^argument 'hex_wkb': 'bytes' object"):
        geoweave.hex_wkb_to_wkt(POINT_4326, srid=True)
    with pytest.raises(TypeError, match=r"^argument 'hex_wkb': 'None' is not an instance"):
        geoweave.hex_wkb_to_wkt(None)
    with pytest.raises(ValueError, match=r"^srid=True is not valid; pass an integer SRID, "
                                         r"False, or None$"):
        geoweave.hex_wkb_to_wkt("zz", srid=True)
    with pytest.raises(ValueError, match=r"^srid must be None, False, or an integer$"):
        geoweave.hex_wkb_to_wkt("zz", srid="4326")
    with pytest.raises(UnicodeEncodeError):
        geoweave.hex_wkb_to_wkt("01\ud800")
    with pytest.raises(TypeError, match=r"^hex_wkb_to_wkt\(\) missing 1 required positional "
                                        r"argument: 'hex_wkb'$"):
        geoweave.hex_wkb_to_wkt()


def test_str_subclass_is_text():
    class Hex(str):
        pass

    result = geoweave.hex_wkb_to_wkt(Hex(POINT_4326_HEX))
    assert type(result) is str
    assert result == "SRID=4326;POINT (1 2)"


@pytest.mark.parametrize("text", ["", "0", "0G", "01 02", "0x0101", "010"])
def test_detection_not_hex_means_wkt(text):
    # Not hex, so to_wkb hands the text to the WKT parser, which rejects it.
    with pytest.raises(ValueError, match=r"^invalid WKT: "):
        geoweave.to_wkb(text)


def test_detection_decodes_mixed_case():
    assert geoweave.to_wkb("abCD") == b"\xab\xcd"
    assert geoweave.to_wkb("0000") == b"\x00\x00"  # no structure is looked at


def test_detection_rejects_inner_whitespace_but_trims_the_ends():
    assert geoweave.to_wkb("\t abcd \u3000") == b"\xab\xcd"
    with pytest.raises(ValueError, match=r"^invalid WKT: "):
        geoweave.to_wkb("ab cd")


def test_trim_unicode_whitespace():
    text = "\u3000 POINT (1 2)\n\u00a0"
    assert geoweave.to_wkt(text) == "POINT (1 2)"
    every_space = ("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
                   "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")
    assert geoweave.to_wkt(every_space + "x" + every_space) == "x"
    # Not White_Space: zero width space, byte order mark.
    assert geoweave.to_wkt("\u200bx\ufeff") == "\u200bx\ufeff"
    with pytest.raises(ValueError, match=r"^invalid WKT: empty input$"):
        geoweave.to_wkt(every_space)
