"""WKT/EWKT parsing and the EWKB it writes: tokens, grammar, messages, sinks.

Output is compared with EWKB built independently by the conftest helpers;
numbers are checked against Python's own correctly rounded float().
"""

import math
import struct

import pytest
from hypothesis import example, given, settings, strategies as st

import geoweave
from conftest import (
    GEOMETRYCOLLECTION, LINESTRING, MULTILINESTRING, MULTIPOINT, MULTIPOLYGON, POINT, POLYGON,
    coords, f64, f64_bits, header, u32, wkb_collection, wkb_linestring, wkb_multi, wkb_point,
    wkb_polygon,
)

to_wkb = geoweave.wkt_to_wkb
to_hex = geoweave.wkt_to_hex_wkb

NAN_BITS = 0x7FF8000000000000


def message(text):
    with pytest.raises(ValueError) as info:
        to_wkb(text)
    assert str(info.value).startswith("invalid WKT: ")
    return str(info.value)[len("invalid WKT: "):]


def empty_point(dim="XY", n=2):
    return header(POINT, dim) + f64_bits(NAN_BITS) * n


# ---- output --------------------------------------------------------------------

@pytest.mark.parametrize("text, hex_out", [
    ("SRID=4326;POINT(1 2)", "0101000020E6100000000000000000F03F0000000000000040"),
    ("POINT EMPTY", "0101000000000000000000F87F000000000000F87F"),
    ("LINESTRING EMPTY", "010200000000000000"),
    ("MULTIPOINT (EMPTY, 3 4)",
     "0104000000020000000101000000000000000000F87F000000000000F87F0101000000000000000000"
     "08400000000000001040"),
    ("GEOMETRYCOLLECTION Z (POINT Z (1 2 3))",
     "0107000080010000000101000080000000000000F03F00000000000000400000000000000840"),
])
def test_worked_examples(text, hex_out):
    assert to_hex(text) == hex_out
    assert to_wkb(text) == bytes.fromhex(hex_out)


@pytest.mark.parametrize("tag, dim, n", [("", "XY", 2), (" Z", "XYZ", 3), (" M", "XYM", 3),
                                         (" ZM", "XYZM", 4)])
def test_every_type_in_every_dimension(tag, dim, n):
    a = tuple(float(i + 1) for i in range(n))
    b = tuple(float(i + 5) for i in range(n))
    ta, tb = " ".join("%g" % v for v in a), " ".join("%g" % v for v in b)
    ring = [a, b, a]
    ring_text = f"({ta}, {tb}, {ta})"
    cases = [
        (f"POINT{tag} ({ta})", wkb_point(*a, dim=dim)),
        (f"LINESTRING{tag} ({ta}, {tb})", wkb_linestring([a, b], dim=dim)),
        (f"POLYGON{tag} ({ring_text}, {ring_text})", wkb_polygon([ring, ring], dim=dim)),
        (f"MULTIPOINT{tag} (({ta}), ({tb}))",
         wkb_multi(MULTIPOINT, [wkb_point(*a, dim=dim), wkb_point(*b, dim=dim)], dim=dim)),
        (f"MULTILINESTRING{tag} (({ta}, {tb}), EMPTY)",
         wkb_multi(MULTILINESTRING, [wkb_linestring([a, b], dim=dim),
                                     wkb_linestring([], dim=dim)], dim=dim)),
        (f"MULTIPOLYGON{tag} (({ring_text}), EMPTY)",
         wkb_multi(MULTIPOLYGON, [wkb_polygon([ring], dim=dim), wkb_polygon([], dim=dim)],
                   dim=dim)),
        (f"GEOMETRYCOLLECTION{tag} (POINT{tag} ({ta}), LINESTRING{tag} EMPTY)",
         wkb_collection([wkb_point(*a, dim=dim), wkb_linestring([], dim=dim)], dim=dim)),
        (f"POINT{tag} EMPTY", empty_point(dim, n)),
        (f"GEOMETRYCOLLECTION{tag} EMPTY", wkb_collection([], dim=dim)),
    ]
    for text, expected in cases:
        assert to_wkb(text) == expected, text
        assert to_wkb(text.lower()) == expected, text


def test_srid_only_on_the_outermost_record():
    text = "SRID=3857;GEOMETRYCOLLECTION (POINT (1 2), MULTIPOINT ((3 4)))"
    expected = wkb_collection([wkb_point(1.0, 2.0),
                               wkb_multi(MULTIPOINT, [wkb_point(3.0, 4.0)])], srid=3857)
    assert to_wkb(text) == expected


