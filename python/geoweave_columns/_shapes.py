# mypy: ignore-errors
# (type checkers read the package's __init__.pyi; this module is internal)
"""Taking the caller's object apart around the native kernel and putting it back.

The native functions convert one column: an Arrow array or stream of one
binary or string type, a numpy array, a pandas Series or an iterable. Around
them this module handles what users hold instead: pyarrow Tables, RecordBatches
and RecordBatchReaders (one named column converted, everything else kept),
Polars DataFrames, DuckDB relations, other Arrow producers, Arrow-backed pandas
Series; it keeps the input's layout (large, view, chunk lengths) and keeps
GeoArrow and GeoParquet metadata true to the converted values.

Libraries are only looked up in sys.modules: an object of a library the caller
never imported cannot be passed in. pyarrow is imported when a table or a
non-pyarrow producer needs it.
"""

import collections
import concurrent.futures
import json
import operator
import re
import sys

from . import _native

# What each function writes: WKT text, WKB, hex text, SRIDs alone, or the
# input's own form (the header functions).
OUTPUT = {
    "wkb_to_wkt": "text", "wkb_to_wkt_split_srid": "text", "wkt_to_wkb": "binary",
    "wkt_to_wkb_split_srid": "binary", "wkt_to_hex_wkb": "hex", "hex_wkb_to_wkt": "text",
    "to_wkb": "binary", "to_wkt": "text", "to_hex_wkb": "hex", "wkb_header_srid": "srid",
    "to_wkb_no_srid_header": "same", "to_ewkb_header": "same",
}
SPLIT = {"wkb_to_wkt_split_srid", "wkt_to_wkb_split_srid"}
# The functions whose first argument after the column is the srid.
TAKES_SRID = {"wkb_to_wkt", "wkt_to_wkb", "wkt_to_hex_wkb", "hex_wkb_to_wkt", "to_wkb",
              "to_wkt", "to_hex_wkb", "to_ewkb_header"}
PARAMETER = {"wkb_to_wkt": "wkb", "wkb_to_wkt_split_srid": "wkb", "wkt_to_wkb": "wkt",
             "wkt_to_wkb_split_srid": "wkt", "wkt_to_hex_wkb": "wkt", "hex_wkb_to_wkt": "hex_wkb"}

# Exact types the native functions take and give back as the caller wants
# them; numpy.ndarray and polars.Series join once seen (see convert).
DIRECT_TYPES = {list, tuple, type(None)}

# Batches of a stream converted ahead of the one being read.
PREFETCH = 2

EXTENSION_NAME = "ARROW:extension:name"
EXTENSION_METADATA = "ARROW:extension:metadata"
GEOARROW = {"geoarrow.wkb", "geoarrow.wkt"}


def _loaded(name):
    return sys.modules.get(name)


_PYARROW_MISSING = False


def _pyarrow_if_installed():
    """pyarrow, imported if it is installed and not yet imported; else None.
    A failed import searches the whole of sys.path again, tens of
    microseconds on every call of a process without pyarrow, so its failure
    is remembered (an import of pyarrow made later by the caller is still
    seen in sys.modules)."""
    global _PYARROW_MISSING
    if "pyarrow" in sys.modules:  # None there: its import is blocked, for now
        return sys.modules["pyarrow"]
    if _PYARROW_MISSING:
        return None
    try:
        import pyarrow as pa
    except ModuleNotFoundError as e:
        _PYARROW_MISSING = e.name == "pyarrow"
        return None
    except ImportError:
        return None
    return pa


def _is(obj, module, attribute):
    m = sys.modules.get(module)
    if m is None:
        return False
    t = getattr(m, attribute, None)
    return isinstance(t, type) and isinstance(obj, t)


def _pyarrow(name, what):
    pa = _pyarrow_if_installed()
    if pa is None:
        raise TypeError(f"{name}(): converting {what} needs pyarrow, which is not installed")
    return pa


