"""Properties of geoweave_columns: every column function is a map of its scalar
geoweave function over the rows, whatever the column is made of.

Random columns (nulls, valid and failing rows of every kind the scalar
functions see) are fed as pyarrow arrays of every binary and string type,
plain, sliced and chunked, as Polars Series, nanoarrow and arro3 arrays, DuckDB
results, numpy object arrays, pandas Series (object and Arrow-backed), lists and
other iterables, and as the named column of pyarrow Tables, RecordBatches and
streams and Polars DataFrames; each
library's cases are skipped when it is not installed. The result must be the
scalar function's value row by row (nulls stay null), under errors="null"
failing rows become null, and under errors="raise" the lowest failing row
raises the scalar function's own exception with a note naming that row, for
one thread and for two. Arrow results pass pyarrow's full validation.
"""

import itertools
import json
import math
import re
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import geoweave as g

gc = pytest.importorskip("geoweave_columns")
pa = pytest.importorskip("pyarrow")  # reads every Arrow result back

# --------------------------------------------------------------- rows ----

ordinate = st.one_of(st.integers(-1000, 1000).map(float),
                     st.floats(allow_nan=False, allow_infinity=False, width=64))
srid_value = st.sampled_from([None, 0, 1, 4326, 2**31 - 1, -7])


@st.composite
def wkt_text(draw):
    """Canonical-ish WKT of a few shapes, with an SRID prefix now and then."""
    def xy():
        return f"{draw(ordinate)!r} {draw(ordinate)!r}".replace("inf", "1")

    kind = draw(st.sampled_from(["point", "line", "polygon", "multi", "empty", "collection"]))
    if kind == "point":
        body = f"POINT ({xy()})"
    elif kind == "line":
        body = "LINESTRING (" + ", ".join(xy() for _ in range(draw(st.integers(2, 4)))) + ")"
    elif kind == "polygon":
        first = xy()
        body = f"POLYGON (({first}, {xy()}, {xy()}, {first}))"
    elif kind == "multi":
        body = "MULTIPOINT (" + ", ".join(f"({xy()})" for _ in range(draw(st.integers(1, 3)))) + ")"
    elif kind == "empty":
        body = draw(st.sampled_from(["POINT EMPTY", "POLYGON Z EMPTY", "GEOMETRYCOLLECTION EMPTY"]))
    else:
        body = f"GEOMETRYCOLLECTION (POINT Z ({xy()} 3), LINESTRING ({xy()}, {xy()}))"
    srid = draw(srid_value)
    return body if srid is None else f"SRID={srid};{body}"


def _big_endian_point(x, y):
    return struct.pack(">BIdd", 0, 1, x, y)


@st.composite
def wkb_value(draw):
    """Bytes a WKB column holds: valid EWKB/ISO/big-endian records and broken ones."""
    text = draw(wkt_text())
    wkb = g.wkt_to_wkb(text)
    kind = draw(st.sampled_from(["ok", "ok", "ok", "iso", "be", "truncated", "trailing",
                                 "unknown", "empty", "junk"]))
    if kind == "iso":
        return g.wkt_to_wkb(text, srid=False)
    if kind == "be":
        return _big_endian_point(draw(ordinate), draw(ordinate))
    if kind == "truncated":
        return wkb[:draw(st.integers(0, max(len(wkb) - 1, 0)))]
    if kind == "trailing":
        return wkb + b"\x00"
    if kind == "unknown":
        return b"\x01\x63\x00\x00\x00"
    if kind == "empty":
        return b""
    if kind == "junk":
        return draw(st.binary(max_size=12))
    return wkb


@st.composite
def text_value(draw):
    """Text a string column holds: WKT, EWKT, hex (either case), padded, broken."""
    text = draw(wkt_text())
    kind = draw(st.sampled_from(["wkt", "wkt", "hex", "HEX", "padded", "cut", "garbage", "unicode"]))
    if kind == "hex":
        return g.wkt_to_hex_wkb(text).lower()
    if kind == "HEX":
        return g.wkt_to_hex_wkb(text)
    if kind == "padded":
        return f"  {text}\n"
    if kind == "cut":
        return text[:draw(st.integers(0, len(text) - 1))]
    if kind == "garbage":
        return draw(st.sampled_from(["", "   ", "POINT(1 2", "0G", "ABC", "POINT(1 2e)"]))
    if kind == "unicode":
        return draw(st.text(st.characters(exclude_categories=["Cs"]), max_size=8))
    return text


