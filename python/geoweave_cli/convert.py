"""`geoweave convert`: the input's batches through the column module's lazy
streams (converted on their worker threads while the next batches are read
and the last ones written), then the output's `geo` metadata and CRS."""

from __future__ import annotations

import itertools
import os
from collections import deque

import numpy as np
import pyarrow as pa

from . import formats, geo, waiting
from .encode import (Batches, Encoding, blank_to_null, chain, first_true, is_binary, is_text,
                     looks_hex, output_type, valid_mask)
from .errors import RunError, UsageError
from .output import AtomicOutput
from .progress import Progress

_MISSING = object()  # a GeoParquet column without "crs": OGC:CRS84 by that format's rule


def _cpu_count():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


class _Srids:
    """The SRIDs seen so far in the rows, with their counts and first rows."""

    def __init__(self, column):
        self.column = column
        self.counts: dict[int | None, int] = {}
        self.first: dict[int | None, int] = {}

    def add(self, srids: pa.Array, result: pa.Array, first_row: int):
        written = valid_mask(result)
        has = valid_mask(srids)
        none = written & ~has
        if none.any():
            self._count(None, int(np.count_nonzero(none)), first_row + first_true(none))
        some = written & has
        if not some.any():
            return
        rows = np.flatnonzero(some)
        values = np.frombuffer(srids.buffers()[1], np.int32, count=len(srids),
                               offset=srids.offset * 4)[rows]
        # Nearly always one SRID: counted by a comparison, the rest sorted.
        same = values == values[0]
        self._count(int(values[0]), int(np.count_nonzero(same)), first_row + int(rows[0]))
        if not same.all():
            rest, where = values[~same], rows[~same]
            keys, at, counts = np.unique(rest, return_index=True, return_counts=True)
            for key, i, count in zip(keys, at, counts, strict=True):
                self._count(int(key), int(count), first_row + int(where[i]))

    def _count(self, key, count, first):
        if key not in self.first:
            self.first[key] = first
        self.counts[key] = self.counts.get(key, 0) + count

    def describe(self):
        return ", ".join(f"{'no SRID' if k is None else f'SRID {k}'} in {_rows(n)} "
                         f"(first at row {self.first[k]})" for k, n in self.counts.items())


def _rows(n: int) -> str:
    return f"{n:,} row" if n == 1 else f"{n:,} rows"


def _parse_srid(value: str | None):
    if value is None or value == "keep":
        return "keep"
    if value == "strip":
        return "strip"
    try:
        srid = int(value)
    except ValueError:
        raise UsageError(f"--srid takes a number, keep or strip, not {value!r}") from None
    if not -2**31 <= srid < 2**31:
        raise UsageError(f"--srid {value} is outside the signed 32-bit range")
    return "strip" if srid <= 0 else srid


def run(args, stderr) -> int:
    in_fmt, out_fmt = formats.format_of(args.input), formats.format_of(args.output)
    to = args.to or ("wkt" if out_fmt.kind == "csv" else "wkb")
    if to == "wkb" and out_fmt.kind == "csv":
        raise UsageError("WKB is binary and cannot go into a CSV file: use --to hex or --to wkt")
    if to == "wkt" and args.flavor:
        raise UsageError("--flavor applies to --to wkb and --to hex only")
    flavor = args.flavor or ("iso" if to == "wkb" else "extended")
    srid_arg = _parse_srid(args.srid)
    geoparquet = to == "wkb" and flavor == "iso"
    if flavor == "iso" and not geoparquet and isinstance(srid_arg, int):
        raise UsageError("ISO WKB has no place for an SRID: --srid N needs --flavor extended")
    if args.threads is not None and args.threads < 1:
        raise UsageError("--threads must be at least 1")
    threads = args.threads or _cpu_count()
    if args.threads:
        pa.set_cpu_count(threads)
    if args.input != "-" and not os.path.exists(args.input):
        raise RunError(f"{args.input}: no such file")

    source, column = formats.open_source(
        args.input, in_fmt, all_text=in_fmt.kind == "csv" and out_fmt.kind == "csv",
        only_geometry=False,
        choose_column=lambda names, meta: geo.choose_column(names, meta, args.column))
    try:
        return _convert(args, stderr, source, column, in_fmt, out_fmt, to, flavor, srid_arg,
                        geoparquet, threads)
    finally:
        source.close()


