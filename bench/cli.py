"""The command-line tool against the file converters people reach for.

    python bench/cli.py [--points N] [--polygons N] [--small-points N]
                        [--only TOOL,...] [--dir DIR] [--json FILE]

Usually run as `bash scripts/bench.sh --cli [ARGS]`, which installs the
peers. On a CSV of --points Points (8,000,000 by default) and one of
--polygons 10-vertex Polygons (1,000,000), each with an integer id column
and the geometry as canonical WKT, every tool converts CSV -> GeoParquet
(WKB) and the result back to CSV (WKT), on every core it wants:

- geoweave: `geoweave convert in.csv out.parquet`, then `out.parquet back.csv`;
- DuckDB spatial: COPY (SELECT id, ST_AsWKB(ST_GeomFromText(geom)) ...) TO
  parquet, and COPY (SELECT id, ST_AsText(ST_GeomFromWKB(geom)) ...) TO csv,
  the extension loaded from the file of the duckdb-extension-spatial package;
- GeoPandas: pandas read_csv + GeoSeries.from_wkt + to_parquet, then
  read_parquet + to_wkt + to_csv;
- ogr2ogr (Debian's gdal-bin), where its GDAL has the Parquet driver.

Each step runs in a process of its own: its wall time, CPU time (user +
system, all threads) and peak resident memory come from wait4(). The round
trip is exact when the WKT of back.csv is the text of in.csv, row for row.
geoweave also converts --small-points Points (2,000,000) CSV -> GeoParquet,
so that its peak memory at the full size can be set against a quarter of it.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

# The process that runs the tools imports nothing large: a child's peak
# resident memory, as wait4() reports it, starts from its parent's at fork.
# Making the files and checking them is done in child processes of its own
# (`cli.py generate ...`, `cli.py check ...`).


# ------------------------------------------------------------------ data ----

def _wkb_column(records, size):
    import numpy as np
    import pyarrow as pa
    n = len(records)
    offsets = np.arange(n + 1, dtype=np.int64) * size
    return pa.Array.from_buffers(pa.large_binary(), n, [None, pa.py_buffer(offsets),
                                                        pa.py_buffer(records.tobytes())])


def points_wkt(n: int, rng):
    """n Points with random full-precision coordinates, as canonical WKT."""
    import numpy as np
    import geoweave_columns as gc
    record = np.dtype([("order", "u1"), ("type", "<u4"), ("x", "<f8"), ("y", "<f8")])
    r = np.empty(n, record)
    r["order"], r["type"] = 1, 1
    r["x"], r["y"] = rng.uniform(-180, 180, n), rng.uniform(-90, 90, n)
    return gc.wkb_to_wkt(_wkb_column(r, record.itemsize))


def polygons_wkt(n: int, rng):
    """n Polygons of one closed ring of 10 vertices, as canonical WKT."""
    import numpy as np
    import geoweave_columns as gc
    record = np.dtype([("order", "u1"), ("type", "<u4"), ("rings", "<u4"), ("count", "<u4"),
                       ("xy", "<f8", (10, 2))])
    r = np.empty(n, record)
    r["order"], r["type"], r["rings"], r["count"] = 1, 3, 1, 10
    angle = np.linspace(0, 2 * np.pi, 10)
    cx, cy = rng.uniform(-170, 170, n), rng.uniform(-80, 80, n)
    radius = rng.uniform(0.001, 1, (n, 1)) * rng.uniform(0.5, 1, (n, 10))
    radius[:, -1] = radius[:, 0]
    r["xy"][:, :, 0] = cx[:, None] + radius * np.cos(angle)
    r["xy"][:, :, 1] = cy[:, None] + radius * np.sin(angle)
    r["xy"][:, -1] = r["xy"][:, 0]
    return gc.wkb_to_wkt(_wkb_column(r, record.itemsize))


def write_input(path: str, kind: str, n: int):
    import numpy as np
    import pyarrow as pa
    import pyarrow.csv as pacsv
    rng = np.random.default_rng(19)
    chunk = 1_000_000
    with pacsv.CSVWriter(path, pa.schema([("id", pa.int64()), ("geom", pa.string())])) as w:
        for start in range(0, n, chunk):
            m = min(chunk, n - start)
            wkt = points_wkt(m, rng) if kind == "point" else polygons_wkt(m, rng)
            w.write_table(pa.table({"id": np.arange(start, start + m),
                                    "geom": wkt.cast(pa.string())}))


# ----------------------------------------------------------------- tools ----

def spatial_extension():
    try:
        from columns import spatial_extension_path
    except ImportError:
        return None
    return spatial_extension_path()


DUCKDB_SCRIPT = """
import duckdb, sys
con = duckdb.connect(config={"autoinstall_known_extensions": "false",
                             "autoload_known_extensions": "false"})
