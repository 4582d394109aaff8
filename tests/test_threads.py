"""Shared buffer objects read by many threads at once.

On a free-threaded CPython 3.13 a bytearray or memoryview counts its exported
buffers without any locking, so threads taking buffers of the same object at
the same moment can lose updates: the count stays above zero (the object can
never be resized or released again, and its deallocation reports exported
buffers) or drops to zero while a view is still being read. geoweave takes and
gives back those views under the object's own lock. On a GIL build these tests
pass trivially.
"""

import struct
import sys
import threading

import pytest

import geoweave as g

THREADS = 8
# The lost update needs two threads inside the same few instructions: it shows
# in roughly every other run of 8 x 200,000 calls on two busy cores. With the
# GIL it cannot happen, and a short run only checks that nothing breaks.
FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
CALLS = 100_000 if FREE_THREADED else 1000
POINT = struct.pack("<BIdd", 1, 1, 1.5, -2.25)


def hammer(call):
    barrier = threading.Barrier(THREADS)
    errors = []

    def worker():
        barrier.wait()
        try:
            for _ in range(CALLS):
                call()
        except Exception as e:  # reported below, never swallowed
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.parametrize("call", [
    lambda s: g.wkb_to_wkt(s),
    lambda s: g.to_wkb(s, srid=4326),
    lambda s: g.to_ewkb_header(s, 3857),
    lambda s: g.wkb_header_srid(s),
], ids=["wkb_to_wkt", "to_wkb", "to_ewkb_header", "wkb_header_srid"])
def test_shared_bytearray_exports_balance(call):
    shared = bytearray(POINT)
    hammer(lambda: call(shared))
    # Every view was given back: the bytearray can be resized again.
    shared.append(0)
    assert bytes(shared) == POINT + b"\x00"


def test_shared_memoryview_exports_balance():
    owner = bytearray(POINT)
    view = memoryview(owner)
    hammer(lambda: g.wkb_to_wkt(view))
    view.release()  # raises BufferError while a view counts as exported
    owner.append(0)

