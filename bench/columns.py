"""geoweave_columns benchmark: whole columns against the column tools people use.

    python bench/columns.py [--floors PATH] [--rows N] [--reps N] [--quick] [--json FILE]

Usually run through scripts/bench.sh, which installs the peers and builds the
floor program first. On --rows rows (1,000,000 by default) of Points and of
10-vertex Polygons, WKB -> WKT and WKT -> WKB, Arrow in and Arrow out:

- geoweave_columns with one thread and with two, on a pyarrow array;
- geoarrow-c's as_geoarrow kernel on an Arrow array over the same buffers;
- shapely vectorised, to_wkt(from_wkb(a)) / to_wkb(from_wkt(a)) on a numpy
  object array (full precision);
- DuckDB's spatial extension on the same Arrow table,
  ST_AsText(ST_GeomFromWKB(g)) / ST_AsWKB(ST_GeomFromText(g)), the extension
  loaded from the file the duckdb-extension-spatial package installs, with
  DuckDB's own threads set to 1;
- the scalar loop from an Arrow column, as a user would write it:
  a.to_pylist(), a list comprehension over the geoweave function, pa.array();
- a numpy object array given to geoweave_columns (one thread, and two
  threads on wall time) against the list comprehension over it;
- the core's own per-geometry time (bench/floors.cpp --rows-*, no Python),
  which the column layer adds to;
- the peak resident memory of a one-thread conversion above the memory held
  before it (input loaded), against the size of the result's buffers.

Every comparison runs in a fresh process of its own, contenders timed in turn
within each repetition (one warm-up repetition excluded); medians. Each run is
timed three ways: CPU time of the calling thread, CPU time of the process (all
threads), and wall time. Single-threaded contenders are compared on thread CPU
time, so that waits for a core on a busy machine do not count, except DuckDB,
which works on threads of its own and is compared on process CPU time; two
threads against one are compared on wall time (the gain a caller sees), with
process CPU time beside it (the work spent).

--json FILE writes {"date", "machine", "rows", "results": [{"function",
"workload", "tool", "ns_per_row", "clock"}, ...]} with the ns per row each
tool's comparison is made on and the clock it was read from ("thread CPU",
"process CPU" for DuckDB, "wall" for two threads); workloads "point" and
"polygon10" are Arrow columns, "point numpy" and "polygon10 numpy" numpy
object arrays.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 20261207
WORKLOADS = ("point", "polygon10")
FUNCTIONS = ("wkb_to_wkt", "wkt_to_wkb")
TOOLS = {  # JSON tool names
    "columns1": "geoweave_columns 1 thread",
    "columns2": "geoweave_columns 2 threads",
    "loop": "geoweave scalar loop",
    "geoarrow": "geoarrow-c",
    "shapely": "shapely vectorised",
    "duckdb": "duckdb spatial",
}

# ---------------------------------------------------------------- data ----


def make_wkb(workload, rows):
    """(offsets int32 numpy array, data bytes) of `rows` little-endian WKB
    records: Points with full-precision coordinates, or 10-vertex closed rings."""
    import numpy as np
    rng = np.random.default_rng(SEED)
    if workload == "point":
        rec = np.dtype([("order", "u1"), ("type", "<u4"), ("xy", "<f8", (2,))])
        records = np.zeros(rows, dtype=rec)
        records["order"], records["type"] = 1, 1
        records["xy"][:, 0] = rng.uniform(-180, 180, rows)
        records["xy"][:, 1] = rng.uniform(-90, 90, rows)
    elif workload == "polygon10":
        rec = np.dtype([("order", "u1"), ("type", "<u4"), ("rings", "<u4"), ("n", "<u4"),
                        ("xy", "<f8", (10, 2))])
        records = np.zeros(rows, dtype=rec)
        records["order"], records["type"], records["rings"], records["n"] = 1, 3, 1, 10
        centre = np.stack([rng.uniform(-170, 170, rows), rng.uniform(-80, 80, rows)], axis=1)
        angles = np.linspace(0, 2 * np.pi, 9, endpoint=False)
        radius = rng.uniform(0.5, 5, (rows, 9))
        ring = np.empty((rows, 10, 2))
        ring[:, :9, 0] = centre[:, :1] + radius * np.cos(angles)
        ring[:, :9, 1] = centre[:, 1:] + radius * np.sin(angles)
        ring[:, 9] = ring[:, 0]
        records["xy"] = ring
    else:
        raise ValueError(workload)
    size = rec.itemsize
    offsets = np.arange(rows + 1, dtype=np.int32) * size
    return offsets, records.tobytes()


def write_rows(path, items):
    """The floor program's rows file: u32 length, then the bytes, per row."""
    import struct
    with open(path, "wb") as f:
        for item in items:
            f.write(struct.pack("<I", len(item)))
            f.write(item)


