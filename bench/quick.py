"""Quick per-function timings of geoweave on a Point and on a large LineString.

Usage: python bench/quick.py [--vertices N] [--repeat R]

Prints nanoseconds per call for a Point and, for the large LineString, ns per
coordinate (WKB -> WKT) and MB/s of text (WKT -> WKB). Data is generated from a
fixed seed so runs are comparable. Timings on a shared machine are noisy:
compare ratios from one run rather than absolute figures across runs.
"""

from __future__ import annotations

import argparse
import random
import struct
import time

import geoweave


def best_of(fn, arg, repeat: int, number: int) -> float:
    """Best time per call in nanoseconds over `repeat` batches of `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter_ns()
        for _ in range(number):
            fn(arg)
        best = min(best, (time.perf_counter_ns() - start) / number)
    return best


def linestring_wkb(n: int, seed: int = 42) -> bytes:
    rng = random.Random(seed)
    coords = [c for _ in range(n) for c in (rng.uniform(-180, 180), rng.uniform(-90, 90))]
    return struct.pack(f"<BII{2 * n}d", 1, 2, n, *coords)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vertices", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    point = struct.pack("<BIdd", 1, 1, 12.345678, -45.6789)
    large = linestring_wkb(args.vertices)
    rows = []

    rows.append(("wkb_to_wkt Point", best_of(geoweave.wkb_to_wkt, point, args.repeat, 200_000), "ns/call"))
    rows.append(("bytes.hex Point (reference)", best_of(bytes.hex, point, args.repeat, 200_000), "ns/call"))
    t = best_of(geoweave.wkb_to_wkt, large, args.repeat, 1)
    rows.append(("wkb_to_wkt LineString", t / (2 * args.vertices), "ns/coordinate"))

    if hasattr(geoweave, "wkt_to_wkb"):
        point_wkt = geoweave.wkb_to_wkt(point)
        large_wkt = geoweave.wkb_to_wkt(large)
        mb = len(large_wkt) / 1e6
        rows.append(("wkt_to_wkb Point", best_of(geoweave.wkt_to_wkb, point_wkt, args.repeat, 200_000), "ns/call"))
        rows.append(("wkt_to_hex_wkb Point", best_of(geoweave.wkt_to_hex_wkb, point_wkt, args.repeat, 200_000), "ns/call"))
        for name in ("wkt_to_wkb", "wkt_to_hex_wkb"):
            t = best_of(getattr(geoweave, name), large_wkt, args.repeat, 1)
            rows.append((f"{name} LineString", mb / (t / 1e9), "MB/s of text"))

    width = max(len(r[0]) for r in rows)
    for name, value, unit in rows:
        print(f"{name:<{width}}  {value:12.1f}  {unit}")


if __name__ == "__main__":
    main()
