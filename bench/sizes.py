"""CPU time and page faults per call of every conversion, by result size.

    python bench/sizes.py [--sizes 10000,100000] [--reps 3] [--rounds 3]
                          [--seconds 0.3] [--only TEXT] [--json FILE] [--quick]

Usually run through `bash scripts/bench.sh --by-size [ARGS]` (which builds and
installs geoweave first); --quick is a smoke run with tiny sizes. For each function and each input form, a LineString of N
vertices (2 N doubles) is converted over and over in a fresh process of its
own, its results dropped as they come, as a loader does: in turn with other
LineStrings of the same size, so that 400,000 distinct doubles go by before
any input comes back (a branch predictor would learn one input repeated and
flatter the small size); getrusage measures user and
system CPU time and minor page faults over each batch of calls (about
--seconds of work), --reps batches per process; each row and size gets a fresh
process in each of --rounds rounds, the sizes of a row back to back, and the
best batch of all is reported per double.
The header rows use a MultiLineString of one such member, which the header
functions rebuild rather than patch.

What this shows is the cost at steady state: a result of a size seen before
should be written into memory that is already mapped, so its system time and
page faults per call stay near zero, and the time per double of a 100,000
vertex result stays close to that of a 10,000 vertex one. The summary line
checks both for each row: system time at most 1 ns per double at every size,
and user + system per double at the largest size within 1.25x of the
smallest. On a shared, loaded machine user/system splits are sampled by the
kernel's tick and vary from run to run: repeat, and compare within one run.

To compare two builds, run this script with each (PYTHONPATH=DIR puts a built
geoweave module in DIR ahead of the installed one), alternating the runs.
"""

from __future__ import annotations

import argparse
import json
import random
import resource
import struct
import subprocess
import sys
import time

import geoweave


# Every temporary made while building inputs is kept here: freeing a large
# block raises glibc's mmap threshold for the rest of the process, which would
# hide the cost measured here behind the history of building the inputs.
KEEP: list[object] = []


def linestring_wkb(n: int, seed: int) -> bytes:
    rng = random.Random(seed)
    coords = [c for _ in range(n) for c in (rng.uniform(-180, 180), rng.uniform(-90, 90))]
    KEEP.append(coords)
    return struct.pack(f"<BII{2 * n}d", 1, 2, n, *coords)


# Doubles in the distinct inputs a row cycles through at every size. A branch
# predictor learns the branches of a short input converted over and over (for
# number formatting, a 10,000 vertex input repeated runs about 1.6x faster per
# double than the same input met once), which would flatter the small size;
# a loader meets each geometry once.
DISTINCT_DOUBLES = 400_000


