"""Kernel (system) time against user time of 1M-row column conversions, from
getrusage around each call, in a fresh process per case.

    python bench/sys_time.py [--rows N] [--module-path DIR]

WKB -> WKT over an Arrow binary column of Points and of 10-vertex Polygons,
threads=1 and threads=2. Each child converts twice: the first call meets a
process whose allocator has not yet held a result that large, the second one
the memory the first gave back. Prints user and system nanoseconds per row,
system time as a share of user time, and minor page faults per 1,000 rows.
--module-path puts another build of geoweave_columns first on sys.path (to
compare against an earlier build).
"""

import argparse
import json
import subprocess
import sys

CHILD = r"""
import json, math, resource, struct, sys, time
if sys.argv[3]:
    sys.path.insert(0, sys.argv[3])
import pyarrow as pa
import geoweave_columns as gc
rows, shape, threads = int(sys.argv[1]), sys.argv[2], int(sys.argv[4])
def point(i):
    return struct.pack("<BIdd", 1, 1, i * 0.001 + 0.123456789, -i * 0.002 + 45.987654321)
def polygon(i):
    ring = [(i * 0.001 + math.cos(2 * math.pi * k / 10) * 1.2345678,
             math.sin(2 * math.pi * k / 10) * 2.3456789) for k in range(10)]
    ring.append(ring[0])
    return struct.pack("<BIII", 1, 3, 1, len(ring)) + b"".join(struct.pack("<dd", *p) for p in ring)
make = point if shape == "points" else polygon
column = pa.array([make(i) for i in range(rows)], pa.binary())
out = []
for _ in range(2):
    before = resource.getrusage(resource.RUSAGE_SELF)
    t = time.perf_counter()
    result = gc.wkb_to_wkt(column, threads=threads)
    wall = time.perf_counter() - t
    after = resource.getrusage(resource.RUSAGE_SELF)
    out.append({"user": after.ru_utime - before.ru_utime, "sys": after.ru_stime - before.ru_stime,
                "faults": after.ru_minflt - before.ru_minflt, "wall": wall})
    del result
print(json.dumps(out))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--module-path", default="")
    args = parser.parse_args()
    print(f"{'rows':<9}{'threads':>8}{'call':>6}{'user ns/row':>13}{'sys ns/row':>12}"
          f"{'sys/user':>10}{'faults/1k':>11}{'wall ms':>9}")
    for shape in ("points", "polygons"):
        for threads in (1, 2):
            child = subprocess.run(
                [sys.executable, "-c", CHILD, str(args.rows), shape, args.module_path,
                 str(threads)], capture_output=True, text=True, check=True)
            for call, r in enumerate(json.loads(child.stdout), 1):
                print(f"{shape:<9}{threads:>8}{call:>6}{r['user'] / args.rows * 1e9:>13.1f}"
                      f"{r['sys'] / args.rows * 1e9:>12.1f}{r['sys'] / r['user']:>10.1%}"
                      f"{r['faults'] / args.rows * 1e3:>11.1f}{r['wall'] * 1e3:>9.1f}")


if __name__ == "__main__":
    main()
