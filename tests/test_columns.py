"""geoweave_columns: every row as the scalar function gives it, for each kind of
column (Arrow types, slices, validity, chunks, numpy, pandas, lists), both error
modes and thread counts."""

import inspect
import pickle

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")  # test dependencies of the column module
pd = pytest.importorskip("pandas")

import geoweave
import geoweave_columns as gc

P = geoweave.wkt_to_wkb("POINT(1 2)")
P_SRID = geoweave.wkt_to_wkb("SRID=4326;POINT(1 2)")
LINE = geoweave.wkt_to_wkb("SRID=3857;LINESTRING(0 0,1 1,2 2)")
COLL = geoweave.wkt_to_wkb("GEOMETRYCOLLECTION(POINT(1 2),LINESTRING(0 0,1 1))")
BAD_WKB = b"\x01\x63\x00\x00\x00"
SHORT_WKB = b"\x01\x01\x00"

WKB_VALUES = [P, P_SRID, None, LINE, COLL, BAD_WKB, SHORT_WKB, b""]
TEXT_VALUES = ["POINT(1 2)", "SRID=4326;POINT (1 2)", None, "  linestring(0 0, 1 1) ",
               "POINT(1", "", geoweave.to_hex_wkb(P_SRID), geoweave.to_hex_wkb(LINE).lower(),
               "0101", "POINT Z (1 2 3)", "ÉPOINT(1 2)"]
HEX_VALUES = [geoweave.to_hex_wkb(v) for v in (P, P_SRID, LINE, COLL)] + [None, "0G", "012", ""]

# (function, positional arguments after the column, values of its column)
CASES = [
    ("wkb_to_wkt", (), WKB_VALUES),
    ("wkb_to_wkt", (False,), WKB_VALUES),
    ("wkb_to_wkt", (99,), WKB_VALUES),
    ("wkb_to_wkt_split_srid", (), WKB_VALUES),
    ("wkt_to_wkb", (), TEXT_VALUES),
    ("wkt_to_wkb", (7,), TEXT_VALUES),
    ("wkt_to_wkb_split_srid", (), TEXT_VALUES),
    ("wkt_to_hex_wkb", (False,), TEXT_VALUES),
    ("hex_wkb_to_wkt", (), HEX_VALUES),
    ("hex_wkb_to_wkt", (5,), HEX_VALUES),
    ("to_wkb", (), WKB_VALUES + TEXT_VALUES),
    ("to_wkb", (12,), WKB_VALUES + TEXT_VALUES),
    ("to_wkt", (), WKB_VALUES + TEXT_VALUES),
    ("to_wkt", (None, True), WKB_VALUES + TEXT_VALUES),
    ("to_hex_wkb", (), WKB_VALUES + TEXT_VALUES),
    ("to_hex_wkb", (False,), WKB_VALUES + TEXT_VALUES),
    ("wkb_header_srid", (), WKB_VALUES + HEX_VALUES),
    ("to_wkb_no_srid_header", (), WKB_VALUES + HEX_VALUES),
    ("to_ewkb_header", (31,), WKB_VALUES + HEX_VALUES),
    ("to_ewkb_header", (False,), WKB_VALUES + HEX_VALUES),
]
SPLIT = {"wkb_to_wkt_split_srid", "wkt_to_wkb_split_srid"}


def scalar(name, value, args):
    """The scalar result, or (type, message) of its exception; None stays None."""
    if value is None:
        return (None, None) if name in SPLIT else None
    try:
        return getattr(geoweave, name)(value, *args)
    except Exception as e:  # noqa: BLE001 - compared by type and message
        return (type(e), str(e))


def rows_of(result, name):
    if name in SPLIT:
        values, srids = result
        return list(zip(list(values), list(srids)))
    return list(result)


def as_pylist(result, name):
    if name in SPLIT:
        return list(zip(result[0].to_pylist(), result[1].to_pylist()))
    return result.to_pylist()


