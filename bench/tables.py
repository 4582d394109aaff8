"""Tables and streams through geoweave_columns.

1. A table of 10 columns with its WKB column converted (column="geom") against
   that column alone: the table's own work (finding the column, putting the
   result back, metadata) should stay within 5% of the conversion.
2. A GeoParquet file of N Points streamed WKB -> WKT -> WKB:
   pq.ParquetFile(f).iter_batches() -> our stream -> our stream ->
   pq.ParquetWriter, in a fresh process, peak RSS above the interpreter's
   (pyarrow and geoweave_columns imported; the peak is VmHWM), beside the same
   file read and written by pyarrow alone; what our streams add is held
   against 4 input batches plus their results plus 64 MiB. The same at 2M and
   10M rows shows that what they add does not grow with the file.

    python bench/tables.py [--rows 1000000] [--stream-rows 2000000 10000000]
        [--batch-rows 65536] [--repeat 15]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

import geoweave_columns as gc


def points(n, start=0):
    """n little-endian WKB Points (21 bytes each) as a binary array, made from
    buffers without a Python object per row."""
    rec = np.zeros(n, dtype=[("order", "u1"), ("type", "<u4"), ("x", "<f8"), ("y", "<f8")])
    rec["order"] = 1
    rec["type"] = 1
    i = np.arange(start, start + n, dtype=np.float64)
    rec["x"] = i * 0.001 + 0.5
    rec["y"] = i * -0.002 + 0.25
    offsets = np.arange(0, 21 * (n + 1), 21, dtype=np.int32)
    return pa.Array.from_buffers(pa.binary(), n, [None, pa.py_buffer(offsets),
                                                  pa.py_buffer(rec.tobytes())])


def table_vs_column(rows, repeat):
    geom = points(rows)
    columns = {f"c{i}": pa.array(np.arange(rows, dtype=np.int64) * i) for i in range(4)}
    columns |= {f"f{i}": pa.array(np.arange(rows, dtype=np.float64) / (i + 1)) for i in range(4)}
    columns["name"] = pa.array(np.char.mod("n%d", np.arange(rows) % 1000).astype(object))
    columns["geom"] = geom
    table = pa.table(columns)
    assert table.num_columns == 10
    alone, whole = [], []
    for _ in range(repeat):  # interleaved, so both see the same machine
        t0 = time.perf_counter()
        gc.wkb_to_wkt(geom)
        t1 = time.perf_counter()
        gc.wkb_to_wkt(table, column="geom")
        t2 = time.perf_counter()
        alone.append(t1 - t0)
        whole.append(t2 - t1)
    a, w = statistics.median(alone), statistics.median(whole)
    # What the table adds is a fixed cost per call (finding the column,
    # putting the result back): measured on 10 rows, where it is all there is.
    small_geom, small = geom.slice(0, 10), table.slice(0, 10)
    calls = 2000
    t0 = time.perf_counter()
    for _ in range(calls):
        gc.wkb_to_wkt(small_geom)
    t1 = time.perf_counter()
    for _ in range(calls):
        gc.wkb_to_wkt(small, column="geom")
    t2 = time.perf_counter()
    fixed = ((t2 - t1) - (t1 - t0)) / calls
    print(f"table of 10 columns, {rows:,} rows, WKB -> WKT of one column "
          f"({repeat} interleaved runs, medians):")
    print(f"  column alone      {a * 1e3:8.2f} ms")
    print(f"  in the table      {w * 1e3:8.2f} ms   ratio {w / a:.3f}")
    print(f"  the table's fixed cost per call (10 rows, {calls} calls): {fixed * 1e6:.1f} us "
          f"= {fixed / a * 100:.3f}% of the column alone")


def write_file(path, rows, batch_rows):
    geo = {"version": "1.1.0", "primary_column": "geometry",
           "columns": {"geometry": {"encoding": "WKB", "geometry_types": ["Point"]}}}
    schema = pa.schema([("id", pa.int64()), ("geometry", pa.binary())],
                       metadata={"geo": json.dumps(geo)})
    with pq.ParquetWriter(path, schema) as writer:
        for start in range(0, rows, 1_000_000):
            n = min(1_000_000, rows - start)
            writer.write_table(pa.table({"id": pa.array(np.arange(start, start + n)),
                                         "geometry": points(n, start)}, schema=schema),
                               row_group_size=batch_rows * 8)


STREAM = r"""
import sys
import pyarrow as pa, pyarrow.parquet as pq
import geoweave_columns as gc
path, out, batch_rows, mode = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]

