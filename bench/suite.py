"""geoweave benchmark suite: geoweave against its peers and against floors.

    python bench/suite.py [--floors PATH] [--reps N] [--quick] [--json FILE]

Usually run through scripts/bench.sh, which installs the peers and builds the
floor program first. Data are generated from a fixed seed into a temporary
directory; every comparison runs in a fresh process of its own, with its
contenders timed in turn within each repetition (one warm-up repetition
excluded), and the table reports medians and ratios from that one process.

Times are the CPU time of the measuring thread (user and system, page faults
included; time.thread_time_ns, CLOCK_THREAD_CPUTIME_ID in the C++ floor
program), so that on a busy machine the waits for a core are not counted.
Per-call times are those of a Python loop calling the function, loop
included, as timeit measures them.

Peers: shapely 2.x (GEOS), to_wkt(from_wkb(b)) and to_wkb(from_wkt(s)) per
call and vectorised over numpy arrays (full precision: rounding_precision=-1);
geoarrow-c's Python package (as_geoarrow kernels over Arrow arrays built with
nanoarrow). Floors: the C++ program bench/floors.cpp (dragonbox, fast_float,
memcpy on the same data) and the Python builtins bytes.hex, bytes.fromhex and
bytes(memoryview) on the same bytes.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 20261207

# ---------------------------------------------------------------- data ----

SMALL_KINDS = ("point21", "point25", "polygon10", "multipolygon3x20")


def _coords(rng, n):
    """n XY pairs as a flat list: longitudes and latitudes with full digits."""
    import numpy as np
    xy = np.empty((n, 2))
    xy[:, 0] = rng.uniform(-180, 180, n)
    xy[:, 1] = rng.uniform(-90, 90, n)
    return xy.ravel().tolist()


def _ring(rng, n):
    """A closed ring of n vertices (n - 1 distinct) around a random centre."""
    import numpy as np
    cx, cy = rng.uniform(-170, 170), rng.uniform(-80, 80)
    angles = np.linspace(0, 2 * np.pi, n - 1, endpoint=False)
    radius = rng.uniform(0.5, 5, n - 1)
    pts = [c for a, r in zip(angles, radius) for c in (cx + r * np.cos(a), cy + r * np.sin(a))]
    return pts + pts[:2]


def small_wkb(kind, rng):
    if kind == "point21":
        x, y = _coords(rng, 1)
        return struct.pack("<BIdd", 1, 1, x, y)
    if kind == "point25":
        x, y = _coords(rng, 1)
        return struct.pack("<BIidd", 1, 0x20000001, 4326, x, y)
    if kind == "polygon10":
        ring = _ring(rng, 10)
        return struct.pack("<BIII20d", 1, 3, 1, 10, *ring)
    if kind == "multipolygon3x20":
        out = struct.pack("<BII", 1, 6, 3)
        for _ in range(3):
            out += struct.pack("<BIII40d", 1, 3, 1, 20, *_ring(rng, 20))
        return out
    raise ValueError(kind)


def _linestring_z(rng, n):
    flat = []
    xy = _coords(rng, n)
    z = rng.uniform(-100, 3000, n).tolist()
    for i in range(n):
        flat += [xy[2 * i], xy[2 * i + 1], z[i]]
    return flat


def collection_wkb(rng, vertices):
    """A GeometryCollection Z holding every geometry type (a nested collection
    included), about `vertices` vertices in all."""
    Z = 0x80000000
    part = max(vertices // 8, 4)

    def point():
        return struct.pack("<BI3d", 1, 1 | Z, *_linestring_z(rng, 1))

    def line(n):
        return struct.pack(f"<BII{3 * n}d", 1, 2 | Z, n, *_linestring_z(rng, n))

    def polygon(n):
        rings = [_linestring_z(rng, n), _linestring_z(rng, max(n // 4, 4))]
        out = struct.pack("<BII", 1, 3 | Z, len(rings))
        for r in rings:
            r[-3:] = r[:3]  # closed
            out += struct.pack(f"<I{len(r)}d", len(r) // 3, *r)
        return out

    members = [
        point(),
        line(part),
        polygon(part),
        struct.pack("<BII", 1, 4 | Z, part // 8) + b"".join(point() for _ in range(part // 8)),
        struct.pack("<BII", 1, 5 | Z, 4) + b"".join(line(part // 4) for _ in range(4)),
        struct.pack("<BII", 1, 6 | Z, 3) + b"".join(polygon(part // 3) for _ in range(3)),
        struct.pack("<BII", 1, 7 | Z, 2) + point() + line(part // 2),
    ]
    return struct.pack("<BII", 1, 7 | Z, len(members)) + b"".join(members)


def generate(directory, vertices, count):
    """Writes the suite's inputs into `directory` (fixed seed)."""
    import numpy as np
    import geoweave
    rng = np.random.default_rng(SEED)
    ls = struct.pack("<BII", 1, 2, vertices) + struct.pack(f"<{2 * vertices}d", *_coords(rng, vertices))
    gc = collection_wkb(rng, vertices // 4)
    files = {"ls.wkb": ls, "gc.wkb": gc}
    for kind in SMALL_KINDS:
        items = [small_wkb(kind, rng) for _ in range(count)]
        files[f"{kind}.list"] = b"".join(struct.pack("<I", len(b)) + b for b in items)
    for name, data in files.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    for name in ("ls", "gc"):
        with open(os.path.join(directory, f"{name}.wkt"), "w", encoding="ascii") as f:
            f.write(geoweave.wkb_to_wkt(files[f"{name}.wkb"]))


def load_bytes(directory, name):
    with open(os.path.join(directory, name), "rb") as f:
        return f.read()


def load_text(directory, name):
    with open(os.path.join(directory, name), encoding="ascii") as f:
        return f.read()


def load_list(directory, kind):
    data = load_bytes(directory, f"{kind}.list")
    items, i = [], 0
    while i < len(data):
        (n,) = struct.unpack_from("<I", data, i)
        items.append(data[i + 4:i + 4 + n])
        i += 4 + n
    return items


# -------------------------------------------------------------- timing ----

def _run(fn, arg, number):
    start = time.thread_time_ns()
    for _ in range(number):
        fn(arg)
    return (time.thread_time_ns() - start) / number


def compare(contenders, reps):
    """contenders: {name: (fn, arg, number)}. Every repetition times each
    contender in turn; the first repetition is a warm-up. Returns the median
    nanoseconds per call of each."""
    runs = {name: [] for name in contenders}
    for rep in range(reps + 1):
        for name, (fn, arg, number) in contenders.items():
            t = _run(fn, arg, number)
            if rep:
                runs[name].append(t)
    return {name: statistics.median(v) for name, v in runs.items()}


def calls_for(seconds_per_rep, guess_ns):
    return max(1, int(seconds_per_rep * 1e9 / guess_ns))


# -------------------------------------------------------------- peers -----

def shapely_or_none():
    try:
        import shapely
    except ImportError:
        return None
    return shapely


def geoarrow_or_none():
    """(convert, make_array) for geoarrow-c, or None when it is missing."""
    try:
        import nanoarrow as na
        import numpy as np
        from geoarrow.c import ScalarFunction, _lib
    except ImportError:
        return None
    schemas = {
        "wkb": _lib.CGeometryDataType.MakeType(_lib.GEOARROW_TYPE_WKB, b"{}").to_schema(),
        "wkt": _lib.CGeometryDataType.MakeType(_lib.GEOARROW_TYPE_WKT, b"{}").to_schema(),
    }
    kernels = {
        "wkt": ScalarFunction("as_geoarrow", type=int(_lib.GEOARROW_TYPE_WKT)),
        "wkb": ScalarFunction("as_geoarrow", type=int(_lib.GEOARROW_TYPE_WKB)),
    }

    def make_array(items, encoding):
        """An Arrow array of WKB (bytes items) or WKT (str items)."""
        raw = [i.encode() if isinstance(i, str) else i for i in items]
        offsets = np.zeros(len(raw) + 1, dtype=np.int32)
        np.cumsum([len(r) for r in raw], out=offsets[1:])
        return na.c_array_from_buffers(schemas[encoding], len(raw), [None, offsets, b"".join(raw)])

    def convert(array_and_target):
        array, target = array_and_target
        return kernels[target](array)

    return convert, make_array


# ------------------------------------------------------------- workers ----

def worker_calls(args, kind):
    """One small geometry of `kind`, per call."""
    import geoweave
    shapely = shapely_or_none()
    wkb = load_list(args.data, kind)[0]
    wkt = geoweave.wkb_to_wkt(wkb)
    plain = geoweave.wkb_to_wkt(wkb, srid=False)  # the peers read no EWKT prefix
    hexed = wkb.hex().upper()
    n = calls_for(args.seconds, 300)
    out = {}
    c = {"geoweave": (geoweave.wkb_to_wkt, wkb, n), "bytes.hex": (bytes.hex, wkb, n)}
    if shapely:
        c["shapely"] = (lambda b: shapely.to_wkt(shapely.from_wkb(b), rounding_precision=-1),
                        wkb, n // 10 or 1)
    out["wkb_to_wkt"] = compare(c, args.reps)
    c = {"geoweave": (geoweave.wkt_to_wkb, wkt, n), "bytes.hex": (bytes.hex, wkb, n)}
    if shapely:
        c["shapely"] = (lambda s: shapely.to_wkb(shapely.from_wkt(s)), plain, n // 10 or 1)
    out["wkt_to_wkb"] = compare(c, args.reps)
    c = {"geoweave": (geoweave.wkt_to_hex_wkb, wkt, n)}
    if shapely:
        c["shapely"] = (lambda s: shapely.to_wkb(shapely.from_wkt(s), hex=True), plain,
                        n // 10 or 1)
    out["wkt_to_hex_wkb"] = compare(c, args.reps)
    c = {"geoweave": (geoweave.hex_wkb_to_wkt, hexed, n)}
    if shapely:
        c["shapely"] = (lambda h: shapely.to_wkt(shapely.from_wkb(h), rounding_precision=-1),
                        hexed, n // 10 or 1)
    out["hex_wkb_to_wkt"] = compare(c, args.reps)
    return out


def worker_list(args, kind):
    """A list of `count` small geometries of `kind`: a Python loop over
    geoweave against shapely's vectorised calls and geoarrow-c's kernels."""
    import numpy as np
    import geoweave
    shapely = shapely_or_none()
    ga = geoarrow_or_none()
    items = load_list(args.data, kind)
    texts = [geoweave.wkb_to_wkt(b) for b in items]
    plains = [geoweave.wkb_to_wkt(b, srid=False) for b in items]  # peers read no EWKT prefix
    hexes = [b.hex().upper() for b in items]
    count = len(items)

    def loop(fn):
        return lambda seq: [fn(x) for x in seq]

    out = {}
    plans = {
        "wkb_to_wkt": (geoweave.wkb_to_wkt, items,
                       lambda a: shapely.to_wkt(shapely.from_wkb(a), rounding_precision=-1),
                       "wkb", "wkt"),
        "wkt_to_wkb": (geoweave.wkt_to_wkb, texts,
                       lambda a: shapely.to_wkb(shapely.from_wkt(a)), "wkt", "wkb"),
        "wkt_to_hex_wkb": (geoweave.wkt_to_hex_wkb, texts,
                           lambda a: shapely.to_wkb(shapely.from_wkt(a), hex=True), None, None),
        "hex_wkb_to_wkt": (geoweave.hex_wkb_to_wkt, hexes,
                           lambda a: shapely.to_wkt(shapely.from_wkb(a), rounding_precision=-1),
                           None, None),
    }
    for name, (fn, seq, vectorised, ga_from, ga_to) in plans.items():
        c = {"geoweave": (loop(fn), seq, 1)}
        peer_seq = plains if seq is texts else seq
        if shapely:
            c["shapely"] = (vectorised, np.array(peer_seq, dtype=object), 1)
        if ga and ga_from:
            convert, make_array = ga
            c["geoarrow-c"] = (convert, (make_array(peer_seq, ga_from), ga_to), 1)
        medians = compare(c, args.reps)
        out[name] = {k: v / count for k, v in medians.items()}  # per geometry
    return out


def worker_large(args, name):
    """One large geometry (`ls`: the LineString, `gc`: the collection), both
    directions, with shapely and geoarrow-c."""
    import geoweave
    shapely = shapely_or_none()
    ga = geoarrow_or_none()
    wkb = load_bytes(args.data, f"{name}.wkb")
    wkt = load_text(args.data, f"{name}.wkt")
    out = {}
    c = {"geoweave": (geoweave.wkb_to_wkt, wkb, 1)}
    if shapely:
        c["shapely"] = (lambda b: shapely.to_wkt(shapely.from_wkb(b), rounding_precision=-1), wkb, 1)
    if ga:
        convert, make_array = ga
        c["geoarrow-c"] = (convert, (make_array([wkb], "wkb"), "wkt"), 1)
    out["wkb_to_wkt"] = compare(c, args.reps)
    c = {"geoweave": (geoweave.wkt_to_wkb, wkt, 1)}
    if shapely:
        c["shapely"] = (lambda s: shapely.to_wkb(shapely.from_wkt(s)), wkt, 1)
    if ga:
        convert, make_array = ga
        c["geoarrow-c"] = (convert, (make_array([wkt], "wkt"), "wkb"), 1)
    out["wkt_to_wkb"] = compare(c, args.reps)
    c = {"geoweave": (geoweave.wkt_to_hex_wkb, wkt, 1)}
    if shapely:
        c["shapely"] = (lambda s: shapely.to_wkb(shapely.from_wkt(s), hex=True), wkt, 1)
    out["wkt_to_hex_wkb"] = compare(c, args.reps)
    return out


def worker_bulk_bytes(args):
    """Hex and header operations on the large LineString's 16 MB, against the
    builtins that touch the same bytes."""
    import geoweave
    wkb = load_bytes(args.data, "ls.wkb")
    hexed = wkb.hex().upper()
    tagged = geoweave.to_ewkb_header(wkb, 4326)
    copy = lambda b: bytes(memoryview(b))
    out = {}
    out["hex_encode"] = compare({"geoweave": (geoweave.to_hex_wkb, wkb, 1),
                                 "bytes.hex": (bytes.hex, wkb, 1)}, args.reps)
    out["hex_decode"] = compare({"geoweave": (geoweave.to_wkb, hexed, 1),
                                 "bytes.fromhex": (bytes.fromhex, hexed, 1)}, args.reps)
    out["to_ewkb_header"] = compare({"geoweave": (lambda b: geoweave.to_ewkb_header(b, 4326), wkb, 1),
                                     "bytes(memoryview)": (copy, wkb, 1)}, args.reps)
    out["to_wkb_no_srid_header"] = compare({"geoweave": (geoweave.to_wkb_no_srid_header, tagged, 1),
                                            "bytes(memoryview)": (copy, tagged, 1)}, args.reps)
    out["to_wkb srid=4326"] = compare({"geoweave": (lambda b: geoweave.to_wkb(b, srid=4326), wkb, 1),
                                       "bytes(memoryview)": (copy, wkb, 1)}, args.reps)
    out["wkb_header_srid"] = compare({"geoweave": (geoweave.wkb_header_srid, tagged, 1000),
                                      "bytes(memoryview)": (copy, tagged, 1)}, args.reps)
    return out


def worker_functions(args):
    """Every function on every form it accepts, with each srid option where it
    changes the path: ns per call on the 10-vertex Polygon (and a MultiPolygon
    where a header cannot be patched)."""
    import geoweave as g
    poly = load_list(args.data, "polygon10")[0]
    multi = load_list(args.data, "multipolygon3x20")[0]
    tagged = g.to_ewkb_header(poly, 4326)
    wkt, ewkt = g.wkb_to_wkt(poly), g.wkb_to_wkt(tagged)
    hx, ehx = poly.hex().upper(), tagged.hex().upper()
    mhx = multi.hex().upper()
    cases = [
        ("wkb_to_wkt(bytes)", lambda a: g.wkb_to_wkt(a), tagged),
        ("wkb_to_wkt(bytearray)", lambda a: g.wkb_to_wkt(a), bytearray(tagged)),
        ("wkb_to_wkt(memoryview)", lambda a: g.wkb_to_wkt(a), memoryview(tagged)),
        ("wkb_to_wkt(bytes, srid=False)", lambda a: g.wkb_to_wkt(a, srid=False), tagged),
        ("wkb_to_wkt(bytes, srid=3857)", lambda a: g.wkb_to_wkt(a, srid=3857), tagged),
        ("wkb_to_wkt_split_srid(bytes)", g.wkb_to_wkt_split_srid, tagged),
        ("wkt_to_wkb(str)", lambda a: g.wkt_to_wkb(a), ewkt),
        ("wkt_to_wkb(str, srid=False)", lambda a: g.wkt_to_wkb(a, srid=False), ewkt),
        ("wkt_to_wkb(str, srid=3857)", lambda a: g.wkt_to_wkb(a, srid=3857), ewkt),
        ("wkt_to_wkb_split_srid(str)", g.wkt_to_wkb_split_srid, ewkt),
        ("wkt_to_hex_wkb(str)", lambda a: g.wkt_to_hex_wkb(a), ewkt),
        ("wkt_to_hex_wkb(str, srid=False)", lambda a: g.wkt_to_hex_wkb(a, srid=False), ewkt),
        ("wkt_to_hex_wkb(str, srid=3857)", lambda a: g.wkt_to_hex_wkb(a, srid=3857), ewkt),
        ("hex_wkb_to_wkt(str)", lambda a: g.hex_wkb_to_wkt(a), ehx),
        ("hex_wkb_to_wkt(str, srid=False)", lambda a: g.hex_wkb_to_wkt(a, srid=False), ehx),
        ("hex_wkb_to_wkt(str, srid=3857)", lambda a: g.hex_wkb_to_wkt(a, srid=3857), ehx),
        ("to_wkb(bytes)", lambda a: g.to_wkb(a), tagged),
        ("to_wkb(bytes, srid=False) patch", lambda a: g.to_wkb(a, srid=False), tagged),
        ("to_wkb(bytes, srid=3857) patch", lambda a: g.to_wkb(a, srid=3857), tagged),
        ("to_wkb(bytes, srid=3857) round trip", lambda a: g.to_wkb(a, srid=3857), multi),
        ("to_wkb(hex)", lambda a: g.to_wkb(a), ehx),
        ("to_wkb(hex, srid=False) patch", lambda a: g.to_wkb(a, srid=False), ehx),
        ("to_wkb(wkt)", lambda a: g.to_wkb(a), ewkt),
        ("to_wkb(wkt, srid=3857)", lambda a: g.to_wkb(a, srid=3857), ewkt),
        ("to_wkt(bytes)", lambda a: g.to_wkt(a), tagged),
        ("to_wkt(bytes, srid=3857)", lambda a: g.to_wkt(a, srid=3857), tagged),
        ("to_wkt(hex)", lambda a: g.to_wkt(a), ehx),
        ("to_wkt(wkt) prefix edit", lambda a: g.to_wkt(a), ewkt),
        ("to_wkt(wkt, srid=False) prefix edit", lambda a: g.to_wkt(a, srid=False), ewkt),
        ("to_wkt(wkt, srid=3857) prefix edit", lambda a: g.to_wkt(a, srid=3857), ewkt),
        ("to_wkt(wkt, normalize_wkt=True)", lambda a: g.to_wkt(a, normalize_wkt=True), ewkt),
        ("to_hex_wkb(bytes)", lambda a: g.to_hex_wkb(a), tagged),
        ("to_hex_wkb(bytes, srid=False) patch", lambda a: g.to_hex_wkb(a, srid=False), tagged),
        ("to_hex_wkb(hex)", lambda a: g.to_hex_wkb(a), ehx.lower()),
        ("to_hex_wkb(hex, srid=3857) patch", lambda a: g.to_hex_wkb(a, srid=3857), ehx),
        ("to_hex_wkb(wkt)", lambda a: g.to_hex_wkb(a), ewkt),
        ("wkb_header_srid(bytes)", g.wkb_header_srid, tagged),
        ("wkb_header_srid(hex)", g.wkb_header_srid, ehx),
        ("to_wkb_no_srid_header(bytes) patch", g.to_wkb_no_srid_header, tagged),
        ("to_wkb_no_srid_header(hex) patch", g.to_wkb_no_srid_header, ehx),
        ("to_wkb_no_srid_header(hex) round trip", g.to_wkb_no_srid_header, mhx),
        ("to_ewkb_header(bytes, 4326) patch", lambda a: g.to_ewkb_header(a, 4326), poly),
        ("to_ewkb_header(bytes, 4326) round trip", lambda a: g.to_ewkb_header(a, 4326), multi),
        ("to_ewkb_header(hex, 4326) patch", lambda a: g.to_ewkb_header(a, 4326), hx),
        ("to_ewkb_header(bytes, False) patch", lambda a: g.to_ewkb_header(a, False), tagged),
    ]
    n = calls_for(args.seconds, 500)
    return {name: compare({"geoweave": (fn, arg, n)}, args.reps)["geoweave"]
            for name, fn, arg in cases}


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def worker_memory(args, what):
    """Peak resident memory of one large conversion above the memory held
    before it (inputs loaded), in a fresh process; with the result's size."""
    import gc
    import geoweave
    shapely = shapely_or_none() if what.startswith("shapely") else None
    wkb = load_bytes(args.data, "ls.wkb")
    wkt = load_text(args.data, "ls.wkt")
    hexed = wkb.hex().upper()
    jobs = {
        "wkb_to_wkt": lambda: geoweave.wkb_to_wkt(wkb),
        "wkt_to_wkb": lambda: geoweave.wkt_to_wkb(wkt),
        "wkt_to_hex_wkb": lambda: geoweave.wkt_to_hex_wkb(wkt),
        "hex_wkb_to_wkt": lambda: geoweave.hex_wkb_to_wkt(hexed),
        "to_hex_wkb": lambda: geoweave.to_hex_wkb(wkb),
        "to_wkb(hex)": lambda: geoweave.to_wkb(hexed),
        "shapely wkb_to_wkt": lambda: shapely.to_wkt(shapely.from_wkb(wkb), rounding_precision=-1),
        "shapely wkt_to_wkb": lambda: shapely.to_wkb(shapely.from_wkt(wkt)),
    }
    gc.collect()
    try:  # reset the peak to the current size
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return {"error": "cannot reset the peak (/proc/self/clear_refs)"}
    before = _status_kb("VmRSS")
    result = jobs[what]()
    peak = _status_kb("VmHWM")
    return {"peak_above_kb": peak - before, "result_kb": sys.getsizeof(result) / 1024}


def worker(args):
    kind, _, name = args.worker.partition(":")
    if kind == "calls":
        return worker_calls(args, name)
    if kind == "list":
        return worker_list(args, name)
    if kind == "large":
        return worker_large(args, name)
    if kind == "bulk":
        return worker_bulk_bytes(args)
    if kind == "functions":
        return worker_functions(args)
    if kind == "memory":
        return worker_memory(args, name)
    raise SystemExit(f"unknown worker {args.worker}")


# ---------------------------------------------------------------- main ----

def run_worker(args, name):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", name, "--data", args.data,
           "--reps", str(args.reps), "--seconds", str(args.seconds)]
    print(f"  running {name} ...", file=sys.stderr, flush=True)
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"worker {name} failed:\n{done.stderr}")
    return json.loads(done.stdout)


def run_floors(args):
    if not args.floors:
        return None
    cmd = [args.floors, "--wkb", os.path.join(args.data, "ls.wkb"),
           "--wkt", os.path.join(args.data, "ls.wkt"), "--reps", str(args.reps)]
    print("  running floors ...", file=sys.stderr, flush=True)
    done = subprocess.run(cmd, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def machine_description():
    lines = [f"date: {datetime.date.today().isoformat()}",
             f"python: {platform.python_version()} ({platform.python_implementation()})"]
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in lscpu.splitlines():
            if line.split(":")[0].strip() in ("Model name", "CPU(s)", "L1d cache", "L2 cache",
                                              "L3 cache", "Hypervisor vendor"):
                lines.append(" ".join(line.split()))
    except OSError:
        pass
    try:
        mem = subprocess.run(["free", "-h"], capture_output=True, text=True).stdout.splitlines()[1]
        lines.append("memory: " + mem.split()[1])
    except (OSError, IndexError):
        pass
    lines.append(packages_line(("geoweave", "shapely", "numpy", "geoarrow-c", "nanoarrow")))
    return lines


def packages_line(dists):
    """The installed version of each distribution, for a run's description."""
    from importlib import metadata
    versions = []
    for dist in dists:
        try:
            versions.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            versions.append(f"{dist} (not installed)")
    return "packages: " + ", ".join(versions)


def fmt_time(ns):
    if ns is None:
        return "n/a"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


class Table:
    def __init__(self):
        self.rows = []

    def section(self, title):
        self.rows.append(("#", title))

    def row(self, what, ours, reference, ref_name, ratio_text, target="", met=None):
        status = "" if met is None else ("met" if met else "MISSED")
        self.rows.append((what, fmt_time(ours), f"{fmt_time(reference)} {ref_name}".strip(),
                          ratio_text, target, status))

    def render(self):
        header = ("workload", "geoweave", "reference", "ratio", "target", "")
        body = [r for r in self.rows if r[0] != "#"]
        widths = [max(len(str(r[i])) for r in body + [header]) for i in range(6)]
        out = []
        for r in self.rows:
            if r[0] == "#":
                out.append("")
                out.append(f"## {r[1]}")
                out.append("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
                out.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
            else:
                out.append("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")
        return "\n".join(out)


def build_table(res, floors):
    t = Table()
    ratio = lambda a, b: (a / b) if (a is not None and b) else None

    def slower(ours, ref, name, limit, what):
        r = ratio(ours, ref)
        t.row(what, ours, ref, name, "n/a" if r is None else f"{r:.2f}x the time",
              f"<= {limit}x", None if r is None else r <= limit)

    def faster(ours, peer, name, limit, what):
        r = ratio(peer, ours)
        t.row(what, ours, peer, name, "n/a" if r is None else f"{r:.1f}x faster",
              f">= {limit}x faster" if limit else "", None if (r is None or not limit) else r >= limit)

    fl = floors["results"] if floors else {}
    floor = lambda k: fl.get(k, {}).get("median_ns")
    ls = res["large:ls"]
    t.section(f"Large: LineString of {floors['doubles'] // 2 if floors else 0:,} XY vertices "
              f"({floors['wkb_bytes'] / 1e6 if floors else 0:.0f} MB WKB) against floors")
    slower(ls["wkb_to_wkt"]["geoweave"], floor("dragonbox"), "dragonbox", 1.5, "wkb_to_wkt")
    slower(ls["wkt_to_wkb"]["geoweave"], floor("fast_float"), "fast_float", 1.3, "wkt_to_wkb")
    slower(ls["wkt_to_hex_wkb"]["geoweave"], floor("fast_float"), "fast_float", 1.3, "wkt_to_hex_wkb")

    t.section("Large: against peers (>= 2x faster than geoarrow-c)")
    for name, label in (("large:ls", "LineString 1M XY"), ("large:gc", "GeometryCollection Z, all types")):
        for conv in ("wkb_to_wkt", "wkt_to_wkb", "wkt_to_hex_wkb"):
            r = res[name][conv]
            if "geoarrow-c" in r:
                faster(r["geoweave"], r["geoarrow-c"], "geoarrow-c", 2, f"{label}: {conv}")
            if "shapely" in r:
                faster(r["geoweave"], r["shapely"], "shapely", None, f"{label}: {conv}")

    b = res["bulk"]
    t.section("Large: hex and header operations on the LineString's WKB against builtins")
    slower(b["hex_encode"]["geoweave"], b["hex_encode"]["bytes.hex"], "bytes.hex", 1.0,
           "to_hex_wkb(bytes): hex encode")
    slower(b["hex_decode"]["geoweave"], b["hex_decode"]["bytes.fromhex"], "bytes.fromhex", 1.0,
           "to_wkb(hex str): hex decode")
    for op in ("to_ewkb_header", "to_wkb_no_srid_header", "to_wkb srid=4326"):
        slower(b[op]["geoweave"], b[op]["bytes(memoryview)"], "bytes(memoryview)", 1.5, op)
    slower(b["wkb_header_srid"]["geoweave"], b["wkb_header_srid"]["bytes(memoryview)"],
           "bytes(memoryview)", 1.5, "wkb_header_srid")

    t.section("Small, per call (Point targets: >= 30x faster than shapely, <= 2.5x bytes.hex)")
    for kind in SMALL_KINDS:
        r = res[f"calls:{kind}"]
        point = kind.startswith("point")
        for conv in ("wkb_to_wkt", "wkt_to_wkb", "wkt_to_hex_wkb", "hex_wkb_to_wkt"):
            if "shapely" in r[conv]:
                faster(r[conv]["geoweave"], r[conv]["shapely"], "shapely",
                       30 if point and conv in ("wkb_to_wkt", "wkt_to_wkb") else None,
                       f"{kind}: {conv}")
        if point:
            slower(r["wkb_to_wkt"]["geoweave"], r["wkb_to_wkt"]["bytes.hex"], "bytes.hex", 2.5,
                   f"{kind}: wkb_to_wkt")

    t.section("Small, 100,000 in a Python loop against shapely vectorised (>= 5x faster), per geometry")
    for kind in SMALL_KINDS:
        r = res[f"list:{kind}"]
        for conv in ("wkb_to_wkt", "wkt_to_wkb", "wkt_to_hex_wkb", "hex_wkb_to_wkt"):
            if "shapely" in r[conv]:
                faster(r[conv]["geoweave"], r[conv]["shapely"], "shapely vectorised", 5,
                       f"{kind}: {conv}")
            if "geoarrow-c" in r[conv]:
                faster(r[conv]["geoweave"], r[conv]["geoarrow-c"], "geoarrow-c", None,
                       f"{kind}: {conv}")

    t.section("Peak memory of large conversions above the input (<= 2x the result's size)")
    for conv in ("wkb_to_wkt", "wkt_to_wkb", "wkt_to_hex_wkb", "hex_wkb_to_wkt", "to_hex_wkb",
                 "to_wkb(hex)", "shapely wkb_to_wkt", "shapely wkt_to_wkb"):
        m = res.get(f"memory:{conv}")
        if not m or "error" in m:
            continue
        r = m["peak_above_kb"] / m["result_kb"]
        limit = None if conv.startswith("shapely") else 2.0
        t.rows.append((conv, f"{m['peak_above_kb'] / 1024:.1f} MB peak",
                       f"{m['result_kb'] / 1024:.1f} MB result", f"{r:.2f}x the result",
                       "<= 2x" if limit else "", "" if limit is None else ("met" if r <= limit else "MISSED")))

    if floors:
        t.section("C++ floors and core conversions on the LineString (no Python), per double")
        doubles = floors["doubles"]
        for k, v in fl.items():
            t.rows.append((k, fmt_time(v["median_ns"]), f"{v['median_ns'] / doubles:.2f} ns per double",
                           "", "", ""))

    t.section("Every function, per call, on a 10-vertex Polygon (MultiPolygon for round trips)")
    for k, v in res["functions"].items():
        t.rows.append((k, fmt_time(v), "", "", "", ""))
    return t


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floors", help="path of the C++ floor program (bench/floors.cpp)")
    parser.add_argument("--reps", type=int, default=5, help="repetitions after the warm-up")
    parser.add_argument("--seconds", type=float, default=0.05,
                        help="rough duration of one repetition of a per-call timing")
    parser.add_argument("--vertices", type=int, default=1_000_000)
    parser.add_argument("--count", type=int, default=100_000, help="length of the small lists")
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes and few repetitions: checks that everything runs")
    parser.add_argument("--json", help="also write all measurements to this file")
    parser.add_argument("--only", help="comma-separated worker kinds to run (large, bulk, calls, "
                        "list, functions, memory), for a chart of some of them; no table, "
                        "no floors, the measurements go to --json")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        json.dump(worker(args), sys.stdout)
        return

    if args.quick:
        args.reps, args.seconds, args.vertices, args.count = 2, 0.002, 20_000, 500
    tmp = tempfile.mkdtemp(prefix="geoweave-bench-")
    try:
        args.data = tmp
        print(f"generating data (seed {SEED}) in {tmp} ...", file=sys.stderr, flush=True)
        generate(tmp, args.vertices, args.count)
        names = ([f"large:{n}" for n in ("ls", "gc")] + ["bulk"]
                 + [f"calls:{k}" for k in SMALL_KINDS] + [f"list:{k}" for k in SMALL_KINDS]
                 + ["functions"]
                 + [f"memory:{c}" for c in ("wkb_to_wkt", "wkt_to_wkb", "wkt_to_hex_wkb",
                                            "hex_wkb_to_wkt", "to_hex_wkb", "to_wkb(hex)")])
        if shapely_or_none():
            names += ["memory:shapely wkb_to_wkt", "memory:shapely wkt_to_wkb"]
        if args.only:
            kinds = {k.strip() for k in args.only.split(",")}
            names = [n for n in names if n.partition(":")[0] in kinds]
            if not names or not args.json:
                raise SystemExit("--only needs --json and at least one known worker kind")
        res = {name: run_worker(args, name) for name in names}
        floors = None if args.only else run_floors(args)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    if args.only:
        write_json(args, res, floors)
        print(f"measurements of {', '.join(names)} written to {args.json}")
        return
    table = build_table(res, floors)
    print("# geoweave benchmark")
    print()
    for line in machine_description():
        print(f"- {line}")
    print(f"- sizes: LineString {args.vertices:,} vertices, lists of {args.count:,}, "
          f"{args.reps} repetitions (+1 warm-up), medians of thread CPU time")
    print(table.render())
    if args.json:
        write_json(args, res, floors)


def write_json(args, res, floors):
    with open(args.json, "w") as f:
        json.dump({"date": datetime.date.today().isoformat(), "machine": machine_description(),
                   "results": res, "floors": floors, "args": vars(args)}, f, indent=1)


if __name__ == "__main__":
    main()
