# mypy: ignore-errors
"""The ``geoweave`` expression namespace of Polars.

    import polars as pl
    import geoweave_columns.polars  # registers it (import geoweave_columns does
                                    # so too when polars is already imported)

    frame.with_columns(pl.col("geom").geoweave.wkb_to_wkt(srid=False))

Every column function is there with its own arguments (the column is the
expression). Each declares its result's dtype, so lazy queries know their
schema before running, and works batch by batch (elementwise), so the streaming
engine runs it on its own batches. The split functions give a struct of the
values and the SRIDs: ``{"wkt": String, "srid": Int32}`` or ``{"wkb": Binary,
"srid": Int32}``.
"""

import polars as pl

import geoweave_columns as _gc

__all__ = ["GeoweaveExpr"]


def _map(expr, fn, dtype, args, errors, threads, flavor="extended"):
    kw = {"errors": errors, "threads": threads}
    if flavor != "extended":
        kw["flavor"] = flavor
    # Each call checks its arguments now, not when the query runs.
    fn(None, *args, **kw)
    return expr.map_batches(lambda s: fn(s, *args, **kw), return_dtype=dtype,
                            is_elementwise=True)


def _split(expr, fn, field, dtype, errors, threads, flavor="extended"):
    kw = {"errors": errors, "threads": threads}
    if flavor != "extended":
        kw["flavor"] = flavor
    fn(None, **kw)
    struct = pl.Struct({field: dtype, "srid": pl.Int32})

    def run(s):
        values, srids = fn(s, **kw)
        return pl.struct(values.alias(field), srids.alias("srid"), eager=True).alias(s.name)

    return expr.map_batches(run, return_dtype=struct, is_elementwise=True)


@pl.api.register_expr_namespace("geoweave")
class GeoweaveExpr:
    """geoweave_columns' functions on a Polars expression of Binary or String
    values; each gives an expression."""

    def __init__(self, expr: pl.Expr) -> None:
        self._expr = expr

    def wkb_to_wkt(self, srid=None, *, errors="raise", threads=None):
        return _map(self._expr, _gc.wkb_to_wkt, pl.String, (srid,), errors, threads)

    def wkb_to_wkt_split_srid(self, *, errors="raise", threads=None):
        return _split(self._expr, _gc.wkb_to_wkt_split_srid, "wkt", pl.String, errors, threads)

    def wkt_to_wkb(self, srid=None, *, errors="raise", threads=None, flavor="extended"):
        return _map(self._expr, _gc.wkt_to_wkb, pl.Binary, (srid,), errors, threads, flavor)

    def wkt_to_wkb_split_srid(self, *, errors="raise", threads=None, flavor="extended"):
        return _split(self._expr, _gc.wkt_to_wkb_split_srid, "wkb", pl.Binary, errors, threads,
                      flavor)

    def wkt_to_hex_wkb(self, srid=None, *, errors="raise", threads=None, flavor="extended"):
        return _map(self._expr, _gc.wkt_to_hex_wkb, pl.String, (srid,), errors, threads, flavor)

    def hex_wkb_to_wkt(self, srid=None, *, errors="raise", threads=None):
        return _map(self._expr, _gc.hex_wkb_to_wkt, pl.String, (srid,), errors, threads)

    def to_wkb(self, srid=None, *, errors="raise", threads=None, flavor="extended"):
        return _map(self._expr, _gc.to_wkb, pl.Binary, (srid,), errors, threads, flavor)

    def to_wkt(self, srid=None, normalize_wkt=False, *, errors="raise", threads=None):
        return _map(self._expr, _gc.to_wkt, pl.String, (srid, normalize_wkt), errors, threads)

    def to_hex_wkb(self, srid=None, *, errors="raise", threads=None, flavor="extended"):
        return _map(self._expr, _gc.to_hex_wkb, pl.String, (srid,), errors, threads, flavor)

    def wkb_header_srid(self, *, errors="raise", threads=None):
        return _map(self._expr, _gc.wkb_header_srid, pl.Int32, (), errors, threads)

    # The header functions give the form they are given: Binary for Binary,
    # String (hex) for String.
    def to_wkb_no_srid_header(self, *, errors="raise", threads=None):
        return _map(self._expr, _gc.to_wkb_no_srid_header, pl.dtype_of(self._expr), (),
                    errors, threads)

    def to_ewkb_header(self, srid, *, errors="raise", threads=None):
        return _map(self._expr, _gc.to_ewkb_header, pl.dtype_of(self._expr), (srid,),
                    errors, threads)
