"""Thread stress: 8 threads call every module function on shared inputs (the
same bytes, bytearray, memoryview and str objects) and every result, value or
exception, must equal the single-threaded one.

    python scripts/thread_stress.py [ROUNDS]

Meant for a free-threaded interpreter (the module declares it does not need the
GIL); on a GIL build it still runs, and says so.
"""

import struct
import sys
import threading

import geoweave as g

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


def main():
    table = calls()
    expected = [outcome(*c) for c in table]
    barrier = threading.Barrier(THREADS)
    mismatches = []

    def worker(index):
        barrier.wait()
        n = len(table)
        for r in range(ROUNDS):
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
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{THREADS} threads x {ROUNDS} rounds x {len(table)} calls; GIL "
          f"{'enabled (no true parallelism on this interpreter)' if gil else 'disabled'}")
    for m in mismatches[:5]:
        print("MISMATCH", m)
    print("results identical to the single-threaded run" if not mismatches else "MISMATCHES")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