def generate(directory, rows):
    """Writes each workload's WKB (offsets and data) and WKT (offsets and
    data) into `directory`, and the floor program's rows files."""
    import numpy as np
    import geoweave
    for workload in WORKLOADS:
        offsets, data = make_wkb(workload, rows)
        size = offsets[1]
        wkb = [data[i * size:(i + 1) * size] for i in range(rows)]
        wkt = [geoweave.wkb_to_wkt(b).encode() for b in wkb]
        text_offsets = np.zeros(rows + 1, dtype=np.int64)
        np.cumsum([len(t) for t in wkt], out=text_offsets[1:])
        np.save(os.path.join(directory, f"{workload}.wkb.offsets.npy"), offsets.astype(np.int64))
        pathlib.Path(directory, f"{workload}.wkb.data").write_bytes(data)
        np.save(os.path.join(directory, f"{workload}.wkt.offsets.npy"), text_offsets)
        pathlib.Path(directory, f"{workload}.wkt.data").write_bytes(b"".join(wkt))
        write_rows(os.path.join(directory, f"{workload}.wkb.rows"), wkb)
        write_rows(os.path.join(directory, f"{workload}.wkt.rows"), wkt)


def load_arrow(directory, workload, encoding):
    """A pyarrow array (binary for WKB, string for WKT) over the saved buffers."""
    import numpy as np
    import pyarrow as pa
    offsets = np.load(os.path.join(directory, f"{workload}.{encoding}.offsets.npy"))
    data = pathlib.Path(directory, f"{workload}.{encoding}.data").read_bytes()
    large = offsets[-1] >= 2**31
    typ = {("wkb", False): pa.binary(), ("wkb", True): pa.large_binary(),
           ("wkt", False): pa.string(), ("wkt", True): pa.large_string()}[encoding, bool(large)]
    offsets = offsets.astype(np.int64 if large else np.int32)
    return pa.Array.from_buffers(typ, len(offsets) - 1,
                                 [None, pa.py_buffer(offsets), pa.py_buffer(data)])


# -------------------------------------------------------------- timing ----

def timed(fn, arg):
    """(thread CPU, process CPU, wall) nanoseconds of one call."""
    t0, p0, w0 = time.thread_time_ns(), time.process_time_ns(), time.perf_counter_ns()
    result = fn(arg)
    t1, p1, w1 = time.thread_time_ns(), time.process_time_ns(), time.perf_counter_ns()
    del result
    return t1 - t0, p1 - p0, w1 - w0


def compare(contenders, reps):
    """contenders: {name: (fn, arg)}. Every repetition times each contender
    in turn; the first repetition is a warm-up. Medians of each clock."""
    runs = {name: [] for name in contenders}
    for rep in range(reps + 1):
        for name, (fn, arg) in contenders.items():
            t = timed(fn, arg)
            if rep:
                runs[name].append(t)
    return {name: {clock: statistics.median(r[k] for r in v)
                   for k, clock in enumerate(("thread", "process", "wall"))}
            for name, v in runs.items()}


# -------------------------------------------------------------- peers -----

def columns_or_none():
    try:
        import geoweave_columns
    except ImportError:
        return None
    return geoweave_columns


def shapely_or_none():
    try:
        import shapely
    except ImportError:
        return None
    return shapely


def geoarrow_kernel(source_encoding, target_encoding):
    """A function running geoarrow-c's as_geoarrow kernel from a pyarrow array
    of `source_encoding` to `target_encoding`, or None when it is missing. The
    nanoarrow array handed to it shares the pyarrow array's buffers."""
    try:
        import nanoarrow as na
        from geoarrow.c import ScalarFunction, _lib
    except ImportError:
        return None
    types = {"wkb": _lib.GEOARROW_TYPE_WKB, "wkt": _lib.GEOARROW_TYPE_WKT}
    schema = _lib.CGeometryDataType.MakeType(types[source_encoding], b"{}").to_schema()
    kernel = ScalarFunction("as_geoarrow", type=int(types[target_encoding]))

    def prepare(array):
        _, offsets, data = array.buffers()
        return na.c_array_from_buffers(schema, len(array), [None, offsets, data])

    return prepare, kernel