@pytest.mark.parametrize("name,args,values", CASES)
def test_list_rows_are_the_scalar_results(name, args, values):
    expected = [scalar(name, v, args) for v in values]
    fn = getattr(gc, name)
    got = rows_of(fn(values, *args, errors="null"), name)
    null = (None, None) if name in SPLIT else None
    assert got == [null if isinstance(e, tuple) and isinstance(e[0], type) else e
                   for e in expected]
    failing = [i for i, e in enumerate(expected) if isinstance(e, tuple) and isinstance(e[0], type)]
    if failing:
        with pytest.raises(Exception) as info:
            fn(values, *args)
        assert (type(info.value), str(info.value)) == expected[failing[0]]
        assert info.value.__notes__ == [f"row {failing[0]}"]
    else:
        assert rows_of(fn(values, *args), name) == expected


ARROW_TYPES = [pa.binary(), pa.large_binary(), pa.binary_view(),
               pa.string(), pa.large_string(), pa.string_view()]


def arrow_case_values(name, values, arrow_type):
    """The values of `values` that the Arrow type can hold (bytes or str)."""
    text = pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type) or \
        pa.types.is_string_view(arrow_type)
    keep = [v for v in values if v is None or isinstance(v, str) == text]
    return keep if any(v is not None for v in keep) else None


@pytest.mark.parametrize("arrow_type", ARROW_TYPES, ids=str)
@pytest.mark.parametrize("name,args,values", CASES)
def test_arrow_rows_are_the_scalar_results(name, args, values, arrow_type):
    values = arrow_case_values(name, values, arrow_type)
    if values is None:
        pytest.skip("no values of this type for the function")
    column = pa.array(values * 3, arrow_type).slice(2, 2 * len(values))
    expected = [scalar(name, v, args) for v in column.to_pylist()]
    null = (None, None) if name in SPLIT else None
    result = getattr(gc, name)(column, *args, errors="null")
    parts = result if name in SPLIT else (result,)
    for part in parts:
        assert isinstance(part, pa.Array)
        part.validate(full=True)
    assert as_pylist(result, name) == [
        null if isinstance(e, tuple) and isinstance(e[0], type) else e for e in expected]
    if name == "wkb_header_srid" or name in SPLIT:
        assert parts[-1].type == pa.int32()


def test_wrong_arrow_type_for_the_function_raises_before_converting():
    with pytest.raises(TypeError, match="expected binary, large_binary or binary_view"):
        gc.wkb_to_wkt(pa.array(["POINT(1 2)"]))
    with pytest.raises(TypeError, match="expected string, large_string or string_view"):
        gc.wkt_to_wkb(pa.array([P]))
    with pytest.raises(TypeError, match="Arrow type int64 is not"):
        gc.to_wkt(pa.array([1, 2]))
    with pytest.raises(TypeError, match="dictionary<values=string, indices=int32>"):
        gc.to_wkt(pa.array(["POINT(1 2)"]).dictionary_encode())


@pytest.mark.parametrize("bad", [True, "x", 1.5, 2**40])
def test_whole_argument_problems_raise_before_any_row(bad):
    with pytest.raises((TypeError, ValueError)):
        gc.wkb_to_wkt([BAD_WKB], srid=bad)


@pytest.mark.parametrize("kwargs,error", [
    ({"errors": "ignore"}, ValueError), ({"errors": None}, TypeError),
    ({"threads": 0}, ValueError), ({"threads": -2}, ValueError),
    ({"threads": True}, TypeError), ({"threads": 1.0}, TypeError),
])
def test_bad_errors_or_threads(kwargs, error):
    with pytest.raises(error):
        gc.wkb_to_wkt([BAD_WKB], **kwargs)


@pytest.mark.parametrize("column", [b"\x01\x01", "POINT(1 2)", bytearray(b"1"), 5, object()])
def test_a_single_value_or_non_iterable_is_refused(column):
    with pytest.raises(TypeError):
        gc.to_wkt(column)


