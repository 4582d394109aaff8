"""Canonical WKT text: ordinate formatting and layout.

Ordinates are compared with a reference built from Python's repr, which gives
the shortest round-trip digits; the reference only moves the decimal point.
"""

import math
import random
import struct
import sys

import pytest
from hypothesis import example, given, settings, strategies as st

import geoweave
from conftest import (
    MULTILINESTRING, MULTIPOINT, MULTIPOLYGON, NAN, wkb_collection, wkb_linestring, wkb_multi,
    wkb_point, wkb_polygon,
)

to_wkt = geoweave.wkb_to_wkt


def reference(x):
    if x == 0:
        return "0"
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    mantissa, _, exponent = repr(abs(x)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    digits = whole + fraction
    point = len(whole) + int(exponent or 0)   # digits before the decimal point
    stripped = digits.lstrip("0")
    point -= len(digits) - len(stripped)
    digits = stripped.rstrip("0")
    n = len(digits)
    if point <= 0:
        text = "0." + "0" * -point + digits
    elif point < n:
        text = digits[:point] + "." + digits[point:]
    else:
        text = digits + "0" * (point - n)
    return ("-" if x < 0 else "") + text


def check(x):
    want = reference(x)
    # Point: values formatted one at a time; the second ordinate keeps the
    # point from being empty when x is NaN
    for order in "<>":
        assert to_wkt(wkb_point(x, 1.0, order=order)) == f"POINT ({want} 1)"
    # coordinate lists take their own path, in both byte orders
    for order in "<>":
        ls = wkb_linestring([(x, -x, x, 0.5)], order=order)
        neg = reference(-x)
        assert to_wkt(ls) == f"LINESTRING ZM ({want} {neg} {want} 0.5)"
    if math.isfinite(x):
        assert float(want) == x
        assert "e" not in want and "E" not in want and "+" not in want
        if "." in want:
            assert not want.endswith(("0", "."))


from_bits = lambda b: struct.unpack("<d", struct.pack("<Q", b))[0]


@pytest.mark.parametrize("x, text", [
    (1.0, "1"), (-2.5, "-2.5"), (0.1, "0.1"), (1 / 3, "0.3333333333333333"),
    (0.1 + 0.2, "0.30000000000000004"), (1e-5, "0.00001"), (1e-7, "0.0000001"),
    (999999999999999.9, "999999999999999.9"), (1e15, "1000000000000000"),
    (2.0 ** 53, "9007199254740992"), (-123456.789, "-123456.789"),
    (1.5e300, "15" + "0" * 299), (5e-324, "0." + "0" * 323 + "5"), (-0.0, "0"), (0.0, "0"),
    (1e15 - 1, "999999999999999"), (1e16, "10000000000000000"),
    (-1e15, "-1000000000000000"), (1e21, "1000000000000000000000"),
    (123.456, "123.456"), (0.001, "0.001"), (-(2.0 ** 63), "-9223372036854776000"),
    (2.0 ** 64, "18446744073709552000"), (float("inf"), "inf"), (float("-inf"), "-inf"),
    (NAN, "NaN"), (-NAN, "NaN"), (sys.float_info.max, "17976931348623157" + "0" * 292),
    (-5e-324, "-0." + "0" * 323 + "5"), (1e22, "1" + "0" * 22), (1e23, "1" + "0" * 23),
    (9007199254740993.0, "9007199254740992"), (0.5, "0.5"), (100.0, "100"),
    (1e-320, "0." + "0" * 319 + "1"),
])
def test_worked_values(x, text):
    assert reference(x) == text
    check(x)


def test_longest_ordinate():
    assert len(reference(-5e-324)) == 327
    worst = -from_bits(0x0010000000000000)   # smallest normal: 17 digits
    text = reference(worst)
    assert len(text) == 327
    assert to_wkt(wkb_point(worst, worst, worst, worst)) == "POINT ZM (" + " ".join([text] * 4) + ")"
    assert to_wkt(wkb_linestring([(worst, worst, worst, worst)] * 3)) == \
        "LINESTRING ZM (" + ", ".join([" ".join([text] * 4)] * 3) + ")"


SPECIAL = (
    [10.0 ** e for e in range(-323, 309)]
    + [-(10.0 ** e) for e in range(-20, 25)]
    + [2.0 ** e for e in range(-1074, 1024, 7)]
    + [x + d for x in (1e15, 2.0 ** 53, 2.0 ** 63, 2.0 ** 64) for d in (-2, -1, -0.5, 0, 1, 2)]
    + [math.nextafter(1e15, 0), math.nextafter(1e15, math.inf), math.nextafter(-1e15, 0)]
    + [from_bits(b) for b in (1, 2, 3, 0x000FFFFFFFFFFFFF, 0x0010000000000000,
                              0x0010000000000001, 0x7FEFFFFFFFFFFFFF, 0x3FF0000000000001,
                              0x3FEFFFFFFFFFFFFF, 0x4340000000000000, 0x4330000000000000)]
    + [0.1 + 0.2, 0.3, 1 - 1e-16, 2 / 3, math.pi, math.e, 5e-324 * 3, 1.7976931348623157e308]
    + [float(f"9.{'9' * k}e{e}") for k in range(1, 17) for e in (-5, 0, 14, 15, 16)]
)


@pytest.mark.parametrize("x", SPECIAL, ids=repr)
def test_special_values(x):
    check(x)


def test_random_bit_patterns():
    rng = random.Random(20240611)
    for _ in range(20000):
        x = from_bits(rng.getrandbits(64))
        check(x)


def test_random_integral_values_around_threshold():
    rng = random.Random(7)
    for _ in range(5000):
        x = float(rng.randrange(-2 ** 60, 2 ** 60) >> rng.randrange(0, 60))
        check(x)


@given(st.floats(allow_nan=True, allow_infinity=True))
@example(2.0 ** -1022)
@example(2.2250738585072014e-308 / 3)
@settings(max_examples=3000, deadline=None)
def test_any_double(x):
    check(x)


@given(st.floats(allow_nan=False, allow_infinity=False, allow_subnormal=True,
                 min_value=-1e-300, max_value=1e-300))
@settings(max_examples=1000, deadline=None)
def test_tiny_doubles(x):
    check(x)


# --- layout -----------------------------------------------------------------------------

P = wkb_point(1.0, 2.0)


@pytest.mark.parametrize("wkb, text", [
    (wkb_point(0.0, -0.0), "POINT (0 0)"),
    (wkb_point(NAN, NAN, NAN, NAN), "POINT ZM EMPTY"),
    (wkb_point(NAN, NAN, NAN), "POINT Z EMPTY"),
    (wkb_point(1.0, 2.0, 3.0), "POINT Z (1 2 3)"),
    (wkb_point(1.0, 2.0, 4.0, dim="XYM"), "POINT M (1 2 4)"),
    (wkb_linestring([(0, 0), (1, 1), (2, 2)]), "LINESTRING (0 0, 1 1, 2 2)"),
    (wkb_linestring([(NAN, 1), (math.inf, 2)]), "LINESTRING (NaN 1, inf 2)"),
    (wkb_linestring([(1, 2, 3, 4)], dim="XYZM", iso=True), "LINESTRING ZM (1 2 3 4)"),
    (wkb_polygon([[(0, 0), (1, 0), (0, 0)]]), "POLYGON ((0 0, 1 0, 0 0))"),
    (wkb_polygon([[], [(0, 0)], []]), "POLYGON ((), (0 0), ())"),
    (wkb_multi(MULTIPOINT, [wkb_point(1.0, 2.0, 3.0)], dim="XYZ"), "MULTIPOINT Z ((1 2 3))"),
    (wkb_multi(MULTIPOINT, [wkb_point(NAN, NAN)]), "MULTIPOINT (EMPTY)"),
    (wkb_multi(MULTIPOINT, [P, wkb_point(NAN, 3.0)]), "MULTIPOINT ((1 2), (NaN 3))"),
    (wkb_multi(MULTILINESTRING, [wkb_linestring([]), wkb_linestring([(0, 0), (1, 1)])]),
     "MULTILINESTRING (EMPTY, (0 0, 1 1))"),
    (wkb_multi(MULTIPOLYGON, [wkb_polygon([[(0, 0), (1, 0), (0, 0)], [(0.5, 0.5)]]),
                              wkb_polygon([])]),
     "MULTIPOLYGON (((0 0, 1 0, 0 0), (0.5 0.5)), EMPTY)"),
    (wkb_multi(MULTIPOLYGON, [wkb_polygon([[(1, 2, 3)]], dim="XYM")], dim="XYM"),
     "MULTIPOLYGON M (((1 2 3)))"),
    (wkb_collection([P, wkb_linestring([]), wkb_collection([])]),
     "GEOMETRYCOLLECTION (POINT (1 2), LINESTRING EMPTY, GEOMETRYCOLLECTION EMPTY)"),
    (wkb_collection([wkb_multi(MULTIPOINT, [], dim="XYZ"), wkb_polygon([], dim="XYZ")], dim="XYZ"),
     "GEOMETRYCOLLECTION Z (MULTIPOINT Z EMPTY, POLYGON Z EMPTY)"),
    (wkb_collection([wkb_point(1.0, 2.0, srid=3857)], srid=4326),
     "SRID=4326;GEOMETRYCOLLECTION (POINT (1 2))"),
    (wkb_collection([wkb_collection([P], srid=99)], srid=2147483647),
     "SRID=2147483647;GEOMETRYCOLLECTION (GEOMETRYCOLLECTION (POINT (1 2)))"),
])
def test_layout(wkb, text):
    assert to_wkt(wkb) == text
    # the layout rules themselves
    assert "( " not in text and " )" not in text and " ," not in text and "  " not in text
    assert text == text.strip() and "\n" not in text


@pytest.mark.parametrize("srid", [1, 4326, 2147483647])
def test_forced_srid_prefix(srid):
    assert to_wkt(P, srid=srid) == f"SRID={srid};POINT (1 2)"
    assert to_wkt(wkb_point(1.0, 2.0, srid=3857), srid=srid) == f"SRID={srid};POINT (1 2)"


# Small magnitudes give the longest texts; when every ordinate of a tuple is
# one of them the last one ends right at the edge of the room reserved for the
# tuple. Heap damage there aborts the interpreter, so the conversions run in a
# child process.
TAIL_SCRIPT = r"""
import random, struct, sys
sys.path.insert(0, sys.argv[1])
import geoweave
from conftest import wkb_point, wkb_linestring, wkb_multi, wkb_collection, MULTIPOINT
rng = random.Random(5)
values = [-5e-324, 5e-324, -1e-320, -2.5e-310, -2.2250738585072014e-308]
values += [-struct.unpack("<d", struct.pack("<Q", rng.getrandbits(52)))[0] for _ in range(20)]
for x in values:
    for wkb in (wkb_point(x, x), wkb_point(x, x, x, x), wkb_point(x, x, x, order=">"),
                wkb_linestring([(x, x)] * 3), wkb_linestring([(x, x, x, x)] * 2, order=">"),
                wkb_multi(MULTIPOINT, [wkb_point(x, x)] * 2),
                wkb_collection([wkb_point(x, x, x, x)] * 3)):
        print(repr(x), geoweave.wkb_to_wkt(wkb), flush=True)
"""


def test_longest_ordinates_at_the_end_of_a_tuple():
    import os
    import subprocess
    here = os.path.dirname(os.path.abspath(__file__))
    proc = subprocess.run([sys.executable, "-c", TAIL_SCRIPT, here], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-500:]
    lines = proc.stdout.splitlines()
    assert len(lines) == 25 * 7
    for line in lines:
        x_repr, text = line.split(" ", 1)
        t = reference(float(x_repr))
        assert text.count(t) == text.count("0.") and t in text