def spatial_extension_path():
    """The spatial extension file installed by the duckdb-extension-spatial
    package (nothing is downloaded at run time), or None."""
    try:
        import duckdb_extension_spatial
    except ImportError:
        return None
    base = pathlib.Path(duckdb_extension_spatial.__file__).parent
    found = sorted(base.glob("extensions/*/spatial.duckdb_extension"))
    return str(found[-1]) if found else None


def duckdb_connection():
    """A DuckDB connection with the spatial extension loaded from its package's
    file, or None (with the reason on stderr) when that is impossible."""
    try:
        import duckdb
    except ImportError:
        return None
    path = spatial_extension_path()
    if path is None:
        print("  duckdb spatial: the duckdb-extension-spatial package is missing",
              file=sys.stderr)
        return None
    con = duckdb.connect(config={"autoinstall_known_extensions": "false",
                                 "autoload_known_extensions": "false"})
    try:
        con.execute(f"LOAD '{path}'")
    except duckdb.Error as e:
        print(f"  duckdb spatial: cannot load {path}: {e}", file=sys.stderr)
        return None
    con.execute("SET threads = 1")
    return con


# ------------------------------------------------------------- workers ----

def worker_convert(args, function, workload):
    """Every contender on one function and workload, Arrow in and Arrow out."""
    import numpy as np
    import pyarrow as pa
    import geoweave
    gc = columns_or_none()
    shapely = shapely_or_none()
    source, target = ("wkb", "wkt") if function == "wkb_to_wkt" else ("wkt", "wkb")
    array = load_arrow(args.data, workload, source)
    scalar = getattr(geoweave, function)
    out_type = pa.string() if target == "wkt" else pa.binary()
    c = {}
    if gc:
        column_fn = getattr(gc, function)
        c["columns1"] = (lambda a: column_fn(a, threads=1), array)
        c["columns2"] = (lambda a: column_fn(a, threads=2), array)
    c["loop"] = (lambda a: pa.array([scalar(x) for x in a.to_pylist()], out_type), array)
    ga = geoarrow_kernel(source, target)
    if ga:
        prepare, kernel = ga
        c["geoarrow"] = (kernel, prepare(array))
    if shapely:
        objects = np.array(array.to_pylist(), dtype=object)
        if function == "wkb_to_wkt":
            c["shapely"] = (lambda a: shapely.to_wkt(shapely.from_wkb(a), rounding_precision=-1),
                            objects)
        else:
            c["shapely"] = (lambda a: shapely.to_wkb(shapely.from_wkt(a)), objects)
    con = duckdb_connection()
    if con is not None:
        table = pa.table({"g": array})  # noqa: F841 (DuckDB scans it by name)
        con.register("geometries", table)
        sql = ("SELECT ST_AsText(ST_GeomFromWKB(g)) FROM geometries" if function == "wkb_to_wkt"
               else "SELECT ST_AsWKB(ST_GeomFromText(g)) FROM geometries")
        fetch = "to_arrow_table" if hasattr(con, "to_arrow_table") else "fetch_arrow_table"
        c["duckdb"] = (lambda q: getattr(con.execute(q), fetch)(), sql)
    medians = compare(c, args.reps)
    return {name: {k: v / len(array) for k, v in m.items()} for name, m in medians.items()}


def worker_numpy(args, function, workload):
    """A numpy object array: geoweave_columns against the list comprehension."""
    import numpy as np
    import geoweave
    gc = columns_or_none()
    source = "wkb" if function == "wkb_to_wkt" else "wkt"
    objects = np.array(load_arrow(args.data, workload, source).to_pylist(), dtype=object)
    scalar = getattr(geoweave, function)
    c = {"loop": (lambda a: [scalar(x) for x in a], objects)}
    if gc:
        column_fn = getattr(gc, function)
        c["columns1"] = (lambda a: column_fn(a, threads=1), objects)
        # Two threads: a worker converts blocks while the calling thread makes
        # their Python objects.
        c["columns2"] = (lambda a: column_fn(a, threads=2), objects)
    medians = compare(c, args.reps)
    return {name: {k: v / len(objects) for k, v in m.items()} for name, m in medians.items()}


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def result_bytes(result):
    """Bytes held by an Arrow result's buffers."""
    import pyarrow as pa
    if not isinstance(result, (pa.Array, pa.ChunkedArray)):
        result = pa.array(result)
    return result.nbytes


