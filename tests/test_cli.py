"""The `geoweave` command line: every format pair on small files, how the
geometry column is chosen, the GeoParquet metadata as readers see it, bad
rows, Ctrl-C, the progress display and usage errors."""

import gzip
import json
import os
import pty
import signal
import subprocess
import sys
import threading
import time

import pytest

pa = pytest.importorskip("pyarrow")
pytest.importorskip("numpy")
pytest.importorskip("pyproj")  # GeoParquet output writes its CRS as PROJJSON
import pyarrow.csv as pacsv  # noqa: E402
import pyarrow.ipc as ipc  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import geoweave  # noqa: E402
import geoweave_columns as gc  # noqa: E402
from geoweave_cli import main  # noqa: E402

WKT = ["POINT (1 2)", "LINESTRING (0 0, 1.5 2)", None,
       "POLYGON ((0 0, 1 0, 1 1, 0 0))", "MULTIPOINT ((0.30000000000000004 51.477928))"]
IDS = [10, 11, 12, 13, 14]
NAMES = ["a", "b, c", "d", "", "e"]
CRS_4326 = {"type": "GeographicCRS", "name": "WGS 84", "id": {"authority": "EPSG", "code": 4326}}


def cli(*args, stdin=None, **kw):
    """The command run in a subprocess: (exit status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-m", "geoweave_cli", *args], input=stdin,
                          capture_output=True, timeout=60, **kw)
    return done.returncode, done.stdout, done.stderr.decode()


def write_input(path, kind):
    """A small file of kind csv/tsv/csv.gz/parquet/arrow holding WKT with SRID 4326:
    EWKT text in CSV files, ISO WKB and an EPSG:4326 CRS in the others."""
    if kind in ("parquet", "arrow"):
        wkb = gc.to_wkb(pa.array(WKT), srid=False)
        geo = {"version": "1.1.0", "primary_column": "geometry",
               "columns": {"geometry": {"encoding": "WKB", "geometry_types": [],
                                        "crs": CRS_4326}}}
        table = pa.table({"id": IDS, "name": NAMES, "geometry": wkb},
                         metadata={"geo": json.dumps(geo)})
        if kind == "parquet":
            pq.write_table(table, path)
        else:
            with ipc.new_file(str(path), table.schema) as w:
                w.write_table(table)
        return
    delimiter = "\t" if kind.startswith("tsv") else ","
    rows = [delimiter.join(["id", "name", "geometry"])] + [
        delimiter.join([str(i), f'"{n}"', "" if w is None else f'"SRID=4326;{w}"'])
        for i, n, w in zip(IDS, NAMES, WKT, strict=True)]
    text = "\n".join(rows) + "\n"
    data = text.encode()
    if kind.endswith(".gz"):
        data = gzip.compress(data)
    path.write_bytes(data)


def read_output(path, kind):
    """(table, geo metadata or None) of an output file."""
    if kind == "parquet":
        table = pq.read_table(path)
    elif kind == "arrow":
        table = ipc.open_file(pa.memory_map(str(path))).read_all()
    else:
        opts = pacsv.ParseOptions(delimiter="\t" if kind.startswith("tsv") else ",")
        table = pacsv.read_csv(pa.input_stream(str(path), compression="detect"),
                               parse_options=opts,
                               convert_options=pacsv.ConvertOptions(
                                   column_types={"name": pa.string()},
                                   strings_can_be_null=True))
    raw = (table.schema.metadata or {}).get(b"geo")
    return table, json.loads(raw) if raw else None


INPUTS = ["csv", "tsv", "csv.gz", "parquet", "arrow"]
OUTPUTS = ["csv", "tsv", "csv.gz", "parquet", "arrow"]


@pytest.mark.parametrize("inp", INPUTS)
@pytest.mark.parametrize("out", OUTPUTS)
def test_every_format_pair_converts_with_the_srid_or_crs(tmp_path, inp, out):
    source, target = tmp_path / f"in.{inp}", tmp_path / f"out.{out}"
    write_input(source, inp)
    assert main(["convert", str(source), str(target), "--quiet"]) == 0
    table, geo = read_output(target, out)
    assert table.column_names == ["id", "name", "geometry"]
    assert table["id"].to_pylist() == IDS
    assert [n or "" for n in table["name"].to_pylist()] == NAMES
    if out in ("parquet", "arrow"):
        wkb = table["geometry"]
        assert gc.wkb_header_srid(wkb).to_pylist() == [None] * len(WKT)
        assert gc.wkb_to_wkt(wkb).to_pylist() == WKT
        assert geo["columns"]["geometry"]["encoding"] == "WKB"
        assert geo["columns"]["geometry"]["crs"]["id"] == {"authority": "EPSG", "code": 4326}
        assert geo["primary_column"] == "geometry"
    else:
        assert table["geometry"].to_pylist() == [None if w is None else f"SRID=4326;{w}"
                                                 for w in WKT]
    assert sorted(os.listdir(tmp_path)) == sorted([source.name, target.name])


def test_geoparquet_metadata_read_back_by_pyarrow_and_geopandas(tmp_path):
    write_input(tmp_path / "in.csv", "csv")
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "out.parquet"), "-q"]) == 0
    geo = json.loads(pq.read_schema(tmp_path / "out.parquet").metadata[b"geo"])
    assert geo["version"] == "1.1.0"
    assert geo["columns"]["geometry"]["geometry_types"] == [
        "Point", "LineString", "Polygon", "MultiPoint"]
    geopandas = pytest.importorskip("geopandas")
    frame = geopandas.read_parquet(tmp_path / "out.parquet")
    assert frame.crs.to_epsg() == 4326
    assert [None if g is None else g.wkt for g in frame.geometry][:2] == [
        "POINT (1 2)", "LINESTRING (0 0, 1.5 2)"]


def test_a_geopandas_file_gives_its_crs_to_the_rows(tmp_path):
    geopandas = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    frame = geopandas.GeoDataFrame({"id": [1, 2]}, crs=3857,
                                   geometry=[shapely.Point(1, 2), shapely.Point(3, 4, 5)])
    frame.to_parquet(tmp_path / "in.parquet")
    status, out, _ = cli("convert", str(tmp_path / "in.parquet"), "-")
    assert status == 0
    assert out.decode().splitlines()[1:] == ['1,"SRID=3857;POINT (1 2)"',
                                             '2,"SRID=3857;POINT Z (3 4 5)"']


@pytest.mark.parametrize("entry, expected", [
    ({"crs": {"type": "EngineeringCRS", "name": "local"}},
     {"crs": {"type": "EngineeringCRS", "name": "local"}}),   # kept as it is
    ({}, {}),                                                  # absent: OGC:CRS84, still absent
    ({"crs": None}, {"crs": None}),
])
def test_geoparquet_to_geoparquet_keeps_the_crs(tmp_path, entry, expected):
    geo = {"version": "1.0.0", "primary_column": "g",
           "columns": {"g": {"encoding": "WKB", "geometry_types": [], **entry}}}
    pq.write_table(pa.table({"g": gc.to_wkb(pa.array(["POINT (1 2)"]))},
                            metadata={"geo": json.dumps(geo)}), tmp_path / "in.parquet")
    assert main(["convert", str(tmp_path / "in.parquet"), str(tmp_path / "o.parquet")]) == 0
    out = json.loads(pq.read_schema(tmp_path / "o.parquet").metadata[b"geo"])["columns"]["g"]
    assert out == {"encoding": "WKB", "geometry_types": ["Point"], **expected}


def test_stdin_to_stdout_and_the_crs_becoming_the_rows_srid(tmp_path):
    write_input(tmp_path / "in.parquet", "parquet")
    status, out, _ = cli("convert", str(tmp_path / "in.parquet"), "-", "--to", "hex")
    assert status == 0
    status, back, err = cli("convert", "-", "-", "--srid", "strip", stdin=out)
    assert (status, err) == (0, "")
    lines = back.decode().splitlines()
    assert lines[1] == '"10","a","POINT (1 2)"'
    hexed = out.decode().splitlines()[1].split(",")[-1].strip('"')
    assert geoweave.wkb_header_srid(bytes.fromhex(hexed)) == 4326


@pytest.mark.parametrize("srid, crs, rows", [
    ([], 4326, None),                     # the rows' one SRID
    (["--srid", "3857"], 3857, None),     # set
    (["--srid", "strip"], None, None),    # unknown CRS
])
def test_geoparquet_crs_from_the_srid_option(tmp_path, srid, crs, rows):
    write_input(tmp_path / "in.csv", "csv")
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "o.parquet"), "-q",
                 *srid]) == 0
    entry = json.loads(pq.read_schema(tmp_path / "o.parquet").metadata[b"geo"])["columns"][
        "geometry"]
    assert (entry["crs"] and entry["crs"]["id"]["code"]) == crs


def test_several_srids_stop_the_run_unless_srid_settles_it(tmp_path, capsys):
    (tmp_path / "in.csv").write_text(
        'geom\n"SRID=4326;POINT (1 2)"\n"SRID=3857;POINT (1 2)"\n')
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "o.parquet")]) == 1
    err = capsys.readouterr().err
    assert "several SRIDs" in err and "SRID 3857 in 1 row (first at row 1)" in err
    assert os.listdir(tmp_path) == ["in.csv"]
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "o.parquet"),
                 "--srid", "4326"]) == 0


@pytest.mark.parametrize("columns, asked, chosen", [
    (["id", "GEOM"], None, "GEOM"),            # an expected name, any case
    (["the_geom", "x"], None, "the_geom"),
    (["wkt", "other"], "other", "other"),      # --column wins
])
def test_the_geometry_column_is_chosen(tmp_path, columns, asked, chosen):
    values = {c: ["POINT (1 2)"] if c == chosen else ["7"] for c in columns}
    pacsv.write_csv(pa.table(values), tmp_path / "in.csv")
    extra = ["--column", asked] if asked else []
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "o.parquet"), *extra]) == 0
    table = pq.read_table(tmp_path / "o.parquet")
    assert table[chosen].type == pa.binary()
    assert table.column_names == columns


def test_the_geoparquet_primary_column_is_chosen_first(tmp_path):
    geo = {"version": "1.1.0", "primary_column": "b",
           "columns": {"b": {"encoding": "WKB", "geometry_types": []}}}
    pq.write_table(pa.table({"geometry": ["not a geometry"],
                             "b": gc.to_wkb(pa.array(["POINT (1 2)"]))},
                            metadata={"geo": json.dumps(geo)}), tmp_path / "in.parquet")
    assert main(["convert", str(tmp_path / "in.parquet"), str(tmp_path / "o.csv")]) == 0
    table = pacsv.read_csv(tmp_path / "o.csv")
    assert table.to_pydict() == {"geometry": ["not a geometry"], "b": ["POINT (1 2)"]}


@pytest.mark.parametrize("columns, message", [
    (["a", "b"], "no column has a geometry name"),
    (["geom", "wkt"], "several columns have a geometry name"),
])
def test_no_clear_geometry_column_lists_the_columns(tmp_path, capsys, columns, message):
    pacsv.write_csv(pa.table({c: ["POINT (1 2)"] for c in columns}), tmp_path / "in.csv")
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "o.parquet")]) == 2
    err = capsys.readouterr().err
    assert message in err and f"the columns are: {', '.join(columns)}" in err
    assert len(err.splitlines()) == 1


BAD = 'id,wkt\n1,POINT (1 2)\n2,"POINT (1"\n3,POINT (3 4)\n'


@pytest.mark.parametrize("out", ["o.parquet", "o.csv"])
def test_a_bad_row_stops_the_run_and_leaves_nothing(tmp_path, capsys, out):
    (tmp_path / "in.csv").write_text(BAD)
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / out)]) == 1
    err = capsys.readouterr().err
    assert "row 1 (data rows counted from 0), column 'wkt': invalid WKT: " in err
    assert os.listdir(tmp_path) == ["in.csv"]


@pytest.mark.parametrize("args", [[], ["--to", "hex", "--flavor", "extended"]])
def test_bad_wkb_is_found_not_copied(tmp_path, capsys, args):
    # Plain 2D WKB needs no rewriting, but a truncated value is still bad.
    good = geoweave.wkt_to_wkb("POINT (1 2)")
    pq.write_table(pa.table({"geom": [good, good[:-3]]}), tmp_path / "in.parquet")
    out = "o.csv" if args else "o.parquet"
    assert main(["convert", str(tmp_path / "in.parquet"), str(tmp_path / out), *args]) == 1
    assert "row 1 (data rows counted from 0), column 'geom': invalid WKB" in \
        capsys.readouterr().err


HEX_POINT = geoweave.wkt_to_hex_wkb("SRID=4326;POINT (1 2)")


@pytest.mark.parametrize("second, status, expected", [
    (HEX_POINT, 0, ["POINT (1 2)", "POINT (1 2)"]),
    (HEX_POINT[:-6], 1, "row 1 (data rows counted from 0), column 'geom': invalid WKB"),
])
def test_hex_wkb_text_is_decoded_and_read_in_full(tmp_path, capsys, second, status, expected):
    (tmp_path / "in.csv").write_text(f"geom\n{HEX_POINT}\n{second}\n")
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "o.parquet")]) == status
    if status:
        assert expected in capsys.readouterr().err
        assert os.listdir(tmp_path) == ["in.csv"]
        return
    table = pq.read_table(tmp_path / "o.parquet")
    assert gc.wkb_to_wkt(table["geom"]).to_pylist() == expected
    entry = json.loads(table.schema.metadata[b"geo"])["columns"]["geom"]
    assert entry["crs"]["id"]["code"] == 4326 and entry["geometry_types"] == ["Point"]


def test_errors_null_turns_bad_wkb_into_null(tmp_path, capsys):
    good = geoweave.wkt_to_wkb("POINT (1 2)")
    pq.write_table(pa.table({"id": [0, 1, 2, 3], "geom": [good, None, good[:-3], good]}),
                   tmp_path / "in.parquet")
    assert main(["convert", str(tmp_path / "in.parquet"), str(tmp_path / "o.csv"), "--to", "hex",
                 "--errors", "null"]) == 0
    assert "1 row of column 'geom' could not be converted and written as null (the first is " \
        "row 2" in capsys.readouterr().err
    hexes = read_output(tmp_path / "o.csv", "csv")[0]["geom"].to_pylist()
    assert hexes == [good.hex().upper(), None, None, good.hex().upper()]


@pytest.mark.parametrize("inp, out", [("in.csv", "o.parquet"), ("o.parquet", "back.csv")])
def test_a_run_does_not_import_pandas(tmp_path, inp, out):
    # pyarrow imports pandas (half a second) when it makes arrays or scalars
    # from Python values, or an empty table from a schema.
    (tmp_path / "in.csv").write_text('id,wkt\n1,"SRID=4326;POINT (1 2)"\n2,\n')
    if inp != "in.csv":
        assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / inp)]) == 0
    code = ("import sys; from geoweave_cli import main; "
            f"main(['convert', {str(tmp_path / inp)!r}, {str(tmp_path / out)!r}]); "
            "print('pandas' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout.strip() == "False", done.stderr


def test_geometry_types_counted_from_the_type_words():
    from geoweave_cli import geo
    np = pytest.importorskip("numpy")
    wkb = pa.concat_arrays([
        gc.to_wkb(pa.array(["POINT (1 2)", None, "POINT Z (1 2 3)", "MULTIPOLYGON EMPTY",
                            "SRID=4;LINESTRING M (0 0 1, 1 1 2)", "POINT (1 2)"]),
                  srid=False, flavor="iso"),
        gc.to_wkb(pa.array(["SRID=4;POINT ZM (1 2 3 4)"])),  # EWKB flags
        pa.array([b"\x00\x00\x00\x00\x02", b"\x01", b"\x07\x01\x00\x00\x00", None])])

    def by_sorting(column):
        base, dim, _, _ = geo.type_words(column)
        known = (base >= 1) & (base <= 7)
        keys, counts = np.unique(base[known] * 4 + dim[known], return_counts=True)
        return {(int(k) // 4, int(k) % 4): int(c) for k, c in zip(keys, counts, strict=True)}

    for start in range(len(wkb)):
        for end in range(start, len(wkb) + 1):
            part = wkb.slice(start, end - start)
            assert geo.type_counts(part) == by_sorting(part)
            assert geo.type_counts(part.cast(pa.large_binary())) == by_sorting(part)
    assert geo.type_counts(wkb) == {(1, 0): 2, (1, 1): 1, (6, 0): 1, (2, 2): 1, (1, 3): 1,
                                    (2, 0): 1}


def test_errors_null_writes_nulls_and_reports_them(tmp_path, capsys):
    (tmp_path / "in.csv").write_text(BAD)
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "o.parquet"),
                 "--errors", "null"]) == 0
    assert "1 row of column 'wkt' could not be converted" in capsys.readouterr().err
    wkb = pq.read_table(tmp_path / "o.parquet")["wkt"]
    assert gc.wkb_to_wkt(wkb).to_pylist() == ["POINT (1 2)", None, "POINT (3 4)"]


@pytest.mark.parametrize("wkt, code, name", [
    ("POINT Z (1 2 3)", 1001, "Point Z"),
    ("LINESTRING M (0 0 1, 1 1 2)", 2002, "LineString M"),
    ("MULTIPOINT ZM ((1 2 3 4))", 3004, "MultiPoint ZM"),
])
def test_z_and_m_geometries_are_iso_wkb_in_geoparquet(tmp_path, wkt, code, name):
    (tmp_path / "in.csv").write_text(f'wkt\n"SRID=3857;{wkt}"\n')
    assert main(["convert", str(tmp_path / "in.csv"), str(tmp_path / "o.parquet")]) == 0
    table = pq.read_table(tmp_path / "o.parquet")
    assert table["wkt"][0].as_py()[1:5] == code.to_bytes(4, "little")
    entry = json.loads(table.schema.metadata[b"geo"])["columns"]["wkt"]
    assert entry["geometry_types"] == [name] and entry["crs"]["id"]["code"] == 3857


def test_info_reports_the_column(tmp_path, capsys):
    (tmp_path / "in.csv").write_text(
        'id,geom\n1,"SRID=4326;POINT (1 2)"\n2,\n3,"POINT (1"\n'
        '4,"SRID=4326;LINESTRING Z (0 0 0, 1 1 1)"\n5,0101000000000000000000F03F0000000000000040\n')
    assert main(["info", str(tmp_path / "in.csv")]) == 0
    out = capsys.readouterr().out
    for line in ["rows: 5", "nulls: 1", "encoding: text, mixed: WKT in 3 rows, hex WKB in 1",
                 "dimensions: XY 2, XYZ 1",
                 "bad rows: 1; the first is row 2 (data rows counted from 0): invalid WKT"]:
        assert line in out, out
    assert [ln.split() for ln in out.splitlines() if ln.startswith("  ")] == [
        ["Point", "2"], ["LineString", "Z", "1"], ["4326", "2"], ["none", "1"]]


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required"),
    (["in.csv", "out.shp"], "unknown file type"),
    (["in.csv", "out.csv", "--to", "wkb"], "cannot go into a CSV file"),
    (["in.csv", "out.csv", "--srid", "x"], "--srid takes a number"),
    (["in.csv", "out.csv", "--to", "wkt", "--flavor", "iso"], "--flavor applies"),
    (["in.csv", "out.csv", "--threads", "0"], "--threads must be at least 1"),
    (["in.csv", "out.csv", "--to", "hex", "--flavor", "iso", "--srid", "4326"],
     "--srid N needs --flavor extended"),
])
def test_usage_errors_exit_2_with_one_line(tmp_path, args, message):
    (tmp_path / "in.csv").write_text(BAD)
    status, _, err = cli("convert", *args, cwd=tmp_path)
    assert status == 2 and message in err and len(err.splitlines()) == 1, err


def test_help_shows_examples():
    status, out, _ = cli("convert", "--help")
    assert status == 0 and b"examples:" in out and b"geoweave info" in out


def test_a_missing_dependency_names_the_extra():
    # In a child process: hiding pyarrow here would poison the lazy import caches of
    # other libraries (DuckDB's among them) for the tests that follow in this worker.
    code = ("import sys; sys.modules['pyarrow'] = None\n"
            "from geoweave_cli import main\n"
            "sys.exit(main(['info', 'x.parquet']))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True)
    assert done.returncode == 2, done.stderr
    assert b"pip install geoweave[cli]" in done.stderr


def _endless_csv(stream):
    """Writes rows of CSV into `stream` until its reader goes away."""
    try:
        stream.write(b"id,geom\n")
        block = b"".join(b"%d,POINT (%d.5 2)\n" % (i, i) for i in range(20000))
        while True:
            stream.write(block)
    except (BrokenPipeError, ValueError, OSError):
        pass


def test_ctrl_c_removes_the_partial_file_and_exits_130(tmp_path):
    process = subprocess.Popen([sys.executable, "-m", "geoweave_cli", "convert", "-",
                                "out.parquet"], cwd=tmp_path, stdin=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    threading.Thread(target=_endless_csv, args=(process.stdin,), daemon=True).start()
    deadline = time.monotonic() + 30
    while not any(n.endswith(".partial") for n in os.listdir(tmp_path)):
        assert time.monotonic() < deadline and process.poll() is None
        time.sleep(0.02)
    process.send_signal(signal.SIGINT)
    # The input never ends: only the interrupt stops the conversion. (No bound
    # tighter than this wait: under the sanitizers on a loaded machine the
    # clean-up alone has taken a second.)
    assert process.wait(timeout=10) == 130
    assert os.listdir(tmp_path) == []
    assert b"interrupted" in process.stderr.read()


def test_ctrl_c_while_the_partial_file_is_being_made_still_removes_it(tmp_path, monkeypatch):
    # The window the test above can hit by chance: the file exists, its
    # creator has not returned yet.
    from geoweave_cli import output

    def interrupted(fd):
        raise KeyboardInterrupt

    monkeypatch.setattr(output.os, "close", interrupted)
    with pytest.raises(KeyboardInterrupt):
        output.AtomicOutput(str(tmp_path / "out.parquet"))
    monkeypatch.undo()
    assert [n for n in os.listdir(tmp_path) if n.endswith(".partial")]
    output.remove_uncommitted()
    assert os.listdir(tmp_path) == []


def _stderr_of(tmp_path, on_terminal, *extra):
    write_input(tmp_path / "in.csv", "csv")
    args = [sys.executable, "-m", "geoweave_cli", "convert", "in.csv", "o.parquet", *extra]
    if not on_terminal:
        return subprocess.run(args, cwd=tmp_path, capture_output=True, timeout=60).stderr
    controller, terminal = pty.openpty()
    process = subprocess.Popen(args, cwd=tmp_path, stderr=terminal, stdout=subprocess.DEVNULL)
    os.close(terminal)
    seen = b""
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:  # the terminal closed with the process
            break
        if not chunk:
            break
        seen += chunk
    os.close(controller)
    assert process.wait(timeout=60) == 0
    return seen


@pytest.mark.parametrize("on_terminal, extra, shown", [
    (True, [], True),
    (True, ["--quiet"], False),
    (False, [], False),
])
def test_progress_only_on_a_terminal(tmp_path, on_terminal, extra, shown):
    seen = _stderr_of(tmp_path, on_terminal, *extra)
    assert (b"rows/s" in seen) == shown, seen
    if shown:
        assert b"5 rows" in seen and seen.endswith(b"\r\x1b[K")
    else:
        assert seen == b""
