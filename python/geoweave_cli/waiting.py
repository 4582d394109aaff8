"""Blocking work moved off the main thread, so that Ctrl-C is seen at once.

A read from a pipe that has nothing to give (stdin) blocks inside pyarrow's C++
code, where the main thread would not run Python's signal handler until data
came. Done on a daemon thread instead, with the main thread waiting in short
slices, the wait is where KeyboardInterrupt is raised."""

from __future__ import annotations

import queue
import threading

_SLICE = 0.1
_END = object()


def call(fn, *args):
    """fn(*args) on a daemon thread; its result, or its exception raised here."""
    box: queue.Queue = queue.Queue(1)

    def run():
        try:
            box.put((True, fn(*args)))
        except BaseException as e:  # noqa: BLE001 - re-raised on the calling thread
            box.put((False, e))

    threading.Thread(target=run, name="geoweave-read", daemon=True).start()
    ok, value = _get(box)
    if not ok:
        raise value
    return value


def iterate(iterable, depth: int = 2):
    """The items of `iterable`, produced on a daemon thread up to `depth` ahead."""
    box: queue.Queue = queue.Queue(depth)
    stop = threading.Event()

    def run():
        try:
            for item in iterable:
                if stop.is_set():
                    return
                box.put((True, item))
            box.put((True, _END))
        except BaseException as e:  # noqa: BLE001 - re-raised on the consuming thread
            box.put((False, e))

    threading.Thread(target=run, name="geoweave-read", daemon=True).start()
    try:
        while True:
            ok, item = _get(box)
            if not ok:
                raise item
            if item is _END:
                return
            yield item
    finally:
        stop.set()
        try:  # let a producer blocked on a full queue see the stop
            box.get_nowait()
        except queue.Empty:
            pass


def _get(box):
    while True:
        try:
            return box.get(timeout=_SLICE)
        except queue.Empty:
            continue
