"""Thread scaling: the throughput of two threads converting polygons against
one thread doing the same, on this interpreter.

    python bench/thread_scaling.py [--polygons N] [--vertices V] [--reps R]

Each thread converts the same list of polygons (WKB -> WKT and WKT -> WKB) on
its own; the ratio is (2 x work / wall time with two threads) over (work /
wall time with one), from the best of R alternating repetitions of each (the
runs least disturbed by other work; the ratio of the medians is printed too).
2.0 is perfect scaling, 1.0 none (what a GIL build gives). Wall-clock times:
on a machine whose cores are busy with other work the ratio drops, so compare
it only with a ratio measured in the same run.
"""

import argparse
import math
import statistics
import struct
import sys
import threading
import time

import geoweave


def polygon_wkb(index, vertices):
    ring = []
    for k in range(vertices):
        angle = 2 * math.pi * k / vertices
        ring.append((index * 0.001 + math.cos(angle) * 1.2345678, math.sin(angle) * 2.3456789))
    ring.append(ring[0])
    return struct.pack("<BIII", 1, 3, 1, len(ring)) + b"".join(struct.pack("<2d", *p) for p in ring)


def wall_time(threads, work):
    barrier = threading.Barrier(threads + 1)
    done = []

    def run():
        barrier.wait()
        work()
        done.append(time.perf_counter())

    pool = [threading.Thread(target=run) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return max(done) - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--polygons", type=int, default=20000)
    parser.add_argument("--vertices", type=int, default=64)
    parser.add_argument("--reps", type=int, default=7)
    args = parser.parse_args()

    wkbs = [polygon_wkb(i, args.vertices) for i in range(args.polygons)]
    wkts = [geoweave.wkb_to_wkt(b) for b in wkbs]
    jobs = {
        "wkb_to_wkt": lambda: [geoweave.wkb_to_wkt(b) for b in wkbs],
        "wkt_to_wkb": lambda: [geoweave.wkt_to_wkb(t) for t in wkts],
    }
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{args.polygons} polygons of {args.vertices} vertices per thread, best of "
          f"{args.reps}; GIL {'enabled' if gil else 'disabled'}")
    for name, work in jobs.items():
        work()  # warm-up
        ones, twos = [], []
        for _ in range(args.reps):
            ones.append(wall_time(1, work))
            twos.append(wall_time(2, work))
        print(f"  {name}: two threads give {2 * min(ones) / min(twos):.2f}x the throughput of one "
              f"(best {min(ones) * 1e3:.1f} ms for one thread's work, {min(twos) * 1e3:.1f} ms "
              f"for twice that on two threads; medians give "
              f"{2 * statistics.median(ones) / statistics.median(twos):.2f}x)")


if __name__ == "__main__":
    main()