def rows(values):
    """A column's rows: about one in six missing."""
    return st.lists(st.one_of(values, values, values, values, values, st.none()), max_size=16)


# ---------------------------------------------------------- functions ----

srid_arg = st.sampled_from([None, False, 0, -1, 3857, 2**31 - 1])
# name -> (what its column holds: "wkb", "text" or "any"; strategy of the extra
# positional arguments after the column)
FUNCTIONS = {
    "wkb_to_wkt": ("wkb", st.tuples(srid_arg)),
    "wkb_to_wkt_split_srid": ("wkb", st.just(())),
    "wkt_to_wkb": ("text", st.tuples(srid_arg)),
    "wkt_to_wkb_split_srid": ("text", st.just(())),
    "wkt_to_hex_wkb": ("text", st.tuples(srid_arg)),
    "hex_wkb_to_wkt": ("text", st.tuples(srid_arg)),
    "to_wkb": ("any", st.tuples(srid_arg)),
    "to_wkt": ("any", st.tuples(srid_arg, st.booleans())),
    "to_hex_wkb": ("any", st.tuples(srid_arg)),
    "wkb_header_srid": ("any", st.just(())),
    "to_wkb_no_srid_header": ("any", st.just(())),
    "to_ewkb_header": ("any", st.tuples(st.sampled_from([False, 0, 1, 4326, -3]))),
}
SPLIT = {"wkb_to_wkt_split_srid", "wkt_to_wkb_split_srid"}


def test_every_function_is_covered():
    assert sorted(FUNCTIONS) == sorted(g.__all__)
    assert all(callable(getattr(gc, name)) for name in g.__all__)


def scalar_outcomes(name, values, args):
    """Per row: None for a null, ("ok", result) or ("error", exception)."""
    fn = getattr(g, name)
    out = []
    for v in values:
        if v is None:
            out.append(None)
            continue
        try:
            out.append(("ok", fn(v, *args)))
        except Exception as e:  # the exception is part of the row's result
            out.append(("error", e))
    return out


def expected_rows(name, outcomes):
    """The values (and SRIDs for the split functions) errors="null" gives."""
    ok = [o[1] if o and o[0] == "ok" else None for o in outcomes]
    if name in SPLIT:
        return [r[0] if r else None for r in ok], [r[1] if r else None for r in ok]
    return ok


def first_error(outcomes):
    for i, o in enumerate(outcomes):
        if o and o[0] == "error":
            return i, o[1]
    return None


def assert_row_note(exc, index):
    notes = getattr(exc, "__notes__", [])
    assert notes, notes
    assert "row" in notes[-1] and re.search(rf"(?<![\d.]){index}(?![\d.])", notes[-1]), notes[-1]


# ---------------------------------------------------------- containers ----
#
# A container turns a list of rows into a column and gives back a reader that
# checks the kind of the result and returns its rows as Python values.

BINARY_TYPES = ["binary", "large_binary", "binary_view"]
STRING_TYPES = ["string", "large_string", "string_view"]


def arrow_type(name):
    return getattr(pa, name)()


def _missing(x):
    if x is None:
        return True
    try:
        import pandas as pd
        if x is pd.NA:
            return True
    except ImportError:
        pass
    return isinstance(x, float) and math.isnan(x)


def _plain(x):
    """A numpy or pandas element as the scalar function's value."""
    if _missing(x):
        return None
    if isinstance(x, (bytes, str)):
        return x
    return int(x)  # SRIDs: numpy or pandas integers