def distinct_inputs(n: int) -> int:
    return max(1, -(-DISTINCT_DOUBLES // (2 * n)))


def make_input(kind: str, n: int, seed: int = 0):
    """One row's source, built without the code under test where it can be."""
    wkb = linestring_wkb(n, n * 1000 + seed)
    if kind == "wkb":
        return wkb
    if kind == "hex":
        return wkb.hex()
    if kind == "wkt":
        return geoweave.wkb_to_wkt(wkb)
    if kind == "multi":  # a MultiLineString of that one member
        return struct.pack("<BII", 1, 5, 1) + wkb
    if kind == "multi hex":
        return (struct.pack("<BII", 1, 5, 1) + wkb).hex()
    if kind == "multi ewkb":  # the same with SRID 4326 in its header
        return struct.pack("<BIiI", 1, 0x20000005, 4326, 1) + wkb
    raise ValueError(kind)


# (label, function name, source kind, extra positional args, keyword args) for
# every conversion whose result holds the whole geometry.
ROWS = [
    ("wkb_to_wkt(wkb)", "wkb_to_wkt", "wkb", (), {}),
    ("wkb_to_wkt(wkb, srid=4326)", "wkb_to_wkt", "wkb", (), {"srid": 4326}),
    ("wkb_to_wkt_split_srid(wkb)", "wkb_to_wkt_split_srid", "wkb", (), {}),
    ("hex_wkb_to_wkt(hex)", "hex_wkb_to_wkt", "hex", (), {}),
    ("wkt_to_wkb(wkt)", "wkt_to_wkb", "wkt", (), {}),
    ("wkt_to_wkb_split_srid(wkt)", "wkt_to_wkb_split_srid", "wkt", (), {}),
    ("wkt_to_hex_wkb(wkt)", "wkt_to_hex_wkb", "wkt", (), {}),
    ("to_wkt(wkb)", "to_wkt", "wkb", (), {}),
    ("to_wkt(hex)", "to_wkt", "hex", (), {}),
    ("to_wkt(wkt, normalize_wkt=True)", "to_wkt", "wkt", (), {"normalize_wkt": True}),
    ("to_wkb(wkb, srid=4326)", "to_wkb", "wkb", (), {"srid": 4326}),
    ("to_wkb(hex)", "to_wkb", "hex", (), {}),
    ("to_wkb(wkt)", "to_wkb", "wkt", (), {}),
    ("to_hex_wkb(wkb)", "to_hex_wkb", "wkb", (), {}),
    ("to_hex_wkb(hex)", "to_hex_wkb", "hex", (), {}),
    ("to_hex_wkb(wkt)", "to_hex_wkb", "wkt", (), {}),
    ("to_ewkb_header(multi, 4326)", "to_ewkb_header", "multi", (4326,), {}),
    ("to_ewkb_header(multi hex, 4326)", "to_ewkb_header", "multi hex", (4326,), {}),
    ("to_wkb_no_srid_header(multi ewkb)", "to_wkb_no_srid_header", "multi ewkb", (), {}),
    ("to_wkb(multi, srid=4326)", "to_wkb", "multi", (), {"srid": 4326}),
    ("to_hex_wkb(multi, srid=4326)", "to_hex_wkb", "multi", (), {"srid": 4326}),
]

# Controls, not held to the targets: Python's own copy and hex encoding of the
# same WKB. They do no conversion at all, so the ratio of their two sizes is
# what the memory hierarchy alone makes of the larger data (a result of 100,000
# vertices no longer fits in the L2 cache), the part of a row's ratio that no
# memory policy can remove.
FLOORS = {
    "floor: bytes(memoryview(wkb))": lambda b: bytes(memoryview(b)),
    "floor: wkb.hex()": lambda b: b.hex(),
}


def batch(fn, sources, extra, kwargs, calls: int) -> tuple[float, float, float]:
    """User and system seconds and minor faults per call over `calls` calls,
    taking the sources in turn."""
    count = len(sources)
    before = resource.getrusage(resource.RUSAGE_SELF)
    for i in range(calls):
        fn(sources[i % count], *extra, **kwargs)
    after = resource.getrusage(resource.RUSAGE_SELF)
    return ((after.ru_utime - before.ru_utime) / calls,
            (after.ru_stime - before.ru_stime) / calls,
            (after.ru_minflt - before.ru_minflt) / calls)


def measure(fn, sources, extra, kwargs, reps: int, seconds: float) -> tuple[float, float, float]:
    for source in sources:  # steady state: the first call's memory is new
        fn(source, *extra, **kwargs)
    start = time.process_time()
    fn(sources[0], *extra, **kwargs)
    one = max(time.process_time() - start, 1e-6)
    calls = max(3 * len(sources), int(seconds / one))
    results = [batch(fn, sources, extra, kwargs, calls) for _ in range(reps)]
    return min(results, key=lambda r: r[0] + r[1])


def run_row(label: str, n: int, reps: int, seconds: float) -> tuple[float, float, float]:
    """Measures one row in this process (a fresh one: see run_fresh)."""
    if label in FLOORS:
        sources = [make_input("wkb", n, seed) for seed in range(distinct_inputs(n))]
        return measure(FLOORS[label], sources, (), {}, reps, seconds)
    for row_label, name, kind, extra, kwargs in ROWS:
        if row_label == label:
            sources = [make_input(kind, n, seed) for seed in range(distinct_inputs(n))]
            return measure(getattr(geoweave, name), sources, extra, kwargs, reps, seconds)
    raise SystemExit(f"no row {label!r}")


def run_fresh(label: str, n: int, reps: int, seconds: float) -> tuple[float, float, float]:
    """Measures one row in a fresh interpreter: where glibc serves a block from
    depends on what the process freed before (its mmap threshold moves up as
    mapped blocks are freed), so rows measured one after another in one
    process would hide a cost that a process doing one kind of conversion
    pays on every call."""
    out = subprocess.run([sys.executable, __file__, "--row", label, "--sizes", str(n),
                          "--reps", str(reps), "--seconds", str(seconds)],
                         check=True, capture_output=True, text=True).stdout
    return tuple(json.loads(out))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000",
                        help="comma-separated vertex counts (first and last are compared)")
    parser.add_argument("--reps", type=int, default=3, help="batches per process")
    parser.add_argument("--rounds", type=int, default=3,
                        help="fresh processes per row and size, best kept")
    parser.add_argument("--seconds", type=float, default=0.3, help="work per batch")
    parser.add_argument("--only", help="run only rows whose label contains this text")
    parser.add_argument("--json", help="write the measurements to this file")
    parser.add_argument("--quick", action="store_true", help="smoke run: tiny sizes, one batch")
    parser.add_argument("--row", help=argparse.SUPPRESS)  # one row, in this process
    opts = parser.parse_args()
    if opts.quick:
        opts.sizes, opts.reps, opts.rounds, opts.seconds = "200,2000", 1, 1, 0.005
    sizes = [int(s) for s in opts.sizes.split(",")]
    if opts.row:
        print(json.dumps(run_row(opts.row, sizes[0], opts.reps, opts.seconds)))
        return 0

    print(f"geoweave from {geoweave.__file__}; each row in a fresh process, "
          f"best of {opts.rounds} rounds")
    print(f"{'function':36} {'vertices':>8} {'user':>7} {'sys':>7} {'u+s':>7} {'faults':>8}")
    print(f"{'':36} {'':>8} {'ns/double':>23} {'/call':>8}")
    labels = [label for label in [*(row[0] for row in ROWS), *FLOORS]
              if not opts.only or opts.only in label]
    table: dict[str, dict[int, tuple[float, float, float]]] = {}
    # Rounds over every row, each row's sizes one right after the other: a
    # busy spell on a shared machine then lands on both sizes of a row rather
    # than on one, and the best of the rounds is kept for each.
    for _ in range(opts.rounds):
        for label in labels:
            for n in sizes:
                user, system, faults = run_fresh(label, n, opts.reps, opts.seconds)
                per = 1e9 / (2 * n)
                best = table.setdefault(label, {}).get(n)
                if best is None or user * per + system * per < best[0] + best[1]:
                    table[label][n] = (user * per, system * per, faults)
    for label in labels:
        for n in sizes:
            user, system, faults = table[label][n]
            print(f"{label:36} {n:>8} {user:7.2f} {system:7.2f} {user + system:7.2f} "
                  f"{faults:8.1f}")

    failed = []
    print()
    print(f"{'function':36} {'max sys':>7} {'ratio':>6}  (targets: sys <= 1 ns/double, "
          f"u+s at {sizes[-1]} <= 1.25x at {sizes[0]})")
    for label, by_size in table.items():
        max_sys = max(s for _, s, _ in by_size.values())
        small, large = by_size[sizes[0]], by_size[sizes[-1]]
        ratio = (large[0] + large[1]) / max(small[0] + small[1], 1e-9)
        if label in FLOORS:
            print(f"{label:36} {max_sys:7.2f} {ratio:6.2f}  (control)")
            continue
        ok = max_sys <= 1.0 and ratio <= 1.25
        if not ok:
            failed.append(label)
        print(f"{label:36} {max_sys:7.2f} {ratio:6.2f}  {'ok' if ok else 'MISSED'}")
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump({label: {str(n): dict(zip(("user_ns", "sys_ns", "faults"), v))
                               for n, v in by_size.items()}
                       for label, by_size in table.items()}, f, indent=1)
    rows = len(table) - len([label for label in table if label in FLOORS])
    print(f"\n{rows - len(failed)} of {rows} rows meet both targets")
    return 0


if __name__ == "__main__":
    sys.exit(main())