def convert(name, obj, args, errors, threads, column, flavor):
    kw = {"errors": errors, "threads": threads}
    if flavor != "extended":
        kw["flavor"] = flavor
    fn = getattr(_native, name)
    if obj is None:
        return fn(None, *args, **kw)
    pa = _loaded("pyarrow")
    if pa is not None:
        if isinstance(obj, (pa.Array, pa.ChunkedArray)):
            _no_column(name, obj, column)
            return _pyarrow_array(pa, name, obj, args, kw)
        if isinstance(obj, (pa.Table, pa.RecordBatch)):
            _check(fn, args, kw)
            return convert_table(pa, name, obj, column, args, kw)
        if isinstance(obj, pa.RecordBatchReader):
            return convert_stream(pa, name, obj, column, args, kw)
    if _is(obj, "pandas", "Series"):
        _no_column(name, obj, column)
        return _pandas(name, obj, args, kw)
    if _is(obj, "polars", "Series"):
        _no_column(name, obj, column)
        DIRECT_TYPES.add(type(obj))
        return fn(obj, *args, **kw)
    if _is(obj, "polars", "DataFrame"):
        _check(fn, args, kw)
        pa = _pyarrow(name, "a Polars DataFrame")
        polars = _loaded("polars")
        return polars.from_arrow(convert_table(pa, name, obj.to_arrow(), column, args, kw))
    if _is(obj, "duckdb", "DuckDBPyRelation"):
        # A relation is a query: its rows come back as a pyarrow Table, which
        # DuckDB (from_arrow, or a replacement scan by name), Polars and pyarrow
        # read as they stand.
        _check(fn, args, kw)
        pa = _pyarrow(name, "a DuckDB relation")
        return convert_table(pa, name, pa.table(obj), column, args, kw)
    if _is(obj, "numpy", "ndarray"):
        _no_column(name, obj, column)
        if type(obj) is _loaded("numpy").ndarray:
            DIRECT_TYPES.add(type(obj))
        return fn(obj, *args, **kw)
    if hasattr(obj, "__arrow_c_array__") or hasattr(obj, "__arrow_c_stream__"):
        return _producer(name, fn, obj, column, args, kw)
    _no_column(name, obj, column)
    return fn(obj, *args, **kw)


def _check(fn, args, kw):
    """Checks the whole call's arguments (srid, errors, threads, ...) as the
    native function does, before a table is taken apart."""
    fn(None, *args, **kw)


def _no_column(name, obj, column):
    if column is not None:
        raise TypeError(f"{name}(): column= names a column of a table, record batch or stream; "
                        f"'{type(obj).__name__}' is a single column")


# ------------------------------------------------------------ pyarrow ----

def _storage(pa, values):
    """(storage values, extension name, extension metadata) of a pyarrow
    Array or ChunkedArray whose type may be a registered extension type."""
    typ = values.type
    if isinstance(typ, pa.ExtensionType):
        meta = typ.__arrow_ext_serialize__()
        if isinstance(values, pa.ChunkedArray):
            storage = pa.chunked_array([c.storage for c in values.chunks], typ.storage_type)
        else:
            storage = values.storage
        return storage, typ.extension_name, meta
    return values, None, None


def _family(pa, typ):
    t = pa.types
    if t.is_string(typ) or t.is_large_string(typ) or t.is_string_view(typ):
        return "text"
    if t.is_binary(typ) or t.is_large_binary(typ) or t.is_binary_view(typ):
        return "binary"
    return None


def _relayout(pa, values, input_type):
    """The result in the input's offsets layout: large in, large out; views in,
    views out. Plain 32-bit results are what the kernel writes."""
    family = _family(pa, values.type)
    t = pa.types
    if family is None:
        return values
    if t.is_large_binary(input_type) or t.is_large_string(input_type):
        target = pa.large_string() if family == "text" else pa.large_binary()
    elif t.is_binary_view(input_type) or t.is_string_view(input_type):
        target = pa.string_view() if family == "text" else pa.binary_view()
    else:
        return values
    return values if values.type == target else values.cast(target)


def _rechunk(pa, values, lengths):
    """`values` (a ChunkedArray of the same length) cut at the input's chunk
    lengths, without copying."""
    if [len(c) for c in values.chunks] == lengths:
        return values
    if values.num_chunks == 1:
        whole, chunks, start = values.chunk(0), [], 0
        for n in lengths:
            chunks.append(whole.slice(start, n))
            start += n
        return pa.chunked_array(chunks, values.type)
    chunks, start = [], 0
    for n in lengths:
        piece = values.slice(start, n)
        start += n
        chunks.extend(piece.chunks if piece.num_chunks else [pa.array([], values.type)])
    return pa.chunked_array(chunks, values.type)


