"""Thread stress: 8 threads call every module function on shared inputs (the
same bytes, bytearray, memoryview and str objects) and every result, value or
exception, must equal the single-threaded one. Then the same for the column
functions of geoweave_columns on shared columns (pyarrow arrays, sliced and
chunked, numpy object arrays, lists), with one and two native threads per
call on a column long enough to be split: ROUNDS // 50 rounds of those.
Afterwards the shared bytearray and memoryview must hold no exported buffer.

    python scripts/thread_stress.py [ROUNDS]

Meant for a free-threaded interpreter (the module declares it does not need the
GIL); on a GIL build it still runs, and says so.
"""

import struct
import sys
import threading

import geoweave as g
import geoweave_columns as gcols

THREADS = 8
ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 2000

POINT = bytes.fromhex("0101000020E6100000000000000000F03F0000000000000040")
COLLECTION = (struct.pack("<BII", 1, 7, 2) + struct.pack(">BIdd", 0, 1, 1.5, -2.25)
              + struct.pack("<BII3d", 1, 2 | 0x80000000, 1, 0.1, 0.2, 0.3))
POLYGON = struct.pack("<BIII", 1, 3, 1, 4) + struct.pack("<8d", 0, 0, 1, 0, 1, 1, 0, 0)
SHARED = [POINT, bytearray(COLLECTION), memoryview(POLYGON), POINT.hex(), COLLECTION.hex().upper(),
          "SRID=3857;MULTIPOLYGON(((0 0, 1 0, 1 1, 0 0)), EMPTY)", "POINT ZM (1 2 3 4)",
          b"\x01\x63\x00\x00\x00", "POINT(1 2", "0G"]
SRIDS = [None, False, 0, 4326]


def calls():
    out = []
    for source in SHARED:
        text = isinstance(source, str)
        for srid in SRIDS:
            out += [(g.to_wkt, (source,), {"srid": srid}), (g.to_wkb, (source,), {"srid": srid}),
                    (g.to_hex_wkb, (source,), {"srid": srid}),
                    (g.to_wkt, (source,), {"srid": srid, "normalize_wkt": True})]
            if text:
                out += [(g.wkt_to_wkb, (source,), {"srid": srid}), (g.wkt_to_hex_wkb, (source, srid), {}),
                        (g.hex_wkb_to_wkt, (source,), {"srid": srid})]
            else:
                out += [(g.wkb_to_wkt, (source,), {"srid": srid})]
            if srid is not None:
                out += [(g.to_ewkb_header, (source, srid), {})]
        out += [(g.wkb_header_srid, (source,), {}), (g.to_wkb_no_srid_header, (source,), {}),
                (g.wkb_to_wkt_split_srid if not text else g.wkt_to_wkb_split_srid, (source,), {})]
    assert {f.__name__ for f, _, _ in out} == set(g.__all__)
    return out


