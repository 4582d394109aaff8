"""Instructions per row, counted by callgrind: geoweave_columns against
geoarrow-c's as_geoarrow kernel, without the noise of a shared machine.

    python bench/instructions.py [--rows N] [--quick] [--no-threads] [--no-peer]
                                 [--cell FUNCTION:WORKLOAD ...] [--json FILE]

Usually run through `bash scripts/bench.sh --instructions [ARGS]`, which
installs valgrind and the peers first.

Each count comes from two runs of the same child process under
`valgrind --tool=callgrind`: both load the same rows into an Arrow array
(nanoarrow over the same buffers for both tools) and convert a small warm-up
array; one of them then converts the --rows rows (10,000 by default), Arrow in
and Arrow out, one thread. The difference of the two runs' instruction counts
divided by the rows is the cost of a row, the call's fixed costs spread over
the rows included. Counts barely move between runs and do not depend on what
else the machine is doing.

Cells: WKB -> WKT and WKT -> WKB on Points with full-precision coordinates,
Points with 6-decimal lon/lat and 10-vertex Polygons. The ratio is
geoarrow-c's count over geoweave_columns'.

Thread share: geoweave_columns with threads=2 on the same cells
(--separate-threads=yes, max(rows, 100,000) rows, 20,000 with --quick, so the
column splits in two chunks), the conversion's instructions on its busiest
thread over those on all threads; 50% is an even split. A thread that runs out
of rows takes rows from the other's chunk, so the split follows how fast each
thread runs: valgrind runs one thread at a time, and with --fair-sched=yes
hands the turn round in order, as if on two cores of equal speed. A thread
loses its turn at each system call (its fresh memory faulted in), which is why
the share is measured over enough rows for many turns.

--quick: 300 rows, Points only (one cell each way), and the thread share of
the first cell only (CI's smoke run). Without valgrind the script says how to install it and exits with 2;
without geoarrow-c it measures geoweave_columns alone.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

FUNCTIONS = ("wkb_to_wkt", "wkt_to_wkb")
WORKLOADS = {
    "point": "Points, full precision",
    "point6": "Points, 6-decimal lon/lat",
    "polygon10": "10-vertex Polygons",
}
ARROWS = {"wkb_to_wkt": "WKB -> WKT", "wkt_to_wkb": "WKT -> WKB"}
WARMUP_ROWS = 64
THREAD_ROWS = 100000  # two chunks of at least 8192 rows each, many turns each
QUICK_THREAD_ROWS = 20000


# ---------------------------------------------------------------- data ----

def make_wkb(workload, rows):
    """`rows` little-endian WKB records of one fixed size, as one bytes object,
    and that size: bench/columns.py's Points and Polygons, and its Points
    rounded to 6 decimals."""
    import numpy as np
    from columns import make_wkb as columns_wkb
    offsets, data = columns_wkb("point" if workload == "point6" else workload, rows)
    if workload == "point6":
        rec = np.dtype([("order", "u1"), ("type", "<u4"), ("xy", "<f8", (2,))])
        records = np.frombuffer(data, dtype=rec).copy()
        records["xy"] = np.round(records["xy"], 6)
        data = records.tobytes()
    return data, int(offsets[1])


def write_column(directory, name, items):
    """`name`.offsets (int32, little-endian) and `name`.data."""
    import numpy as np
    offsets = np.zeros(len(items) + 1, dtype="<i4")
    np.cumsum([len(i) for i in items], out=offsets[1:])
    with open(os.path.join(directory, name + ".offsets"), "wb") as f:
        f.write(offsets.tobytes())
    with open(os.path.join(directory, name + ".data"), "wb") as f:
        f.write(b"".join(items))


def generate(directory, workload, rows):
    import geoweave
    data, size = make_wkb(workload, rows)
    wkb = [data[i * size:(i + 1) * size] for i in range(rows)]
    write_column(directory, f"{workload}.wkb", wkb)
    write_column(directory, f"{workload}.wkt",
                 [geoweave.wkb_to_wkt(b).encode() for b in wkb])


# --------------------------------------------------------------- child ----

def child(argv):
    """One run under callgrind: tool, function, workload, rows, directory,
    whether to convert, threads."""
    tool, function, workload, rows, directory, convert, threads = argv
    rows, convert, threads = int(rows), convert == "1", int(threads)
    import nanoarrow as na
    source = "wkb" if function == "wkb_to_wkt" else "wkt"
    base = os.path.join(directory, f"{workload}.{source}")
    with open(base + ".offsets", "rb") as f:
        offsets = f.read()
    with open(base + ".data", "rb") as f:
        data = f.read()

    if tool == "geoweave":
        import geoweave_columns as gc
        schema = na.binary() if source == "wkb" else na.string()
        fn = getattr(gc, function)

        def run(a):
            return fn(a, threads=threads)
    else:
        from geoarrow.c import ScalarFunction, _lib
        types = {"wkb": _lib.GEOARROW_TYPE_WKB, "wkt": _lib.GEOARROW_TYPE_WKT}
        schema = _lib.CGeometryDataType.MakeType(types[source], b"{}").to_schema()
        target = "wkt" if source == "wkb" else "wkb"
        run = ScalarFunction("as_geoarrow", type=int(types[target]))

    def array(n):
        return na.c_array_from_buffers(schema, n, [None, offsets[:4 * (n + 1)], data])

    def length(result):  # geoarrow-c answers an ArrayHolder, geoweave an Arrow array
        return len(result) if tool == "geoweave" else na.c_array(result).length

    warm = array(WARMUP_ROWS)
    full = array(rows)
    out = run(warm)
    assert length(out) == WARMUP_ROWS
    del out
    if convert:
        out = run(full)
        assert length(out) == rows
        del out


# -------------------------------------------------------------- parent ----

def callgrind_totals(prefix):
    """{thread number: instructions} from the output file(s) at `prefix`
    (one file, thread 0, without --separate-threads)."""
    totals = {}
    for path in glob.glob(prefix + "*"):
        m = re.search(r"-(\d+)$", path)
        thread = int(m.group(1)) if m and path != prefix else 0
        with open(path) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    totals[thread] = int(line.split()[1])
                    break
    return totals


def run_child(args, tool, function, workload, rows, convert, threads, separate):
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "callgrind.out")
        cmd = [args.valgrind, "--tool=callgrind", f"--callgrind-out-file={prefix}",
               "--dump-instr=no", "--compress-strings=no"]
        if separate:
            # Turns handed round in order: see the thread share above.
            cmd += ["--separate-threads=yes", "--fair-sched=yes"]
        cmd += [sys.executable, os.path.abspath(__file__), "--child", tool, function, workload,
                str(rows), args.data, "1" if convert else "0", str(threads)]
        # numpy's OpenBLAS starts threads that spin while idle: as many
        # instructions as the machine's load lets them run, counted here too.
        env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1",
                   OMP_NUM_THREADS="1")
        done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
        if done.returncode != 0:
            sys.exit(f"the callgrind run failed: {' '.join(cmd)}\n{done.stderr[-2000:]}")
        return callgrind_totals(prefix)


def per_row(args, tool, function, workload, rows):
    """Instructions per row: (converting - not converting) / rows."""
    with_rows = sum(run_child(args, tool, function, workload, rows, True, 1, False).values())
    without = sum(run_child(args, tool, function, workload, rows, False, 1, False).values())
    return (with_rows - without) / rows


def busiest_share(args, function, workload, rows):
    """With threads=2: the conversion's instructions on its busiest thread
    over those on all threads, each thread's count less what the same thread
    ran without the conversion."""
    with_rows = run_child(args, "geoweave", function, workload, rows, True, 2, True)
    without = run_child(args, "geoweave", function, workload, rows, False, 2, True)
    spent = {t: n - without.get(t, 0) for t, n in with_rows.items()}
    spent = {t: n for t, n in spent.items() if n > 0}
    total = sum(spent.values())
    return max(spent.values()) / total if total else float("nan")


def geoarrow_available():
    try:
        import nanoarrow  # noqa: F401
        from geoarrow.c import ScalarFunction  # noqa: F401
    except ImportError:
        return False
    return True


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2:])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10000)
    parser.add_argument("--quick", action="store_true", help="300 rows, Points only, one thread share")
    parser.add_argument("--no-threads", action="store_true", help="leave out the thread shares")
    parser.add_argument("--cell", action="append", default=[],
                        help="FUNCTION:WORKLOAD, e.g. wkt_to_wkb:point (repeatable)")
    parser.add_argument("--no-peer", action="store_true", help="geoweave_columns alone")
    parser.add_argument("--json", help="write the results to this file")
    args = parser.parse_args()

    args.valgrind = shutil.which("valgrind")
    if args.valgrind is None:
        print("valgrind is missing: install it with `apt-get install valgrind` (Debian), "
              "or run `bash scripts/bench.sh --instructions`, which installs it", file=sys.stderr)
        sys.exit(2)
    try:
        import nanoarrow  # noqa: F401
        import geoweave_columns  # noqa: F401
    except ImportError as e:
        sys.exit(f"{e.name} is missing: `bash scripts/bench.sh --instructions` installs it")
    rows = 300 if args.quick and args.rows == 10000 else args.rows
    cells = [tuple(c.split(":")) for c in args.cell] or [
        (f, w) for f in FUNCTIONS for w in WORKLOADS if not args.quick or w == "point"]
    for f, w in cells:
        if f not in FUNCTIONS or w not in WORKLOADS:
            parser.error(f"unknown cell {f}:{w}")
    peer = not args.no_peer and geoarrow_available()
    if not peer and not args.no_peer:
        print("geoarrow-c is missing: geoweave_columns alone", file=sys.stderr)

    thread_rows = max(rows, QUICK_THREAD_ROWS if args.quick else THREAD_ROWS)
    results = []
    with tempfile.TemporaryDirectory() as data:
        args.data = data
        for workload in sorted({w for _, w in cells}):
            generate(data, workload, max(rows, WARMUP_ROWS,
                                         0 if args.no_threads else thread_rows))
        header = ["function", "workload", "geoweave_columns"]
        if peer:
            header += ["geoarrow-c", "ratio"]
        if not args.no_threads:
            header.append("busiest thread, threads=2")
        print(f"instructions per row (callgrind), {rows} rows, one thread, Arrow in and out")
        print("| " + " | ".join(header) + " |")
        print("|" + "---|" * len(header))
        for k, (function, workload) in enumerate(cells):
            row = {"function": function, "workload": workload, "rows": rows}
            row["geoweave"] = per_row(args, "geoweave", function, workload, rows)
            line = [ARROWS[function], WORKLOADS[workload], f"{row['geoweave']:,.0f}"]
            if peer:
                row["geoarrow"] = per_row(args, "geoarrow", function, workload, rows)
                line += [f"{row['geoarrow']:,.0f}", f"{row['geoarrow'] / row['geoweave']:.2f}x"]
            if not args.no_threads:
                if args.quick and k > 0:
                    line.append("-")
                else:
                    row["busiest_share"] = busiest_share(args, function, workload, thread_rows)
                    line.append(f"{100 * row['busiest_share']:.0f}%")
            results.append(row)
            print("| " + " | ".join(line) + " |", flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows, "thread_rows": thread_rows, "results": results}, f, indent=1)


if __name__ == "__main__":
    main()
