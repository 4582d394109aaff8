"""geoweave_columns on what users hold around a column: tables, record batches,
streams (converted lazily), Polars frames and expressions, Arrow-backed pandas
Series; layouts, chunks and GeoArrow/GeoParquet metadata kept true. Row by row
equivalence with the scalar functions is in test_columns_properties.py."""

import json
import signal
import subprocess
import sys
import textwrap

import pytest

import geoweave as g
import geoweave_columns as gc

pa = pytest.importorskip("pyarrow")

P = g.wkt_to_wkb("POINT (1 2)")
P_SRID = g.wkt_to_wkb("SRID=4326;POINT (1 2)")
WKT_P = "POINT (1 2)"


def geo_table(**extra_metadata):
    geo = {"version": "1.1.0", "primary_column": "geometry",
           "columns": {"geometry": {"encoding": "WKB", "geometry_types": ["Point"],
                                    "crs": {"id": {"authority": "EPSG", "code": 4326}}}}}
    schema = pa.schema([("id", pa.int64()), ("geometry", pa.binary()), ("name", pa.string())],
                       metadata={"geo": json.dumps(geo), **extra_metadata})
    return pa.table({"id": [1, 2, 3], "geometry": [P, None, P_SRID], "name": ["a", "b", "c"]},
                    schema=schema)


# ------------------------------------------------------------- tables ----

@pytest.mark.parametrize("kind", ["table", "batch"])
def test_one_column_converted_in_place_everything_else_kept(kind):
    table = geo_table(note="kept")
    if kind == "batch":
        table = table.to_batches()[0]
    out = gc.wkb_to_wkt(table, column="geometry")
    assert type(out) is type(table)
    assert out.column_names == ["id", "geometry", "name"]
    assert out.column("id").equals(table.column("id")) and out.column("name").equals(table.column("name"))
    assert out.column("geometry").to_pylist() == ["POINT (1 2)", None, "SRID=4326;POINT (1 2)"]
    assert out.schema.metadata[b"note"] == b"kept"
    # WKT text is no GeoParquet encoding: the column leaves the geo metadata,
    # which goes as a whole when no geometry column is left.
    assert b"geo" not in out.schema.metadata
    # A text column made WKB joins it, with the CRS its srid argument sets.
    both = geo_table().append_column("wkt", pa.array([WKT_P, None, None]))
    geo = json.loads(gc.wkt_to_wkb(both, 3857, column="wkt").schema.metadata[b"geo"])
    assert geo["columns"]["wkt"]["encoding"] == "WKB"
    assert "3857" in json.dumps(geo["columns"]["wkt"]["crs"])
    assert geo["columns"]["geometry"]["crs"]["id"]["code"] == 4326


def test_geoparquet_crs_follows_the_srid_argument():
    table = geo_table()
    for srid, crs in [(None, 4326), (False, 4326), (3857, 3857)]:
        out = gc.to_wkb(table, srid, column="geometry")
        geo = json.loads(out.schema.metadata[b"geo"])["columns"]["geometry"]
        assert str(crs) in json.dumps(geo["crs"]), (srid, geo)
    for srid in (0, -1):  # SRID 0 or less: no SRID, an unknown CRS
        geo = json.loads(gc.to_wkb(table, srid, column="geometry").schema.metadata[b"geo"])
        assert geo["columns"]["geometry"]["crs"] is None, srid


def test_several_columns_need_a_name_and_errors_name_them():
    table = geo_table()
    with pytest.raises(TypeError, match="'id', 'geometry', 'name'.*column="):
        gc.wkb_to_wkt(table)
    with pytest.raises(KeyError, match="no column 'geom'.*'id', 'geometry', 'name'"):
        gc.wkb_to_wkt(table, column="geom")
    with pytest.raises(TypeError, match="column= names a column of a table"):
        gc.wkb_to_wkt(pa.array([P]), column="geometry")
    # A bad argument fails before the table is looked at.
    with pytest.raises(ValueError, match="errors"):
        gc.wkb_to_wkt(table, column="nope", errors="bad")
    single = pa.table({"g": [P, None]})
    assert gc.wkb_to_wkt(single).column("g").to_pylist() == [WKT_P, None]


