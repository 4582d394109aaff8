"""File formats by extension: readers that yield record batches in order and
writers that take them, over pyarrow's CSV, Parquet and IPC support."""

from __future__ import annotations

import base64
import csv
import io
import os
import sys
from dataclasses import dataclass, field

import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

from .errors import RunError as InputError, UsageError
from . import waiting
from .geo import geo_metadata

# Rows per batch read from Parquet and Arrow files, and bytes per CSV block: a
# few such batches are all the memory a conversion holds at once.
BATCH_ROWS = 65536
CSV_BLOCK = 1 << 20
# Rows gathered into one Parquet row group (DuckDB and GDAL write about as many).
ROW_GROUP_ROWS = 131072

_COMPRESSION = {".gz": "gzip", ".zst": "zstd", ".bz2": "bz2", ".lz4": "lz4"}


@dataclass(frozen=True)
class Format:
    kind: str                       # "parquet", "csv" or "arrow"
    delimiter: str = ","
    compression: str | None = None  # a pyarrow codec name for compressed CSV
    stdio: bool = False             # "-": CSV on stdin or stdout


def format_of(path: str) -> Format:
    """The format a file name asks for; UsageError for one the tool does not know."""
    if path == "-":
        return Format("csv", stdio=True)
    name = os.path.basename(path).lower()
    stem, ext = os.path.splitext(name)
    compression = _COMPRESSION.get(ext)
    if compression:
        stem, ext = os.path.splitext(stem)
        if ext not in (".csv", ".tsv"):
            raise UsageError(f"{path}: compression is supported for .csv and .tsv files only")
        if not pa.Codec.is_available(compression):
            raise UsageError(f"{path}: this pyarrow cannot handle {compression} compression")
    if ext in (".parquet", ".geoparquet"):
        return Format("parquet")
    if ext in (".arrow", ".feather", ".ipc", ".arrows"):
        return Format("arrow")
    if ext == ".csv":
        return Format("csv", ",", compression)
    if ext == ".tsv":
        return Format("csv", "\t", compression)
    raise UsageError(f"{path}: unknown file type (expected .parquet, .geoparquet, .csv, .tsv, "
                     ".csv.gz, .csv.zst, .arrow, .feather, or - for CSV on stdin/stdout)")


# ---------------------------------------------------------------- reading

@dataclass
class Source:
    """An open input: its schema, its batches in file order, and how far it has got."""
    schema: pa.Schema
    batches: object                   # iterator of RecordBatch
    total_bytes: int | None           # the file's size, None for stdin
    total_rows: int | None            # known for Parquet files
    position: object = None           # () -> bytes read so far (CSV), else None
    closers: list = field(default_factory=list)

    def done_bytes(self, rows: int) -> int | None:
        """Bytes of the input read so far (estimated from the rows where the
        reader does not say), for the progress display; None if unknown."""
        if self.position is not None:
            try:
                return self.position()
            except (OSError, ValueError):
                return None
        if self.total_rows and self.total_bytes:
            return self.total_bytes * rows // self.total_rows
        return None

    def close(self):
        for close in self.closers:
            try:
                close()
            except Exception:  # noqa: BLE001 - closing after an error must not mask it
                pass


class _Replay(io.RawIOBase):
    """A stream that gives back the bytes already peeked at, then the rest."""

    def __init__(self, head: bytes, rest):
        self._head, self._rest = head, rest

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._head:
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        data = self._rest.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)


def _header(head: bytes, delimiter: str, path: str) -> list[str]:
    """The column names in a CSV file's first record."""
    text = head.decode("utf-8", errors="replace")
    if text.startswith("\ufeff"):
        text = text[1:]
    rows = csv.reader(io.StringIO(text), delimiter=delimiter)
    try:
        names = next(rows)
    except StopIteration:
        raise InputError(f"{path}: the file is empty (a CSV file needs a header line)") from None
    return names


def open_source(path: str, fmt: Format, *, choose_column, only_geometry: bool,
                all_text: bool) -> tuple[Source, str]:
    """Opens `path` and picks its geometry column with `choose_column(names, geo)`.

    Returns the Source and the column name. only_geometry reads nothing but that
    column (for info); all_text reads every CSV column as text, so that a CSV
    written back out has the same text as the one read."""
    if fmt.kind == "parquet":
        return _open_parquet(path, choose_column, only_geometry)
    if fmt.kind == "arrow":
        return _open_arrow(path, choose_column, only_geometry)
    return _open_csv(path, fmt, choose_column, only_geometry, all_text)


def _open_parquet(path, choose_column, only_geometry):
    try:
        # Read, not mapped: pages of a mapped file would count as the
        # process's memory, growing with the file.
        file = pq.ParquetFile(path, memory_map=False)
    except (OSError, pa.ArrowException) as e:
        raise InputError(f"{path}: not a readable Parquet file ({e})") from None
    schema = file.schema_arrow
    column = choose_column(schema.names, geo_metadata(schema))
    columns = [column] if only_geometry else None
    batches = file.iter_batches(batch_size=BATCH_ROWS, columns=columns, use_threads=True)
    if only_geometry:
        schema = pa.schema([schema.field(column)], metadata=schema.metadata)
    return Source(schema, batches, os.path.getsize(path), file.metadata.num_rows,
                  closers=[file.close]), column