def worker_memory(args, function, workload):
    """Peak resident memory of one one-thread conversion above the memory held
    before it (input loaded), with the result's size."""
    import gc as collector
    gc = columns_or_none()
    if gc is None:
        return {"error": "geoweave_columns is not installed"}
    source = "wkb" if function == "wkb_to_wkt" else "wkt"
    array = load_arrow(args.data, workload, source)
    fn = getattr(gc, function)
    collector.collect()
    try:  # reset the peak to the current size
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return {"error": "cannot reset the peak (/proc/self/clear_refs)"}
    before = _status_kb("VmRSS")
    result = fn(array, threads=1)
    peak = _status_kb("VmHWM")
    return {"peak_above_kb": peak - before, "result_kb": result_bytes(result) / 1024}


def worker(args):
    kind, function, workload = args.worker.split(":")
    if kind == "convert":
        return worker_convert(args, function, workload)
    if kind == "numpy":
        return worker_numpy(args, function, workload)
    if kind == "memory":
        return worker_memory(args, function, workload)
    raise SystemExit(f"unknown worker {args.worker}")


# ---------------------------------------------------------------- main ----

def run_worker(args, name):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", name, "--data", args.data,
           "--reps", str(args.reps)]
    print(f"  running {name} ...", file=sys.stderr, flush=True)
    # numpy's BLAS starts a thread per core whose spinning would take the
    # second core from the two-thread runs (no contender calls BLAS).
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise SystemExit(f"worker {name} failed:\n{done.stderr}")
    sys.stderr.write(done.stderr)
    return json.loads(done.stdout)


def run_floors(args):
    """ns per row of the core's own conversions, keyed by (function, workload)."""
    if not args.floors:
        return {}
    out = {}
    for workload in WORKLOADS:
        cmd = [args.floors, "--rows-wkb", os.path.join(args.data, f"{workload}.wkb.rows"),
               "--rows-wkt", os.path.join(args.data, f"{workload}.wkt.rows"),
               "--reps", str(args.reps)]
        print(f"  running floors on {workload} ...", file=sys.stderr, flush=True)
        done = subprocess.run(cmd, capture_output=True, text=True, check=True)
        floors = json.loads(done.stdout)
        for function in FUNCTIONS:
            m = floors["results"].get(f"rows_{function}")
            if m:
                out[function, workload] = m["median_ns"] / floors["rows"]
    return out