def outcome(fn, args, kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:  # the exception is part of the result
        return ("error", type(e), e.args)


def column_calls():
    import numpy as np
    import pyarrow as pa

    def objects(rows):
        a = np.empty(len(rows), dtype=object)
        a[:] = rows
        return a

    wkb_rows = [POINT, bytes(COLLECTION), None, POLYGON, b"\x01\x63\x00\x00\x00"] * 8
    text_rows = [s for s in SHARED if isinstance(s, str)] * 6 + [None]
    long_wkb = pa.array([POINT, None, POLYGON] * 6000 + [b"\x01"] + [POINT] * 100, pa.binary())
    long_text = pa.array(["POINT ZM (1 2 3 4)", None, POINT.hex()] * 6000 + ["POINT(1"], pa.string())
    sources = [
        ("wkb", pa.array(wkb_rows, pa.binary())),
        ("wkb", pa.array(wkb_rows * 2, pa.binary_view()).slice(3, 50)),
        ("wkb", pa.chunked_array([pa.array(wkb_rows, pa.large_binary())] * 3)),
        ("wkb", objects(wkb_rows)),
        ("text", pa.array(text_rows, pa.string())),
        ("text", pa.array(text_rows, pa.string_view())),
        ("text", pa.chunked_array([pa.array(text_rows, pa.large_string())] * 2)),
        ("text", list(text_rows)),
        ("wkb", long_wkb),
        ("text", long_text),
    ]
    out = []
    for kind, column in sources:
        for errors in ("raise", "null"):
            for threads in (1, 2):
                kw = {"errors": errors, "threads": threads}
                out += [(gcols.to_wkt, (column,), kw), (gcols.to_wkb, (column, 4326), kw),
                        (gcols.to_hex_wkb, (column, False), kw),
                        (gcols.to_wkt, (column, None, True), kw),
                        (gcols.wkb_header_srid, (column,), kw),
                        (gcols.to_wkb_no_srid_header, (column,), kw),
                        (gcols.to_ewkb_header, (column, 3857), kw)]
                if kind == "wkb":
                    out += [(gcols.wkb_to_wkt, (column, 0), kw),
                            (gcols.wkb_to_wkt_split_srid, (column,), kw)]
                else:
                    out += [(gcols.wkt_to_wkb, (column,), kw), (gcols.wkt_to_hex_wkb, (column, 7), kw),
                            (gcols.hex_wkb_to_wkt, (column,), kw),
                            (gcols.wkt_to_wkb_split_srid, (column,), kw)]
    assert {f.__name__ for f, _, _ in out} == set(g.__all__)
    return out


def plain(value):
    """A column result as comparable Python values."""
    if isinstance(value, tuple):
        return tuple(plain(v) for v in value)
    if hasattr(value, "to_pylist"):
        return (type(value).__name__, str(value.type), value.to_pylist())
    if hasattr(value, "tolist"):
        return ("ndarray", value.tolist())
    return value


def column_outcome(fn, args, kwargs):
    try:
        return ("ok", plain(fn(*args, **kwargs)))
    except Exception as e:  # the exception and its row note are part of the result
        return ("error", type(e), e.args, getattr(e, "__notes__", None))


def stress(table, outcome, rounds):
    """Every thread runs the whole table `rounds` times in its own order;
    returns the mismatches with the single-threaded outcomes."""
    expected = [outcome(*c) for c in table]
    barrier = threading.Barrier(THREADS)
    mismatches = []

    def worker(index):
        barrier.wait()
        n = len(table)
        for r in range(rounds):
            for k in range(n):
                i = (k * (index + 1) + r) % n  # a different order in every thread
                got = outcome(*table[i])
                if got != expected[i]:
                    mismatches.append((table[i][0].__name__, table[i][1], got, expected[i]))
                    return

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return mismatches


def unreleased_views():
    """Every buffer view taken of the shared objects was given back: the
    bytearray resizes and the memoryview releases (both refuse while they
    count a view as exported)."""
    problems = []
    for source in SHARED:
        try:
            if isinstance(source, bytearray):
                source.append(0)
                source.pop()
            elif isinstance(source, memoryview):
                source.release()
        except BufferError as e:
            problems.append(("exports", type(source).__name__, str(e), "no views left"))
    return problems


def main():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    table = calls()
    mismatches = stress(table, outcome, ROUNDS)
    print(f"{THREADS} threads x {ROUNDS} rounds x {len(table)} calls; GIL "
          f"{'enabled (no true parallelism on this interpreter)' if gil else 'disabled'}")
    # The column functions release the interpreter lock while converting, so
    # their conversions do run in parallel even with the lock.
    column_table = column_calls()
    rounds = max(ROUNDS // 50, 2)
    mismatches += stress(column_table, column_outcome, rounds)
    print(f"geoweave_columns: {THREADS} threads x {rounds} rounds x {len(column_table)} calls")
    mismatches += unreleased_views()
    for m in mismatches[:5]:
        print("MISMATCH", m)
    print("results identical to the single-threaded run" if not mismatches else "MISMATCHES")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
