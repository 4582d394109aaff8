"""Geometry columns: which column holds the geometries, what their WKB type
words say, and the GeoParquet `geo` metadata and CRS that describe them."""

from __future__ import annotations

import json

import numpy as np
import pyarrow as pa

from .errors import RunError, UsageError

# Column names a user would expect to hold geometries, compared case-insensitively.
EXPECTED_NAMES = ("geometry", "geom", "wkb", "wkt", "the_geom", "shape")
GEOPARQUET_VERSION = "1.1.0"
TYPE_NAMES = ("Point", "LineString", "Polygon", "MultiPoint", "MultiLineString",
              "MultiPolygon", "GeometryCollection")
DIMENSION_NAMES = ("XY", "XYZ", "XYM", "XYZM")
_DIMENSION_SUFFIX = ("", " Z", " M", " ZM")


def choose_column(names, geo, asked=None):
    """The geometry column: `asked`, else the GeoParquet primary column, else the
    one column with an expected name. UsageError listing the columns otherwise."""
    listing = ", ".join(names) if names else "(none)"
    if asked is not None:
        if asked not in names:
            raise UsageError(f"no column named {asked!r}; the columns are: {listing}")
        return asked
    primary = geo.get("primary_column") if geo else None
    if isinstance(primary, str) and primary in names:
        return primary
    found = [n for n in names if n.lower() in EXPECTED_NAMES]
    if len(found) == 1:
        return found[0]
    why = "several columns have a geometry name" if found else "no column has a geometry name"
    raise UsageError(f"{why} ({', '.join(EXPECTED_NAMES)}): pass --column NAME; "
                     f"the columns are: {listing}")


def geo_metadata(schema: pa.Schema) -> dict | None:
    """A schema's GeoParquet `geo` metadata, or None (also when it is malformed)."""
    raw = (schema.metadata or {}).get(b"geo")
    if raw is None:
        return None
    try:
        geo = json.loads(raw)
    except ValueError:
        return None
    return geo if isinstance(geo, dict) and isinstance(geo.get("columns"), dict) else None



# ------------------------------------------------------------ WKB type words

def type_words(column: pa.Array):
    """The base type and dimension index of every valid row's outermost WKB
    record, read from the type words in place: numpy arrays of the base, the
    dimension and the raw type word (flags kept) of the rows whose type word
    could be read (at least five bytes and a known byte order), and the mask
    of those rows."""
    if pa.types.is_large_binary(column.type):
        offset_type = np.int64
    elif pa.types.is_binary(column.type):
        offset_type = np.int32
    else:
        column = column.cast(pa.large_binary())
        offset_type = np.int64
    n = len(column)
    validity, offsets_buf, data_buf = column.buffers()[:3]
    offsets = np.frombuffer(offsets_buf, dtype=offset_type, count=n + 1,
                            offset=column.offset * np.dtype(offset_type).itemsize)
    data = np.frombuffer(data_buf, dtype=np.uint8) if data_buf is not None and data_buf.size \
        else np.zeros(0, np.uint8)
    starts, ends = offsets[:-1].astype(np.int64), offsets[1:].astype(np.int64)
    ok = (ends - starts) >= 5
    if column.null_count:
        ok &= column.is_valid().to_numpy(zero_copy_only=False)
    at = starts[ok]
    order = data[at]
    ok_order = order <= 1
    at, order = at[ok_order], order[ok_order]
    b = [data[at + k].astype(np.uint32) for k in range(1, 5)]
    little = b[0] | (b[1] << 8) | (b[2] << 16) | (b[3] << 24)
    big = b[3] | (b[2] << 8) | (b[1] << 16) | (b[0] << 24)
    word = np.where(order == 1, little, big)
    code = word & 0xFFFF
    z, m = (word & 0x80000000) != 0, (word & 0x40000000) != 0
    flagged = z | m
    iso_dim = np.where(code > 3000, 3, np.where(code > 2000, 2, np.where(code > 1000, 1, 0)))
    base = np.where(flagged, code, code - iso_dim * 1000)
    dim = np.where(flagged, z.astype(np.int64) + 2 * m.astype(np.int64), iso_dim)
    mask = ok.copy()
    mask[np.flatnonzero(ok)[~ok_order]] = False
    return base, dim, word, mask