@pytest.mark.parametrize("text", ["MULTIPOINT(1 2, 3 4)", "MULTIPOINT((1 2), (3 4))",
                                  "MULTIPOINT((1 2), 3 4)", "multipoint ( 1 2 ,( 3 4 ) )"])
def test_multipoint_member_forms_agree(text):
    assert to_wkb(text) == wkb_multi(MULTIPOINT, [wkb_point(1.0, 2.0), wkb_point(3.0, 4.0)])


@pytest.mark.parametrize("text, expected", [
    ("MULTIPOINT Z ((1 2 3))", wkb_multi(MULTIPOINT, [wkb_point(1.0, 2.0, 3.0)], dim="XYZ")),
    ("MULTIPOINT M (EMPTY)", wkb_multi(MULTIPOINT, [empty_point("XYM", 3)], dim="XYM")),
    ("POLYGON((0 0, 1 0, 1 1))", wkb_polygon([[(0, 0), (1, 0), (1, 1)]])),
    ("MULTIPOLYGON(EMPTY, ((0 0, 1 1, 0 0)))",
     wkb_multi(MULTIPOLYGON, [wkb_polygon([]), wkb_polygon([[(0, 0), (1, 1), (0, 0)]])])),
    ("GEOMETRYCOLLECTION(POINT Z (1 2 3), LINESTRING(0 0, 1 1))",
     wkb_collection([wkb_point(1.0, 2.0, 3.0), wkb_linestring([(0, 0), (1, 1)])])),
    ("GEOMETRYCOLLECTION Z (GEOMETRYCOLLECTION Z EMPTY)",
     wkb_collection([wkb_collection([], dim="XYZ")], dim="XYZ")),
    ("LINESTRING(5 6)", wkb_linestring([(5, 6)])),
    ("POINT ZM (1 2 3 4)", wkb_point(1.0, 2.0, 3.0, 4.0)),
])
def test_grammar_cases(text, expected):
    assert to_wkb(text) == expected


def test_long_lists_patch_their_counts():
    n = 70_000   # count 0x00011170: every byte of the patched field matters
    text = "LINESTRING(" + ", ".join(f"{i} {-i}" for i in range(n)) + ")"
    out = to_wkb(text)
    assert out[5:9] == u32(n)
    assert out == wkb_linestring([(i, -i) for i in range(n)])
    assert to_hex(text) == out.hex().upper()
    many = "MULTIPOINT(" + ",".join(["EMPTY"] * 300) + ")"
    assert to_wkb(many)[5:9] == u32(300)


# ---- nesting -----------------------------------------------------------------------

def nested(levels):
    return "GEOMETRYCOLLECTION (" * (levels - 1) + "GEOMETRYCOLLECTION EMPTY" + ")" * (levels - 1)


def test_nesting_limit():
    out = to_wkb(nested(128))
    assert len(out) == 128 * 9
    assert message(nested(129)) == "geometry nesting exceeds maximum depth of 128"
    # Multi members are written inline and add no depth.
    deep_multi = ("GEOMETRYCOLLECTION (" * 127 + "MULTIPOLYGON (((0 0, 1 1, 0 0)))" + ")" * 127)
    to_wkb(deep_multi)