def _result_extension(name, extension, family):
    """The GeoArrow extension of a result whose input had `extension`."""
    if extension not in GEOARROW:
        return None
    out = OUTPUT[name]
    if out == "text":
        return "geoarrow.wkt"
    if out == "binary" or (out == "same" and family == "binary"):
        return "geoarrow.wkb"
    return None


def srid_set(name, args):
    """The SRID an srid argument sets on every row: an int, or None when rows
    keep or lose theirs (None, False) or the function takes none."""
    if name not in TAKES_SRID or not args:
        return None
    srid = args[0]
    if srid is None or isinstance(srid, bool):
        return None
    try:
        return operator.index(srid)
    except TypeError:
        return None


def _geoarrow_metadata(meta, srid):
    """GeoArrow extension metadata with the CRS an srid argument sets: an
    authority code EPSG:N, or none for SRID 0 or less (unknown)."""
    if srid is None:
        return meta
    try:
        parsed = json.loads(meta) if meta else {}
    except ValueError:
        parsed = {}
    if not isinstance(parsed, dict):
        parsed = {}
    parsed.pop("crs", None)
    parsed.pop("crs_type", None)
    if srid > 0:
        parsed["crs"] = f"EPSG:{srid}"
        parsed["crs_type"] = "authority_code"
    return json.dumps(parsed, separators=(",", ":")).encode() if parsed else b""


def _as_bytes(x):
    return x.encode() if isinstance(x, str) else (x or b"")


def _field_extension(pa, field):
    """Extension name and metadata a field carries in its metadata (an
    extension type pyarrow does not know)."""
    meta = field.metadata or {}
    name = meta.get(EXTENSION_NAME.encode())
    return (name.decode(errors="replace") if name else None), meta.get(EXTENSION_METADATA.encode())


def _with_extension(pa, values, extension, meta):
    """`values` as the extension type registered under `extension` when pyarrow
    knows one; otherwise the plain values (the caller keeps the metadata on a
    field where there is one)."""
    if extension is None:
        return values
    field = pa.field("", values.type, metadata={EXTENSION_NAME: extension,
                                                EXTENSION_METADATA: _as_bytes(meta)})

    def one(array):
        _, capsule = array.__arrow_c_array__()
        return pa.Array._import_from_c_capsule(field.__arrow_c_schema__(), capsule)

    if isinstance(values, pa.ChunkedArray):
        chunks = [one(c) for c in values.chunks]
        typ = chunks[0].type if chunks else one(pa.array([], values.type)).type
        return pa.chunked_array(chunks, typ)
    return one(values)


def convert_column(pa, name, values, field, args, kw):
    """Converts a pyarrow Array or ChunkedArray; returns (values, srids, field)
    with `field` (a pyarrow Field, or None for a bare array) describing the
    result: same name and nullability, the result's type and extension."""
    storage, extension, meta = _storage(pa, values)
    if extension is None and field is not None:
        extension, meta = _field_extension(pa, field)
    result = getattr(_native, name)(storage, *args, **kw)
    out, srids = result if name in SPLIT else (result, None)
    if isinstance(out, (pa.Array, pa.ChunkedArray)):
        out = _relayout(pa, out, storage.type)
    if isinstance(storage, pa.ChunkedArray):
        lengths = [len(c) for c in storage.chunks]
        out = _rechunk(pa, out, lengths)
        if srids is not None:
            srids = _rechunk(pa, srids, lengths)
    new_extension = _result_extension(name, extension, _family(pa, out.type))
    new_meta = _geoarrow_metadata(meta, srid_set(name, args)) if new_extension else None
    typed = _with_extension(pa, out, new_extension, new_meta)
    if field is None:
        return typed, srids, None
    kept = {k: v for k, v in (field.metadata or {}).items()
            if k not in (EXTENSION_NAME.encode(), EXTENSION_METADATA.encode())}
    if isinstance(typed.type, pa.ExtensionType) or new_extension is None:
        out_field = pa.field(field.name, typed.type, field.nullable, kept or None)
        return typed, srids, out_field
    # An extension pyarrow does not know lives in the field's metadata.
    kept[EXTENSION_NAME.encode()] = new_extension.encode()
    kept[EXTENSION_METADATA.encode()] = _as_bytes(new_meta)
    return out, srids, pa.field(field.name, out.type, field.nullable, kept)