def read_arrow(result):
    """Rows of an Arrow result (anything exporting the PyCapsule interface),
    after pyarrow's full validation; also returns the field's metadata."""
    if isinstance(result, pa.ChunkedArray):
        result.validate(full=True)
        return result.to_pylist()
    if isinstance(result, pa.Array):
        result.validate(full=True)
        return result.to_pylist()
    if hasattr(result, "__arrow_c_array__"):
        array = pa.array(result)
        array.validate(full=True)
        rows_ = array.to_pylist()
        if hasattr(result, "__arrow_c_stream__"):  # both exports show the same rows
            assert pa.chunked_array(result).to_pylist() == rows_
        return rows_
    assert hasattr(result, "__arrow_c_stream__"), type(result)
    chunked = pa.chunked_array(result)
    chunked.validate(full=True)
    return chunked.to_pylist()


def arrow_field(result):
    """The pyarrow Field of an Arrow result, metadata included."""
    if hasattr(result, "__arrow_c_schema__"):
        capsule = result.__arrow_c_schema__()
    elif hasattr(result, "__arrow_c_array__"):
        capsule, _ = result.__arrow_c_array__()
    else:
        return pa.RecordBatchReader.from_stream(pa.table({"x": pa.chunked_array(result)})).schema.field(0)
    return pa.Field._import_from_c_capsule(capsule)


def make_pyarrow(values, typ, layout, draw):
    if layout == "sliced":
        before, after = draw(rows(padding(typ))), draw(rows(padding(typ)))
        whole = pa.array(before + values + after, arrow_type(typ))
        array = whole.slice(len(before), len(values))
    elif layout == "chunked":
        cuts = sorted(draw(st.lists(st.integers(0, len(values)), max_size=3)))
        bounds = [0, *cuts, len(values)]
        array = pa.chunked_array([pa.array(values[a:b], arrow_type(typ))
                                  for a, b in zip(bounds, bounds[1:])], arrow_type(typ))
    else:
        array = pa.array(values, arrow_type(typ))

    def read(result):
        kind = pa.ChunkedArray if isinstance(array, pa.ChunkedArray) else pa.Array
        assert isinstance(result, kind), type(result)
        return read_arrow(result)
    return array, read


def padding(typ):
    """Rows around a slice: broken values, so reading past the slice shows."""
    return st.just(b"\x01\x63" if "binary" in typ else "POINT(1 2")


def make_polars(values, typ, layout, draw):
    pl = pytest.importorskip("polars")
    series = pl.Series("geom", values, dtype=pl.Binary if "binary" in typ else pl.String)
    if layout == "sliced":
        series = pl.concat([pl.Series("geom", [None] * 3, dtype=series.dtype), series]).slice(3)

    def read(result):
        assert isinstance(result, pl.Series)
        read_arrow(result.to_arrow())
        return result.to_list()
    return series, read


def _ours(result):
    # Other producers' arrays come back as pyarrow, which every consumer reads
    # (their streams as a table-shaped stream, read by read_result).
    assert isinstance(result, (pa.Array, pa.ChunkedArray)), type(result)
    return read_arrow(result)


def _read_stream(result):
    # A stream's rows fail as they are read.
    if isinstance(result, pa.RecordBatchReader):
        result.read_all()


_ours.consume = _read_stream


def make_nanoarrow(values, typ, layout, draw):
    na = pytest.importorskip("nanoarrow")
    return na.c_array(make_pyarrow(values, typ, layout if layout != "chunked" else "plain", draw)[0]), _ours


def make_arro3(values, typ, layout, draw):
    a3 = pytest.importorskip("arro3.core")
    array, _ = make_pyarrow(values, typ, layout, draw)
    if isinstance(array, pa.ChunkedArray):
        return a3.ChunkedArray.from_arrow(array), _ours
    return a3.Array.from_arrow(array), _ours


def make_duckdb(values, typ, layout, draw):
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    table = pa.table({"geom": pa.array(values, pa.binary() if "binary" in typ else pa.string())})
    relation = con.from_arrow(table).select("geom")
    read = _table_read(pa.Table, None, ["geom"])  # a relation comes back as a Table
    read.keep = con  # the connection outlives the relation
    return relation, read