def test_none_in_none_out():
    assert gc.to_wkt(None) is None
    assert gc.wkb_to_wkt_split_srid(None) is None


def test_chunked_array_in_chunked_array_out():
    chunked = pa.chunked_array([pa.array([P, None]), pa.array([], pa.binary()),
                                pa.array([LINE, P_SRID]).slice(1)])
    result = gc.wkb_to_wkt(chunked)
    assert isinstance(result, pa.ChunkedArray)
    assert result.to_pylist() == [geoweave.wkb_to_wkt(P), None, geoweave.wkb_to_wkt(P_SRID)]


def test_a_stream_only_exporter_gives_a_table_shaped_stream():
    class StreamOnly:
        def __arrow_c_stream__(self, requested_schema=None):
            return pa.chunked_array([pa.array(["POINT(1 2)"]), pa.array([None, "POINT(3 4)"],
                                     pa.string())]).__arrow_c_stream__()
    result = gc.wkt_to_wkb(StreamOnly())
    assert type(result) is pa.RecordBatchReader
    table = result.read_all()
    assert table.schema.types == [pa.binary()]
    assert table.column(0).to_pylist() == [geoweave.wkt_to_wkb("POINT(1 2)"), None,
                                           geoweave.wkt_to_wkb("POINT(3 4)")]


class StreamOf:
    """A stream producer that is not pyarrow (as nanoarrow, arro3 or DuckDB)."""

    def __init__(self, chunked):
        self.chunked = chunked

    def __arrow_c_stream__(self, requested_schema=None):
        return self.chunked.__arrow_c_stream__()


BATCHES = [[P, None], [], [LINE, P_SRID, P], [P_SRID]]


def chunk_lengths(result):
    return [len(c) for c in pa.chunked_array(result).chunks]


def split_columns(result):
    """(texts, srids) of a split function's result: a pair of columns, or a
    stream's batches of two columns."""
    if isinstance(result, pa.RecordBatchReader):
        batches = list(result)
        return (pa.chunked_array([b.column(0) for b in batches], pa.string()),
                pa.chunked_array([b.column(1) for b in batches], pa.int32()))
    return result


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", ["other producer", "native", "nanoarrow"])
def test_a_stream_keeps_its_batch_lengths(kind, threads):
    chunked = pa.chunked_array([pa.array(b, pa.binary()) for b in BATCHES[:2]] +
                               [pa.array([LINE] + BATCHES[2] + [LINE]).slice(1, 3),
                                pa.array(BATCHES[3])])
    column = StreamOf(chunked)
    fn = gc.wkb_to_wkt_split_srid
    if kind == "native":  # this module's own column, as any consumer reads it
        fn = gc._native.wkb_to_wkt_split_srid
    elif kind == "nanoarrow":
        column = pytest.importorskip("nanoarrow").ArrayStream(chunked)
    texts, srids = split_columns(fn(column, threads=threads))
    lengths = [len(b) for b in BATCHES]
    assert chunk_lengths(texts) == lengths and chunk_lengths(srids) == lengths
    rows = [r for b in BATCHES for r in b]
    assert pa.chunked_array(texts).to_pylist() == \
        [None if r is None else geoweave.wkb_to_wkt_split_srid(r)[0] for r in rows]
    assert pa.chunked_array(srids).to_pylist() == \
        [None if r is None else geoweave.wkb_to_wkt_split_srid(r)[1] for r in rows]
    pa.chunked_array(texts).validate(full=True)


def extension_column(name, storage, metadata):
    field = pa.field("g", storage.type, metadata={"ARROW:extension:name": name,
                                                   "ARROW:extension:metadata": metadata})

    class Exporter:
        def __arrow_c_array__(self, requested_schema=None):
            return field.__arrow_c_schema__(), storage.__arrow_c_array__()[1]
    return Exporter()