def _pyarrow_array(pa, name, values, args, kw):
    out, srids, _ = convert_column(pa, name, values, None, args, kw)
    return (out, srids) if name in SPLIT else out


def column_index(name, names, column):
    if column is None:
        if len(names) == 1:
            return 0
        listed = ", ".join(repr(n) for n in names)
        raise TypeError(f"{name}(): the table has {len(names)} columns ({listed}): "
                        f"pass column= to name the one to convert")
    if not isinstance(column, str):
        raise TypeError(f"column must be a column name (str), not '{type(column).__name__}'")
    found = [i for i, n in enumerate(names) if n == column]
    if len(found) != 1:
        listed = ", ".join(repr(n) for n in names)
        what = "no column" if not found else f"{len(found)} columns named"
        raise KeyError(f"{name}(): the table has {what} {column!r}; its columns are {listed}")
    return found[0]


def _geo_crs(srid):
    """The GeoParquet CRS of EPSG:srid: PROJJSON when pyproj is installed, else
    the PROJJSON identifier alone; null (unknown) for SRID 0 or less."""
    if srid <= 0:
        return None
    try:
        import pyproj
        return pyproj.CRS.from_epsg(srid).to_json_dict()
    except Exception:  # no pyproj, or a code it does not know
        return {"id": {"authority": "EPSG", "code": srid}}


def geo_metadata(metadata, column, name, out_type_family, args):
    """Schema metadata with the GeoParquet `geo` entry made true for the
    converted column: WKB results keep (or gain) an entry with encoding WKB
    and the CRS an srid argument sets; anything else leaves it."""
    if not metadata or b"geo" not in metadata:
        return metadata
    try:
        geo = json.loads(metadata[b"geo"])
        columns = geo["columns"]
    except (ValueError, KeyError, TypeError):
        return metadata  # not GeoParquet metadata this code understands: left alone
    if not isinstance(columns, dict):
        return metadata
    wkb = OUTPUT[name] == "binary" or (OUTPUT[name] == "same" and out_type_family == "binary")
    if wkb:
        entry = dict(columns.get(column) or {})
        if entry.get("encoding", "WKB") != "WKB" or column not in columns:
            entry.setdefault("geometry_types", [])
        entry["encoding"] = "WKB"
        srid = srid_set(name, args)
        if srid is not None:
            entry["crs"] = _geo_crs(srid)
        columns[column] = entry
    elif column in columns:
        del columns[column]
        if not columns:
            out = dict(metadata)
            del out[b"geo"]
            return out
        if geo.get("primary_column") == column:
            geo["primary_column"] = next(iter(columns))
    else:
        return metadata
    out = dict(metadata)
    out[b"geo"] = json.dumps(geo).encode()
    return out


def convert_table(pa, name, table, column, args, kw):
    """A Table or RecordBatch with one column converted in place (the split
    functions add `<column>_srid` right after it); other columns, the order,
    chunks and schema metadata kept."""
    schema = table.schema
    i = column_index(name, schema.names, column)
    field = schema.field(i)
    values, srids, out_field = convert_column(pa, name, table.column(i), field, args, kw)
    out = table.set_column(i, out_field, values)
    if srids is not None:
        srid_name = f"{field.name}_srid" if field.name else "srid"
        out = out.add_column(i + 1, pa.field(srid_name, pa.int32()), srids)
    family = _family(pa, values.type.storage_type if isinstance(values.type, pa.ExtensionType)
                     else values.type)
    return out.replace_schema_metadata(
        geo_metadata(schema.metadata, field.name, name, family, args))


def convert_stream(pa, name, reader, column, args, kw):
    """A RecordBatchReader converting `reader` lazily: batches are converted on
    worker threads, in order, at most PREFETCH ahead of the one being read."""
    # The result's schema is that of no rows converted; this checks every
    # argument and the column's type before the first batch is read. (Made
    # from no batches: Schema.empty_table imports pandas, half a second.)
    schema = convert_table(pa, name, pa.Table.from_batches([], reader.schema), column, args,
                           kw).schema

    def one(batch):
        table = convert_table(pa, name, pa.Table.from_batches([batch], reader.schema),
                              column, args, kw)
        # An empty batch stays a batch: the batch boundaries are the caller's.
        return table.to_batches() or [pa.RecordBatch.from_arrays(
            [pa.nulls(0, f.type) for f in table.schema], schema=table.schema)]

    def batches():
        pool = concurrent.futures.ThreadPoolExecutor(PREFETCH, "geoweave_columns-stream")
        pending = collections.deque()
        source = iter(reader)
        rows = 0
        try:
            while True:
                while len(pending) < PREFETCH and source is not None:
                    try:
                        batch = next(source)
                    except StopIteration:
                        source = None
                        break
                    pending.append((rows, pool.submit(one, batch)))
                    rows += len(batch)
                if not pending:
                    return
                start, future = pending.popleft()
                try:
                    out = future.result()
                except Exception as e:
                    _renumber_rows(e, start)
                    raise
                yield from out
        finally:
            for _, future in pending:
                future.cancel()
            pool.shutdown(wait=True, cancel_futures=True)

    return pa.RecordBatchReader.from_batches(schema, batches())


