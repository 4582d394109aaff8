"""geoweave_columns with flavor="iso": ISO WKB (dimension in the type code,
never an SRID) from every function that writes WKB, for every geometry type and
dimension, every kind of source and column, and the SRID rules: a value that
would keep an SRID fails (a null row with errors="null") unless srid=False
drops it, and a forced SRID is refused for the whole call."""

import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import geoweave as g
import geoweave_columns as gc
from conftest import (GEOMETRYCOLLECTION, MULTIPOINT, wkb_collection, wkb_multi, wkb_point,
                      wkb_polygon)

pa = pytest.importorskip("pyarrow")
shapely = pytest.importorskip("shapely")

WRITERS = ["wkt_to_wkb", "wkt_to_wkb_split_srid", "wkt_to_hex_wkb", "to_wkb", "to_hex_wkb"]
FLAGS = 0xE0000000  # Z, M and SRID


def iso_of(wkb):
    """The reference: `wkb` (any dialect and byte order) with every type word
    turned into its ISO code and every SRID field left out, record by record;
    everything else byte for byte. A top-level Point, LineString or Polygon
    keeps its body unread (the header patch never reads it)."""
    out = bytearray()

    def record(p, top):
        order = "<" if wkb[p] == 1 else ">"
        (word,) = struct.unpack_from(order + "I", wkb, p + 1)
        z, m = bool(word & 0x80000000), bool(word & 0x40000000)
        code = word & 0xFFFF
        if z or m:
            base, offset = code, 1000 * z + 2000 * m
        else:
            base, offset = code % 1000, code - code % 1000
        k = {0: 2, 1000: 3, 2000: 3, 3000: 4}[offset]
        out.extend(wkb[p:p + 1] + struct.pack(order + "I", base + offset))
        p += 9 if word & 0x20000000 else 5
        if top and base <= 3:
            out.extend(wkb[p:])
            return len(wkb)

        def counted(p, width):
            (n,) = struct.unpack_from(order + "I", wkb, p)
            out.extend(wkb[p:p + 4 + n * width])
            return p + 4 + n * width

        if base == 1:
            out.extend(wkb[p:p + 8 * k])
            return p + 8 * k
        if base == 2:
            return counted(p, 8 * k)
        (n,) = struct.unpack_from(order + "I", wkb, p)
        out.extend(wkb[p:p + 4])
        p += 4
        for _ in range(n):
            p = counted(p, 8 * k) if base == 3 else record(p, False)
        return p

    assert record(0, True) == len(wkb)
    return bytes(out)