@pytest.mark.parametrize("fn,name,storage,out_name", [
    (gc.wkb_to_wkt, "geoarrow.wkb", pa.array([P]), "geoarrow.wkt"),
    (gc.wkt_to_wkb, "geoarrow.wkt", pa.array(["POINT(1 2)"]), "geoarrow.wkb"),
    (gc.to_wkb_no_srid_header, "geoarrow.wkb", pa.array([P_SRID]), "geoarrow.wkb"),
    (gc.wkt_to_hex_wkb, "geoarrow.wkt", pa.array(["POINT(1 2)"]), None),
])
def test_geoarrow_extension_is_carried_to_the_result(fn, name, storage, out_name):
    result = fn(extension_column(name, storage, '{"crs": "OGC:CRS84"}'))
    field = pa.Field._import_from_c_capsule(result.__arrow_c_array__()[0])
    if out_name is None:
        assert not field.metadata
    else:
        assert field.metadata == {b"ARROW:extension:name": out_name.encode(),
                                  b"ARROW:extension:metadata": b'{"crs": "OGC:CRS84"}'}


def test_numpy_in_numpy_out_with_missing_values():
    column = np.array([P, None, float("nan"), pd.NA, P_SRID], dtype=object)
    result = gc.wkb_to_wkt(column)
    assert isinstance(result, np.ndarray) and result.dtype == object
    assert list(result) == [geoweave.wkb_to_wkt(P), None, None, None,
                            geoweave.wkb_to_wkt(P_SRID)]
    with pytest.raises(TypeError):
        gc.wkb_to_wkt(np.array([[P]], dtype=object))


NUMPY_ROWS = [P, None, LINE, float("nan"), P_SRID, COLL, b"", pd.NA]


@pytest.mark.parametrize("make", [
    lambda a: a,                                        # contiguous
    lambda a: a[::2],                                   # strided
    lambda a: a[::-1],                                  # negative stride
    lambda a: a[1:6],                                   # offset into the buffer
    lambda a: np.asfortranarray(a.reshape(2, 4))[:, 1],  # a column of a 2-D array
    lambda a: a.view(type("Sub", (np.ndarray,), {})),   # a subclass, read through tolist()
    lambda a: np.ma.masked_array(a, mask=[i % 3 == 0 for i in range(len(a))]),  # masked: None
    lambda a: a.astype(object)[:0],                     # empty
], ids=["contiguous", "strided", "reversed", "offset", "column", "subclass", "masked", "empty"])
def test_numpy_object_arrays_of_any_layout_give_their_rows(make):
    column = make(np.array(NUMPY_ROWS, dtype=object))
    def scalar(v):
        try:
            return geoweave.wkb_to_wkt(v)
        except Exception:  # errors="null": failing and missing rows are None
            return None
    expected = [scalar(v) for v in column.tolist()]
    result = gc.wkb_to_wkt(column, errors="null")
    assert list(result) == expected
    series = pd.Series(column.tolist(), dtype=object, index=range(100, 100 + len(column)))
    assert gc.wkb_to_wkt(series, errors="null").tolist() == expected


def test_pandas_in_pandas_out_keeps_index_and_name():
    series = pd.Series([P_SRID, pd.NA, LINE], index=[10, 20, 30], name="geom")
    values, srids = gc.wkb_to_wkt_split_srid(series)
    for part in (values, srids):
        assert isinstance(part, pd.Series)
        assert list(part.index) == [10, 20, 30] and part.name == "geom"
    assert srids.dtype == "Int32" and srids.tolist() == [4326, pd.NA, 3857]


def test_polars_in_polars_out():
    pl = pytest.importorskip("polars")
    series = pl.Series("geom", ["POINT(1 2)", None])
    result = gc.wkt_to_wkb(series)
    assert isinstance(result, pl.Series) and result.name == "geom"
    assert result.to_list() == [geoweave.wkt_to_wkb("POINT(1 2)"), None]


