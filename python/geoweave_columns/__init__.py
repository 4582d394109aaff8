"""The conversions of geoweave over whole columns, tables and streams.

Each function takes the scalar function's arguments plus keyword-only
``errors`` and ``threads``; every value's result or error is the scalar
function's. The functions are Python wrappers over the native extension
geoweave_columns._native.
"""

from importlib import metadata as _metadata

from . import _native
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


def wkb_to_wkt(wkb, srid=None, *, errors="raise", threads=None):
    return _native.wkb_to_wkt(wkb, srid, errors=errors, threads=threads)


def wkb_to_wkt_split_srid(wkb, *, errors="raise", threads=None):
    return _native.wkb_to_wkt_split_srid(wkb, errors=errors, threads=threads)


def wkt_to_wkb(wkt, srid=None, *, errors="raise", threads=None):
    return _native.wkt_to_wkb(wkt, srid, errors=errors, threads=threads)


def wkt_to_wkb_split_srid(wkt, *, errors="raise", threads=None):
    return _native.wkt_to_wkb_split_srid(wkt, errors=errors, threads=threads)


def wkt_to_hex_wkb(wkt, srid=None, *, errors="raise", threads=None):
    return _native.wkt_to_hex_wkb(wkt, srid, errors=errors, threads=threads)


def hex_wkb_to_wkt(hex_wkb, srid=None, *, errors="raise", threads=None):
    return _native.hex_wkb_to_wkt(hex_wkb, srid, errors=errors, threads=threads)


def to_wkb(source, srid=None, *, errors="raise", threads=None):
    return _native.to_wkb(source, srid, errors=errors, threads=threads)


def to_wkt(source, srid=None, normalize_wkt=False, *, errors="raise", threads=None):
    return _native.to_wkt(source, srid, normalize_wkt, errors=errors, threads=threads)


def to_hex_wkb(source, srid=None, *, errors="raise", threads=None):
    return _native.to_hex_wkb(source, srid, errors=errors, threads=threads)


def wkb_header_srid(source, *, errors="raise", threads=None):
    return _native.wkb_header_srid(source, errors=errors, threads=threads)


def to_wkb_no_srid_header(source, *, errors="raise", threads=None):
    return _native.to_wkb_no_srid_header(source, errors=errors, threads=threads)


def to_ewkb_header(source, srid, *, errors="raise", threads=None):
    return _native.to_ewkb_header(source, srid, errors=errors, threads=threads)


def _document():
    """Each function's docstring is the native function's."""
    for name in __all__:
        fn = globals()[name]
        native = getattr(_native, name)
        fn.__doc__ = native.__doc__
        fn.__module__ = __name__


_document()
del _document
