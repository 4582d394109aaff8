"""One batch's geometry column converted to the requested encoding, with the
SRIDs its rows carried, and bad rows found by their position."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

import geoweave
import geoweave_columns as gc

from .errors import RunError


@dataclass(frozen=True)
class Encoding:
    """What the geometry column becomes.

    to: "wkb", "wkt" or "hex"; iso: ISO WKB with no SRID in the rows (the SRIDs
    come back beside the result instead); srid: the SRID option of the column
    functions for the other encodings (None keeps the rows' own, False drops
    them, N sets N); errors: "raise" or "null"."""
    to: str
    iso: bool
    srid: object
    errors: str


def is_text(data_type: pa.DataType) -> bool:
    return (pa.types.is_string(data_type) or pa.types.is_large_string(data_type)
            or pa.types.is_string_view(data_type))


def is_binary(data_type: pa.DataType) -> bool:
    return (pa.types.is_binary(data_type) or pa.types.is_large_binary(data_type)
            or pa.types.is_binary_view(data_type))


def blank_to_null(column: pa.Array) -> pa.Array:
    """A CSV text column with its empty fields as nulls (CSV has no other null),
    found from the offsets alone."""
    if not len(column) or not pa.types.is_string(column.type):
        return column
    offsets = np.frombuffer(column.buffers()[1], np.int32, count=len(column) + 1,
                            offset=column.offset * 4)
    blank = offsets[1:] == offsets[:-1]
    if not blank.any():
        return column
    return pc.if_else(pa.array(blank), pa.scalar(None, column.type), column)


def output_type(enc: Encoding, input_type: pa.DataType) -> pa.DataType:
    large = pa.types.is_large_string(input_type) or pa.types.is_large_binary(input_type)
    if enc.to == "wkb":
        return pa.large_binary() if large else pa.binary()
    return pa.large_string() if large else pa.string()


def _convert(column: pa.Array, enc: Encoding, errors: str):
    """(result, SRIDs or None) of one column chunk, raising ValueError for a bad
    row when errors is "raise"."""
    opts = {"errors": errors, "threads": 1}
    if enc.to == "wkt":
        # Text is read and written again (canonical WKT): WKT passed through as
        # it came would skip the check that every row is a geometry.
        return gc.to_wkt(column, enc.srid, is_text(column.type), **opts), None
    wkb, srids = _wkb(column, enc, opts)
    if enc.to == "hex":
        if enc.iso:
            return gc.to_hex_wkb(wkb, False, flavor="iso", **opts), srids
        return gc.to_hex_wkb(wkb, **opts), srids
    return wkb, srids


def _wkb(column, enc, opts):
    """The column as WKB, every row read in full: ISO WKB without SRIDs and the
    SRIDs the rows carried (int32, null for none), or EWKB and None."""
    if is_text(column.type):
        try:
            if enc.iso:
                return gc.wkt_to_wkb_split_srid(column, flavor="iso", **opts)
            return gc.wkt_to_wkb(column, enc.srid, **opts), None
        except ValueError:
            pass  # hex rows among the text, or a bad row: the general path says which
        column = gc.to_wkb(column, **opts)
    # WKB (and decoded hex) that needs no rewriting is copied as it is by the
    # column functions, unread: read every row first, so that a bad one is
    # found rather than written.
    column = _checked(column, opts)
    if enc.iso:
        return (gc.to_wkb(column, False, flavor="iso", **opts),
                gc.wkb_header_srid(column, threads=1))
    return gc.to_wkb(column, enc.srid, **opts), None


def _checked(wkb: pa.Array, opts) -> pa.Array:
    """`wkb` once every row has been read in full: ValueError for a bad row, or
    with errors="null" the bad rows made null."""
    read = gc.wkb_to_wkt(wkb, False, **opts)
    if opts["errors"] == "null" and read.null_count > wkb.null_count:
        wkb = pc.if_else(pc.is_valid(read), wkb, pa.scalar(None, wkb.type))
    return wkb


def convert_column(column: pa.Array, enc: Encoding, first_row: int, name: str):
    """Converts one chunk whose first row is data row `first_row` of the file.

    Returns (result, SRIDs or None, rows turned into null). A bad row under
    errors="raise" becomes a RunError naming its row in the file."""
    try:
        result, srids = _convert(column, enc, enc.errors)
    except ValueError:
        raise _locate(column, enc, first_row, name) from None
    nulled = result.null_count - column.null_count if enc.errors == "null" else 0
    return result, srids, nulled


def _where(row, name):
    return f"row {row} (data rows counted from 0), column {name!r}"


def _locate(column, enc, first_row, name) -> RunError:
    """The error of the first bad row: the one the converter turns into null
    first, converted again on its own for its exact message."""
    nulls, _ = _convert(column, enc, "null")
    bad = pc.and_(pc.is_null(nulls), pc.is_valid(column)).to_numpy(zero_copy_only=False)
    row = int(np.argmax(bad)) if bad.any() else 0
    try:
        _convert(column.slice(row, 1), enc, "raise")
    except ValueError as e:
        message = str(e)
    else:  # not expected: the row converts alone; report the batch's own error
        try:
            _convert(column, enc, "raise")
        except ValueError as e:
            message = str(e)
    return RunError(f"{_where(first_row + row, name)}: {message}")


def first_bad_message(value, is_bytes: bool) -> str:
    """The conversion's message for one bad value (the scalar functions' own)."""
    try:
        if is_bytes:
            geoweave.wkb_to_wkt(value)
        else:
            geoweave.to_wkb(value)
    except ValueError as e:
        return str(e)
    return "not convertible"
