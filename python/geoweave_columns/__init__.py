"""The conversions of geoweave over whole columns, tables and streams.

Each function takes the scalar function's arguments plus keyword-only
``errors``, ``threads`` and ``column``; every value's result or error is the
scalar function's. A plain column (an Arrow array, a numpy array, a pandas
Series, a list) goes straight to the native kernel; tables, record batches,
streams and Arrow-backed pandas columns are taken apart and put back together
around it (geoweave_columns._shapes), so that what comes back is the caller's
own kind of object.
"""

from importlib import metadata as _metadata

from . import _native, _shapes
from ._native import ArrowColumn

__all__ = [
    "wkb_to_wkt", "wkb_to_wkt_split_srid", "wkt_to_wkb", "wkt_to_wkb_split_srid",
    "wkt_to_hex_wkb", "hex_wkb_to_wkt", "to_wkb", "to_wkt", "to_hex_wkb", "wkb_header_srid",
    "to_wkb_no_srid_header", "to_ewkb_header",
]

try:
    __version__ = _metadata.version("geoweave")
except _metadata.PackageNotFoundError:  # imported from a build tree, not installed
    __version__ = "0+unknown"

# Kinds of column the native functions take and give back as they are: the
# wrappers hand these over with nothing in between.
_DIRECT = _shapes.DIRECT_TYPES
_convert = _shapes.convert


def wkb_to_wkt(wkb, srid=None, *, errors="raise", threads=None, column=None):
    if column is None and type(wkb) in _DIRECT:
        return _native.wkb_to_wkt(wkb, srid, errors=errors, threads=threads)
    return _convert("wkb_to_wkt", wkb, (srid,), errors, threads, column, "extended")


def wkb_to_wkt_split_srid(wkb, *, errors="raise", threads=None, column=None):
    if column is None and type(wkb) in _DIRECT:
        return _native.wkb_to_wkt_split_srid(wkb, errors=errors, threads=threads)
    return _convert("wkb_to_wkt_split_srid", wkb, (), errors, threads, column, "extended")


def wkt_to_wkb(wkt, srid=None, *, errors="raise", threads=None, column=None, flavor="extended"):
    if column is None and flavor == "extended" and type(wkt) in _DIRECT:
        return _native.wkt_to_wkb(wkt, srid, errors=errors, threads=threads)
    return _convert("wkt_to_wkb", wkt, (srid,), errors, threads, column, flavor)


def wkt_to_wkb_split_srid(wkt, *, errors="raise", threads=None, column=None, flavor="extended"):
    if column is None and flavor == "extended" and type(wkt) in _DIRECT:
        return _native.wkt_to_wkb_split_srid(wkt, errors=errors, threads=threads)
    return _convert("wkt_to_wkb_split_srid", wkt, (), errors, threads, column, flavor)


def wkt_to_hex_wkb(wkt, srid=None, *, errors="raise", threads=None, column=None, flavor="extended"):
    if column is None and flavor == "extended" and type(wkt) in _DIRECT:
        return _native.wkt_to_hex_wkb(wkt, srid, errors=errors, threads=threads)
    return _convert("wkt_to_hex_wkb", wkt, (srid,), errors, threads, column, flavor)


def hex_wkb_to_wkt(hex_wkb, srid=None, *, errors="raise", threads=None, column=None):
    if column is None and type(hex_wkb) in _DIRECT:
        return _native.hex_wkb_to_wkt(hex_wkb, srid, errors=errors, threads=threads)
    return _convert("hex_wkb_to_wkt", hex_wkb, (srid,), errors, threads, column, "extended")


def to_wkb(source, srid=None, *, errors="raise", threads=None, column=None, flavor="extended"):
    if column is None and flavor == "extended" and type(source) in _DIRECT:
        return _native.to_wkb(source, srid, errors=errors, threads=threads)
    return _convert("to_wkb", source, (srid,), errors, threads, column, flavor)


def to_wkt(source, srid=None, normalize_wkt=False, *, errors="raise", threads=None, column=None):
    if column is None and type(source) in _DIRECT:
        return _native.to_wkt(source, srid, normalize_wkt, errors=errors, threads=threads)
    return _convert("to_wkt", source, (srid, normalize_wkt), errors, threads, column, "extended")


def to_hex_wkb(source, srid=None, *, errors="raise", threads=None, column=None, flavor="extended"):
    if column is None and flavor == "extended" and type(source) in _DIRECT:
        return _native.to_hex_wkb(source, srid, errors=errors, threads=threads)
    return _convert("to_hex_wkb", source, (srid,), errors, threads, column, flavor)


def wkb_header_srid(source, *, errors="raise", threads=None, column=None):
    if column is None and type(source) in _DIRECT:
        return _native.wkb_header_srid(source, errors=errors, threads=threads)
    return _convert("wkb_header_srid", source, (), errors, threads, column, "extended")


def to_wkb_no_srid_header(source, *, errors="raise", threads=None, column=None):
    if column is None and type(source) in _DIRECT:
        return _native.to_wkb_no_srid_header(source, errors=errors, threads=threads)
    return _convert("to_wkb_no_srid_header", source, (), errors, threads, column, "extended")


def to_ewkb_header(source, srid, *, errors="raise", threads=None, column=None):
    if column is None and type(source) in _DIRECT:
        return _native.to_ewkb_header(source, srid, errors=errors, threads=threads)
    return _convert("to_ewkb_header", source, (srid,), errors, threads, column, "extended")


def _document():
    """Each function's docstring: the native function's, its signature line
    with the package's keywords, and what tables and streams give back."""
    for name in __all__:
        fn = globals()[name]
        native = getattr(_native, name)
        fn.__doc__ = (native.__doc__ or "") + _shapes.doc_tail(name)
        fn.__module__ = __name__


_document()
del _document

# The Polars expression namespace (pl.col(...).geoweave.<function>) comes with
# the package when Polars is already loaded; `import geoweave_columns.polars`
# registers it otherwise.
if "polars" in __import__("sys").modules:
    from . import polars as polars  # noqa: E402
