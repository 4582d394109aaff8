"""The geometry column's conversion as a chain of the column module's lazy
streams, and what the tool reads back from each converted batch: the SRIDs
the rows carried and the rows that could not be read."""

from __future__ import annotations

import re
from collections import deque
from dataclasses import dataclass

import numpy as np
import pyarrow as pa

import geoweave
import geoweave_columns as gc

from .errors import RunError

# Columns the chain adds beside the geometry for its own use, and drops again:
# a copy of the WKB read in full as WKT (WKB that needs no rewriting is copied
# by the column functions unread) and the SRIDs its rows carried.
CHECK = "\x00geoweave check"
_HEX = re.compile(r"[0-9A-Fa-f]+")
_ROW_NOTE = re.compile(r"row (\d+)")


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


# The per-batch work below reads Arrow buffers with numpy and builds arrays
# from buffers: making a pyarrow array or scalar from Python values imports
# pandas where it is installed, half a second of every run.

def valid_mask(column: pa.Array) -> np.ndarray:
    """Which rows of `column` are not null, as a numpy bool array."""
    n = len(column)
    if not column.null_count:
        return np.ones(n, bool)
    if column.null_count == n or column.buffers()[0] is None:
        return np.zeros(n, bool)
    bits = np.unpackbits(np.frombuffer(column.buffers()[0], np.uint8), bitorder="little")
    return bits[column.offset:column.offset + n].astype(bool)


def with_nulls(column: pa.Array, keep: np.ndarray) -> pa.Array:
    """`column` (binary or text) with the rows where `keep` is False made null."""
    keep = keep & valid_mask(column)
    bits = np.concatenate([np.zeros(column.offset, bool), keep])
    bitmap = pa.py_buffer(np.packbits(bits, bitorder="little"))
    return pa.Array.from_buffers(column.type, len(column), [bitmap, *column.buffers()[1:]],
                                 offset=column.offset)


def first_true(mask: np.ndarray) -> int:
    return int(np.argmax(mask))


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
    return with_nulls(column, ~blank)


def output_type(enc: Encoding, input_type: pa.DataType) -> pa.DataType:
    large = pa.types.is_large_string(input_type) or pa.types.is_large_binary(input_type)
    if enc.to == "wkb":
        return pa.large_binary() if large else pa.binary()
    return pa.large_string() if large else pa.string()


def looks_hex(column: pa.Array) -> bool:
    """Whether a text column holds hex WKB rather than WKT, as its first value says."""
    valid = valid_mask(column)
    if not valid.any():
        return False
    return bool(_HEX.fullmatch(column[first_true(valid)].as_py().strip()))


def _mapped(reader: pa.RecordBatchReader, fn, schema: pa.Schema) -> pa.RecordBatchReader:
    return pa.RecordBatchReader.from_batches(schema, (fn(b) for b in reader))


def _with_check(reader: pa.RecordBatchReader, index: int) -> pa.RecordBatchReader:
    """`reader` with a copy of its WKB column `index` appended as CHECK (no data copied)."""
    field = reader.schema.field(index)
    schema = reader.schema.append(pa.field(CHECK, field.type))
    return _mapped(reader, lambda b: b.append_column(CHECK, b.column(index)), schema)