def type_words(wkb):
    """Every record's type word, in order (of a value the reader accepts)."""
    words = []

    def record(p):
        order = "<" if wkb[p] == 1 else ">"
        (word,) = struct.unpack_from(order + "I", wkb, p + 1)
        words.append(word)
        code = word & 0xFFFF
        base = code if word & 0xC0000000 else code % 1000
        k = 2 + bool(word & 0x80000000) + bool(word & 0x40000000) if word & 0xC0000000 \
            else {0: 2, 1: 3, 2: 3, 3: 4}[code // 1000]
        p += 9 if word & 0x20000000 else 5
        if base == 1:
            return p + 8 * k
        (n,) = struct.unpack_from(order + "I", wkb, p)
        p += 4
        for _ in range(n):
            if base == 2:
                return p + n * 8 * k
            if base == 3:
                (points,) = struct.unpack_from(order + "I", wkb, p)
                p += 4 + points * 8 * k
            else:
                p = record(p)
        return p

    assert record(0) == len(wkb)
    return words


def shapes(tag, k):
    def c(start):
        return " ".join(f"{start + i:g}" for i in range(k))
    ring = f"({c(0)}, {c(4)}, {c(8)}, {c(0)})"
    return [
        f"POINT{tag} ({c(1)})",
        f"POINT{tag} EMPTY",
        f"LINESTRING{tag} ({c(1)}, {c(5)})",
        f"LINESTRING{tag} EMPTY",
        f"POLYGON{tag} ({ring}, ({c(1)}, {c(2)}, {c(3)}, {c(1)}))",
        f"POLYGON{tag} EMPTY",
        f"MULTIPOINT{tag} (({c(1)}), EMPTY, ({c(-3)}))",
        f"MULTILINESTRING{tag} (({c(1)}, {c(2)}), EMPTY)",
        f"MULTIPOLYGON{tag} (({ring}), EMPTY)",
        f"GEOMETRYCOLLECTION{tag} (POINT{tag} ({c(1)}), GEOMETRYCOLLECTION{tag} "
        f"(LINESTRING{tag} ({c(1)}, {c(2)}), MULTIPOINT{tag} EMPTY, POLYGON{tag} ({ring})))",
        f"GEOMETRYCOLLECTION{tag} EMPTY",
    ]


GEOMETRIES = [w for tag, k in [("", 2), (" Z", 3), (" M", 3), (" ZM", 4)] for w in shapes(tag, k)]
GEOMETRIES += ["GEOMETRYCOLLECTION (POINT Z (1 2 3), LINESTRING M (0 0 1, 1 1 2), POINT ZM EMPTY,"
               " GEOMETRYCOLLECTION (POINT (1 2)))"]


@pytest.mark.parametrize("wkt", GEOMETRIES)
def test_every_writer_gives_the_iso_encoding(wkt):
    ewkb = g.wkt_to_wkb(wkt)
    iso = iso_of(ewkb)
    hex_iso = iso.hex().upper()
    assert all(w & FLAGS == 0 and w & 0xFFFF == w for w in type_words(iso))
    assert gc.wkt_to_wkb([wkt], flavor="iso") == [iso]
    assert gc.wkt_to_hex_wkb([wkt], flavor="iso") == [hex_iso]
    assert gc.wkt_to_wkb_split_srid([wkt], flavor="iso") == ([iso], [None])
    # Every source to_wkb takes: EWKB (patched or rebuilt), ISO WKB, WKT, hex.
    sources = [ewkb, iso, wkt, ewkb.hex(), hex_iso.lower()]
    assert gc.to_wkb(sources, flavor="iso") == [iso] * len(sources)
    assert gc.to_hex_wkb(sources, flavor="iso") == [hex_iso] * len(sources)
    # The reader (which takes ISO WKB) and shapely read it as the same geometry.
    assert g.wkb_to_wkt(iso) == g.wkb_to_wkt(ewkb)
    assert shapely.from_wkb(iso).wkt == shapely.from_wkt(wkt).wkt
    if not ("GEOMETRYCOLLECTION" in wkt and "EMPTY" in wkt):  # GEOS drops their Z/M
        ours = shapely.to_wkb(shapely.from_wkt(wkt), flavor="iso", byte_order=1,
                              output_dimension=4)
        assert ours == iso


@pytest.mark.parametrize("wkt", [w for w in GEOMETRIES if w.startswith(("POINT", "LINE", "POLY"))])
def test_the_header_patch_keeps_byte_order_and_body(wkt):
    geom = shapely.from_wkt(wkt)
    big = shapely.to_wkb(geom, byte_order=0, flavor="extended", output_dimension=4)
    [iso] = gc.to_wkb([big], flavor="iso")
    assert iso == iso_of(big) and iso[0] == 0
    assert g.wkb_to_wkt(iso) == g.wkb_to_wkt(big)


# Records the reader takes and the writers never give: mixed byte orders and
# dialects, members with SRIDs of their own, an ISO code with the SRID flag.
MIXED = [
    (wkb_multi(MULTIPOINT, [wkb_point(1, 2, 3, order=">"), wkb_point(4, 5, 6, iso=True)],
               dim="XYZ", order=">", iso=True),
     "MULTIPOINT Z ((1 2 3), (4 5 6))"),
    (wkb_collection([wkb_point(1, 2, srid=3857), wkb_point(1, 2, 3, 4, iso=True, srid=4326)]),
     "GEOMETRYCOLLECTION (POINT (1 2), POINT ZM (1 2 3 4))"),
    (wkb_polygon([[(0, 0, 1), (1, 0, 2), (0, 0, 1)]], dim="XYM", iso=True, srid=0),
     "POLYGON M ((0 0 1, 1 0 2, 0 0 1))"),
]


@pytest.mark.parametrize("wkb, wkt", MIXED)
def test_any_dialect_in_gives_iso_out(wkb, wkt):
    expected = iso_of(g.wkt_to_wkb(wkt))
    assert gc.to_wkb([wkb, wkb.hex()], flavor="iso") == [expected, expected]
    assert gc.to_hex_wkb([wkb], flavor="iso") == [expected.hex().upper()]


# ------------------------------------------------------------- SRIDs ----

MESSAGE = "ISO WKB cannot carry an SRID (SRID 4326): pass srid=False to drop it"
PLAIN = "POINT Z (1 2 3)"
SRID_SOURCES = {
    "ewkt": "SRID=4326;LINESTRING Z (1 2 3, 4 5 6)",
    "ewkb point": g.wkt_to_wkb("SRID=4326;POINT Z (1 2 3)"),  # the header patch
    "ewkb collection": g.wkt_to_wkb("SRID=4326;MULTIPOINT Z (1 2 3)"),  # the rebuild
    "ewkb big-endian": wkb_point(1, 2, order=">", srid=4326),
    "iso code with SRID flag": wkb_point(1, 2, 3, iso=True, srid=4326),
    "hex ewkb": g.wkt_to_hex_wkb("SRID=4326;POLYGON EMPTY").lower(),
}
SRID_CASES = [(name, kind) for name in ["wkt_to_wkb", "wkt_to_hex_wkb", "to_wkb", "to_hex_wkb"]
              for kind in SRID_SOURCES if kind == "ewkt" or name.startswith("to_")]


def without_srid(name, value):
    """The row as srid=False writes it, by the reference."""
    ewkb = g.to_wkb(value, False)
    iso = iso_of(ewkb)
    return iso.hex().upper() if "hex" in name else iso


@pytest.mark.parametrize("name, kind", SRID_CASES)
def test_a_row_keeping_its_srid_fails(name, kind):
    value = SRID_SOURCES[kind]
    fn = getattr(gc, name)
    plain = without_srid(name, PLAIN)
    with pytest.raises(ValueError) as info:
        fn([PLAIN, None, value], flavor="iso")
    assert str(info.value) == MESSAGE
    assert info.value.__notes__ == ["row 2"]
    assert fn([PLAIN, None, value], flavor="iso", errors="null") == [plain, None, None]
    for drop in (False, 0, -5):
        assert fn([PLAIN, value], drop, flavor="iso") == [plain, without_srid(name, value)]


def test_split_keeps_the_srid_beside_the_iso_bytes():
    values, srids = gc.wkt_to_wkb_split_srid(
        pa.array(["SRID=4326;POINT Z (1 2 3)", None, "SRID=0;POINT M (1 2 3)"]), flavor="iso")
    assert srids.to_pylist() == [4326, None, None]
    assert values.to_pylist() == [iso_of(g.wkt_to_wkb("POINT Z (1 2 3)")), None,
                                  iso_of(g.wkt_to_wkb("POINT M (1 2 3)"))]


@pytest.mark.parametrize("value", ["SRID=0;POINT Z (1 2 3)", "SRID=-1;POINT Z (1 2 3)",
                                   wkb_point(1, 2, 3, srid=0), wkb_point(1, 2, 3, srid=-9)])
def test_an_srid_of_zero_or_less_is_none(value):
    expected = iso_of(g.wkt_to_wkb("POINT Z (1 2 3)"))
    assert gc.to_wkb([value], flavor="iso") == [expected]


@pytest.mark.parametrize("name", ["wkt_to_wkb", "wkt_to_hex_wkb", "to_wkb", "to_hex_wkb"])
@pytest.mark.parametrize("errors", ["raise", "null"])
def test_a_forced_srid_is_refused_before_any_row(name, errors):
    for column in ([PLAIN], pa.array([], pa.string()), None):
        with pytest.raises(ValueError, match=r"cannot carry an SRID \(srid=4326\)") as info:
            getattr(gc, name)(column, 4326, flavor="iso", errors=errors)
        assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("name, value, message", [
    ("wkt_to_wkb", "SRID=4326;POINT Z (1 2", "invalid WKT: "),
    ("to_wkb", g.wkt_to_wkb("SRID=4326;MULTIPOINT Z (1 2 3)")[:-3], "invalid WKB: "),
    ("to_hex_wkb", "SRID=4326;GEOMETRYCOLLECTION Z (POINT (1 2))", "invalid WKT: "),
])
def test_the_values_own_error_comes_before_its_srid(name, value, message):
    with pytest.raises(ValueError) as info:
        getattr(gc, name)([value], flavor="iso")
    assert str(info.value).startswith(message)
    assert info.value.__notes__ == ["row 0"]


# ---------------------------------------------------------- arguments ----

@pytest.mark.parametrize("name", WRITERS)
@pytest.mark.parametrize("flavor, error", [("ISO", ValueError), ("wkb", ValueError),
                                           ("", ValueError), (None, TypeError),
                                           (b"iso", TypeError), (1, TypeError)])
def test_bad_flavor(name, flavor, error):
    with pytest.raises(error, match="flavor must be 'extended' or 'iso'"):
        getattr(gc, name)([PLAIN], flavor=flavor)


@pytest.mark.parametrize("name", sorted(set(gc.__all__) - set(WRITERS)))
def test_only_the_writers_take_a_flavor(name):
    args = (4326,) if name == "to_ewkb_header" else ()
    with pytest.raises(TypeError, match="unexpected keyword argument 'flavor'"):
        getattr(gc, name)([PLAIN], *args, flavor="iso")


def test_extended_is_the_default():
    values = ["SRID=4326;POINT Z (1 2 3)", "POINT M (1 2 3)"]
    assert gc.wkt_to_wkb(values, flavor="extended") == gc.wkt_to_wkb(values) \
        == [g.wkt_to_wkb(v) for v in values]
    assert gc.to_hex_wkb(values, flavor="extended") == [g.to_hex_wkb(v) for v in values]
    assert "flavor" not in str(g.wkt_to_wkb.__text_signature__)


# ------------------------------------------------------- column kinds ----

TEXTS = ["POINT Z (1 2 3)", None, "SRID=4326;MULTIPOINT M (1 2 3)", "GEOMETRYCOLLECTION EMPTY"]
WKBS = [None if t is None else g.wkt_to_wkb(t) for t in TEXTS]


def expected_rows(name, values):
    out = []
    for v in values:
        if v is None:
            out.append(None)
            continue
        ewkb = g.to_wkb(v, False)
        out.append(iso_of(ewkb).hex().upper() if "hex" in name else iso_of(ewkb))
    return out


def polars_series(values, binary):
    pl = pytest.importorskip("polars")
    return pl.Series("g", values, dtype=pl.Binary if binary else pl.String)


def plain_arrow(values, binary):
    return pa.array(values, pa.binary() if binary else pa.string())


def duckdb_relation(values, binary):
    duckdb = pytest.importorskip("duckdb")
    geoms = pa.table({"g": plain_arrow(values, binary)})  # noqa: F841 - read by DuckDB
    return duckdb.connect().sql("select g from geoms")


KINDS = {
    "list": lambda v, binary: list(v),
    "tuple": lambda v, binary: tuple(v),
    "numpy": lambda v, binary: np.array(v, dtype=object),
    "pandas": lambda v, binary: pytest.importorskip("pandas").Series(v, dtype=object),
    "pyarrow": lambda v, binary: pa.array(v, pa.binary() if binary else pa.string()),
    "large": lambda v, binary: pa.array(v, pa.large_binary() if binary else pa.large_string()),
    "view": lambda v, binary: pa.array(v, pa.binary_view() if binary else pa.string_view()),
    "chunked": lambda v, binary: pa.chunked_array(
        [pa.array(v[:1], pa.binary() if binary else pa.string()),
         pa.array(v[1:], pa.binary() if binary else pa.string())]),
    "polars": polars_series,
    "nanoarrow": lambda v, binary: pytest.importorskip("nanoarrow").c_array(plain_arrow(v, binary)),
    "arro3": lambda v, binary: pytest.importorskip("arro3.core").Array.from_arrow(
        plain_arrow(v, binary)),
    "duckdb": duckdb_relation,
}


def rows_of(result):
    if isinstance(result, (pa.Array, pa.ChunkedArray)):
        return result.to_pylist()
    if hasattr(result, "__arrow_c_stream__") and not hasattr(result, "to_list"):
        return pa.chunked_array(result).to_pylist()  # ArrowColumn
    if hasattr(result, "to_list"):  # pandas, Polars
        return [None if x is None or x != x else x for x in result.to_list()]
    return [None if x is None else x for x in result]


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("name, binary", [("wkt_to_wkb", False), ("wkt_to_hex_wkb", False),
                                          ("to_wkb", False), ("to_wkb", True),
                                          ("to_hex_wkb", True)])
def test_every_column_kind(name, binary, kind):
    values = WKBS if binary else TEXTS
    result = getattr(gc, name)(KINDS[kind](values, binary), False, flavor="iso", threads=2)
    assert rows_of(result) == expected_rows(name, values)


@pytest.mark.parametrize("kind", ["pyarrow", "numpy", "list"])
def test_split_over_column_kinds(kind):
    values, srids = gc.wkt_to_wkb_split_srid(KINDS[kind](TEXTS, False), flavor="iso")
    assert rows_of(values) == expected_rows("wkt_to_wkb", TEXTS)
    assert rows_of(srids) == [None, None, 4326, None]


def test_long_columns_on_threads():
    values = [v for _ in range(10_000) for v in WKBS]
    for threads in (1, 2):
        result = gc.to_wkb(pa.array(values), False, flavor="iso", threads=threads)
        assert result.to_pylist() == expected_rows("to_wkb", WKBS) * 10_000


# ------------------------------------------------------------ property ----

ordinates = st.floats(width=64) | st.sampled_from([0.0, -0.0, float("nan")])


@st.composite
def wkb_values(draw):
    """Random records of every dialect, byte order and dimension, sometimes cut."""
    dim = draw(st.sampled_from(["XY", "XYZ", "XYM", "XYZM"]))
    k = {"XY": 2, "XYZ": 3, "XYM": 3, "XYZM": 4}[dim]
    hdr = dict(order=draw(st.sampled_from("<>")), iso=draw(st.booleans()),
               srid=draw(st.sampled_from([None, None, 0, 4326])))

    def point(**kw):
        return wkb_point(*draw(st.lists(ordinates, min_size=k, max_size=k)), dim=dim, **kw)
    shape = draw(st.sampled_from(["point", "polygon", "multipoint", "collection"]))
    if shape == "point":
        value = point(**hdr)
    elif shape == "polygon":
        ring = draw(st.lists(st.tuples(*[ordinates] * k), max_size=3))
        value = wkb_polygon([ring], dim=dim, **hdr)
    elif shape == "multipoint":
        value = wkb_multi(MULTIPOINT, [point(order=draw(st.sampled_from("<>")))
                                       for _ in range(draw(st.integers(0, 3)))], dim=dim, **hdr)
    else:
        value = wkb_multi(GEOMETRYCOLLECTION, [point(srid=draw(st.sampled_from([None, 7])))],
                          dim=dim, **hdr)
    if draw(st.integers(0, 5)) == 0:
        value = value[:draw(st.integers(0, len(value)))]
    return value


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(values=st.lists(wkb_values(), min_size=1, max_size=8), drop=st.booleans())
def test_iso_reads_as_the_source(values, drop):
    """Whatever the source, the ISO row reads back as the source does (or
    both fail), holds no flag on any record, and fails for an SRID only."""
    srid = False if drop else None
    result = gc.to_wkb(values, srid, flavor="iso", errors="null")
    hexed = gc.to_hex_wkb(values, srid, flavor="iso", errors="null")
    assert hexed == [None if r is None else r.hex().upper() for r in result]
    for value, iso in zip(values, result):
        try:
            text = g.wkb_to_wkt(value, False)
        except ValueError:
            text = None
        keeps_srid = not drop and text is not None and g.wkb_header_srid(value)
        if iso is None:
            # Only a value the reader rejects, or one keeping its SRID, fails.
            assert text is None or keeps_srid
            continue
        assert not keeps_srid
        if text is not None:
            assert g.wkb_to_wkt(iso) == text
            assert all(w & FLAGS == 0 for w in type_words(iso))
            # Patched in the source's byte order, or rebuilt from its EWKB.
            assert iso in (iso_of(value), iso_of(g.to_wkb(value, False)))
        else:  # a simple header, patched without reading the body
            assert iso == iso_of(value)