def type_counts(column: pa.Array) -> dict[tuple[int, int], int]:
    """Rows per (base type 1..7, dimension index) of a WKB column; unknown bases left out.

    Each row's first five bytes (byte order and type word) are counted as they
    stand, the few distinct ones decoded afterwards: a column of one type costs
    a gather and a comparison, not a sort."""
    if not (pa.types.is_binary(column.type) or pa.types.is_large_binary(column.type)):
        column = column.cast(pa.large_binary())
    offset_type = np.int64 if pa.types.is_large_binary(column.type) else np.int32
    n = len(column)
    validity, offsets_buf, data_buf = column.buffers()[:3]
    if data_buf is None or data_buf.size < 5:  # no row long enough for a type word
        return {}
    offsets = np.frombuffer(offsets_buf, dtype=offset_type, count=n + 1,
                            offset=column.offset * np.dtype(offset_type).itemsize)
    data = np.frombuffer(data_buf, dtype=np.uint8)
    starts = offsets[:-1]
    ok = (offsets[1:] - starts) >= 5
    if column.null_count:
        bits = np.unpackbits(np.frombuffer(validity, np.uint8), bitorder="little")
        ok &= bits[column.offset:column.offset + n].astype(bool)
    at = starts if ok.all() else starts[ok]
    # The type word of every row, read unaligned through a view with a stride
    # of one byte, and the byte-order byte beside it.
    words = np.ndarray((len(data) - 3,), np.dtype("<u4"), data, strides=(1,))
    keys = (words[at + 1].astype(np.uint64) << np.uint64(8)) | data[at]
    if not len(keys):
        return {}
    same = keys == keys[0]
    distinct, counts = [keys[0]], [int(same.sum())]
    if counts[0] < len(keys):
        more, more_counts = np.unique(keys[~same], return_counts=True)
        distinct += list(more)
        counts += [int(c) for c in more_counts]
    out: dict[tuple[int, int], int] = {}
    for k, count in zip(distinct, counts, strict=True):
        key = _decode_head(int(k))
        if key is not None:
            out[key] = out.get(key, 0) + count
    return out


def _decode_head(head: int) -> tuple[int, int] | None:
    """(base type, dimension index) of a record's byte order (low byte) and
    type word (the next four), as type_words reads them; None for an unknown
    byte order or base."""
    order = head & 0xFF
    if order > 1:
        return None
    word = int.from_bytes(((head >> 8) & 0xFFFFFFFF).to_bytes(4, "little"),
                          "little" if order == 1 else "big")
    code = word & 0xFFFF
    z, m = bool(word & 0x80000000), bool(word & 0x40000000)
    if z or m:
        base, dim = code, int(z) + 2 * int(m)
    else:
        dim = 3 if code > 3000 else 2 if code > 2000 else 1 if code > 1000 else 0
        base = code - dim * 1000
    return (base, dim) if 1 <= base <= 7 else None


def type_name(base: int, dim: int) -> str:
    """The GeoParquet name of a geometry type: "Point", "Polygon Z", ..."""
    return TYPE_NAMES[base - 1] + _DIMENSION_SUFFIX[dim]


def add_counts(total: dict, more: dict):
    for key, count in more.items():
        total[key] = total.get(key, 0) + count


# ------------------------------------------------------------------- the CRS

def epsg_of(crs) -> int | None:
    """The EPSG code a PROJJSON CRS names in its `id`, or None."""
    if not isinstance(crs, dict):
        return None
    ident = crs.get("id")
    if isinstance(ident, dict) and str(ident.get("authority", "")).upper() == "EPSG":
        try:
            code = int(ident.get("code"))
        except (TypeError, ValueError):
            return None
        return code if code > 0 else None
    return None


def projjson(srid: int) -> dict:
    """The PROJJSON of EPSG:srid, made by pyproj from its EPSG database."""
    try:
        import pyproj
    except ImportError:
        raise RunError(f"writing the CRS of SRID {srid} as PROJJSON needs pyproj: "
                       "pip install geoweave[cli]") from None
    try:
        return pyproj.CRS.from_epsg(srid).to_json_dict()
    except pyproj.exceptions.CRSError:
        raise RunError(f"SRID {srid} is not an EPSG code pyproj knows, so it cannot become the "
                       "GeoParquet CRS: pass --srid N to set another, or --srid strip") from None


def geo_json(geo: dict) -> str:
    return json.dumps(geo, separators=(",", ":"))