def status(key):  # kB; VmHWM is this process's own peak (ru_maxrss would
    # start from the parent's peak, inherited across fork and exec)
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))

base = status("VmRSS:")  # the interpreter with everything imported
source = pq.ParquetFile(path)
reader = pa.RecordBatchReader.from_batches(source.schema_arrow, source.iter_batches(batch_rows))
if mode == "ours":
    wkt = gc.wkb_to_wkt(reader, column="geometry")
    wkb = gc.wkt_to_wkb(wkt, column="geometry")
else:  # pyarrow alone: the same file read and written, nothing converted
    wkb = reader
rows = in_bytes = out_bytes = batches = 0
with pq.ParquetWriter(out, wkb.schema) as writer:
    for batch in wkb:
        writer.write_batch(batch)
        rows += batch.num_rows
        batches += 1
peak = status("VmHWM:")
print(base * 1024, peak * 1024, rows, batches, pa.default_memory_pool().max_memory())
"""


def run(path, out, batch_rows, mode):
    t0 = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", STREAM, path, out, str(batch_rows), mode],
                          check=True, capture_output=True, text=True)
    base, peak, seen, batches, arrow_peak = map(int, done.stdout.split())
    os.unlink(out)
    return peak - base, arrow_peak, seen, batches, time.perf_counter() - t0


def stream(rows, batch_rows, directory):
    path = os.path.join(directory, f"points-{rows}.parquet")
    out = os.path.join(directory, f"out-{rows}.parquet")
    if not os.path.exists(path):
        write_file(path, rows, batch_rows)
    plain, plain_arrow, _, _, plain_seconds = run(path, out, batch_rows, "plain")
    ours, ours_arrow, seen, batches, seconds = run(path, out, batch_rows, "ours")
    assert seen == rows, (seen, rows)
    # One input batch: 8-byte ids + 21-byte WKB + 4-byte offsets per row; its
    # WKT result about 40 bytes a row; the re-encoded WKB as the input.
    batch_in = batch_rows * (8 + 21 + 4)
    batch_out = batch_rows * (40 + 4) + batch_in
    budget = 4 * (batch_in + batch_out) + 64 * 2**20
    size = os.path.getsize(path)
    mib = 2**20
    print(f"  {rows:>11,} rows ({size / mib:6.1f} MiB file, {batches} batches of {batch_rows:,}):")
    print(f"    pyarrow alone (read + write)  peak RSS above the interpreter {plain / mib:7.1f} MiB, "
          f"Arrow allocations at most {plain_arrow / mib:6.1f} MiB, {plain_seconds:5.1f} s")
    print(f"    through our two streams       peak RSS above the interpreter {ours / mib:7.1f} MiB, "
          f"Arrow allocations at most {ours_arrow / mib:6.1f} MiB, {seconds:5.1f} s")
    print(f"    ours above pyarrow alone: {(ours - plain) / mib:.1f} MiB RSS, "
          f"{(ours_arrow - plain_arrow) / mib:.1f} MiB Arrow (budget {budget / mib:.1f} MiB)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--stream-rows", type=int, nargs="*", default=[2_000_000, 10_000_000])
    parser.add_argument("--batch-rows", type=int, default=65_536)
    parser.add_argument("--dir", default=None, help="where the Parquet files go (a temporary "
                        "folder by default)")
    args = parser.parse_args()
    table_vs_column(args.rows, args.repeat)
    if args.stream_rows:
        print("GeoParquet WKB -> WKT -> WKB streamed through iter_batches and ParquetWriter:")
        with tempfile.TemporaryDirectory(dir=args.dir) as directory:
            for rows in args.stream_rows:
                stream(rows, args.batch_rows, directory)


if __name__ == "__main__":
    main()