def _renumber_rows(exc, start):
    """A batch's row note ("row 17") as the row of the whole stream."""
    notes = getattr(exc, "__notes__", None)
    if not notes or not start:
        return
    for i, note in enumerate(notes):
        match = _ROW_NOTE.match(note) if isinstance(note, str) else None
        if match:
            notes[i] = f"row {int(match[1]) + start}{note[match.end():]}"


_ROW_NOTE = re.compile(r"row (\d+)")


# ------------------------------------------------------------- others ----

def _pandas(name, series, args, kw):
    pd = _loaded("pandas")
    dtype = series.dtype
    arrow_backed = isinstance(dtype, pd.ArrowDtype) or (
        isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow")
    fn = getattr(_native, name)
    if not arrow_backed:
        result = fn(series, *args, **kw)
        if result is None:
            return None
        if name in SPLIT:
            return result[0], result[1].astype("Int32")
        return result.astype("Int32") if OUTPUT[name] == "srid" else result
    import pyarrow as pa
    values = pa.chunked_array(series.array.__arrow_array__())
    out, srids, _ = convert_column(pa, name, values, None, args, kw)

    def back(array, string_dtype):
        if string_dtype is not None and _family(pa, array.type) == "text":
            made = string_dtype.__from_arrow__(array)
        else:
            made = pd.arrays.ArrowExtensionArray(array)
        return pd.Series(made, index=series.index, name=series.name, copy=False)

    string_dtype = dtype if isinstance(dtype, pd.StringDtype) else None
    if name in SPLIT:
        return back(out, string_dtype), back(srids, None)
    return back(out, string_dtype)


_CTYPES = None


def _ctypes():
    """The C structs of the Arrow C interfaces, for reading a producer's
    format before anything is imported (made on first use: ctypes is
    only needed for producers other than pyarrow)."""
    global _CTYPES
    if _CTYPES is None:
        import ctypes

        class Schema(ctypes.Structure):
            _fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p),
                        ("metadata", ctypes.c_void_p), ("flags", ctypes.c_int64),
                        ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
                        ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p),
                        ("private_data", ctypes.c_void_p)]

        class Array(ctypes.Structure):
            _fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64),
                        ("offset", ctypes.c_int64), ("n_buffers", ctypes.c_int64),
                        ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
                        ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                        ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]

        class Stream(ctypes.Structure):
            _fields_ = [("get_schema", ctypes.c_void_p), ("get_next", ctypes.c_void_p),
                        ("get_last_error", ctypes.c_void_p), ("release", ctypes.c_void_p),
                        ("private_data", ctypes.c_void_p)]

        pointer = ctypes.pythonapi.PyCapsule_GetPointer
        pointer.restype = ctypes.c_void_p
        pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        valid = ctypes.pythonapi.PyCapsule_IsValid
        valid.restype = ctypes.c_int
        valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
        _CTYPES = {
            "ctypes": ctypes, "Schema": Schema, "Array": Array, "Stream": Stream,
            "pointer": pointer, "valid": valid,
            "get_schema": ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(Schema)),
            "get_next": ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(Array)),
            "get_last_error": ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.c_void_p),
            "release": ctypes.CFUNCTYPE(None, ctypes.POINTER(Schema)),
            "release_stream": ctypes.CFUNCTYPE(None, ctypes.c_void_p),
        }
    return _CTYPES


def _schema_format(capsule):
    c = _ctypes()
    if not c["valid"](capsule, b"arrow_schema"):
        return None
    schema = c["Schema"].from_address(c["pointer"](capsule, b"arrow_schema"))
    return schema.format if schema.release else None