def _geom_table(values, typ, draw):
    """Three columns, the geometries (chunked) in the middle."""
    geom, _ = make_pyarrow(values, typ, "chunked", draw)
    n = len(values)
    return pa.table({"id": pa.array(range(n), pa.int64()), "geom": geom,
                     "tail": pa.array([str(i) for i in range(n)])})


def _table_read(kind, source, names):
    """Reader of a table-shaped result: same kind, the other columns and the
    geometries' chunks as they were, the SRID column after the converted one."""
    def read(result, name):
        assert isinstance(result, kind), type(result)
        table = result.read_all() if kind is pa.RecordBatchReader else result
        if kind is pa.RecordBatch:
            table = pa.Table.from_batches([table])
        table.validate(full=True)
        expected = list(names)
        if name in SPLIT:
            expected.insert(expected.index("geom") + 1, "geom_srid")
            assert table.schema.field("geom_srid").type == pa.int32()
        assert table.column_names == expected
        if source is not None:
            for other in ("id", "tail"):
                assert table.column(other).to_pylist() == source.column(other).to_pylist()
            if kind is pa.Table:
                assert [len(c) for c in table.column("geom").chunks] == \
                    [len(c) for c in source.column("geom").chunks]
        values = table.column("geom").to_pylist()
        return (values, table.column("geom_srid").to_pylist()) if name in SPLIT else values
    read.kwargs = {"column": "geom"} if source is not None else {}
    return read


def make_table(values, typ, layout, draw):
    table = _geom_table(values, typ, draw)
    if layout == "batch":
        return table.combine_chunks().to_batches()[0] if len(values) else \
            pa.RecordBatch.from_pylist([], table.schema), _table_read(pa.RecordBatch, table, table.column_names)
    if layout == "stream":
        reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
        read = _table_read(pa.RecordBatchReader, table, table.column_names)
        read.consume = lambda result: result.read_all()  # errors come as it is read
        return reader, read
    return table, _table_read(pa.Table, table, table.column_names)


def make_polars_frame(values, typ, layout, draw):
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({"id": list(range(len(values))),
                          "geom": pl.Series(values, dtype=pl.Binary if "binary" in typ else pl.String),
                          "tail": [str(i) for i in range(len(values))]})

    def read(result, name):
        assert isinstance(result, pl.DataFrame)
        names = ["id", "geom", "geom_srid", "tail"] if name in SPLIT else ["id", "geom", "tail"]
        assert result.columns == names and result["id"].to_list() == frame["id"].to_list()
        values = result["geom"].to_list()
        return (values, result["geom_srid"].to_list()) if name in SPLIT else values
    read.kwargs = {"column": "geom"}
    return frame, read


def make_pandas_arrow(values, typ, layout, draw):
    """An Arrow-backed pandas Series: ArrowDtype of the type, or string[pyarrow]."""
    pd = pytest.importorskip("pandas")
    if layout == "string" and "string" in typ:
        series = pd.Series(values, name="geom", dtype="string[pyarrow]")
    else:
        series = pd.Series(pa.array(values, arrow_type(typ)), name="geom",
                           dtype=pd.ArrowDtype(arrow_type(typ)))

    def read(result):
        assert isinstance(result, pd.Series) and result.name == "geom"
        assert isinstance(result.dtype, (pd.ArrowDtype, pd.StringDtype)), result.dtype
        if isinstance(result.dtype, pd.StringDtype):
            assert result.dtype == series.dtype
        return [_plain(x) for x in result]
    return series, read


def _with_missing(values, draw):
    """numpy/pandas rows, each missing one as None, a float NaN or pandas.NA."""
    markers = [None, float("nan")]
    try:
        import pandas as pd
        markers.append(pd.NA)
    except ImportError:
        pass
    return [draw(st.sampled_from(markers)) if v is None else v for v in values]


def make_numpy(values, typ, layout, draw):
    np = pytest.importorskip("numpy")
    array = np.empty(len(values), dtype=object)
    array[:] = _with_missing(values, draw)

    def read(result):
        assert isinstance(result, np.ndarray) and result.dtype == object and result.shape == array.shape
        return [_plain(x) for x in result]
    return array, read


