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
from .geo import type_words


def _has_iso_flavor() -> bool:
    try:
        gc.wkt_to_wkb(["POINT (1 2)"], flavor="iso")
    except TypeError:
        return False
    return True


# The column functions write ISO WKB themselves where they take flavor="iso";
# until then 2D rows, whose EWKB without SRID is ISO WKB already, are the only
# ones written as ISO WKB (see _iso_without_flavor).
HAS_ISO_FLAVOR = _has_iso_flavor()


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


def _convert(column: pa.Array, enc: Encoding, errors: str, whole: bool = True):
    """(result, SRIDs or None) of one column chunk, raising ValueError for a bad
    row when errors is "raise". whole=False skips the check that rows written
    as ISO WKB without the native flavor are 2D (when looking for a bad row)."""
    opts = {"errors": errors, "threads": 1}
    if enc.iso:
        wkb, srids = _iso(column, opts, whole)
        if enc.to == "hex":
            wkb = _hex(wkb)
        return wkb, srids
    if enc.to == "wkt":
        # Text is read and written again (canonical WKT): WKT passed through as
        # it came would skip the check that every row is a geometry.
        return gc.to_wkt(column, enc.srid, is_text(column.type), **opts), None
    if enc.to == "hex":
        return gc.to_hex_wkb(column, enc.srid, **opts), None
    return gc.to_wkb(column, enc.srid, **opts), None


_HEX_DIGITS = np.frombuffer(b"".join(b"%02X" % i for i in range(256)), np.uint8).reshape(256, 2)


def _hex(wkb: pa.Array) -> pa.Array:
    """Upper-case hex text of a binary column, in one numpy pass over its buffers."""
    wkb = wkb.cast(pa.large_binary())
    _, offsets_buf, data_buf = wkb.buffers()
    offsets = np.frombuffer(offsets_buf, np.int64)
    data = np.frombuffer(data_buf, np.uint8) if data_buf is not None else np.zeros(0, np.uint8)
    digits = _HEX_DIGITS[data[:offsets[-1]]].reshape(-1)
    hexed = pa.Array.from_buffers(pa.large_string(), len(wkb),
                                  [wkb.buffers()[0], pa.py_buffer(offsets * 2),
                                   pa.py_buffer(digits)], wkb.null_count, wkb.offset)
    return hexed.cast(pa.string())


def _iso(column, opts, whole):
    if not HAS_ISO_FLAVOR:
        return _iso_without_flavor(column, opts, whole)
    if is_binary(column.type):
        wkb = gc.to_wkb(column, False, flavor="iso", **opts)
        return wkb, _srids(column, wkb)
    try:
        return gc.wkt_to_wkb_split_srid(column, flavor="iso", **opts)
    except ValueError:
        pass  # hex rows among the text, or a bad row: the general path says which
    ewkb = gc.to_wkb(column, **opts)
    return gc.to_wkb(ewkb, False, flavor="iso", **opts), _srids(ewkb, ewkb)


def _srids(source, converted):
    srids = gc.wkb_header_srid(source, errors="null", threads=1)
    return pc.if_else(pc.is_null(converted), pa.scalar(None, pa.int32()), srids)


_DIMENSION_TAG = r" (?:Z|M|ZM) (?:\(|EMPTY)"


def _iso_without_flavor(column, opts, whole):
    # WKB split from its SRID, made from EWKT (whatever the input): canonical
    # EWKB, which for 2D rows is ISO WKB byte for byte.
    wkb = None
    if is_text(column.type):
        try:
            wkb, srids = gc.wkt_to_wkb_split_srid(column, **opts)
        except ValueError:
            pass  # hex rows among the text, or a bad row: the general path says which
    if wkb is None:
        wkb, srids = gc.wkt_to_wkb_split_srid(gc.to_wkt(column, **opts), **opts)
    if not whole:
        return wkb, srids
    base, dim, _, readable = type_words(wkb)
    rows = np.flatnonzero(readable)
    flat = dim != 0
    collections = rows[base == 7]
    if len(collections):
        # A 2D collection may hold members with Z or M: look at their text.
        members = gc.wkb_to_wkt(wkb.take(pa.array(collections)), threads=1)
        tagged = pc.match_substring_regex(members, _DIMENSION_TAG).to_numpy(zero_copy_only=False)
        flat[np.searchsorted(rows, collections[tagged])] = True
    if flat.any():
        raise _NotFlat(int(rows[np.argmax(flat)]))
    return wkb, srids


class _NotFlat(Exception):
    def __init__(self, row):
        super().__init__(row)
        self.row = row


def convert_column(column: pa.Array, enc: Encoding, first_row: int, name: str):
    """Converts one chunk whose first row is data row `first_row` of the file.

    Returns (result, SRIDs or None, rows turned into null). A bad row under
    errors="raise" becomes a RunError naming its row in the file."""
    try:
        try:
            result, srids = _convert(column, enc, enc.errors)
        except ValueError:
            raise _locate(column, enc, first_row, name) from None
    except _NotFlat as e:
        raise RunError(_where(first_row + e.row, name) + ": a geometry with Z or M ordinates "
                       "cannot be written as ISO WKB by this geoweave_columns (it lacks "
                       "flavor=\"iso\"); only 2D geometries can be written as ISO WKB "
                       "until it has it") from None
    nulled = result.null_count - column.null_count if enc.errors == "null" else 0
    return result, srids, nulled


def _where(row, name):
    return f"row {row} (data rows counted from 0), column {name!r}"


def _locate(column, enc, first_row, name) -> RunError:
    """The error of the first bad row: the one the converter turns into null
    first, converted again on its own for its exact message."""
    nulls, _ = _convert(column, enc, "null", whole=False)
    bad = pc.and_(pc.is_null(nulls), pc.is_valid(column)).to_numpy(zero_copy_only=False)
    row = int(np.argmax(bad)) if bad.any() else 0
    try:
        _convert(column.slice(row, 1), enc, "raise", whole=False)
    except ValueError as e:
        message = str(e)
    else:  # not expected: the row converts alone; report the batch's own error
        try:
            _convert(column, enc, "raise", whole=False)
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