def chain(reader: pa.RecordBatchReader, column: str, enc: Encoding, hex_text: bool,
          threads: int) -> pa.RecordBatchReader:
    """The lazy stream of `reader`'s batches with `column` converted, each step
    on the column module's worker threads, batch by batch, in order.

    Beside the converted column, a batch may carry `<column>_srid` right after
    it (the rows' SRIDs, for ISO WKB) and CHECK with its own `CHECK_srid` at
    the end; `Batches` reads and drops them."""
    opts = {"errors": enc.errors, "threads": threads, "column": column}
    index = reader.schema.get_field_index(column)
    text = is_text(reader.schema.field(index).type)
    if enc.to == "wkt":
        # Text is read and written again (canonical WKT): WKT passed through as
        # it came would skip the check that every row is a geometry.
        return gc.to_wkt(reader, enc.srid, text, **opts)
    if text and not hex_text:
        # WKT is parsed in full on its way to WKB.
        if enc.iso:
            stream = gc.wkt_to_wkb_split_srid(reader, flavor="iso", **opts)
            if enc.to == "hex":
                stream = gc.to_hex_wkb(stream, False, flavor="iso", **opts)
            return stream
        stream = gc.wkt_to_wkb(reader, enc.srid, **opts)
        return gc.to_hex_wkb(stream, **opts) if enc.to == "hex" else stream
    if text:
        reader = gc.to_wkb(reader, **opts)  # hex decoded, not yet read
    check = {**opts, "column": CHECK}
    if enc.iso:
        stream = gc.wkb_to_wkt_split_srid(_with_check(reader, index), **check)
        stream = gc.to_wkb(stream, False, flavor="iso", **opts)
        return gc.to_hex_wkb(stream, False, flavor="iso", **opts) if enc.to == "hex" \
            else stream
    stream = gc.wkb_to_wkt(_with_check(reader, index), False, **check)
    stream = gc.to_wkb(stream, enc.srid, **opts)
    return gc.to_hex_wkb(stream, **opts) if enc.to == "hex" else stream


class Batches:
    """The converted batches of a chain as (geometry column, SRIDs or None,
    rows turned into null, first of them or None, first row), with the
    chain's own columns gone: bad rows found by the CHECK column made null,
    and a failed row's ValueError turned into a RunError naming its row."""

    def __init__(self, stream: pa.RecordBatchReader, column: str, inputs: deque):
        self.stream, self.column, self.inputs = stream, column, inputs
        names = stream.schema.names
        self.index = names.index(column)
        srid_name = f"{column}_srid"
        self.srids = self.index + 1 if self.index + 1 < len(names) \
            and names[self.index + 1] == srid_name else None
        self.check = names.index(CHECK) if CHECK in names else None
        self.check_srids = self.check + 1 if self.check is not None \
            and self.check + 1 < len(names) else None
        self.rows = 0

    def __iter__(self):
        stream = iter(self.stream)
        while True:
            try:
                batch = next(stream)
            except StopIteration:
                return
            except ValueError as e:
                raise _located(e, self.column) from None
            yield self._split(batch)

    def _split(self, batch):
        data = batch.column(self.index)
        before = self.inputs.popleft()  # the column as read, for its nulls
        srids = None
        if self.check is not None:
            check = batch.column(self.check)
            if check.null_count > before.null_count:
                data = with_nulls(data, valid_mask(check))
            if self.check_srids is not None:
                srids = batch.column(self.check_srids)
        elif self.srids is not None:
            srids = batch.column(self.srids)
        first_row, self.rows = self.rows, self.rows + batch.num_rows
        nulled = data.null_count - before.null_count
        first_nulled = None
        if nulled:
            first_nulled = first_row + first_true(valid_mask(before) & ~valid_mask(data))
        columns = [c for i, c in enumerate(batch.columns)
                   if i != self.srids and (self.check is None or i < self.check)]
        columns[self.index] = data
        return columns, srids, nulled, first_nulled, first_row


def _where(row, name):
    return f"row {row} (data rows counted from 0), column {name!r}"


def _located(error: ValueError, name: str) -> BaseException:
    """A conversion's error for a row of the stream as the tool reports it."""
    for note in getattr(error, "__notes__", None) or ():
        match = _ROW_NOTE.match(note) if isinstance(note, str) else None
        if match:
            return RunError(f"{_where(int(match[1]), name)}: {error}")
    if isinstance(error, pa.ArrowException):
        return error  # the reader's or writer's own, reported as such
    return RunError(f"column {name!r}: {error}")


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
