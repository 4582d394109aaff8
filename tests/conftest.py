"""Shared helpers: a small builder for WKB records in every dialect.

Records are built as plain bytes so that tests can mix byte orders and
dialects freely inside one geometry, forge counts and cut records short.
"""

import struct

POINT, LINESTRING, POLYGON = 1, 2, 3
MULTIPOINT, MULTILINESTRING, MULTIPOLYGON, GEOMETRYCOLLECTION = 4, 5, 6, 7

Z_FLAG, M_FLAG, SRID_FLAG = 0x80000000, 0x40000000, 0x20000000

# dimension -> (EWKB flags, ISO code offset, ordinates per coordinate, WKT tag)
DIMS = {
    "XY": (0, 0, 2, ""),
    "XYZ": (Z_FLAG, 1000, 3, " Z"),
    "XYM": (M_FLAG, 2000, 3, " M"),
    "XYZM": (Z_FLAG | M_FLAG, 3000, 4, " ZM"),
}
DIM_BY_COUNT = {2: "XY", 3: "XYZ", 4: "XYZM"}

KEYWORDS = {1: "POINT", 2: "LINESTRING", 3: "POLYGON", 4: "MULTIPOINT",
            5: "MULTILINESTRING", 6: "MULTIPOLYGON", 7: "GEOMETRYCOLLECTION"}

NAN = float("nan")


def type_word(base, dim="XY", *, iso=False, srid=False, extra=0):
    """The u32 type word: EWKB flags, or ISO offsets with iso=True."""
    flags, offset, _, _ = DIMS[dim]
    word = base + offset if iso else base | flags
    if srid:
        word |= SRID_FLAG
    return word | extra


def header(base, dim="XY", *, order="<", iso=False, srid=None, extra=0, word=None):
    """Marker, type word and (if srid is not None) the SRID field.

    `word` overrides the computed type word; with srid given the SRID flag is
    still the caller's business in that case.
    """
    out = (b"\x01" if order == "<" else b"\x00")
    if word is None:
        word = type_word(base, dim, iso=iso, srid=srid is not None, extra=extra)
    out += struct.pack(order + "I", word)
    if srid is not None:
        out += struct.pack(order + "i", srid)
    return out


def u32(n, order="<"):
    return struct.pack(order + "I", n)


def f64(x, order="<"):
    return struct.pack(order + "d", x)


def f64_bits(bits, order="<"):
    """An ordinate given by its raw IEEE bit pattern (NaN payloads)."""
    return struct.pack(order + "Q", bits)


def coords(points, order="<"):
    return b"".join(struct.pack(f"{order}{len(p)}d", *p) for p in points)


def _dim(dim, sample):
    return dim if dim is not None else DIM_BY_COUNT[len(sample)]


def wkb_point(*ordinates, dim=None, order="<", **hdr):
    """A Point record; dim defaults from the ordinate count (XYM must be named)."""
    return header(POINT, _dim(dim, ordinates), order=order, **hdr) + coords([ordinates], order)


def wkb_linestring(points, *, dim=None, order="<", count=None, **hdr):
    dim = _dim(dim, points[0]) if points else (dim or "XY")
    n = len(points) if count is None else count
    return header(LINESTRING, dim, order=order, **hdr) + u32(n, order) + coords(points, order)


def wkb_polygon(rings, *, dim=None, order="<", **hdr):
    sample = next((r[0] for r in rings if r), None)
    dim = dim or (DIM_BY_COUNT[len(sample)] if sample else "XY")
    body = u32(len(rings), order)
    for ring in rings:
        body += u32(len(ring), order) + coords(ring, order)
    return header(POLYGON, dim, order=order, **hdr) + body


def wkb_multi(base, members, *, dim="XY", order="<", count=None, **hdr):
    """A MultiX or GeometryCollection of already built member records."""
    n = len(members) if count is None else count
    return header(base, dim, order=order, **hdr) + u32(n, order) + b"".join(members)


def wkb_collection(members, **kw):
    return wkb_multi(GEOMETRYCOLLECTION, members, **kw)


def wkb_nested_collections(levels, innermost):
    """`levels` GeometryCollections each holding the next; the innermost holds
    `innermost` (a record) or nothing when innermost is None."""
    record = wkb_collection([] if innermost is None else [innermost])
    for _ in range(levels - 1):
        record = wkb_collection([record])
    return record