def _stream_format(capsule):
    """The format of a stream's schema, asked of the stream itself (its
    schema is released again; the stream is not advanced)."""
    c = _ctypes()
    if not c["valid"](capsule, b"arrow_array_stream"):
        return None
    address = c["pointer"](capsule, b"arrow_array_stream")
    stream = c["Stream"].from_address(address)
    if not stream.release or not stream.get_schema:
        return None
    schema = c["Schema"]()
    byref = c["ctypes"].byref
    if c["get_schema"](stream.get_schema)(address, byref(schema)) != 0 or not schema.release:
        return None
    try:
        return schema.format
    finally:
        c["release"](schema.release)(byref(schema))


class _ExportedArray:
    """The capsules already taken from an array producer, handed on once."""

    def __init__(self, capsules):
        self._array = capsules

    def __arrow_c_array__(self, requested_schema=None):
        out, self._array = self._array, None
        return out


class _PulledStream:
    """A producer's stream of plain arrays (not record batches, which pyarrow
    reads itself), moved out of its capsule and read one array at a time as a
    pyarrow RecordBatchReader of one column: each array is pulled from the
    producer only when the reader is read. Released once, when read to the
    end, or when dropped."""

    def __init__(self, pa, capsule):
        c = self._c = _ctypes()
        ctypes = c["ctypes"]
        address = c["pointer"](capsule, b"arrow_array_stream")
        self._stream = c["Stream"]()
        ctypes.memmove(ctypes.addressof(self._stream), address, ctypes.sizeof(self._stream))
        c["Stream"].from_address(address).release = None  # ours to release now
        self._address = ctypes.addressof(self._stream)
        if not self._stream.get_schema or not self._stream.get_next:
            self.close()
            raise ValueError("the Arrow producer handed over a stream without its callbacks")
        schema = c["Schema"]()
        rc = c["get_schema"](self._stream.get_schema)(self._address, ctypes.byref(schema))
        if rc != 0 or not schema.release:
            message = self._failure(rc, "give its schema")  # asked before the release
            self.close()
            raise ValueError(message)
        self.field = pa.Field._import_from_c(ctypes.addressof(schema))  # pyarrow releases it

    def reader(self, pa):
        schema = pa.schema([self.field])
        return pa.RecordBatchReader.from_batches(schema, self._batches(pa, schema))

    def _batches(self, pa, schema):
        c = self._c
        get_next = c["get_next"](self._stream.get_next)
        try:
            while self._stream.release:
                array = c["Array"]()
                rc = get_next(self._address, c["ctypes"].byref(array))
                if rc != 0:
                    raise ValueError(self._failure(rc, "give its next array"))
                if not array.release:
                    return  # the end
                # pyarrow takes the array over (and releases it even on failure).
                values = pa.Array._import_from_c(c["ctypes"].addressof(array), self.field.type)
                yield pa.RecordBatch.from_arrays([values], schema=schema)
        finally:
            self.close()

    def _failure(self, rc, what):
        get_error = self._stream.get_last_error
        message = self._c["get_last_error"](get_error)(self._address) if get_error else None
        detail = f": {message.decode('utf-8', 'replace')}" if message else ""
        return f"the Arrow stream failed to {what} (error {rc}){detail}"

    def close(self):
        stream = getattr(self, "_stream", None)  # None: __init__ failed before taking it
        if stream is None or not stream.release:
            return
        release, stream.release = stream.release, None
        self._c["release_stream"](release)(self._address)

    __del__ = close


class _ExportedStream:
    """The capsule already taken from a stream producer, handed on once."""

    def __init__(self, capsule):
        self._stream = capsule

    def __arrow_c_stream__(self, requested_schema=None):
        out, self._stream = self._stream, None
        return out