def _open_arrow(path, choose_column, only_geometry):
    try:
        source = pa.memory_map(path)
    except (OSError, pa.ArrowException) as e:
        raise InputError(f"{path}: cannot open ({e})") from None
    try:
        reader = ipc.open_file(source)
        count = reader.num_record_batches
        done = [0]

        def in_order():
            for i in range(count):
                done[0] = i + 1
                yield reader.get_batch(i)

        batches = in_order()
        schema = reader.schema
        size = os.path.getsize(path)
        position = lambda: size * done[0] // max(count, 1)  # noqa: E731 - by batches read
    except pa.ArrowInvalid:
        source.seek(0)
        try:
            reader = ipc.open_stream(source)
        except pa.ArrowInvalid as e:
            source.close()
            raise InputError(f"{path}: not an Arrow IPC file or stream ({e})") from None
        schema, batches, position = reader.schema, iter(reader), None
    column = choose_column(schema.names, geo_metadata(schema))
    if only_geometry:
        index = schema.get_field_index(column)
        schema = pa.schema([schema.field(index)], metadata=schema.metadata)
        batches = (pa.record_batch([b.column(index)], schema=schema) for b in batches)
    return Source(schema, batches, os.path.getsize(path), None, position,
                  closers=[source.close]), column


def _first_line(stream) -> bytes:
    """The start of a stream, read until it holds the first line break (or the end)."""
    head = stream.read(1 << 16)
    while head and b"\n" not in head:
        more = stream.read(1 << 16)
        if not more:
            break
        head += more
    return head


def _open_csv(path, fmt, choose_column, only_geometry, all_text):
    if fmt.stdio:
        raw = sys.stdin.buffer
        head = _first_line(raw)
        stream = io.BufferedReader(_Replay(head, raw), 1 << 20)
        total, position, closers = None, None, []
    else:
        try:
            raw = pa.OSFile(path, "rb")
        except (OSError, pa.ArrowException) as e:
            raise InputError(f"{path}: cannot open ({e})") from None
        stream = pa.CompressedInputStream(raw, fmt.compression) if fmt.compression else raw
        head = _first_line(stream)
        stream.close()
        raw = pa.OSFile(path, "rb")
        stream = pa.CompressedInputStream(raw, fmt.compression) if fmt.compression else raw
        total, position, closers = os.path.getsize(path), raw.tell, [stream.close, raw.close]
    names = _header(head, fmt.delimiter, path)
    column = choose_column(names, None)
    types = {name: pa.string() for name in names} if all_text else {column: pa.string()}
    convert = pacsv.ConvertOptions(column_types=types, strings_can_be_null=False,
                                   include_columns=[column] if only_geometry else None)
    try:
        reader = waiting.call(
            pacsv.open_csv, stream,
            pacsv.ReadOptions(block_size=CSV_BLOCK, use_threads=True),
            pacsv.ParseOptions(delimiter=fmt.delimiter), convert)
    except pa.ArrowInvalid as e:
        raise InputError(f"{path}: not readable as CSV ({e})") from None
    return Source(reader.schema, _csv_batches(reader, path), total, None, position,
                  closers), column


def _csv_batches(reader, path):
    while True:
        try:
            batch = reader.read_next_batch()
        except StopIteration:
            return
        except pa.ArrowInvalid as e:
            raise InputError(f"{path}: {e}") from None
        yield batch


# ---------------------------------------------------------------- writing

class Sink:
    """Writes batches of one schema into an open binary file (or a path for Parquet)."""

    def __init__(self, fmt: Format, target, schema: pa.Schema, geometry: str):
        self.fmt, self.schema = fmt, schema
        self._pending, self._pending_rows = [], 0
        self._stream = None
        if fmt.kind == "parquet":
            # Geometries are nearly all distinct and their bytes have no useful
            # order: a dictionary attempt and min/max statistics on them cost a
            # third of the writing time and give readers nothing. Numbers are
            # written plain too: a dictionary of ids or measures (nearly all
            # distinct) is hashed in full before it is given up, which cost
            # more than the geometry column itself; text columns (names,
            # categories) keep theirs.
            others = [f.name for f in schema if f.name != geometry]
            texts = [f.name for f in schema if f.name != geometry and (
                pa.types.is_string(f.type) or pa.types.is_large_string(f.type)
                or pa.types.is_dictionary(f.type))]
            self._writer = pq.ParquetWriter(target, schema, use_dictionary=texts,
                                            write_statistics=others)
        elif fmt.kind == "arrow":
            self._writer = ipc.new_file(target, schema)
        else:
            stream = target
            if fmt.compression:
                self._stream = stream = pa.CompressedOutputStream(target, fmt.compression)
            self._writer = pacsv.CSVWriter(stream, schema, write_options=pacsv.WriteOptions(
                delimiter=fmt.delimiter))

    def write(self, batch: pa.RecordBatch):
        if self.fmt.kind != "parquet":
            self._writer.write_batch(batch)
            return
        # Parquet: one row group per few batches, not one per batch.
        self._pending.append(batch)
        self._pending_rows += batch.num_rows
        if self._pending_rows >= ROW_GROUP_ROWS:
            self._flush()

    def _flush(self):
        if self._pending:
            self._writer.write_table(pa.Table.from_batches(self._pending, self.schema))
            self._pending, self._pending_rows = [], 0

    def close(self, metadata: dict[str, str] | None = None):
        if self.fmt.kind == "parquet":
            self._flush()
            if metadata:
                # Known only now (the geometry types of every row): the footer's
                # key-value metadata and the Arrow schema stored beside it, which
                # pyarrow readers take their metadata from, both get it.
                final = self.schema.with_metadata({**(self.schema.metadata or {}), **metadata})
                stored = base64.b64encode(final.serialize()).decode()
                self._writer.add_key_value_metadata({**metadata, "ARROW:schema": stored})
        self._writer.close()
        if self._stream is not None:
            self._stream.close()