def test_split_adds_the_srid_column_after_the_converted_one():
    table = geo_table()
    out = gc.wkb_to_wkt_split_srid(table, column="geometry")
    assert out.column_names == ["id", "geometry", "geometry_srid", "name"]
    assert out.schema.field("geometry_srid").type == pa.int32()
    assert out.column("geometry").to_pylist() == [WKT_P, None, WKT_P]
    assert out.column("geometry_srid").to_pylist() == [None, None, 4326]


def test_chunk_boundaries_and_layouts_kept():
    chunks = [pa.array([P] * 3, pa.large_binary()), pa.array([], pa.large_binary()),
              pa.array([P_SRID, None], pa.large_binary())]
    column = pa.chunked_array(chunks)
    out = gc.wkb_to_wkt(column)
    assert [len(c) for c in out.chunks] == [3, 0, 2] and out.type == pa.large_string()
    texts, srids = gc.wkb_to_wkt_split_srid(column)
    assert [len(c) for c in srids.chunks] == [3, 0, 2]
    table = pa.table({"g": column, "x": pa.chunked_array([[1, 2, 3], [], [4, 5]])})
    out = gc.wkb_to_wkt(table, column="g")
    assert [len(c) for c in out.column("g").chunks] == [3, 0, 2]
    assert out.column("g").type == pa.large_string()
    for typ, expected in [(pa.binary_view(), pa.string_view()), (pa.large_binary(), pa.large_string()),
                          (pa.binary(), pa.string())]:
        assert gc.wkb_to_wkt(pa.array([P], typ)).type == expected
    for typ, expected in [(pa.string_view(), pa.binary_view()), (pa.large_string(), pa.large_binary())]:
        assert gc.wkt_to_wkb(pa.array([WKT_P], typ)).type == expected
        assert gc.to_wkb_no_srid_header(pa.array([P], expected)).type == expected


def geoarrow_field(name, crs=None):
    meta = {"crs": crs, "crs_type": "authority_code"} if crs else {}
    return pa.field("g", pa.binary() if name == "geoarrow.wkb" else pa.string(),
                    metadata={"ARROW:extension:name": name,
                              "ARROW:extension:metadata": json.dumps(meta)})


@pytest.mark.parametrize("call, extension, crs", [
    (lambda t: gc.wkb_to_wkt(t, column="g"), "geoarrow.wkt", "EPSG:4326"),
    (lambda t: gc.wkb_to_wkt(t, False, column="g"), "geoarrow.wkt", "EPSG:4326"),
    (lambda t: gc.to_wkb(t, 3857, column="g"), "geoarrow.wkb", "EPSG:3857"),
    (lambda t: gc.to_ewkb_header(t, 3857, column="g"), "geoarrow.wkb", "EPSG:3857"),
    (lambda t: gc.to_wkb(t, 0, column="g"), "geoarrow.wkb", None),
    (lambda t: gc.to_wkb(t, -1, column="g"), "geoarrow.wkb", None),
    (lambda t: gc.wkb_header_srid(t, column="g"), None, None),
])
def test_geoarrow_extension_and_crs_follow_the_conversion(call, extension, crs):
    schema = pa.schema([geoarrow_field("geoarrow.wkb", "EPSG:4326"), ("n", pa.int8())])
    table = pa.table({"g": [P_SRID, None], "n": [1, 2]}, schema=schema)
    field = call(table).schema.field("g")
    meta = field.metadata or {}
    assert meta.get(b"ARROW:extension:name") == (extension.encode() if extension else None)
    if extension:
        parsed = json.loads(meta[b"ARROW:extension:metadata"] or b"{}")
        assert parsed.get("crs") == crs


