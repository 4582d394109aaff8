#!/usr/bin/env python3
"""Writes the replay corpus: one input per line as hex digits.

Usage: gen_cases.py OUTFILE

The inputs are the fuzz seeds (fuzz/gen_corpus.py: every geometry type and
dimension, both byte orders, plain WKB, EWKB and ISO codes, hex and WKT
spellings, nesting at the depth limit) plus what differs most between
machines: ordinates at the edges of formatting and parsing (zeros of both
signs, subnormals, NaN payloads and signs, the 1e15 switch between integral
and shortest digits, huge and tiny exponents), a fixed pseudo-random sample of
double bit patterns in both byte orders, WKT numbers of every form, and
truncated values for the error paths. The same file comes out every time.
"""

import math
import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fuzz"))
import gen_corpus as seeds  # noqa: E402


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


TRICKY = [
    0.0, -0.0, 5e-324, -5e-324, 2.2250738585072009e-308, 2.2250738585072014e-308,
    1e-310, 1.5e-323, 1.7976931348623157e308, -1.7976931348623157e308,
    1e15, 1e15 - 1, 1e15 + 1, 999999999999999.9, 999999999999999.875, 1e15 + 0.5,
    -1e15, 1e16, 9007199254740992.0, 9007199254740993.0, 123456789012345680.0,
    1e21, 1e22, 1e23, 1e-5, 1e-6, 1e-7, 0.1, 0.3, 2.0 / 3.0, 1 / 3, 100.0, 4.35,
    5e-324 * 3, 1e300, 1e-300, 12345.678, -0.000001234, math.pi, math.e,
    math.inf, -math.inf,
]
NAN_BITS = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0x7FF4000000000000,
            0xFFFFFFFFFFFFFFFF, 0x7FFFFFFFFFFFFFFF, 0x7FF8DEADBEEF0001]
NUMBER_TEXTS = [
    "0", "-0", "+0", "0.0", "-0.0", "1e15", "999999999999999.9", "1000000000000000.5",
    "4.9e-324", "2.4703282292062327e-324", "2.4703282292062328e-324", "1e-400", "-1e-400",
    "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308", "1e309",
    "2.2250738585072011e-308", "0.1", ".5", "5.", "-.5e-3", "1E+2", "1e+02",
    "12345678901234567890123", "0.000000000000000000000000000001",
    "179769313486231570000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000000000000000000000000000000000000000",
    "9007199254740993", "9007199254740993.0000000001", "0x10", "1e", "1e+", "--1", "1..2",
    "nan", "NaN", "inf", "-inf", "Infinity",
]


def points(values, dim="XY"):
    n = seeds.DIMS[dim][2]
    return [(1, dim, tuple(values[i:i + n])) for i in range(0, len(values) - n + 1, n)]


def ordinate_inputs():
    out = []
    nan_values = [from_bits(b) for b in NAN_BITS]
    values = TRICKY + nan_values
    for g in points(values) + points(values[1:] + values[:1], "XYZM"):
        for order in "<>":
            out.append(seeds.wkb(g, order))
            out.append(seeds.wkb(g, order, "iso", None))
            out.append(seeds.wkb(g, order, srid=3857))
    # NaN payloads as they stand in the bytes (struct would keep them too, but
    # this is independent of how the host's floats treat a signalling NaN).
    for bits in NAN_BITS:
        for order in "<>":
            out.append((b"\x01" if order == "<" else b"\x00") + struct.pack(order + "IQQ", 1, bits, bits))
    # A fixed sample of bit patterns, mostly finite, as LineStrings of 8 points.
    rng = random.Random(20261207)
    sample = [from_bits(rng.getrandbits(64)) for _ in range(4000)]
    sample += [rng.uniform(-1e4, 1e4) for _ in range(1000)]
    sample += [round(rng.uniform(-180, 180), rng.randint(0, 9)) for _ in range(1000)]
    for i in range(0, len(sample), 16):
        line = [tuple(sample[i + j:i + j + 2]) for j in range(0, 16, 2)]
        out.append(seeds.wkb((2, "XY", line), "<" if i % 32 else ">"))
    for x in sample[::7]:
        if math.isfinite(x):
            out.append(f"POINT({x!r} {-x!r})".encode())
    return out


def wkt_inputs():
    out = []
    for t in NUMBER_TEXTS:
        out += [f"POINT({t} 1)".encode(), f"POINT Z (1 {t} {t})".encode(),
                f"SRID=4326;LINESTRING(0 0, {t} -{t})".encode()]
    out += [b"SRID=-1;POINT(1 2)", b"SRID=+5;POINT(1 2)", b"srid=007;POINT EMPTY",
            b"POINT(1 2 3)", b"POINT(1)", b"POLYGON((0 0,1 0,1 1,0 0),(0 0))",
            b"MULTIPOINT EMPTY", b"GEOMETRYCOLLECTION(POINT(1 2),GEOMETRYCOLLECTION EMPTY)",
            b"TRIANGLE((0 0,1 0,0 1,0 0))", b"{\"type\":\"Point\"}", b"POINT(1 2)\n",
            b"0101000000000000000000F03F0000000000000040\n", b"\xc3\xa9", b"POINT(1 2)\xe2\x80\x8b"]
    return out


def truncations(wkbs):
    out = []
    for b in wkbs:
        for cut in {1, 5, 9, len(b) // 2, len(b) - 1}:
            if 0 < cut < len(b):
                out.append(b[:cut])
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    wkbs = seeds.wkb_seeds()
    wkts = seeds.wkt_seeds()
    hexes = seeds.hex_seeds(wkbs[::7] + wkbs[-8:])
    inputs = (wkbs + wkts + hexes + ordinate_inputs() + wkt_inputs() + truncations(wkbs[::5])
              + [b"\t" + h + b"\n" for h in hexes[:20]])
    unique = list(dict.fromkeys(inputs))  # first occurrence order: deterministic
    with open(sys.argv[1], "w") as f:
        for b in unique:
            f.write(b.hex() + "\n")
    print(f"{len(unique)} inputs", file=sys.stderr)


if __name__ == "__main__":
    main()