con.execute(f"LOAD '{sys.argv[1]}'")
if sys.argv[2] == "to_parquet":
    con.execute(f"COPY (SELECT id, ST_AsWKB(ST_GeomFromText(geom)) AS geom "
                f"FROM read_csv('{sys.argv[3]}')) TO '{sys.argv[4]}' (FORMAT parquet)")
else:
    con.execute(f"COPY (SELECT id, ST_AsText(ST_GeomFromWKB(geom)) AS geom "
                f"FROM read_parquet('{sys.argv[3]}')) TO '{sys.argv[4]}' (FORMAT csv, HEADER)")
"""

GEOPANDAS_SCRIPT = """
import sys
import geopandas, pandas
if sys.argv[1] == "to_parquet":
    frame = pandas.read_csv(sys.argv[2])
    frame["geom"] = geopandas.GeoSeries.from_wkt(frame["geom"])
    geopandas.GeoDataFrame(frame, geometry="geom").to_parquet(sys.argv[3])
else:
    frame = geopandas.read_parquet(sys.argv[2])
    frame["geom"] = frame.geometry.to_wkt(rounding_precision=-1, trim=True)
    pandas.DataFrame(frame).to_csv(sys.argv[3], index=False)
"""


def commands(tool, direction, source, target):
    """The command line of one tool for one direction, or None where it cannot run."""
    python = sys.executable
    if tool == "geoweave":
        return [python, "-m", "geoweave_cli", "convert", source, target, "--quiet"]
    if tool == "duckdb":
        ext = spatial_extension()
        return None if ext is None else [python, "-c", DUCKDB_SCRIPT, ext, direction, source,
                                         target]
    if tool == "geopandas":
        return [python, "-c", GEOPANDAS_SCRIPT, direction, source, target]
    if tool == "ogr2ogr":
        if direction == "to_parquet":
            return ["ogr2ogr", "-f", "Parquet", target, source, "-oo", "GEOM_POSSIBLE_NAMES=geom",
                    "-oo", "KEEP_GEOM_COLUMNS=NO"]
        return ["ogr2ogr", "-f", "CSV", target, source, "-lco", "GEOMETRY=AS_WKT"]
    raise ValueError(tool)


def available(tool) -> str | None:
    """Why `tool` cannot run here, or None."""
    if tool == "duckdb":
        try:
            import duckdb  # noqa: F401
        except ImportError:
            return "duckdb is not installed"
        if spatial_extension() is None:
            return "the duckdb-extension-spatial package is not installed"
    if tool == "geopandas":
        try:
            import geopandas  # noqa: F401
        except ImportError:
            return "geopandas is not installed"
    if tool == "ogr2ogr":
        if shutil.which("ogr2ogr") is None:
            return "ogr2ogr is not installed (Debian gdal-bin)"
        formats = subprocess.run(["ogr2ogr", "--formats"], capture_output=True, text=True).stdout
        if "Parquet" not in formats:
            version = subprocess.run(["ogr2ogr", "--version"], capture_output=True,
                                     text=True).stdout.strip()
            return f"its GDAL has no Parquet driver ({version})"
    return None


def run(cmd) -> dict:
    """Runs cmd; wall seconds, CPU seconds and peak RSS (MiB) of its process tree."""
    start = time.monotonic()
    process = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - start
    error = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{cmd[:4]} failed: {error[-500:]}")
    return {"wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime,
            "peak_rss_mib": usage.ru_maxrss / 1024}


def round_trip(original: str, back: str) -> tuple[int, int]:
    """(rows whose WKT text differs, rows) between two CSV files' geom columns."""
    import pyarrow as pa
    import pyarrow.csv as pacsv
    opts = pacsv.ConvertOptions(column_types={"geom": pa.string()}, include_columns=["geom"])
    a = pacsv.read_csv(original, convert_options=opts)["geom"]
    b = pacsv.read_csv(back, convert_options=opts)["geom"]
    if len(a) != len(b):
        return max(len(a), len(b)), len(a)
    import pyarrow.compute as pc
    same = pc.fill_null(pc.equal(a, b), False)
    return len(a) - pc.sum(same).as_py(), len(a)