# ---- failure messages --------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    # examples of the token messages
    ("POINT(1 2", "expected ')' at position 9, got None"),
    ("LINESTRING(1 2 3)", "expected ',' or ')' at position 15, got Some('3')"),
    ("POINT(1-2 3)", 'invalid number "1-2" at position 6'),
    ("POINT(1 2);", 'unexpected trailing content at position 10: ";"'),
    ("", 'unknown geometry type at position 0: ""'),
    ("   ", 'unknown geometry type at position 3: ""'),
    ("POINT(1 2 3)", "expected ')' at position 10, got Some('3')"),
    ("MULTIPOINT Z (POINT Z (1 2 3))", 'expected number at position 14, got "POINT Z (1"'),
    ("POLYGON(EMPTY)", "expected '(' at position 8, got Some('E')"),
    ("POLYGON((0 0, 1 1, 0 0)", "expected ',' or ')' at position 23, got None"),
    ("GEOMETRYCOLLECTION()", 'unknown geometry type at position 19: ")"'),
    ("LINESTRING()", 'expected number at position 11, got ")"'),
    ("POINT EMPTYX", "expected delimiter after EMPTY at position 11"),
    ("POINT EMPTY1", 'unexpected trailing content at position 11: "1"'),
    ("MULTIPOINT(EMPTYX)", "expected delimiter after EMPTY at position 16"),
    ("POINT(1)", 'expected number at position 7, got ")"'),
    ("POINT", 'expected \'EMPTY\' or \'(\' at position 5, got ""'),
    ("POINT [1 2]", 'expected \'EMPTY\' or \'(\' at position 6, got "[1 2]"'),
    ("POINT ZMX (1 2)", 'expected \'EMPTY\' or \'(\' at position 6, got "ZMX (1 2)"'),
    ("POINTZ(1 2 3)", 'unknown geometry type at position 0: "POINTZ(1 2 3)"'),
    ("MULTIPOINTM EMPTY", 'unknown geometry type at position 0: "MULTIPOINTM EMPTY"'),
    ("CIRCLE(1 2)", 'unknown geometry type at position 0: "CIRCLE(1 2)"'),
    ("TRIANGLE((0 0, 1 1, 0 0))", 'unknown geometry type at position 0: "TRIANGLE((0 0, 1 1, "'),
    ("POINT(1 2) POINT(3 4)", 'unexpected trailing content at position 11: "POINT(3 4)"'),
    ("POINT(1 2)) extra text beyond twenty", 'unexpected trailing content at position 10: '
                                             '") extra text beyond "'),
    ("LINESTRING(1 2,)", 'expected number at position 15, got ")"'),
    ("LINESTRING(1 2;3 4)", "expected ',' or ')' at position 14, got Some(';')"),
    ("MULTIPOLYGON(((0 0, 1 1, 0 0))", "expected ',' or ')' at position 30, got None"),
    ("GEOMETRYCOLLECTION(POINT(1 2) POINT(3 4))",
     "expected ',' or ')' at position 30, got Some('P')"),
    # dimension check of tagged collections
    ("GEOMETRYCOLLECTION Z (POINT(1 2))",
     "GeometryCollection XYZ member has incompatible dimension XY"),
    ("GEOMETRYCOLLECTION Z (GEOMETRYCOLLECTION (POINT Z (1 2 3)))",
     "GeometryCollection XYZ member has incompatible dimension XY"),
    ("GEOMETRYCOLLECTION M (POINT ZM (1 2 3 4))",
     "GeometryCollection XYM member has incompatible dimension XYZM"),
    ("GEOMETRYCOLLECTION ZM (POINT ZM (1 2 3 4), POINT Z (1 2 3))",
     "GeometryCollection XYZM member has incompatible dimension XYZ"),
    # numbers
    ("POINT(1e999 0)", 'non-finite coordinate "1e999" at position 6'),
    ("POINT(0 -1e999)", 'non-finite coordinate "-1e999" at position 8'),
    ("POINT(e5 1)", 'invalid number "e5" at position 6'),
    ("POINT(1e 1)", 'invalid number "1e" at position 6'),
    ("POINT(1.2.3 1)", 'invalid number "1.2.3" at position 6'),
    ("POINT(--1 1)", 'invalid number "--1" at position 6'),
    ("POINT(+ 1)", 'invalid number "+" at position 6'),
    ("POINT(. 1)", 'invalid number "." at position 6'),
    ("POINT(1e5.0 1)", 'invalid number "1e5.0" at position 6'),
    ("POINT(+-1 1)", 'invalid number "+-1" at position 6'),
    ("POINT(1e+ 1)", 'invalid number "1e+" at position 6'),
    ("POINT(1+2 3)", 'invalid number "1+2" at position 6'),
    ("POINT(1 2e)", 'invalid number "2e" at position 8'),
    ("POINT(-inf 1)", 'invalid number "-" at position 6'),
    ("POINT(-nan 1)", 'invalid number "-" at position 6'),
    ("POINT(inf 1)", 'expected number at position 6, got "inf 1)"'),
    ("POINT(nan nan)", 'expected number at position 6, got "nan nan)"'),
    ("POINT(1 2",  "expected ')' at position 9, got None"),
    ("POINT(", 'expected number at position 6, got ""'),
    ("POINT(1nan 2)", 'expected number at position 7, got "nan 2)"'),
    # SRID prefix
    ("SRID=;POINT(1 2)", "expected integer at position 5"),
    ("SRID=-;POINT(1 2)", "expected integer at position 6"),
    ("SRID=+4326;POINT(1 2)", "expected integer at position 5"),
    ("SRID= 4326;POINT(1 2)", "expected integer at position 5"),
    ("  SRID=x;POINT(1 2)", "expected integer at position 7"),
    ("SRID=2147483648;POINT(1 2)", "integer out of i32 range: 2147483648"),
    ("SRID=-2147483649;POINT(1 2)", "integer out of i32 range: -2147483649"),
    ("SRID=99999999999999999999999;POINT(1 2)",
     "integer out of i32 range: 99999999999999999999999"),
    ("SRID=-0002147483649;POINT(1 2)", "integer out of i32 range: -0002147483649"),
    ("SRID=4326 POINT(1 2)", "expected ';' after SRID value"),
    ("SRID=4326", "expected ';' after SRID value"),
    ("SRID=43.5;POINT(1 2)", "expected ';' after SRID value"),
    ("SRID=4326;", 'unknown geometry type at position 10: ""'),
    ("SRID =4326;POINT(1 2)", 'unknown geometry type at position 0: "SRID =4326;POINT(1 2"'),
    ("SRID=1;SRID=2;POINT(1 2)", 'unknown geometry type at position 7: "SRID=2;POINT(1 2)"'),
    ("GEOMETRYCOLLECTION(SRID=1;POINT(1 2))",
     'unknown geometry type at position 19: "SRID=1;POINT(1 2))"'),
])
def test_failure_messages(text, expected):
    assert message(text) == expected