# ------------------------------------------------------------ streams ----

def counting_reader(batches, pulled):
    schema = batches[0].schema

    def source():
        for b in batches:
            pulled.append(len(b))
            yield b
    return pa.RecordBatchReader.from_batches(schema, source())


def test_stream_converts_lazily_in_order():
    batches = [pa.record_batch({"i": [i, i], "g": [P, P_SRID]}) for i in range(50)]
    pulled = []
    out = gc.wkb_to_wkt(counting_reader(batches, pulled), column="g")
    assert isinstance(out, pa.RecordBatchReader) and pulled == []
    first = out.read_next_batch()
    assert first.column("g").to_pylist() == [WKT_P, "SRID=4326;POINT (1 2)"]
    assert len(pulled) <= 3  # the batch read and a couple converted ahead
    rest = out.read_all()
    assert rest.column("i").to_pylist() == [i for i in range(1, 50) for _ in (0, 1)]
    assert len(pulled) == 50


def test_stream_error_names_the_row_of_the_stream_and_stops():
    batches = [pa.record_batch({"g": [P, P]}) for _ in range(5)]
    batches[3] = pa.record_batch({"g": [P, b"\x01\x63"]})
    out = gc.wkb_to_wkt(counting_reader(batches, []), column="g")
    with pytest.raises(ValueError) as info:
        out.read_all()
    assert info.value.__notes__[-1] == "row 7"


def test_any_struct_producer_is_a_table():
    na = pytest.importorskip("nanoarrow")
    table = pa.table({"a": [1, 2], "g": [P, None]})
    stream = gc.wkb_to_wkt(na.ArrayStream(table), column="g")
    assert isinstance(stream, pa.RecordBatchReader)
    assert stream.read_all().column("g").to_pylist() == [WKT_P, None]
    batch = gc.wkb_to_wkt(na.c_array(table.to_batches()[0]), column="g")
    assert isinstance(batch, pa.RecordBatch) and batch.column_names == ["a", "g"]


def test_consumers_read_results_as_they_stand():
    duckdb = pytest.importorskip("duckdb")
    pl = pytest.importorskip("polars")
    na = pytest.importorskip("nanoarrow")
    con = duckdb.connect()
    relation = con.sql("SELECT 7 AS id, 'POINT (1 2)' AS wkt")
    table = gc.wkt_to_wkb(relation, column="wkt")
    assert con.from_arrow(table).fetchall() == [(7, P)]
    assert pl.from_arrow(table).columns == ["id", "wkt"]
    array = gc.wkt_to_wkb(na.c_array(pa.array([WKT_P])))
    assert pl.from_arrow(array).to_list() == [P]
    wkb = gc.wkt_to_wkb(con.sql("SELECT 'POINT (1 2)' AS wkt"))
    assert duckdb.sql("SELECT * FROM wkb").fetchall() == [(P,)]  # replacement scan