def _convert(args, stderr, source, column, in_fmt, out_fmt, to, flavor, srid_arg, geoparquet,
             threads):
    schema = source.schema
    index = schema.get_field_index(column)
    field = schema.field(index)
    if not (is_text(field.type) or is_binary(field.type)):
        raise RunError(f"column {column!r} holds {field.type}, not WKB (binary) nor WKT or "
                       "hex WKB (text)")
    if out_fmt.kind == "csv":
        binary = [f.name for f in schema if f.name != column and is_binary(f.type)]
        if binary:
            raise RunError(f"column {binary[0]!r} holds binary data, which a CSV file cannot "
                           "hold: write Parquet or Arrow instead")
    in_geo = geo.geo_metadata(schema)
    in_entry = (in_geo or {}).get("columns", {}).get(column)
    if isinstance(in_entry, dict):
        input_crs = in_entry.get("crs", _MISSING)
    else:
        in_entry, input_crs = None, None
    crs_srid = geo.epsg_of(input_crs)
    if srid_arg == "strip":
        row_srid = False
    elif srid_arg == "keep":
        row_srid = crs_srid  # None keeps what the rows carry
    else:
        row_srid = srid_arg
    enc = Encoding(to, flavor == "iso", row_srid, args.errors)

    out_field = pa.field(column, output_type(enc, field.type), nullable=True)
    metadata = {k: v for k, v in (schema.metadata or {}).items() if k != b"geo"}
    out_schema = schema.set(index, out_field).with_metadata(metadata)

    srids = _Srids(column)
    types: dict = {}
    state = {"rows": 0, "nulled": 0, "first_nulled": None, "sink": None, "pending": []}
    blank_is_null = in_fmt.kind == "csv"
    inputs: deque = deque()  # the geometry column of each batch read, until converted
    hex_text = False

    def prepared(batches):
        for batch in batches:
            if not batch.num_rows:
                continue
            if blank_is_null:
                batch = batch.set_column(index, field, blank_to_null(batch.column(index)))
            inputs.append(batch.column(index))
            yield batch

    batches = waiting.iterate(source.batches)
    if to != "wkt" and is_text(field.type):
        # Whether the text is WKT or hex WKB, as its first value says.
        first = next(batches, None)
        if first is not None:
            hex_text = looks_hex(first.column(index))
            batches = itertools.chain([first], batches)
    reader = pa.RecordBatchReader.from_batches(schema, prepared(batches))
    converted = Batches(chain(reader, column, enc, hex_text, max(1, threads // 2)),
                        column, inputs)

    def crs_now():
        """The CRS of the output column as the rows seen so far decide it."""
        if srid_arg == "strip":
            return None
        if isinstance(srid_arg, int):
            return geo.projjson(srid_arg)
        known = [k for k in srids.counts if k is not None]
        if not known:
            return input_crs
        if known[0] == crs_srid:
            return input_crs
        return geo.projjson(known[0])

    def geo_metadata(geometry_types):
        entry = dict(in_entry or {})
        entry["encoding"] = "WKB"
        entry["geometry_types"] = geometry_types
        crs = crs_now()
        if crs is _MISSING:
            entry.pop("crs", None)
        else:
            if crs is not input_crs:
                entry.pop("epoch", None)
            entry["crs"] = crs
        out = dict(in_geo) if in_geo else {}
        out["version"] = geo.GEOPARQUET_VERSION
        out["columns"] = dict(out.get("columns", {}))
        out["columns"][column] = entry
        if out.get("primary_column") not in out["columns"]:
            out["primary_column"] = column
        return geo.geo_json(out)

    def other_geo():
        """The input's geo metadata without this column, which is no longer WKB."""
        if not in_geo:
            return None
        out = dict(in_geo)
        out["columns"] = {k: v for k, v in in_geo["columns"].items() if k != column}
        if not out["columns"]:
            return None
        if out.get("primary_column") not in out["columns"]:
            out["primary_column"] = next(iter(out["columns"]))
        return geo.geo_json(out)

    output = AtomicOutput(args.output)
    progress = Progress.for_terminal(args.quiet, source.total_bytes)

    def open_sink():
        final = dict(metadata)
        if geoparquet and out_fmt.kind == "arrow":
            final[b"geo"] = geo_metadata([]).encode()  # types unknown until the end
        elif not geoparquet and (kept := other_geo()):
            final[b"geo"] = kept.encode()
        sink_schema = out_schema.with_metadata(final)
        if out_fmt.kind == "parquet":
            target = output.path
        elif output.stdout:
            target = output.open_binary()
        else:
            target = pa.OSFile(output.path, "wb")
        return formats.Sink(out_fmt, target, sink_schema, column)

    def consume(item):
        columns, row_srids, nulled, first_nulled, first_row = item
        result = columns[index]
        if result.type != out_field.type:
            result = columns[index] = result.cast(out_field.type)
        batch = pa.RecordBatch.from_arrays(columns, schema=out_schema)
        if geoparquet:
            geo.add_counts(types, geo.type_counts(result))
        if row_srids is not None:
            srids.add(row_srids, batch.column(index), first_row)
            if srid_arg == "keep" and (len(srids.counts) > 1 or (
                    not geoparquet and any(k is not None for k in srids.counts))):
                if geoparquet:
                    raise RunError(f"the rows of column {column!r} carry several SRIDs "
                                   f"({srids.describe()}): pass --srid N to write them all as "
                                   "EPSG:N, or --srid strip to write no CRS")
                raise RunError(f"ISO WKB has no place for an SRID, and the rows of column "
                               f"{column!r} carry one ({srids.describe()}): pass --srid strip "
                               "to drop them, or --flavor extended")
        state["nulled"] += nulled
        if first_nulled is not None and state["first_nulled"] is None:
            state["first_nulled"] = first_nulled
        if state["sink"] is None:
            # An Arrow file states its CRS in the schema at its start: wait for
            # the first rows that say which SRID they carry.
            if geoparquet and out_fmt.kind == "arrow" and srid_arg == "keep" \
                    and not srids.counts:
                state["pending"].append(batch)
                return
            state["sink"] = open_sink()
            for held in state["pending"]:
                state["sink"].write(held)
            state["pending"] = []
        state["sink"].write(batch)
        state["rows"] += batch.num_rows
        progress.update(state["rows"], source.done_bytes(state["rows"]))

    try:
        for item in converted:
            consume(item)
        if state["sink"] is None:
            state["sink"] = open_sink()
            for held in state["pending"]:
                state["sink"].write(held)
        extra = None
        if geoparquet and out_fmt.kind == "parquet":
            names = [geo.type_name(b, d) for b, d in sorted(types, key=lambda k: (k[1], k[0]))]
            extra = {"geo": geo_metadata(names)}
        state["sink"].close(extra)
        output.commit()
    except BaseException:
        progress.finish()
        output.discard()
        raise
    progress.finish()
    if args.errors == "null" and state["nulled"]:
        stderr.write(f"geoweave: {_rows(state['nulled'])} of column {column!r} could not be "
                     f"converted and written as null (the first is row "
                     f"{state['first_nulled']}, data rows counted from 0)\n")
    return 0