def make_pandas(values, typ, layout, draw):
    pd = pytest.importorskip("pandas")
    index = pd.Index(draw(st.lists(st.integers(-50, 50), min_size=len(values), max_size=len(values))))
    series = pd.Series(_with_missing(values, draw), index=index, name="geom", dtype=object)

    def read(result):
        assert isinstance(result, pd.Series)
        assert result.index.equals(series.index) and result.name == "geom"
        return [_plain(x) for x in result]
    return series, read


def make_list(values, typ, layout, draw):
    if layout == "tuple":  # other bytes-like objects, as the scalar functions take them
        views = [memoryview(v) if isinstance(v, bytes) and i % 2 else
                 bytearray(v) if isinstance(v, bytes) else v for i, v in enumerate(values)]
        return tuple(views), lambda r: (_is_list(r), r)[1]
    if layout == "generator":
        return (v for v in values), lambda r: (_is_list(r), r)[1]
    return list(values), lambda r: (_is_list(r), r)[1]


def _is_list(result):
    assert isinstance(result, list), type(result)


# name -> (maker, Arrow types or None for Python rows, layouts)
CONTAINERS = {
    "pyarrow": (make_pyarrow, BINARY_TYPES + STRING_TYPES, ["plain", "sliced", "chunked"]),
    "polars": (make_polars, ["binary", "string"], ["plain", "sliced"]),
    # nanoarrow's own Python layer crashes on view types; its C arrays of the
    # other types are what matter here.
    "nanoarrow": (make_nanoarrow, ["binary", "large_binary", "string", "large_string"],
                  ["plain", "sliced"]),
    "arro3": (make_arro3, BINARY_TYPES + STRING_TYPES, ["plain", "chunked"]),
    "duckdb": (make_duckdb, ["binary", "string"], ["plain"]),
    "table": (make_table, BINARY_TYPES + STRING_TYPES, ["table", "batch", "stream"]),
    "polars_frame": (make_polars_frame, ["binary", "string"], ["plain"]),
    "pandas_arrow": (make_pandas_arrow, ["binary", "large_binary", "string", "large_string"],
                     ["arrow", "string"]),
    "numpy": (make_numpy, None, ["plain"]),
    "pandas": (make_pandas, None, ["plain"]),
    "list": (make_list, None, ["list", "tuple", "generator"]),
}


def column_types(holds, arrow_types):
    """Arrow types a function's column may have: binary for WKB, string for text."""
    if arrow_types is None:
        return [None]
    return [t for t in arrow_types
            if holds == "any" or (holds == "wkb") == ("binary" in t)]


@st.composite
def column_rows(draw, holds, typ):
    """Rows for a column of type `typ` (None: Python rows, kinds may mix)."""
    if typ is None:
        # Now and then a value of the other kind, or not a geometry at all,
        # which the scalar function rejects with a TypeError: a failing row.
        stray = st.one_of(text_value() if holds == "wkb" else wkb_value(), st.just(42))
        if holds == "wkb":
            return draw(rows(st.one_of(*[wkb_value()] * 12, stray)))
        if holds == "text":
            return draw(rows(st.one_of(*[text_value()] * 12, stray)))
        return draw(rows(st.one_of(wkb_value(), text_value(), wkb_value(), text_value(),
                                   *[st.one_of(wkb_value(), text_value())] * 10, st.just(42))))
    return draw(rows(wkb_value() if "binary" in typ else text_value()))


ARROW_OUT = {"pyarrow", "nanoarrow", "arro3", "duckdb"}
TABLES = {"table", "polars_frame", "duckdb"}