def test_ctrl_c_between_batches_stops_the_stream(tmp_path):
    script = textwrap.dedent(f"""
        import os, signal, sys, threading, time
        import pyarrow as pa
        import geoweave_columns as gc
        P = {P!r}
        def source():
            for i in range(10**6):
                if i == 5:
                    threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
                time.sleep(0.01)
                yield pa.record_batch({{"g": [P] * 100}})
        reader = pa.RecordBatchReader.from_batches(pa.schema([("g", pa.binary())]), source())
        try:
            for batch in gc.wkb_to_wkt(reader, column="g"):
                pass
        except KeyboardInterrupt:
            print("interrupted")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout.strip() == "interrupted", done.stderr


def test_a_producer_without_pyarrow_looks_for_it_once_and_sees_it_imported_later():
    """Without pyarrow a producer's result is the module's own column, and
    pyarrow is not searched for again on every call (tens of microseconds);
    once the caller imports it, results are pyarrow arrays."""
    pytest.importorskip("nanoarrow")
    script = textwrap.dedent(f"""
        import sys
        class Hidden:
            looked = 0
            def find_spec(self, name, path=None, target=None):
                if name == "pyarrow":
                    Hidden.looked += 1
                    raise ModuleNotFoundError("No module named 'pyarrow'", name="pyarrow")
        sys.meta_path.insert(0, Hidden())
        import nanoarrow as na
        import geoweave_columns as gc
        column = na.c_array([{P!r}, None], na.binary())
        kinds = []
        for _ in range(3):
            kinds.append(type(gc.wkb_to_wkt(column)).__module__.split(".")[0])
        looked = Hidden.looked
        del sys.meta_path[0]
        import pyarrow
        result = gc.wkb_to_wkt(column)
        print(kinds, looked, type(result).__name__, result.to_pylist())
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout.split() == ["['geoweave_columns',", "'geoweave_columns',",
                                   "'geoweave_columns']", "1", "StringArray",
                                   "['POINT", "(1", "2)',", "None]"], done.stderr


# ------------------------------------------------------ pandas, Polars ----

def test_pandas_arrow_backed_dtypes_kept():
    pd = pytest.importorskip("pandas")
    s = pd.Series([WKT_P, None, "SRID=3857;POINT (1 2)"], index=[5, 6, 7], name="g",
                  dtype="string[pyarrow]")
    wkb, srids = gc.wkt_to_wkb_split_srid(s)
    # string[pyarrow] holds large_string: the WKB is large_binary, and back.
    assert wkb.dtype == pd.ArrowDtype(pa.large_binary())
    assert list(wkb.index) == [5, 6, 7] and wkb.name == "g"
    assert srids.dtype == pd.ArrowDtype(pa.int32()) and srids.tolist()[2] == 3857
    assert gc.wkb_to_wkt(wkb).dtype == pd.ArrowDtype(pa.large_string())
    assert gc.wkb_to_wkt(wkb).tolist()[:2] == [WKT_P, pd.NA]
    assert gc.to_wkt(s).dtype == s.dtype
    objects = pd.Series([P_SRID, None], dtype=object)
    assert gc.wkb_header_srid(objects).dtype == "Int32"
    assert gc.wkb_to_wkt_split_srid(objects)[1].dtype == "Int32"


def test_polars_frame_and_expression_namespace():
    pl = pytest.importorskip("polars")
    import geoweave_columns.polars  # noqa: F401 - registers the namespace
    frame = pl.DataFrame({"id": [1, 2], "geom": [P_SRID, None]})
    out = gc.wkb_to_wkt(frame, column="geom")
    assert isinstance(out, pl.DataFrame) and out.columns == ["id", "geom"]
    assert out["geom"].to_list() == ["SRID=4326;POINT (1 2)", None]
    lazy = frame.lazy().with_columns(
        wkt=pl.col("geom").geoweave.wkb_to_wkt(srid=False),
        srid=pl.col("geom").geoweave.wkb_header_srid(),
        split=pl.col("geom").geoweave.wkb_to_wkt_split_srid(),
        same=pl.col("geom").geoweave.to_ewkb_header(3857))
    assert lazy.collect_schema()["wkt"] == pl.String
    assert lazy.collect_schema()["srid"] == pl.Int32
    assert lazy.collect_schema()["same"] == pl.Binary
    for engine in ("in-memory", "streaming"):
        got = lazy.collect(engine=engine)
        assert got["wkt"].to_list() == [WKT_P, None]
        assert got["srid"].to_list() == [4326, None]
        assert got["split"].struct.field("srid").to_list() == [4326, None]
        assert g.wkb_header_srid(got["same"][0]) == 3857
    with pytest.raises(ValueError):
        pl.col("geom").geoweave.wkb_to_wkt(errors="bad")  # checked when the expression is made


def test_version_is_the_distribution_version():
    from importlib import metadata
    assert gc.__version__ == metadata.version("geoweave")