def test_messages_count_bytes_but_preview_characters():
    # U+3000 is three bytes, é two: positions are byte offsets.
    assert message("\u3000POINT(1 2") == "expected ')' at position 12, got None"
    assert message("POINT(\u00e9 2)") == 'expected number at position 6, got "\u00e9 2)"'
    # Previews are cut after 10 / 20 characters, not bytes.
    assert message("POINT(" + "\u00e9" * 15) == \
        'expected number at position 6, got "' + "\u00e9" * 10 + '"'
    assert message("POINT(1 2)" + "\U0001F600" * 25) == \
        'unexpected trailing content at position 10: "' + "\U0001F600" * 20 + '"'
    assert message("\u00e9\u00e9") == 'unknown geometry type at position 0: "\u00e9\u00e9"'
    assert message("LINESTRING(0 0,\u00e9)") == \
        "expected number at position 15, got \"\u00e9)\""
    assert message("LINESTRING(0 0\u00e9)") == \
        "expected ',' or ')' at position 14, got Some('\u00e9')"


@pytest.mark.parametrize("snippet, rendered", [
    ("\t", "\\t"), ("\r", "\\r"), ("\n", "\\n"), ("\0", "\\0"), ("\\", "\\\\"),
    ('"', '\\"'), ("'", "'"), ("\x1b", "\\u{1b}"), ("\x7f", "\\u{7f}"),
    ("\u0301", "\\u{301}"), ("\u200b", "\\u{200b}"), ("\ue000", "\\u{e000}"),
    ("\u00a0", "\\u{a0}"), ("\U0010ffff", "\\u{10ffff}"), ("\u00e9", "\u00e9"),
    ("\u4e2d", "\u4e2d"), ("\U0001F600", "\U0001F600"),
])
def test_quoted_form_escapes(snippet, rendered):
    # A preview after a failed number: the snippet follows an 'x' (not whitespace).
    assert message(f"POINT(x{snippet}") == f'expected number at position 6, got "x{rendered}"'


@pytest.mark.parametrize("snippet, rendered", [
    ("\x01", "\\u{1}"), ("\0", "\\0"), ("\\", "\\\\"), ("'", "\\'"), ('"', '"'),
    ("\x1b", "\\u{1b}"), ("\u0301", "\\u{301}"), ("\x0b", "\\u{b}"), ("\u00e9", "\u00e9"),
])
def test_character_form_escapes(snippet, rendered):
    assert message(f"POINT(1 2{snippet}") == \
        f"expected ')' at position 9, got Some('{rendered}')"


# ---- whitespace ------------------------------------------------------------------