def machine_description():
    lines = [f"date: {datetime.datetime.now(datetime.UTC).isoformat(timespec='minutes')}",
             f"python: {platform.python_version()} ({platform.python_implementation()})"]
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in lscpu.splitlines():
            if line.split(":")[0].strip() in ("Model name", "CPU(s)"):
                lines.append(" ".join(line.split()))
    except OSError:
        pass
    try:
        lines.append("load average: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    except OSError:
        pass
    from suite import packages_line  # bench/ is this script's directory
    lines.append(packages_line(("geoweave", "pyarrow", "numpy", "shapely", "geoarrow-c",
                                "nanoarrow", "duckdb", "duckdb-extension-spatial")))
    return lines


def fmt(ns):
    return "n/a" if ns is None else f"{ns:,.0f} ns" if ns >= 10 else f"{ns:.1f} ns"


def build_table(res, floors):
    """Markdown tables, and the JSON results (tool -> ns per row compared)."""
    lines, results = [], []

    def record(function, workload, tool, ns, clock="thread CPU"):
        results.append({"function": function, "workload": workload, "tool": TOOLS[tool],
                        "ns_per_row": ns, "clock": clock})

    def status(ratio, target, higher_is_better=True):
        if ratio is None or target is None:
            return ""
        return "met" if (ratio >= target if higher_is_better else ratio <= target) else "MISSED"

    head = "| {:<26} | {:<24} | {:>12} | {:>14} | {:<20} | {:<6} |"
    rule = "|" + "|".join("-" * (w + 2) for w in (26, 24, 12, 14, 20, 6)) + "|"
    for function in FUNCTIONS:
        for workload in WORKLOADS:
            r = res[f"convert:{function}:{workload}"]
            ours = r.get("columns1", {}).get("thread")
            lines += ["", f"## {function}, {workload}: ns per row, ratio = "
                          "their time / geoweave_columns 1 thread", "",
                      head.format("tool", "clock", "ns per row", "ratio", "target", ""), rule]
            for tool, clock, target in (("columns1", "thread CPU", None),
                                        ("geoarrow", "thread CPU", 2),
                                        ("shapely", "thread CPU", 10),
                                        ("duckdb", "process CPU (threads=1)", None),
                                        ("loop", "thread CPU", None)):
                if tool not in r:
                    continue
                key = "process" if tool == "duckdb" else "thread"
                ns = r[tool][key]
                record(function, workload, tool, ns, clock.split(" (")[0])
                ratio = ns / ours if ours and tool != "columns1" else None
                lines.append(head.format(
                    TOOLS[tool], clock, fmt(ns), "" if ratio is None else f"{ratio:.2f}x",
                    f">= {target}x faster" if target else "", status(ratio, target)))
            if "columns2" in r:
                one, two = r["columns1"], r["columns2"]
                record(function, workload, "columns2", two["wall"], "wall")
                speedup = one["wall"] / two["wall"]
                lines.append(head.format("2 threads vs 1", "wall", fmt(two["wall"]),
                                         f"{speedup:.2f}x", ">= 1.8x faster",
                                         status(speedup, 1.8)))
                lines.append(head.format("2 threads vs 1", "process CPU", fmt(two["process"]),
                                         f"{two['process'] / one['process']:.2f}x the CPU", "", ""))
            floor = floors.get((function, workload))
            if floor:
                overhead = ours / floor - 1 if ours else None
                lines.append(head.format("core alone (floors.cpp)", "thread CPU", fmt(floor),
                                         "" if overhead is None else f"{overhead * 100:+.1f}%",
                                         "column layer <= +15%",
                                         status(overhead, 0.15, higher_is_better=False)))
            n = res[f"numpy:{function}:{workload}"]
            if "columns1" in n:
                record(function, f"{workload} numpy", "columns1", n["columns1"]["thread"])
            record(function, f"{workload} numpy", "loop", n["loop"]["thread"])
            if "columns1" in n:
                ratio = n["loop"]["thread"] / n["columns1"]["thread"]
                lines.append(head.format("numpy in vs list comp.", "thread CPU",
                                         fmt(n["columns1"]["thread"]), f"{ratio:.2f}x",
                                         ">= 2x faster", status(ratio, 2)))
            if "columns2" in n:
                record(function, f"{workload} numpy", "columns2", n["columns2"]["wall"], "wall")
                ratio = n["loop"]["wall"] / n["columns2"]["wall"]
                lines.append(head.format("numpy in, 2 thr. vs list", "wall",
                                         fmt(n["columns2"]["wall"]), f"{ratio:.2f}x",
                                         ">= 2x faster", status(ratio, 2)))
            m = res.get(f"memory:{function}:{workload}", {})
            if "peak_above_kb" in m:
                ratio = m["peak_above_kb"] / m["result_kb"]
                lines.append(head.format("peak memory above input", "VmHWM",
                                         f"{m['peak_above_kb'] / 1024:.0f} MiB",
                                         f"{ratio:.2f}x result", "<= 1.5x the result",
                                         status(ratio, 1.5, higher_is_better=False)))
    return "\n".join(lines), results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floors", help="path of the C++ floor program (bench/floors.cpp)")
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--reps", type=int, default=3, help="repetitions after the warm-up")
    parser.add_argument("--quick", action="store_true",
                        help="small columns, one repetition: checks that everything runs")
    parser.add_argument("--json", help="also write the results to this file")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        json.dump(worker(args), sys.stdout)
        return

    if args.quick:
        # Above the kernels' split threshold, so two threads do split.
        args.rows, args.reps = 40_000, 1
    tmp = tempfile.mkdtemp(prefix="geoweave-columns-bench-")
    try:
        args.data = tmp
        print(f"generating {args.rows:,} rows per workload (seed {SEED}) in {tmp} ...",
              file=sys.stderr, flush=True)
        generate(tmp, args.rows)
        names = [f"{kind}:{f}:{w}" for kind in ("convert", "numpy", "memory")
                 for f in FUNCTIONS for w in WORKLOADS]
        res = {name: run_worker(args, name) for name in names}
        floors = run_floors(args)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    table, results = build_table(res, floors)
    machine = machine_description()
    print("# geoweave_columns benchmark")
    print()
    for line in machine:
        print(f"- {line}")
    print(f"- {args.rows:,} rows per column, {args.reps} repetitions (+1 warm-up), medians")
    if columns_or_none() is None:
        print("- geoweave_columns is not installed: only the peers were timed")
    print(table)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
                       "machine": "; ".join(machine[1:]), "rows": args.rows, "results": results},
                      f, indent=1)


if __name__ == "__main__":
    main()