def _producer(name, fn, obj, column, args, kw):
    """Any other Arrow producer: a struct (a record batch, a table's stream)
    converts as a pyarrow RecordBatch or a lazy RecordBatchReader; a plain
    array converts natively and comes back as pyarrow when pyarrow is there
    (which DuckDB, Polars and pyarrow all read), else as an ArrowColumn."""
    if hasattr(obj, "__arrow_c_array__"):
        capsules = obj.__arrow_c_array__()
        if not isinstance(capsules, tuple) or len(capsules) != 2:
            return fn(_ExportedArray(capsules), *args, **kw)  # the native error
        fmt = _schema_format(capsules[0])
        exported = _ExportedArray(capsules)
    else:
        capsule = obj.__arrow_c_stream__()
        fmt = _stream_format(capsule)
        exported = _ExportedStream(capsule)
    table = fmt == b"+s"
    if table:
        _check(fn, args, kw)
        pa = _pyarrow(name, "a table or stream")
        if isinstance(exported, _ExportedArray):
            batch = pa.RecordBatch._import_from_c_capsule(*exported._array)
            return convert_table(pa, name, batch, column, args, kw)
        reader = pa.RecordBatchReader._import_from_c_capsule(exported._stream)
        return convert_stream(pa, name, reader, column, args, kw)
    _no_column(name, obj, column)
    if fmt in _LAZY_FORMATS and isinstance(exported, _ExportedStream):
        pa = _pyarrow_if_installed()
        if pa is not None:
            # A stream of the column's arrays: converted lazily like any
            # other stream, as a one-column RecordBatchReader.
            _check(fn, args, kw)
            pulled = _PulledStream(pa, exported.__arrow_c_stream__())
            return convert_stream(pa, name, pulled.reader(pa), None, args, kw)
    # The native function reads (and checks) the producer's buffers: pyarrow
    # only ever sees the result, which is this module's own.
    result = fn(exported, *args, **kw)
    pa = _pyarrow_if_installed()
    if pa is None:
        return result
    stream = not hasattr(obj, "__arrow_c_array__")
    layout = _LAYOUTS.get(fmt)
    if name in SPLIT:
        return _from_ours(pa, result[0], stream, layout), _from_ours(pa, result[1], stream, None)
    return _from_ours(pa, result, stream, layout)


# The formats of the layouts a column may have: streams of anything else go to
# the native function whole, which refuses them by their type.
_LAZY_FORMATS = {b"z", b"Z", b"u", b"U", b"vz", b"vu"}

# Arrow formats of the input layouts whose results keep them.
_LAYOUTS = {b"Z": "large_binary", b"U": "large_string", b"vz": "binary_view",
            b"vu": "string_view"}


def _from_ours(pa, column, stream, layout):
    """An ArrowColumn as a pyarrow Array (ChunkedArray for a stream's input) in
    the input's layout, with its GeoArrow extension and metadata (the CRS set
    natively) registered with pyarrow. A GeoArrow extension pyarrow does not
    know could not travel on a pyarrow array: such a column stays an ArrowColumn."""
    field = pa.Field._import_from_c_capsule(column.__arrow_c_schema__())
    if stream:
        values = pa.chunked_array(column)
    else:
        try:
            values = pa.array(column)
        except ValueError:  # split past 32-bit offsets: several arrays, read as a stream
            values = pa.chunked_array(column)
    if isinstance(values.type, pa.ExtensionType):
        values, extension, meta = _storage(pa, values)
    else:
        extension, meta = _field_extension(pa, field)
        if extension is not None:
            return column
    if layout is not None:
        values = _relayout(pa, values, getattr(pa, layout)())
    return _with_extension(pa, values, extension, meta)


def doc_tail(name):
    flavor = ""
    if OUTPUT[name] in ("binary", "hex"):
        flavor = ("\n\n*flavor*: ``\"extended\"`` (default) writes EWKB; ``\"iso\"`` writes ISO\n"
                  "WKB type codes and never an SRID.")
    split = ("\nThe split functions add the SRID column ``<column>_srid`` right after it."
             if name in SPLIT else "")
    return (
        "\n\n*column*: for a table (a pyarrow Table or RecordBatch, a Polars DataFrame, a\n"
        "DuckDB relation, any Arrow producer of a struct) or a stream (a pyarrow\n"
        "RecordBatchReader, any ``__arrow_c_stream__`` producer of a struct), the name\n"
        "of the column to convert; a table of one column needs none. The result is the\n"
        "same kind of object with that column converted in place, every other column,\n"
        "the order, chunks and schema metadata kept; a stream is converted lazily,\n"
        "batch by batch, as it is read. Arrays of other Arrow producers come back as\n"
        "pyarrow when it is installed, and their streams of arrays as a lazy one-column\n"
        "RecordBatchReader; pandas Series with Arrow-backed dtypes keep them."
        + split + flavor)