def read_result(name, container, result, read):
    if container in TABLES:
        return read(result, name)
    if isinstance(result, pa.RecordBatchReader):  # a stream's result: a table-shaped stream
        table = result.read_all()
        columns = tuple(table.column(i) for i in range(table.num_columns))
        assert len(columns) == (2 if name in SPLIT else 1)
        result = columns if name in SPLIT else columns[0]
    if name in SPLIT:
        assert isinstance(result, tuple) and len(result) == 2
        values, srids = result
        return read(values), _srids(container, srids, read)
    if name == "wkb_header_srid":
        return _srids(container, result, read)
    return read(result)


def _srids(container, result, read):
    if container in ARROW_OUT:
        assert arrow_field(result).type == pa.int32()
    elif container in ("polars", "pandas"):
        assert str(result.dtype) == "Int32"
    elif container == "pandas_arrow":
        assert str(result.dtype) == "int32[pyarrow]"
    out = read(result)
    assert all(s is None or isinstance(s, int) for s in out)
    return out


def wrong_type(holds, value):
    """A row no column of the function takes: the caller's mistake, a
    TypeError whatever `errors` says (a bad value of the right type fails
    like the scalar function)."""
    if _missing(value):
        return False
    if holds == "text" or isinstance(value, str):
        return not isinstance(value, str) or holds == "wkb"
    try:
        memoryview(value).release()
    except TypeError:
        return True
    return False


def check_column(name, container, typ, layout, values, args, threads, draw):
    """Both error modes of one column against the scalar map of its rows."""
    maker = CONTAINERS[container][0]
    fn = getattr(gc, name)
    holds = FUNCTIONS[name][0]
    for errors in ("null", "raise"):
        column, read = maker(values, typ, layout, draw)
        kwargs = getattr(read, "kwargs", {})  # column= for tables
        # The scalar function sees the very objects a list or tuple holds.
        fed = list(column) if isinstance(column, (list, tuple)) else values
        outcomes = scalar_outcomes(name, fed, args)
        wrong = [i for i, v in enumerate(fed) if wrong_type(holds, v)]
        failing = first_error(outcomes)
        if wrong and (errors == "null" or failing is None or wrong[0] <= failing[0]):
            with pytest.raises(TypeError) as info:
                fn(column, *args, errors=errors, threads=threads)
            assert info.value.__notes__[-1] == f"row {wrong[0]}"
            continue
        if errors == "raise" and failing is not None:
            index, exc = failing
            with pytest.raises(type(exc)) as info:
                result = fn(column, *args, errors="raise", threads=threads, **kwargs)
                getattr(read, "consume", lambda r: r)(result)
            assert type(info.value) is type(exc) and info.value.args == exc.args
            # the scalar function's hints, then the row
            assert info.value.__notes__[:-1] == getattr(exc, "__notes__", [])
            assert_row_note(info.value, index)
            continue
        result = fn(column, *args, errors=errors, threads=threads, **kwargs)
        assert read_result(name, container, result, read) == expected_rows(name, outcomes)


LIBRARIES = {"polars": "polars", "nanoarrow": "nanoarrow", "arro3": "arro3.core",
             "duckdb": "duckdb", "numpy": "numpy", "pandas": "pandas",
             "polars_frame": "polars", "pandas_arrow": "pandas"}


