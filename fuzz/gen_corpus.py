#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets.

Usage: gen_corpus.py OUTDIR

OUTDIR/<target>/ receives one file per seed. The seeds cover every geometry
type and dimension, both byte orders, the three WKB dialects (plain, EWKB flags
with and without an SRID, ISO codes), empties, non-finite and extreme
ordinates, mixed-dimension collections, nesting just below, at and above the
depth limit, and the WKT spellings a caller may use (case, whitespace,
SRID prefixes, number forms). Nothing here imports geoweave.
"""

import hashlib
import math
import os
import struct
import sys

Z, M, SRID = 0x80000000, 0x40000000, 0x20000000
DIMS = {"XY": (0, 0, 2, ""), "XYZ": (Z, 1000, 3, " Z"),
        "XYM": (M, 2000, 3, " M"), "XYZM": (Z | M, 3000, 4, " ZM")}
KEYWORDS = ["POINT", "LINESTRING", "POLYGON", "MULTIPOINT", "MULTILINESTRING",
            "MULTIPOLYGON", "GEOMETRYCOLLECTION"]
DEPTH_LIMIT = 128


# A geometry is (kind 1..7, dim, payload): a Point's payload is a tuple of
# ordinates or None (empty); a LineString's a list of tuples; a Polygon's a
# list of rings; a Multi's a list of member payloads; a collection's a list of
# geometries.

def coord(n, i, values=(1.0, 2.0, 3.0, 4.0)):
    return tuple(values[k] + 10 * i for k in range(n))


def sample_geometries():
    out = []
    for dim, (_, _, n, _) in DIMS.items():
        ring = [coord(n, 0), coord(n, 1), coord(n, 2), coord(n, 0)]
        line = [coord(n, 0), coord(n, 1)]
        point = coord(n, 0)
        out += [
            (1, dim, point), (1, dim, None),
            (2, dim, line), (2, dim, []),
            (3, dim, [ring, ring]), (3, dim, []),
            (4, dim, [point, None, coord(n, 3)]), (4, dim, []),
            (5, dim, [line, []]), (5, dim, []),
            (6, dim, [[ring], []]), (6, dim, []),
            (7, dim, [(1, dim, point), (2, dim, line), (7, dim, [])]), (7, dim, []),
        ]
    # Ordinates at the edges of formatting and parsing.
    specials = [0.0, -0.0, 5e-324, -2.2250738585072014e-308, 1.7976931348623157e308,
                1e21, 1e-7, 0.1, 123456789012345680.0, math.nan, math.inf, -math.inf]
    for i in range(0, len(specials), 2):
        out.append((1, "XY", (specials[i], specials[i + 1])))
    out.append((2, "XYZM", [tuple(specials[:4]), tuple(specials[4:8])]))
    # An untagged collection may mix dimensions.
    out.append((7, "XY", [(1, "XYZ", (1.0, 2.0, 3.0)), (1, "XYM", (1.0, 2.0, 4.0))]))
    return out


def nested(levels):
    g = (1, "XY", (1.0, 2.0))
    for _ in range(levels):
        g = (7, "XY", [g])
    return g


def type_word(kind, dim, dialect, srid):
    flags, offset, _, _ = DIMS[dim]
    word = kind + offset if dialect == "iso" else kind | flags
    return word | (SRID if srid is not None else 0)


def wkb(g, order="<", dialect="ewkb", srid=None):
    kind, dim, payload = g
    n = DIMS[dim][2]
    out = (b"\x01" if order == "<" else b"\x00") + struct.pack(order + "I", type_word(kind, dim, dialect, srid))
    if srid is not None:
        out += struct.pack(order + "i", srid)

    def pt(p):
        return struct.pack(order + f"{n}d", *(p if p is not None else [math.nan] * n))

    def seq(points):
        return struct.pack(order + "I", len(points)) + b"".join(pt(p) for p in points)

    def poly(rings):
        return struct.pack(order + "I", len(rings)) + b"".join(seq(r) for r in rings)

    if kind == 1:
        return out + pt(payload)
    if kind == 2:
        return out + seq(payload)
    if kind == 3:
        return out + poly(payload)
    out += struct.pack(order + "I", len(payload))
    if kind == 7:
        return out + b"".join(wkb(m, order, dialect) for m in payload)
    member = kind - 3
    return out + b"".join(wkb((member, dim, m), order, dialect) for m in payload)


def number(x):
    if math.isnan(x) or math.isinf(x):
        return None
    return repr(x).replace("e+", "e")


def wkt(g, top=True):
    kind, dim, payload = g
    n = DIMS[dim][2]

    def pt(p):
        vals = [number(v) for v in p]
        if None in vals:
            raise ValueError("non-finite")
        return " ".join(vals)

    def seq(points):
        return "(" + ", ".join(pt(p) for p in points) + ")" if points else "EMPTY"

    def poly(rings):
        return "(" + ", ".join(seq(r) for r in rings) + ")" if rings else "EMPTY"

    head = KEYWORDS[kind - 1] + DIMS[dim][3] + " "
    if kind == 1:
        body = "EMPTY" if payload is None else "(" + pt(payload) + ")"
    elif kind == 2:
        body = seq(payload)
    elif kind == 3:
        body = poly(payload)
    elif not payload:
        body = "EMPTY"
    elif kind == 4:
        body = "(" + ", ".join("EMPTY" if p is None else "(" + pt(p) + ")" for p in payload) + ")"
    elif kind == 5:
        body = "(" + ", ".join(seq(p) for p in payload) + ")"
    elif kind == 6:
        body = "(" + ", ".join(poly(p) for p in payload) + ")"
    else:
        body = "(" + ", ".join(wkt(m, False) for m in payload) + ")"
    return head + body


def wkb_seeds():
    seeds = []
    for g in sample_geometries():
        for order in "<>":
            seeds.append(wkb(g, order))
            seeds.append(wkb(g, order, "iso"))
            for srid in (4326, 0, -1):
                seeds.append(wkb(g, order, srid=srid))
    for levels in (DEPTH_LIMIT - 2, DEPTH_LIMIT - 1, DEPTH_LIMIT):
        seeds.append(wkb(nested(levels)))
    # Mixed byte orders inside one value, undefined flag bits, an unknown code,
    # an SRID flag on a member, a forged count.
    point_be = wkb((1, "XY", (1.0, 2.0)), ">")
    seeds.append(wkb((4, "XY", []))[:-4] + struct.pack("<I", 2) + point_be + wkb((1, "XY", (3.0, 4.0))))
    seeds.append(b"\x01" + struct.pack("<I", 0x00010001) + struct.pack("<2d", 1, 2))
    seeds.append(b"\x01" + struct.pack("<I", 99) + struct.pack("<2d", 1, 2))
    seeds.append(wkb((7, "XY", []))[:-4] + struct.pack("<I", 1) + wkb((1, "XY", (1.0, 2.0)), srid=3857))
    seeds.append(b"\x01" + struct.pack("<II", 2, 0xFFFFFFFF) + struct.pack("<2d", 1, 2))
    return seeds


def rebuild_seeds():
    """Ordinates and layouts that canonical EWKB changes: NaNs of any payload and
    sign, negative zero, infinities, ISO and flagged dimensions, member SRIDs,
    empty rings and Points, big-endian members."""
    odd = [struct.unpack("<d", struct.pack("<Q", bits))[0] for bits in (
        0x7FF0000000000001, 0xFFF8000000000000, 0x7FF8DEADBEEF0000, 0x8000000000000000,
        0x7FF0000000000000, 0xFFF0000000000000, 0x0000000000000001)]
    seeds = []
    for order in "<>":
        for a, b in zip(odd, odd[1:] + odd[:1]):
            seeds.append(wkb((2, "XY", [(a, b), (b, a), (1.0, a)]), order))
            seeds.append(wkb((1, "XYZ", (a, b, a)), order, "iso"))
            seeds.append(wkb((4, "XYM", [(a, b, 0.0), None]), order, srid=4326))
        seeds.append(wkb((3, "XYZM", [[], [coord(4, 0)], []]), order, "iso"))
    return seeds


def wkt_seeds():
    seeds = []
    for g in sample_geometries():
        try:
            text = wkt(g)
        except ValueError:
            continue
        seeds += [text, "SRID=4326;" + text, text.lower(), " srid = -1 ; " + text.replace(" (", "(")]
    seeds += [
        "POINT(1 2)", "point z (1 2 3)", "POINT ZM(1 2 3 4)", "Point M (1 2 4)",
        "\u00a0\u3000POINT (1 2)\u2028", "POINT(+1.5e3 -.5E-3)", "POINT(1. 2)",
        "SRID=0;POINT EMPTY", "SRID=2147483647;POINT(1 2)", "SRID=2147483648;POINT(1 2)",
        "MULTIPOINT(1 2, 3 4)", "MULTIPOINT((1 2), EMPTY)", "POLYGON(())", "POINT(NaN 1)",
        "POINT(1e999 1)", "POINT(1 2) x", "POINTZ(1 2 3)", "LINESTRING(1 2,3 4",
        "GEOMETRYCOLLECTION Z (POINT Z (1 2 3), LINESTRING Z EMPTY)",
        "POINT(\u0661 2)", "POINT (1\u0301 2)",
    ]
    for levels in (DEPTH_LIMIT - 2, DEPTH_LIMIT - 1, DEPTH_LIMIT):
        seeds.append(wkt(nested(levels)))
    return [s.encode() for s in seeds]


def hex_seeds(wkbs):
    seeds = []
    for b in wkbs:
        seeds += [b.hex().upper().encode(), b.hex().encode()]
    seeds += [b"", b"0", b"0G", b"01x1", b" 0101000000000000000000F03F0000000000000040 "]
    return seeds


def arrow_seeds(wkbs, wkts):
    """Inputs of fuzz_arrow_import: a header (layout, flags, length, offset), then
    the deltas of in-order offsets and the values they delimit."""
    seeds = []
    for layout, values in ((0, wkbs[:40:4]), (4, wkts[:40:4]), (1, wkbs[1:40:5])):
        for flags in (0, 1, 128):
            rows = [v for v in values if len(v) < 24]
            head = bytes([layout, flags, len(rows), 0])
            body = bytes([0xFF] * 2 if flags & 1 else [])
            body += bytes([0]) + bytes(len(v) for v in rows) + bytes([0])
            seeds.append(head + body + b"".join(rows))
    return seeds


# Doubles whose text is hard to get right either way: zeros, the smallest
# subnormal and normal, powers of ten, 2^53 and its neighbours, values halfway
# between two doubles when written with few digits, the largest finite.
EDGE_DOUBLES = [0.0, -0.0, 5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
                1e-7, 1e-5, 0.1, 0.3, 1.0, 1e15, 1e15 - 1, 1e16, 1e22, 1e23,
                2.0 ** 53, 2.0 ** 53 + 2, 2.0 ** 53 - 1, 9007199254740993.0,
                123456.789, 135.2530362746084, -9.620228, 1.7976931348623157e308,
                1 / 3, 0.1 + 0.2, 999999999999999.9, 1.5e300]


def number_seeds():
    """fuzz_number: a first byte below 128 takes the rest as text, one from
    128 up makes decimal forms of the double in the next 8 bytes."""
    tokens = [b"0", b"-0", b"+1", b".5", b"5.", b"1e5", b"1E+05", b"2.5e-3", b"1e999",
              b"1e-999", b"e5", b"1e", b"1.2.3", b"--1", b"+", b".", b"-", b"inf",
              b"-nan", b"9007199254740993", b"9007199254740992.5",
              b"12345678901234567890", b"0.000000000000000000001234",
              b"2.2250738585072011e-308", b"4.9406564584124654e-324",
              b"135.2530362746084", b"-61.012374", b"1234567.125", b"7e22", b"7e23",
              b"1" + b"0" * 30, b"0." + b"0" * 40 + b"1"]
    seeds = [b"\x00" + t for t in tokens] + [b"\x01" + t + b")" for t in tokens]
    for k, x in enumerate(EDGE_DOUBLES):
        seeds.append(bytes([128 + k % 3]) + struct.pack("<d", x) + bytes([k % 26]) + b" ")
    return seeds


def format_seeds():
    """fuzz_format: 8 bytes per double."""
    return [struct.pack("<d", x) for x in EDGE_DOUBLES] + [
        b"".join(struct.pack("<d", x) for x in EDGE_DOUBLES[k:k + 4])
        for k in range(0, len(EDGE_DOUBLES), 4)]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    wkbs = wkb_seeds()
    wkts = wkt_seeds()
    hexes = hex_seeds(wkbs[::7] + wkbs[-8:])
    corpora = {
        "wkb_to_wkt": wkbs,
        "header": wkbs,
        "rebuild": wkbs + rebuild_seeds(),
        "wkt_to_ewkb": wkts,
        "hex": hexes,
        "auto": wkbs[::3] + wkts + hexes + [b"\t" + h + b"\n" for h in hexes[:20]],
        "arrow_import": arrow_seeds(wkbs, wkts),
        "number": number_seeds(),
        "format": format_seeds(),
    }
    for target, seeds in corpora.items():
        directory = os.path.join(root, target)
        os.makedirs(directory, exist_ok=True)
        for seed in seeds:
            name = hashlib.sha1(seed).hexdigest()
            with open(os.path.join(directory, name), "wb") as f:
                f.write(seed)
        print(f"{target}: {len(set(seeds))} seeds", file=sys.stderr)


if __name__ == "__main__":
    main()
