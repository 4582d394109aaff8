"""Properties over random geometries of every type and dimension, written in
any WKB dialect and byte order: all twelve functions agree with each other
under every srid option, and the ordinates written as text are exactly the
doubles GEOS (through shapely) reads from the same WKB.
"""

import math
import re
import struct

import pytest
from hypothesis import given, settings, strategies as st

import geoweave as g
from conftest import DIMS, M_FLAG, SRID_FLAG, Z_FLAG

shapely = pytest.importorskip("shapely")

CANONICAL_NAN = struct.pack("<Q", 0x7FF8000000000000)
OTHER_NANS = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFFFFFFFFFFFFFFF]

# Finite and never negative zero, which canonical text writes as "0".
ordinates = st.floats(allow_nan=False, allow_infinity=False).map(lambda x: x + 0.0)


@st.composite
def wkb_pair(draw, depth=0, dim=None, kinds=range(1, 8), valid=False):
    """(WKB in a random dialect and byte order per record, the canonical EWKB of
    the same geometry). `valid` keeps to what GEOS accepts: lines of two or more
    points, closed rings of four or more, no empty points."""
    dim = dim or draw(st.sampled_from(sorted(DIMS)))
    flags, offset, n, _ = DIMS[dim]
    kind = draw(st.sampled_from([k for k in kinds if k != 7 or depth < 2]))

    def record(kind):
        order = draw(st.sampled_from("<>"))
        iso = draw(st.booleans())
        word = kind + offset if iso else kind | flags
        nested_srid = depth > 0 and not iso and draw(st.integers(0, 9)) == 0  # ignored
        head = (b"\x01" if order == "<" else b"\x00") + struct.pack(order + "I", word | (SRID_FLAG if nested_srid else 0))
        if nested_srid:
            head += struct.pack(order + "i", draw(st.integers(-5, 5)))
        return order, head, b"\x01" + struct.pack("<I", kind | flags)

    def point(order, empty_allowed=True):
        if empty_allowed and not valid and draw(st.integers(0, 5)) == 0:
            bits = draw(st.sampled_from(OTHER_NANS))
            return struct.pack(order + "Q", bits) * n, CANONICAL_NAN * n
        values = draw(st.tuples(*[ordinates] * n))
        return struct.pack(f"{order}{n}d", *values), struct.pack(f"<{n}d", *values)

    def points(order, count):
        pts = [point(order, False) for _ in range(count)]
        return (struct.pack(order + "I", count) + b"".join(p[0] for p in pts),
                struct.pack("<I", count) + b"".join(p[1] for p in pts))

    def line(order):
        return points(order, draw(st.integers(2 if valid else 0, 4)))

    def ring(order):
        values = [draw(st.tuples(*[ordinates] * n)) for _ in range(3)]
        values.append(values[0])
        return (struct.pack(order + "I", 4) + b"".join(struct.pack(f"{order}{n}d", *v) for v in values),
                struct.pack("<I", 4) + b"".join(struct.pack(f"<{n}d", *v) for v in values))

    def polygon(order):
        rings = [ring(order) for _ in range(draw(st.integers(0, 2)))]
        return (struct.pack(order + "I", len(rings)) + b"".join(r[0] for r in rings),
                struct.pack("<I", len(rings)) + b"".join(r[1] for r in rings))

    order, head, canonical_head = record(kind)
    if kind == 1:
        body = point(order, not valid)
    elif kind == 2:
        body = line(order)
    elif kind == 3:
        body = polygon(order)
    else:
        members = []
        for _ in range(draw(st.integers(0, 3))):
            if kind == 7:
                # An untagged collection may hold members of any dimension.
                member_dim = None if dim == "XY" and not valid else dim
                members.append(draw(wkb_pair(depth + 1, member_dim, kinds, valid)))
            else:
                m_order, m_head, m_canonical = record(kind - 3)
                m_body = {4: point, 5: line, 6: polygon}[kind](m_order)
                members.append((m_head + m_body[0], m_canonical + m_body[1]))
        count = len(members)
        body = (struct.pack(order + "I", count) + b"".join(m[0] for m in members),
                struct.pack("<I", count) + b"".join(m[1] for m in members))
    return head + body[0], canonical_head + body[1]


