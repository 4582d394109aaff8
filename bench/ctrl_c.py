"""Ctrl-C latency of geoweave_columns: how long after SIGINT a long column
conversion raises KeyboardInterrupt, with threads=1 and threads=None.

    python bench/ctrl_c.py [--seconds S] [--after A] [--reps R]

The column is sized to take about S seconds (10 by default) at each thread
count, measured on a sample first. Its rows are GeometryCollections of 200
Points whose last member has a bad type, converted WKB -> WKT with
errors="null": each row is read and written whole, and the result stays a
column of nulls, so a long conversion needs no gigabytes. An Arrow column
(binary_view rows all pointing at the same bytes: the kernel with the GIL
released throughout) and a list (the block pipeline that makes Python
objects) are both measured. A timer thread sends SIGINT to this process A
seconds into the conversion; the latency is from that kill to the moment the
KeyboardInterrupt is caught. Prints the median and worst of R runs.
"""

import argparse
import os
import signal
import statistics
import struct
import threading
import time

import numpy as np
import pyarrow as pa

import geoweave_columns as gc

POINTS = b"".join(struct.pack("<BIdd", 1, 1, i + 0.25, i * 0.5) for i in range(200))
ROW = struct.pack("<BII", 1, 7, 201) + POINTS + struct.pack("<BI", 1, 99)


def column(kind, n):
    if kind == "list":
        return [ROW] * n
    views = np.zeros((n, 4), np.int32)
    views[:, 0] = len(ROW)
    views[:, 1] = np.frombuffer(ROW[:4], np.int32)[0]
    return pa.Array.from_buffers(pa.binary_view(), n,
                                 [None, pa.py_buffer(views), pa.py_buffer(ROW)])


def rows_for(kind, threads, seconds):
    sample = 20_000
    start = time.perf_counter()
    gc.wkb_to_wkt(column(kind, sample), errors="null", threads=threads)
    per_row = (time.perf_counter() - start) / sample
    return int(seconds / per_row)


def latency(data, threads, after):
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(after, interrupt)
    timer.start()
    try:
        gc.wkb_to_wkt(data, errors="null", threads=threads)
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    finally:
        timer.cancel()
    raise SystemExit("the conversion ended before the signal: raise --seconds")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--after", type=float, default=1.0)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    print(f"{'input':<7}{'threads':>8}{'rows':>12}{'median ms':>11}{'worst ms':>10}")
    for kind in ("arrow", "list"):
        for threads in (1, None):
            n = rows_for(kind, threads, args.seconds)
            data = column(kind, n)
            runs = [latency(data, threads, args.after) for _ in range(args.reps)]
            print(f"{kind:<7}{str(threads):>8}{n:>12,}{statistics.median(runs) * 1e3:>11.1f}"
                  f"{max(runs) * 1e3:>10.1f}")


if __name__ == "__main__":
    main()