def test_iterables_give_lists():
    assert gc.wkb_header_srid(iter([P_SRID, None, P])) == [4326, None, None]
    assert gc.to_wkb_no_srid_header((P_SRID, geoweave.to_hex_wkb(P_SRID), memoryview(P_SRID))) \
        == [P, geoweave.to_hex_wkb(P), P]


def test_element_type_errors_are_row_errors():
    with pytest.raises(TypeError, match="not an instance of 'str'") as info:
        gc.wkt_to_wkb(["POINT(1 2)", None, b"POINT(1 2)"])
    assert info.value.__notes__ == ["row 2"]
    # a conversion error in an earlier row wins
    with pytest.raises(ValueError) as info:
        gc.wkt_to_wkb(["POINT(", 5])
    assert info.value.__notes__ == ["row 0"]
    # a wrong type is the caller's mistake, never a null
    with pytest.raises(TypeError, match="not an instance of 'str'") as info:
        gc.wkt_to_wkb(["POINT(", 5, b""], errors="null")
    assert info.value.__notes__ == ["row 1"]


def big_column(n, bad_rows):
    values = [P_SRID if i % 3 else LINE for i in range(n)]
    for i in bad_rows:
        values[i] = BAD_WKB
    return values


@pytest.mark.parametrize("kind", ["arrow", "list"])
def test_threads_give_identical_results_and_the_lowest_error(kind):
    n = 50_000
    values = big_column(n, [])
    column = pa.array(values) if kind == "arrow" else values
    one = gc.wkb_to_wkt(column, threads=1)
    two = gc.wkb_to_wkt(column, threads=2)
    many = gc.wkb_to_wkt(column, threads=7)
    if kind == "arrow":
        assert one.equals(two) and one.equals(many)
    else:
        assert one == two == many
    bad = big_column(n, [n - 5, 30_000, 40_001])
    column = pa.array(bad) if kind == "arrow" else bad
    for threads in (1, 2, 7):
        with pytest.raises(ValueError) as info:
            gc.wkb_to_wkt(column, threads=threads)
        assert info.value.__notes__ == ["row 30000"]
    nulled = gc.wkb_to_wkt(column, errors="null", threads=2)
    nulled = nulled.to_pylist() if kind == "arrow" else nulled
    assert [i for i, v in enumerate(nulled) if v is None] == [30_000, 40_001, n - 5]


def long_line_wkt(vertices, tail=""):
    coords = ", ".join(f"{i * 0.123456789:.9f} {-i * 1.5:.1f}" for i in range(vertices))
    return f"LINESTRING ({coords}{tail})"


@pytest.mark.parametrize("threads", [1, 2])
def test_rows_larger_than_the_room_made_ready_for_them(threads):
    # A row's result starts in the room a chunk has faulted in ahead (a couple
    # of MiB); these outgrow it, and a failing one leaves megabytes written
    # that the rows after it must overwrite, not follow.
    big = long_line_wkt(150_000)
    broken = long_line_wkt(150_000, tail=", 1 x")
    rows = ["POINT (1 2)", big, "POINT (3 4)", broken, big, "SRID=4326;POINT (5 6)"] * 2
    text = ["POINT (7 8)"] * 10_000 + rows + ["POINT (9 1)"] * 10_000  # two chunks
    wkb = gc.wkt_to_wkb(text, errors="null", threads=threads)
    expected = [None if t == broken else geoweave.wkt_to_wkb(t) for t in text]
    assert wkb == expected
    wkb_values = [b for b in expected if b is not None]
    assert gc.wkb_to_wkt(wkb_values, threads=threads) == [
        geoweave.wkb_to_wkt(b) for b in wkb_values
    ]