def embed_srid(wkb, srid):
    """The top-level record with an SRID field, in its own byte order."""
    order = "<" if wkb[0] == 1 else ">"
    word = struct.unpack_from(order + "I", wkb, 1)[0] | SRID_FLAG
    return wkb[:1] + struct.pack(order + "Ii", word, srid) + wkb[5:]


srid_options = st.one_of(st.none(), st.just(False), st.sampled_from([0, -1, 1, 4326, 2**31 - 1, -2**31]),
                         st.integers(-2**31, 2**31 - 1))


@settings(max_examples=400, deadline=None)
@given(wkb_pair(), st.one_of(st.none(), st.integers(-2, 2**31 - 1)), srid_options)
def test_all_functions_agree_under_every_srid_option(pair, own_srid, srid):
    source, canonical = pair
    if own_srid is not None:
        source = embed_srid(source, own_srid)
    found = own_srid if own_srid is not None and own_srid > 0 else None
    wanted = found if srid is None else (srid if srid is not False and srid > 0 else None)

    # Reading: byte order and dialect make no difference, the SRID is the one asked for.
    plain = g.wkb_to_wkt(canonical)
    text = plain if wanted is None else f"SRID={wanted};{plain}"
    assert g.wkb_to_wkt_split_srid(source) == (plain, found)
    assert g.wkb_header_srid(source) == g.wkb_header_srid(source.hex()) == found
    for form in (source, bytearray(source), memoryview(source)):
        assert g.wkb_to_wkt(form, srid=srid) == text
        assert g.to_wkt(form, srid=srid) == text
    for form in (source.hex(), source.hex().upper()):
        assert g.hex_wkb_to_wkt(form, srid=srid) == text
        assert g.to_wkt(f" {form}\n", srid=srid) == text

    # Writing: canonical EWKB, whichever way the text gets there.
    ewkb = canonical if wanted is None else embed_srid(canonical, wanted)
    full = g.wkb_to_wkt(source)
    assert g.wkt_to_wkb(full, srid=srid) == g.to_wkb(full, srid=srid) == ewkb
    assert g.wkt_to_hex_wkb(full, srid=srid) == g.to_hex_wkb(full, srid=srid) == ewkb.hex().upper()
    assert g.wkt_to_wkb_split_srid(full) == (canonical, found)
    assert g.to_wkt(full, srid=srid) == g.to_wkt(full, srid=srid, normalize_wkt=True) == text
    assert g.wkb_to_wkt(ewkb) == text

    # Rewriting the SRID of WKB: the same geometry with the SRID asked for,
    # bytes and hex paths identical.
    rewritten = g.to_wkb(source, srid=srid)
    assert g.to_wkb(source.hex(), srid=srid) == rewritten
    assert g.to_hex_wkb(source, srid=srid) == g.to_hex_wkb(source.hex(), srid=srid) == rewritten.hex().upper()
    assert g.wkb_to_wkt(rewritten) == text
    if srid is not None:
        assert g.to_ewkb_header(source, srid) == rewritten
        assert g.to_ewkb_header(source.hex(), srid) == rewritten.hex().upper()
    stripped = g.to_wkb_no_srid_header(source)
    assert g.to_wkb_no_srid_header(source.hex()) == stripped.hex().upper()
    assert g.wkb_to_wkt(stripped) == plain and g.wkb_header_srid(stripped) is None


NUMBER = re.compile(r"-?\d+(?:\.\d+)?")


def bits(values):
    return [struct.pack("<d", v) for v in values]


@settings(max_examples=300, deadline=None)
@given(wkb_pair(valid=True))
def test_written_ordinates_are_the_doubles_geos_reads(pair):
    source, canonical = pair
    text = g.wkb_to_wkt(source)
    written = [float(t) for t in NUMBER.findall(text)]
    geometry = shapely.from_wkb(source)
    word = struct.unpack_from("<I", canonical, 1)[0]
    columns = [0, 1] + ([2] if word & Z_FLAG else []) + ([3] if word & M_FLAG else [])
    coords = shapely.get_coordinates(geometry, include_z=True, include_m=True)[:, columns]
    read = [float(v) for v in coords.ravel()]
    assert bits(written) == bits(read)
    # And GEOS reads the EWKB written from that text as the same doubles.
    again = shapely.get_coordinates(shapely.from_wkb(g.wkt_to_wkb(text)), include_z=True, include_m=True)
    assert bits(float(v) for v in again[:, columns].ravel()) == bits(read)
    assert not any(math.isnan(v) for v in read)