@pytest.mark.parametrize("container", sorted(CONTAINERS))
@pytest.mark.parametrize("name", sorted(FUNCTIONS))
@settings(max_examples=8, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_column_is_the_scalar_map(name, container, data):
    """Rows drawn once per example, fed as every type and layout the
    container offers (a Python-rows container mixes bytes and text)."""
    if container in LIBRARIES:
        pytest.importorskip(LIBRARIES[container])
    holds, extra = FUNCTIONS[name]
    _, types, layouts = CONTAINERS[container]
    args = data.draw(extra)
    threads = data.draw(st.sampled_from([1, 2, None]))
    by_kind = {}
    for typ in column_types(holds, types):
        kind = None if typ is None else "binary" in typ
        if kind not in by_kind:
            by_kind[kind] = data.draw(column_rows(holds, typ))
        for layout in layouts:
            check_column(name, container, typ, layout, by_kind[kind], args, threads, data.draw)


# Columns long enough to be split between threads (above the kernels' split
# threshold), with the failing rows anywhere in them.
LONG = 40_000


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
@settings(max_examples=4, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_long_columns_identical_for_any_thread_count(name, data):
    holds, extra = FUNCTIONS[name]
    typ = data.draw(st.sampled_from(column_types(holds, BINARY_TYPES + STRING_TYPES)))
    pool = data.draw(column_rows(holds, typ).filter(bool))
    values = list(itertools.islice(itertools.cycle(pool), LONG))
    args = data.draw(extra)
    # One broken row planted late (a later chunk) decides errors="raise".
    late = data.draw(st.integers(LONG // 2, LONG - 1))
    outcomes = scalar_outcomes(name, values, args)
    if first_error(outcomes) is None and data.draw(st.booleans()):
        values[late] = b"\x01\x63" if "binary" in typ else "POINT(1 2"
        outcomes[late] = scalar_outcomes(name, [values[late]], args)[0]
    layout = data.draw(st.sampled_from(["plain", "sliced", "chunked"]))
    for threads in (1, 2):
        check_column(name, "pyarrow", typ, layout, values, args, threads, data.draw)
    check_column(name, "list", None, "list", values, args, 2, data.draw)


# ------------------------------------------------- whole-column behaviour ----

POINT = g.wkt_to_wkb("POINT (1 2)")


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_null_column_is_none(name):
    args = (4326,) if name == "to_ewkb_header" else ()
    assert getattr(gc, name)(None, *args) is None


@pytest.mark.parametrize("bad", [True, 2**31, -2**31 - 1, "1", 1.5])
@pytest.mark.parametrize("name", ["wkb_to_wkt", "to_wkb", "to_hex_wkb", "to_ewkb_header"])
def test_bad_srid_fails_before_any_row(name, bad):
    # The rows would fail too: the argument's error wins, with no row note.
    with pytest.raises(Exception) as scalar:
        getattr(g, name)(POINT, bad)
    column = pa.array([b"\x01\x63", POINT], pa.binary())
    with pytest.raises(type(scalar.value)) as info:
        getattr(gc, name)(column, bad)
    assert info.value.args == scalar.value.args
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("column", [
    pytest.param(lambda: pa.array([1, 2], pa.int64()), id="int64 Arrow"),
    pytest.param(lambda: pa.array([[b"x"]], pa.list_(pa.binary())), id="list Arrow"),
    pytest.param(lambda: pa.array(["POINT (1 2)"]), id="string for WKB"),
    pytest.param(lambda: 42, id="not iterable"),
])
def test_unsupported_columns_fail_before_any_row(column):
    with pytest.raises((TypeError, ValueError)) as info:
        gc.wkb_to_wkt(column())
    assert not getattr(info.value, "__notes__", None)


def test_binary_for_text_function_fails_before_any_row():
    with pytest.raises((TypeError, ValueError)) as info:
        gc.wkt_to_wkb(pa.array([POINT, b"junk"], pa.binary()))
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("kwargs", [{"errors": "ignore"}, {"errors": None}, {"threads": 0},
                                    {"threads": -1}, {"threads": 1.5}, {"threads": True}])
def test_bad_keywords(kwargs):
    with pytest.raises((TypeError, ValueError)):
        gc.to_wkt(pa.array([POINT]), **kwargs)


@pytest.mark.parametrize("name", ["wkb_to_wkt", "to_wkb"])
def test_keywords_are_keyword_only(name):
    with pytest.raises(TypeError):
        getattr(gc, name)([POINT], None, "null")


@pytest.mark.parametrize("typ", BINARY_TYPES + STRING_TYPES)
def test_empty_columns(typ):
    column = pa.array([], arrow_type(typ))
    assert read_arrow(gc.to_wkt(column)) == []
    values, srids = gc.wkt_to_wkb_split_srid(pa.array([], pa.string()))
    assert read_arrow(values) == [] and read_arrow(srids) == []


GEOARROW = [
    ("wkb_to_wkt", pa.binary(), "geoarrow.wkb", "geoarrow.wkt", POINT),
    ("to_wkt", pa.large_binary(), "geoarrow.wkb", "geoarrow.wkt", POINT),
    ("wkt_to_wkb", pa.string(), "geoarrow.wkt", "geoarrow.wkb", "POINT (1 2)"),
    ("to_wkb", pa.string(), "geoarrow.wkt", "geoarrow.wkb", "POINT (1 2)"),
]


class FieldExport:
    """An Arrow array exported under a field of our choosing (extension
    metadata), as GeoArrow producers hand them out."""

    def __init__(self, array, field):
        self.array, self.field = array, field

    def __arrow_c_array__(self, requested_schema=None):
        return self.field.__arrow_c_schema__(), self.array.__arrow_c_array__()[1]


@pytest.mark.parametrize("name, storage, ext_in, ext_out, value", GEOARROW)
def test_geoarrow_extension_carried_to_the_result(name, storage, ext_in, ext_out, value):
    crs = '{"crs": "OGC:CRS84"}'
    field = pa.field("geometry", storage, metadata={"ARROW:extension:name": ext_in,
                                                     "ARROW:extension:metadata": crs})
    array = pa.array([value, None], storage)
    result = getattr(gc, name)(FieldExport(array, field))
    metadata = arrow_field(result).metadata
    assert metadata[b"ARROW:extension:name"] == ext_out.encode()
    assert metadata[b"ARROW:extension:metadata"] == crs.encode()
    expected = getattr(g, name)(value)
    assert read_arrow(result) == [expected, None]


GEOARROW_CRS = '{"edges":"spherical","crs":{"id":{"authority":"EPSG","code":4326}},"crs_type":"projjson"}'


@pytest.mark.parametrize("call, metadata, crs", [
    (lambda c: gc.wkb_to_wkt(c), GEOARROW_CRS, {"id": {"authority": "EPSG", "code": 4326}}),
    (lambda c: gc.wkb_to_wkt(c, False), GEOARROW_CRS, {"id": {"authority": "EPSG", "code": 4326}}),
    (lambda c: gc.to_wkb(c, 3857), GEOARROW_CRS, "EPSG:3857"),
    (lambda c: gc.to_ewkb_header(c, 3857), GEOARROW_CRS, "EPSG:3857"),
    (lambda c: gc.wkb_to_wkt(c, 0), GEOARROW_CRS, None),
    (lambda c: gc.wkb_to_wkt(c, -1), GEOARROW_CRS, None),
    (lambda c: gc.to_wkb(c, 3857), "not json", "EPSG:3857"),
    (lambda c: gc.to_wkb(c, 3857), "", "EPSG:3857"),
    (lambda c: gc.to_wkb(c, 0), '{"crs":"OGC:CRS84"}', None),
])
def test_arrow_column_crs_follows_a_forced_srid(call, metadata, crs):
    # An extension pyarrow does not know: the result stays this module's own
    # column, whose schema the native code writes.
    field = pa.field("geometry", pa.binary(), metadata={
        "ARROW:extension:name": "geoarrow.wkb", "ARROW:extension:metadata": metadata})
    result = call(FieldExport(pa.array([POINT, None]), field))
    meta = arrow_field(result).metadata
    if isinstance(result, gc.ArrowColumn):
        written = meta[b"ARROW:extension:metadata"]
    else:  # geoarrow types registered with pyarrow
        written = result.type.__arrow_ext_serialize__()
    parsed = json.loads(written) if written else {}
    assert parsed.get("crs") == crs
    assert ("crs_type" in parsed) == (crs is not None)
    if metadata == GEOARROW_CRS:
        assert parsed["edges"] == "spherical"


def test_pyarrow_result_keeps_chunks_and_types():
    chunks = pa.chunked_array([pa.array([POINT]), pa.array([None, POINT])])
    result = gc.wkb_to_wkt(chunks)
    assert isinstance(result, pa.ChunkedArray)
    assert pa.types.is_string(result.type) or pa.types.is_large_string(result.type) \
        or pa.types.is_string_view(result.type)
    assert result.to_pylist() == ["POINT (1 2)", None, "POINT (1 2)"]
