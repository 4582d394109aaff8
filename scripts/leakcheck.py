"""Leak check: every module function called N times (default 10**6) on valid
inputs and N times on failing ones, cycling through cases that reach every
exception path (argument binding, text and srid types, buffer requests,
malformed WKB, hex and WKT, unsupported type codes). After a warm-up, the
process's resident memory, the interpreter's count of allocated blocks and the
reference counts of every input must stay flat.

The column functions of geoweave_columns are checked the same way, N // 10
calls each (a call converts a whole column): pyarrow arrays of every binary
and string type, sliced and chunked, numpy object arrays, pandas Series and
lists, in both error modes and with one and two threads (a column long
enough to be split), and failing the whole argument (bad srid, unsupported
Arrow type, bad keywords) or a row (an exception with its note).

    python scripts/leakcheck.py [N]

Exits non-zero and names the offender when anything grows.
"""

import array
import gc
import os
import struct
import sys

import geoweave as g
import geoweave_columns as gcols

N = int(float(sys.argv[1])) if len(sys.argv) > 1 else 10**6
PAGE = os.sysconf("SC_PAGE_SIZE")
# A leak on even one of a function's cases grows by N / (number of cases) blocks
# or more; the interpreter's own caches (ABC weak sets, specialisation) add a
# few dozen blocks now and then, independent of N.
RSS_TOLERANCE = 1 << 20  # bytes; a small block lost per call is 16+ MiB at N=10**6
BLOCKS_TOLERANCE = max(256, N // 100)

POINT = bytes.fromhex("0101000000000000000000F03F0000000000000040")
EWKB = bytes.fromhex("0101000020E6100000000000000000F03F0000000000000040")
# A collection (round-trip path of the header functions), big-endian member.
COLLECTION = (struct.pack("<BII", 1, 7, 2) + struct.pack(">BIdd", 0, 1, 1.0, 2.0)
              + struct.pack("<BII4d", 1, 2, 2, 0.0, 0.0, 1.0, 1.0))
HEX = EWKB.hex()
WKT = "SRID=4326;POLYGON((0 0, 1 0, 1 1, 0 0), (0.25 0.25, 0.5 0.25, 0.25 0.5, 0.25 0.25))"
PLAIN_WKT = "MULTIPOINT Z ((1 2 3), EMPTY)"
ARRAY = bytearray(EWKB)
VIEW = memoryview(COLLECTION)
STRIDED = memoryview(POINT + POINT)[::2]  # not C-contiguous
DOUBLES = array.array("d", [1.0, 2.0])  # items of 8 bytes
TRUNCATED = EWKB[:-3]
UNKNOWN_TYPE = bytes.fromhex("0163000000")
TRAILING = POINT + b"\x00"
BAD_WKT = "POINT(1 2"
BAD_NUMBER = "POINT(1 2e)"
DEEP_WKT = "GEOMETRYCOLLECTION(" * 130 + "POINT(1 2)" + ")" * 130
ODD_HEX = HEX[:-1]
BAD_HEX = "0G" + HEX[2:]
BIG = 2**31


def normalize_true():
    try:
        import numpy
        return numpy.bool_(True)
    except ImportError:
        return True


C = lambda *args, **kwargs: (args, kwargs)  # noqa: E731

VALID = {
    "wkb_to_wkt": [C(POINT), C(EWKB, srid=False), C(ARRAY, srid=3857), C(VIEW), C(COLLECTION, srid=-1)],
    "wkb_to_wkt_split_srid": [C(EWKB), C(VIEW), C(wkb=ARRAY)],
    "wkt_to_wkb": [C(WKT), C(PLAIN_WKT, srid=4326), C(WKT, srid=False), C(wkt=WKT, srid=None)],
    "wkt_to_wkb_split_srid": [C(WKT), C(PLAIN_WKT)],
    "wkt_to_hex_wkb": [C(WKT), C(PLAIN_WKT, srid=7), C(WKT, srid=0)],
    "hex_wkb_to_wkt": [C(HEX), C(HEX.upper(), srid=False), C(COLLECTION.hex(), srid=9)],
    "to_wkb": [C(POINT), C(EWKB, srid=False), C(COLLECTION, srid=5), C(HEX), C(HEX, srid=1),
               C(" " + WKT + "\n"), C(PLAIN_WKT, srid=2)],
    "to_wkt": [C(EWKB), C(COLLECTION, srid=3), C(HEX), C(WKT), C(WKT, srid=False),
               C(WKT, srid=4), C(WKT, normalize_wkt=normalize_true()), C(PLAIN_WKT, None, True)],
    "to_hex_wkb": [C(POINT), C(EWKB, srid=8), C(COLLECTION, srid=False), C(HEX), C(HEX, srid=6),
                   C(WKT), C(PLAIN_WKT, srid=False)],
    "wkb_header_srid": [C(POINT), C(EWKB), C(HEX), C(VIEW), C(EWKB[:9])],
    "to_wkb_no_srid_header": [C(EWKB), C(POINT), C(HEX), C(COLLECTION), C(ARRAY)],
    "to_ewkb_header": [C(POINT, 4326), C(EWKB, False), C(HEX, 1), C(COLLECTION, 2), C(ARRAY, -3)],
}

FAILING = {
    "wkb_to_wkt": [C(), C(POINT, None, None), C(POINT, bogus=1), C("text"), C(STRIDED),
                   C(DOUBLES), C(POINT, srid=True), C(POINT, srid=BIG), C(POINT, srid="1"),
                   C(TRUNCATED), C(UNKNOWN_TYPE), C(TRAILING), C(b""),
                   C(HEX), C(HEX.encode())],  # the last two carry hints
    "wkb_to_wkt_split_srid": [C(), C(POINT, srid=1), C(STRIDED), C(TRUNCATED), C(UNKNOWN_TYPE)],
    "wkt_to_wkb": [C(), C(POINT), C(WKT, srid=True), C(WKT, srid=-BIG - 1), C(BAD_WKT),
                   C(BAD_NUMBER), C(DEEP_WKT), C(""), C("SRID=x;POINT(1 2)"),
                   C("POINT(1 2 3)"), C('{"type": "Point"}')],  # the last two carry hints
    "wkt_to_wkb_split_srid": [C(), C(b"POINT(1 2)"), C(BAD_WKT), C(BAD_NUMBER)],
    "wkt_to_hex_wkb": [C(WKT, 1, 2), C(WKT, srid=1.5), C(BAD_WKT), C(BAD_NUMBER), C(DEEP_WKT)],
    "hex_wkb_to_wkt": [C(), C(POINT), C(HEX, srid=True), C(""), C(ODD_HEX), C(BAD_HEX),
                       C(TRUNCATED.hex()), C(UNKNOWN_TYPE.hex()), C(HEX + "\n")],
    "to_wkb": [C(), C(42), C(STRIDED), C(DOUBLES), C(HEX, srid=True), C(BAD_WKT), C("   "),
               C(COLLECTION[:-1], srid=1), C(UNKNOWN_TYPE.hex(), srid=False), C(BAD_NUMBER, srid=3)],
    "to_wkt": [C(), C(42), C(WKT, normalize_wkt=1), C(WKT, srid=True), C(STRIDED), C(TRUNCATED),
               C(UNKNOWN_TYPE.hex()), C(BAD_WKT, normalize_wkt=True), C(" ")],
    "to_hex_wkb": [C(), C(3.5), C(DOUBLES), C(HEX, srid="x"), C(BAD_WKT), C(COLLECTION[:-1], srid=2),
                   C(BAD_HEX + "0", srid=1), C(DEEP_WKT)],
    "wkb_header_srid": [C(), C(None), C(STRIDED), C(ODD_HEX), C(BAD_HEX), C(EWKB[:7]),
                        C(b"\x05" + POINT[1:]), C(b"")],
    "to_wkb_no_srid_header": [C(), C(1), C(STRIDED), C(ODD_HEX), C(EWKB[:6]),
                              C(UNKNOWN_TYPE), C(COLLECTION[:-1])],
    "to_ewkb_header": [C(POINT), C(POINT, None), C(POINT, True), C(POINT, BIG), C(STRIDED, 1),
                       C(BAD_HEX, 1), C(UNKNOWN_TYPE, 1), C(COLLECTION[:-1], 2), C(b"", 3)],
}

INPUTS = [POINT, EWKB, COLLECTION, HEX, WKT, PLAIN_WKT, ARRAY, VIEW, STRIDED, DOUBLES, TRUNCATED,
          UNKNOWN_TYPE, TRAILING, BAD_WKT, BAD_NUMBER, DEEP_WKT, ODD_HEX, BAD_HEX]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def run(fn, calls, n, failing):
    k = len(calls)
    if failing:
        for i in range(n):
            args, kwargs = calls[i % k]
            try:
                fn(*args, **kwargs)
            except (TypeError, ValueError, BufferError):
                pass
            else:
                raise AssertionError(f"{fn.__name__}{args}{kwargs} did not fail")
    else:
        for i in range(n):
            args, kwargs = calls[i % k]
            fn(*args, **kwargs)


def measure(name, calls, failing, module=g):
    fn = getattr(module, name)
    run(fn, calls, max(N // 10, 2 * len(calls)), failing)  # warm-up: caches, free lists
    gc.collect()
    refs = [sys.getrefcount(x) for x in INPUTS]
    rss0, blocks0 = rss(), sys.getallocatedblocks()
    run(fn, calls, N, failing)
    gc.collect()
    rss1, blocks1 = rss(), sys.getallocatedblocks()
    after = [sys.getrefcount(x) for x in INPUTS]
    ref_change = [b - a for a, b in zip(refs, after)]
    return rss1 - rss0, blocks1 - blocks0, ref_change


# ------------------------------------------------------------ columns ----

def column_cases():
    """(VALID, FAILING, INPUTS) for the column functions."""
    import numpy as np
    import pyarrow as pa
    try:
        import pandas as pd
    except ImportError:
        pd = None

    def arrow(rows, binary):
        types = ((pa.binary(), pa.large_binary(), pa.binary_view()) if binary
                 else (pa.string(), pa.large_string(), pa.string_view()))
        out = [pa.array(rows, t) for t in types]
        pad = UNKNOWN_TYPE if binary else BAD_WKT  # rows outside the slice fail
        return out + [pa.array([pad] * 3 + rows + [pad], types[0]).slice(3, len(rows)),
                      pa.chunked_array([out[0], out[0].slice(7)])]

    def objects(rows):
        a = np.empty(len(rows), dtype=object)
        a[:] = rows
        return a

    # Rows each kind of function converts without an error.
    rows = {"wkb": [POINT, EWKB, None, COLLECTION, ARRAY] * 13,
            "wkt": [WKT, PLAIN_WKT, None, " " + WKT] * 16,
            "hex": [HEX, HEX.upper(), None, COLLECTION.hex()] * 16}
    rows["text"] = rows["wkt"][:32] + rows["hex"][:32]
    columns = {"wkb": arrow([bytes(r) if r is not None else None for r in rows["wkb"]], True)}
    python = {"wkb": [objects(rows["wkb"]), list(rows["wkb"]), objects([float("nan"), POINT, None])]}
    for kind in ("wkt", "hex", "text"):
        columns[kind] = arrow(rows[kind], False)
        python[kind] = [objects(rows[kind]), list(rows[kind])]
    if pd is not None:
        python["wkb"].append(pd.Series(rows["wkb"], name="g", dtype=object))
        python["text"].append(pd.Series(rows["text"] + [pd.NA], index=range(10, 75), dtype=object))
    # Long enough to be split between two threads, failing late or not at all.
    long = {kind: pa.array(rows[kind] * 400, pa.binary() if kind == "wkb" else pa.string())
            for kind in rows}
    # A row every function fails on (given an srid, which makes to_wkb and
    # to_hex_wkb read WKB they would otherwise pass through).
    cut = EWKB[:7]
    bad = {"wkb": pa.array(rows["wkb"][:5] + [cut] + rows["wkb"][5:], pa.binary()),
           "text": objects(rows["wkt"][:7] + ["   "] + rows["wkt"][7:]),
           "hex": pa.array(rows["hex"][:9] + [ODD_HEX] + rows["hex"][9:], pa.string())}
    long_bad = pa.array(rows["wkb"] * 300 + [cut] + rows["wkb"] * 100, pa.binary())
    ints = pa.array([1, 2, 3], pa.int64())
    lists = pa.array([[POINT]], pa.list_(pa.binary()))

    valid, failing = {}, {}
    for name in g.__all__:
        if name.startswith("wkt_"):
            kinds = ["wkt"]
        elif name == "hex_wkb_to_wkt":
            kinds = ["hex"]
        elif name.startswith("wkb_to_wkt"):
            kinds = ["wkb"]
        elif name.startswith("to_") and name != "to_ewkb_header" and "header" not in name:
            kinds = ["wkb", "text"]
        else:  # header operations: WKB or hex
            kinds = ["wkb", "hex"]
        srid = (4326,) if name == "to_ewkb_header" else ()
        cols = [c for k in kinds for c in columns[k]]
        pys = [p for k in kinds for p in python[k]]
        first = kinds[-1]
        valid[name] = ([C(col, *srid) for col in cols] + [C(p, *srid) for p in pys]
                       + [C(cols[0], *srid, errors="null"), C(cols[-1], *srid, threads=2),
                          C(long[first], *srid, threads=2), C(long[first], *srid, threads=1),
                          C(None, *srid)])
        # Whole-argument failures (True is a bad srid, or one argument too
        # many), then failing rows, which raise with a note.
        failing[name] = [C(cols[0], True), C(ints, *srid), C(lists, *srid), C(42, *srid),
                         C(cols[0], *srid, errors="ignore"), C(cols[0], *srid, threads=0),
                         C(cols[0], *srid, bogus=1)]
        if "wkb" in kinds:
            reads = (5,) if name in ("to_wkb", "to_hex_wkb") else srid
            failing[name] += [C(bad["wkb"], *reads), C(long_bad, *reads, threads=2)]
            valid[name].append(C(bad["wkb"], *srid, errors="null"))
        if "wkt" in kinds or "text" in kinds:
            failing[name] += [C(bad["text"], *srid), C(list(bad["text"]), *srid, threads=2)]
            valid[name].append(C(bad["text"], *srid, errors="null"))
        if "hex" in kinds:
            failing[name] += [C(bad["hex"], *srid), C(bad["hex"], *srid, threads=2)]
            valid[name].append(C(bad["hex"], *srid, errors="null"))
    inputs = [c for k in columns for c in columns[k]] + [p for k in python for p in python[k]]
    inputs += list(long.values()) + list(bad.values()) + [long_bad, ints, lists]
    return valid, failing, inputs

def report(name, kind, cases, d_rss, d_blocks, d_refs, tolerance):
    flat = d_rss <= RSS_TOLERANCE and d_blocks <= tolerance and not any(d_refs)
    print(f"{name:24} {kind:8} {cases:5} "
          f"{d_rss / 1024:8.0f} K {d_blocks:7} {'flat' if not any(d_refs) else d_refs}"
          f"{'' if flat else '   <-- GROWS'}", flush=True)
    return flat


def main():
    global N, BLOCKS_TOLERANCE, INPUTS, RSS_TOLERANCE
    assert sorted(VALID) == sorted(FAILING) == sorted(g.__all__), "every function is checked"
    print(f"{N} calls per function and outcome")
    print(f"{'function':24} {'inputs':8} {'cases':>5} {'rss delta':>10} {'blocks':>7} refcounts")
    ok = True
    for name in g.__all__:
        for failing, table in ((False, VALID), (True, FAILING)):
            d_rss, d_blocks, d_refs = measure(name, table[name], failing)
            ok &= report(name, "failing" if failing else "valid", len(table[name]),
                         d_rss, d_blocks, d_refs, BLOCKS_TOLERANCE)

    # The column functions, on the same terms with fewer calls.
    valid, failing_cases, inputs = column_cases()
    N = max(N // 10, 200)
    BLOCKS_TOLERANCE = max(256, N // 100)
    # Column calls allocate results of megabytes and start native threads, each
    # of which may get a malloc arena of its own: the resident size then moves
    # by a megabyte or two either way as the allocator settles (measured: no
    # growth over 60,000 further calls). A lost result buffer or chunk, a few
    # hundred bytes or more per call, still grows by several MiB at N calls.
    RSS_TOLERANCE = 4 << 20
    INPUTS = INPUTS + inputs
    # pyarrow and pandas fill caches of their own on first use (types, result
    # classes): every column function runs once through all its cases first.
    for name in g.__all__:
        run(getattr(gcols, name), valid[name], N // 10, False)
        run(getattr(gcols, name), failing_cases[name], N // 10, True)
    print(f"\ngeoweave_columns: {N} calls per function and outcome")
    for name in g.__all__:
        for failing, table in ((False, valid), (True, failing_cases)):
            d_rss, d_blocks, d_refs = measure(name, table[name], failing, module=gcols)
            if d_rss > RSS_TOLERANCE and d_blocks <= BLOCKS_TOLERANCE and not any(d_refs):
                # Resident size alone moved: measured again, as a lost buffer
                # grows by as much once more while the allocator's settling
                # (arenas of the worker threads, a machine under load) does not.
                again = measure(name, table[name], failing, module=gcols)
                print(f"{name:24} {'(again)':8} rss delta {d_rss / 1024:.0f} K, then "
                      f"{again[0] / 1024:.0f} K", flush=True)
                d_rss, d_blocks, d_refs = again
            ok &= report(name, "failing" if failing else "valid", len(table[name]),
                         d_rss, d_blocks, d_refs, BLOCKS_TOLERANCE)
    print("no leak found" if ok else "LEAK")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