WHITE_SPACE = ["\t", "\n", "\x0c", "\r", " ", "\x85", "\xa0", "\u1680", "\u2000", "\u2005",
               "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]

# Every place where whitespace may stand; {} marks it. Where whitespace is
# required (between numbers, before a tag) the template holds a space already.
TEMPLATE = ("{}SRID=4326{};{}GEOMETRYCOLLECTION Z{}({}POINT {}Z{}({}1 {}2 {}3{}){},{}"
            "LINESTRING Z {}EMPTY{},{}MULTIPOINT Z{}({}({}1 {}2 {}3{}){},{}4 {}5 {}6{},{}"
            "EMPTY{}){}){}")


def test_whitespace_in_every_position():
    slots = TEMPLATE.count("{}")
    expected = to_wkb(TEMPLATE.format(*[""] * slots))
    assert expected[:9] == header(GEOMETRYCOLLECTION, "XYZ", srid=4326)
    for ws in WHITE_SPACE:
        for i in range(slots):
            parts = [""] * slots
            parts[i] = ws * 2
            assert to_wkb(TEMPLATE.format(*parts)) == expected, (ws, i)


def test_dimension_tag_needs_ascii_whitespace_after_the_keyword():
    assert to_wkb("POINT\tz (1 2 3)") == wkb_point(1.0, 2.0, 3.0)
    assert to_wkb("POINT \u3000Z (1 2 3)") == wkb_point(1.0, 2.0, 3.0)
    # Non-ASCII whitespace right after the keyword: no tag is looked for.
    assert message("POINT\u00a0Z (1 2 3)") == \
        "expected 'EMPTY' or '(' at position 7, got \"Z (1 2 3)\""
    assert message("POINT(1 2) Z") == 'unexpected trailing content at position 11: "Z"'
    assert to_wkb("POINT ZM(1 2 3 4)") == wkb_point(1.0, 2.0, 3.0, 4.0)
    assert to_wkb("point m(1 2 3)") == wkb_point(1.0, 2.0, 3.0, dim="XYM")
    assert to_wkb("POINT Z\tEMPTY") == empty_point("XYZ", 3)


def test_vertical_tab_only_inside_a_non_ascii_run():
    assert message("POINT(1\x0b2)") == 'expected number at position 7, got "\\u{b}2)"'
    assert message("\x0bPOINT(1 2)") == 'unknown geometry type at position 0: "\\u{b}POINT(1 2)"'
    assert message("POINT(1 \x0b2)") == 'expected number at position 8, got "\\u{b}2)"'
    assert message("POINT(1 2)\x0b") == 'unexpected trailing content at position 10: "\\u{b}"'
    assert to_wkb("POINT(1\u00a0\x0b 2)") == wkb_point(1.0, 2.0)
    assert to_wkb("POINT(1 \u2003\x0b\x0b\t2)") == wkb_point(1.0, 2.0)
    assert to_wkb("POINT(1 2)\u3000\x0b") == wkb_point(1.0, 2.0)


def test_keyword_boundaries():
    # A non-ASCII letter extends the keyword; a digit or other symbol does not.
    assert message("POINT\u00e9(1 2)").startswith("unknown geometry type at position 0")
    assert message("POINT\u00aa(1 2)").startswith("unknown geometry type at position 0")
    assert message("POINT1 2)") == "expected 'EMPTY' or '(' at position 5, got \"1 2)\""
    assert message("POINT EMPTY\u00e9") == "expected delimiter after EMPTY at position 11"
    assert message("POINT EMPTY\u00d7") == 'unexpected trailing content at position 11: "\u00d7"'
    assert to_wkb("Point Empty") == empty_point()
    assert to_wkb("MultiPolygon EMPTY") == wkb_multi(MULTIPOLYGON, [])


# ---- numbers --------------------------------------------------------------------

ACCEPTED_NUMBERS = [
    "+1", "-0", ".5", "5.", "1e5", "1E+05", "2.5e-3", "-.5", "+.5", "5.e3", "00012",
    "0.1", "0.30000000000000004", "1e-400", "-1e-400", "4.9406564584124654e-324",
    "2.4703282292062327e-324", "2.4703282292062328e-324", "2.2250738585072011e-308",
    "2.2250738585072012e-308", "1.7976931348623157e308", "1.7976931348623158e308",
    "9007199254740993", "9007199254740992.5", "9007199254740993.0000000000000000001",
    "1.00000000000000011102230246251565404236316680908203125",
    "1.00000000000000011102230246251565404236316680908203126",
    "7.038531e-26", "1.7976931348623157e+308", "123456789012345678901234567890e-10",
    "0." + "0" * 400 + "1e400", "1" * 500 + "e-480", "1e0000000000000000000000000000000001",
]


@pytest.mark.parametrize("token", ACCEPTED_NUMBERS)
def test_numbers_round_correctly(token):
    expected = float(token)
    out = to_wkb(f"POINT({token} {token})")
    assert out == wkb_point(expected, expected)
    assert math.copysign(1, struct.unpack("<d", out[5:13])[0]) == math.copysign(1, expected)


@pytest.mark.parametrize("token", ["1.7976931348623159e308", "1e309", "-2e308", "1" * 400])
def test_overflow_is_non_finite(token):
    assert math.isinf(float(token))
    assert message(f"POINT(0 {token})") == f'non-finite coordinate "{token}" at position 8'


@settings(max_examples=300, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
@example(5e-324)
@example(-1.7976931348623157e308)
def test_repr_of_any_double_round_trips(x):
    for text in (repr(x), "%.17e" % x, "%.25g" % x):
        assert to_wkb(f"POINT({text} 0)")[5:13] == f64(x)


@settings(max_examples=300, deadline=None)
@given(st.from_regex(r"\A[+-]?([0-9]{1,25}(\.[0-9]{0,25})?|\.[0-9]{1,25})([eE][+-]?[0-9]{1,3})?\Z"))
def test_random_decimal_text_matches_python(token):
    expected = float(token)
    if math.isinf(expected):
        assert message(f"POINT({token} 0)").startswith("non-finite coordinate")
        assert message(f"POINT(0 {token})").startswith("non-finite coordinate")
    else:
        assert to_wkb(f"POINT({token} 0)")[5:13] == f64(expected)
        # Last in the text, where fewer than eight bytes follow the token.
        assert to_wkb(f"POINT(0 {token})")[13:21] == f64(expected)


# Significands of 1 to 20 digits with the point before, inside and after them
# (runs of 8 and 16 digits end exactly where a word does), exponents of up to
# five digits, and the edges of exact double arithmetic: 2^53 +- 1, 10^22/10^23.
BOUNDARY_NUMBERS = sorted({
    *(d[:k] + "." + d[k:] for d in ("1234567890123456789", "98765432109876543210")
      for k in range(0, 21, 3)),
    *("7" * n for n in (1, 7, 8, 9, 15, 16, 17, 19, 20)),
    "12345678.5", "1234567812345678.5", "0.12345678", "0.1234567812345678",
    "00000000000000000001.5", "0.00000000000000000000000123", "-0.000001",
    "9007199254740991", "9007199254740992", "9007199254740993", "-9007199254740993",
    "1e22", "1e23", "9e22", "9007199254740992e22", "123e-22", "123e-23", "1.5e-3",
    "1e1000", "1e-1000", "1e99999", "1e-99999", "5e-324", "1.5E+0007",
})


@pytest.mark.parametrize("token", BOUNDARY_NUMBERS)
def test_numbers_wherever_the_text_ends(token):
    expected = float(token)
    if math.isinf(expected):
        assert message(f"POINT(0 {token})") == f'non-finite coordinate "{token}" at position 8'
        return
    want = f64(expected)
    assert to_wkb(f"POINT({token} {token})") == header(POINT) + want + want
    assert to_wkb(f"POINT(0 {token})")[13:] == want
    assert to_wkb(f"LINESTRING({token} 1,2 {token})") == wkb_linestring([(expected, 1), (2, expected)])
    # Cut after the token: read whole, then the missing parenthesis is named.
    assert message(f"POINT(0 {token}") == f"expected ')' at position {8 + len(token)}, got None"


@pytest.mark.parametrize("text, expected", [
    ("point(1 2)", wkb_point(1, 2)),
    ("pOiNt(1 2)", wkb_point(1, 2)),
    ("polygon((0 0,1 1,0 0))", wkb_polygon([[(0, 0), (1, 1), (0, 0)]])),
    ("Polygon EMPTY", wkb_polygon([])),
    ("linestring(1 2,3 4)", wkb_linestring([(1, 2), (3, 4)])),
    ("multipoint(1 2)", wkb_multi(MULTIPOINT, [wkb_point(1, 2)])),
    ("MultiLineString EMPTY", wkb_multi(MULTILINESTRING, [])),
    ("multipolygon EMPTY", wkb_multi(MULTIPOLYGON, [])),
    ("POINT\t\n(1 2)", wkb_point(1, 2)),
    ("POINT m (1 2 3)", wkb_point(1, 2, 3, dim="XYM")),
    ("POINT zm(1 2 3 4)", wkb_point(1, 2, 3, 4, dim="XYZM")),
    ("POINT\u00a0(1 2)", wkb_point(1, 2)),
    ("  POINT   ( 1   2 )  ", wkb_point(1, 2)),
])
def test_keywords_in_any_case_and_spacing(text, expected):
    assert to_wkb(text) == expected


# A plain Point is read by a short path that hands anything else, from where
# it began, to the parser: the same bytes and the same messages either way.
@pytest.mark.parametrize("text, expected", [
    ("POINT(1.5 -2)", wkb_point(1.5, -2)),
    ("point (1.5 -2)", wkb_point(1.5, -2)),
    ("POINT ( 1.5\t-2 )\n", wkb_point(1.5, -2)),
    ("POINT  (1.5 -2)", wkb_point(1.5, -2)),
    ("POINT(1.5 -2)\u00a0", wkb_point(1.5, -2)),
    ("POINT(1.5\u00a0-2)", wkb_point(1.5, -2)),
    ("POINT (.5 2.)", wkb_point(0.5, 2)),
    ("SRID=4326;POINT(1.5 -2)", wkb_point(1.5, -2, srid=4326)),
    ("POINT (1 2) 3", 'unexpected trailing content at position 12: "3"'),
    ("POINT (1 2))", 'unexpected trailing content at position 11: ")"'),
    ("POINT (1 2", "expected ')' at position 10, got None"),
    ("POINT (1 2 3)", "expected ')' at position 11, got Some('3')"),
    ("POINT (1e999 2)", 'non-finite coordinate "1e999" at position 7'),
    ("POINT(1,2)", 'expected number at position 7, got ",2)"'),
    ("POINT (1-2)", 'invalid number "1-2" at position 7'),
    ("POINT(12)", 'expected number at position 8, got ")"'),
])
def test_plain_points_and_their_near_misses(text, expected):
    if isinstance(expected, bytes):
        assert to_wkb(text) == expected
        assert to_hex(text) == expected.hex().upper()
    else:
        assert message(text) == expected


@pytest.mark.parametrize("text, expected", [
    ("POINT", "expected 'EMPTY' or '(' at position 5, got \"\""),
    ("POINT ", "expected 'EMPTY' or '(' at position 6, got \"\""),
    ("POINT Z", "expected 'EMPTY' or '(' at position 7, got \"\""),
    ("POIN(1 2)", 'unknown geometry type at position 0: "POIN(1 2)"'),
    ("POLYGONS EMPTY", 'unknown geometry type at position 0: "POLYGONS EMPTY"'),
    ("LINESTRIN(1 2)", 'unknown geometry type at position 0: "LINESTRIN(1 2)"'),
    ("MULTIPOIN(1 2)", 'unknown geometry type at position 0: "MULTIPOIN(1 2)"'),
    ("MULTIPOLYGO EMPTY", 'unknown geometry type at position 0: "MULTIPOLYGO EMPTY"'),
    ("MULTILINESTRINGS EMPTY", 'unknown geometry type at position 0: "MULTILINESTRINGS EMP"'),
    ("P", 'unknown geometry type at position 0: "P"'),
    ("POINT\u00e9 EMPTY", 'unknown geometry type at position 0: "POINT\u00e9 EMPTY"'),
    ("POINT[1 2]", "expected 'EMPTY' or '(' at position 5, got \"[1 2]\""),
])
def test_keyword_edges(text, expected):
    assert message(text) == expected


# ---- SRID prefix ----------------------------------------------------------------

@pytest.mark.parametrize("text, srid", [
    ("SRID=4326;POINT(1 2)", 4326),
    ("srid=4326;POINT(1 2)", 4326),
    ("SrId=4326 ;POINT(1 2)", 4326),
    ("  SRID=00004326\u3000;  POINT(1 2)", 4326),
    ("SRID=2147483647;POINT(1 2)", 2147483647),
    ("SRID=0;POINT(1 2)", None),
    ("SRID=-0;POINT(1 2)", None),
    ("SRID=-1;POINT(1 2)", None),
    ("SRID=-2147483648;POINT(1 2)", None),
    ("POINT(1 2)", None),
])
def test_srid_prefix(text, srid):
    assert geoweave.wkt_to_wkb_split_srid(text) == (wkb_point(1.0, 2.0), srid)
    expected = wkb_point(1.0, 2.0, srid=srid) if srid else wkb_point(1.0, 2.0)
    assert to_wkb(text) == expected


# ---- the hex sink -----------------------------------------------------------------

def coordinate_text(n, draw):
    return " ".join(repr(draw(st.floats(allow_nan=False, allow_infinity=False)))
                    for _ in range(n))


@st.composite
def wkt_geometry(draw, depth=0, tag=None):
    """Random valid WKT text; `tag` fixes the dimension (members of a tagged
    collection must share it)."""
    kind = draw(st.sampled_from([POINT, LINESTRING, POLYGON, MULTIPOINT, MULTILINESTRING,
                                 MULTIPOLYGON] + ([GEOMETRYCOLLECTION] if depth < 3 else [])))
    tags = [("", 2), (" Z", 3), (" M", 3), (" ZM", 4)]
    tag, n = draw(st.sampled_from(tags)) if tag is None else next(t for t in tags if t[0] == tag)
    keyword = {POINT: "POINT", LINESTRING: "LINESTRING", POLYGON: "POLYGON",
               MULTIPOINT: "MULTIPOINT", MULTILINESTRING: "MULTILINESTRING",
               MULTIPOLYGON: "MULTIPOLYGON", GEOMETRYCOLLECTION: "GEOMETRYCOLLECTION"}[kind]
    if draw(st.integers(0, 5)) == 0:
        return f"{keyword}{tag} EMPTY"

    def tuples():
        return "(" + ", ".join(coordinate_text(n, draw)
                               for _ in range(draw(st.integers(1, 4)))) + ")"

    def rings():
        return "(" + ", ".join(tuples() for _ in range(draw(st.integers(1, 3)))) + ")"

    def maybe_empty(body):
        return "EMPTY" if draw(st.integers(0, 4)) == 0 else body()

    if kind == POINT:
        body = "(" + coordinate_text(n, draw) + ")"
    elif kind == LINESTRING:
        body = tuples()
    elif kind == POLYGON:
        body = rings()
    elif kind == MULTIPOINT:
        body = "(" + ", ".join(maybe_empty(lambda: "(" + coordinate_text(n, draw) + ")")
                               for _ in range(draw(st.integers(1, 4)))) + ")"
    elif kind == MULTILINESTRING:
        body = "(" + ", ".join(maybe_empty(tuples) for _ in range(draw(st.integers(1, 3)))) + ")"
    elif kind == MULTIPOLYGON:
        body = "(" + ", ".join(maybe_empty(rings) for _ in range(draw(st.integers(1, 3)))) + ")"
    else:
        # A tagged collection holds members of its own dimension only.
        members = [draw(wkt_geometry(depth + 1, tag or None))
                   for _ in range(draw(st.integers(1, 3)))]
        body = "(" + ", ".join(members) + ")"
    return f"{keyword}{tag} {body}"


@settings(max_examples=200, deadline=None)
@given(wkt_geometry(), st.one_of(st.none(), st.just(False), st.integers(-5, 2**31 - 1)))
def test_hex_sink_is_the_hex_of_the_byte_sink(text, srid):
    assert to_hex(text, srid) == to_wkb(text, srid).hex().upper()
    assert to_hex("SRID=77;" + text, srid) == to_wkb("SRID=77;" + text, srid).hex().upper()


# ---- number lengths around the word boundaries ---------------------------------

# Integer parts of 1 to 4 digits and fractions of 1 to 22: the first word with
# the point cut out, then one or two more words, and past 19 significant
# digits the general path; each number both first and last in the text, so the
# reads near the end of the text are exercised too. Python's float() is
# correctly rounded, so it is the expected value.
DIGITS = "73519086242678104935172"


@pytest.mark.parametrize("integer", [1, 2, 3, 4])
@pytest.mark.parametrize("fraction", range(1, 23))
def test_number_lengths_around_word_boundaries(integer, fraction):
    text = "-" + DIGITS[:integer] + "." + DIGITS[integer:integer + fraction]
    value = float(text)
    assert to_wkb(f"POINT ({text} 1)") == wkb_point(value, 1.0)
    assert to_wkb(f"POINT(1 {text})") == wkb_point(1.0, value)
    assert to_wkb(f"LINESTRING({text} {text},{text}\t{text})") == \
        wkb_linestring([(value, value), (value, value)])


# A number with 32 bytes of text after its start is read without a check of
# the end; with fewer, every read is bounded by it. Each token here is placed
# at every distance from the end around that line (the spaces after the
# closing parenthesis move it), and must give the same value or the same
# message at each.
@pytest.mark.parametrize("token", [
    "130.82453776572868", "-9.620228", "+7.25", ".5", "5.", "1234567890123456789",
    "12345678901234567890", "0.1234567890123456789", "-0.00012345678901234567891",
    "1.5e-3", "2E+10", "123456.78901234567e-300", "9007199254740993", "4.9e-324",
])
def test_numbers_at_every_distance_from_the_end(token):
    expected = wkb_linestring([(0.0, 0.0), (1.0, float(token))])
    for pad in range(40):
        assert to_wkb(f"LINESTRING (0 0, 1 {token})" + " " * pad) == expected, pad


@pytest.mark.parametrize("token", ["1.2.3", "1e", "1-2", "--1", "1e+", "1..2", "1e12345",
                                   "12345678901234567.8.9", "1.5e-3x", "0x10"])
def test_bad_numbers_at_every_distance_from_the_end(token):
    messages = {message(f"LINESTRING (0 0, 1 {token})" + " " * pad) for pad in range(40)}
    assert len(messages) == 1, messages