def test_chunks_joined_in_whichever_block_holds_them_all():
    # Large results are kept when freed and lent to the next conversion; with
    # threads one chunk gets the block the whole column fits in, and the
    # others' bytes are joined around its own, whichever chunk that is.
    # The second half's results are the larger: its chunk then takes the
    # whole column's block, left by the conversion before.
    column = pa.array([P] * 60_000 + [COLL] * 60_000)
    expected = gc.wkb_to_wkt(column, threads=1)
    for _ in range(8):
        assert gc.wkb_to_wkt(column, threads=2).equals(expected)
        assert gc.wkb_to_wkt(column, threads=3).equals(expected)


WRITES_WKB = {"wkt_to_wkb", "wkt_to_wkb_split_srid", "wkt_to_hex_wkb", "to_wkb", "to_hex_wkb"}


def test_module_surface():
    assert gc.__all__ == geoweave.__all__
    for name in gc.__all__:
        fn = getattr(gc, name)
        assert pickle.loads(pickle.dumps(fn)) is fn
        tail = ", flavor='extended')" if name in WRITES_WKB else ")"
        assert str(inspect.signature(fn)).endswith("*, errors='raise', threads=None, column=None" + tail)
        native = getattr(gc._native, name)
        assert native.__text_signature__.endswith("*, errors='raise', threads=None" + tail)
        assert "threads=1" in fn.__doc__
    assert str(inspect.signature(gc.to_wkt)) == \
        "(source, srid=None, normalize_wkt=False, *, errors='raise', threads=None, column=None)"
    with pytest.raises(TypeError, match="missing 2 required positional arguments"):
        gc.to_ewkb_header()
    with pytest.raises(TypeError, match="unexpected keyword argument 'normalize_wkt'"):
        gc.to_wkb([], normalize_wkt=True)
    with pytest.raises(TypeError):
        gc.wkb_to_wkt([], None, "null")  # errors is keyword-only


def test_a_single_column_table_converts_its_column():
    batch = pa.record_batch({"g": pa.array([P, None, P_SRID])}).slice(1)
    result = gc.wkb_to_wkt(batch)
    assert isinstance(result, pa.RecordBatch)
    assert result.column("g").to_pylist() == [None, geoweave.wkb_to_wkt(P_SRID)]
    with pytest.raises(TypeError, match="2 columns \\('a', 'b'\\)"):
        gc.wkb_to_wkt(pa.record_batch({"a": [P], "b": [P]}))


def test_duckdb_result():
    duckdb = pytest.importorskip("duckdb")
    geoms = pa.table({"g": pa.array(["POINT(1 2)", None] * 3)})  # noqa: F841 - read by DuckDB
    result = gc.wkt_to_wkb(duckdb.connect().sql("select g from geoms"))
    assert isinstance(result, pa.Table)  # a relation is a table
    assert result.column("g").to_pylist() == [geoweave.wkt_to_wkb("POINT(1 2)"), None] * 3


# A row's numbers may be read with loads that run on into the rows after it in
# the same buffer; nothing past a row's end may count as part of it, whatever
# the next row starts with (digits, a point, an exponent, a parenthesis).
ROW_ENDS = ["POINT (1 2", "POINT (1 2.", "POINT (1.5 2e", "POINT (1 2)", "POINT (-9.620228 1",
            "POINT(1 2.5", "POINT (1 ", "POINT (1", "POINT (135.2530362746084 -9.62022807144336"]
ROW_STARTS = ["3)", "5 6)", ".25)", "e5)", "0)", ")", "1234567890123456789)", " 7)", "-1)"]


@pytest.mark.parametrize("name", ["wkt_to_wkb", "wkt_to_hex_wkb"])
@pytest.mark.parametrize("arrow_type", [pa.string(), pa.large_string()], ids=str)
def test_rows_are_never_read_into_the_next(name, arrow_type):
    values = [v for end in ROW_ENDS for start in ROW_STARTS for v in (end, start)]
    expected = [scalar(name, v, ()) for v in values]
    result = getattr(gc, name)(pa.array(values, arrow_type), errors="null").to_pylist()
    assert result == [None if isinstance(e, tuple) else e for e in expected]
    assert any(e is not None for e in result) and any(e is None for e in result)