# ------------------------------------------------------------------ main ----

def main():
    if sys.argv[1:2] == ["generate"]:
        write_input(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    if sys.argv[1:2] == ["check"]:
        print(json.dumps(round_trip(sys.argv[2], sys.argv[3])))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=8_000_000)
    parser.add_argument("--polygons", type=int, default=1_000_000)
    parser.add_argument("--small-points", type=int, default=2_000_000)
    parser.add_argument("--only", default="geoweave,duckdb,geopandas,ogr2ogr")
    parser.add_argument("--dir", help="folder for the files (default: a temporary one)")
    parser.add_argument("--json", help="write the results here")
    args = parser.parse_args()
    tools = args.only.split(",")
    folder = args.dir or tempfile.mkdtemp(prefix="geoweave-bench-cli-")
    os.makedirs(folder, exist_ok=True)
    now = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    print(f"# geoweave convert against file converters, {now}")
    print(f"# {platform.node()}: {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f} at start")
    for tool in tools:
        why = available(tool)
        if why:
            print(f"# {tool} left out: {why}")
    tools = [t for t in tools if available(t) is None]
    results = []
    workloads = [("point", args.points), ("polygon10", args.polygons)]
    if "geoweave" in tools and args.small_points:
        workloads.insert(0, ("point", args.small_points))
    print("| workload | rows | tool | CSV -> GeoParquet wall s | CPU s | peak RSS MiB "
          "| GeoParquet -> CSV wall s | CPU s | peak RSS MiB | round trip |")
    print("|---|---:|---|---:|---:|---:|---:|---:|---:|---|")
    for kind, n in workloads:
        source = os.path.join(folder, f"{kind}-{n}.csv")
        if not os.path.exists(source):
            subprocess.run([sys.executable, __file__, "generate", source, kind, str(n)],
                           check=True)
        small = n == args.small_points and kind == "point" and n != args.points
        for tool in (["geoweave"] if small else tools):
            parquet = os.path.join(folder, f"{kind}-{n}-{tool}.parquet")
            back = os.path.join(folder, f"{kind}-{n}-{tool}-back.csv")
            there = run(commands(tool, "to_parquet", source, parquet))
            if small:
                again, exact = {"wall_s": float("nan"), "cpu_s": float("nan"),
                                "peak_rss_mib": float("nan")}, "-"
            else:
                again = run(commands(tool, "to_csv", parquet, back))
                differ, rows = json.loads(subprocess.run(
                    [sys.executable, __file__, "check", source, back], check=True,
                    capture_output=True, text=True).stdout)
                exact = "exact" if differ == 0 else f"{differ:,} of {rows:,} rows differ"
            results.append({"workload": kind, "rows": n, "tool": tool, "to_parquet": there,
                            "to_csv": again, "round_trip": exact})
            print(f"| {kind} | {n:,} | {tool} | {there['wall_s']:.2f} | {there['cpu_s']:.2f} | "
                  f"{there['peak_rss_mib']:.0f} | {again['wall_s']:.2f} | {again['cpu_s']:.2f} | "
                  f"{again['peak_rss_mib']:.0f} | {exact} |", flush=True)
            for path in (parquet, back):
                if os.path.exists(path):
                    os.unlink(path)
    print(f"# load average {os.getloadavg()[0]:.1f} at the end")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                       "results": results}, f, indent=1)
    if not args.dir:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
