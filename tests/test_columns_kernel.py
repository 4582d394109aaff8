"""geoweave_columns' executors: result offset widths and the split of a 32-bit
column past its offsets limit, worker threads that cannot start or would be
more than the work, and Ctrl-C stopping a long conversion."""

import itertools
import os
import platform
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.compute  # noqa: E402,F401 - pa.compute

import geoweave
import geoweave_columns as gc

P = geoweave.wkt_to_wkb("POINT(1 2)")
P_SRID = geoweave.wkt_to_wkb("SRID=4326;POINT(1 2)")
LINE = geoweave.wkt_to_wkb("SRID=3857;LINESTRING(0 0,1 1,2 2)")
WKB_ROWS = [P_SRID, None, LINE, P] * 2500   # 10,000 rows past the chunk split
TEXT_ROWS = [None if v is None else geoweave.wkb_to_wkt(v) for v in WKB_ROWS]


def run_child(code, timeout=60, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, **kwargs)


# (function, input type, rows, result type): the offsets' width follows the input.
LAYOUTS = [
    ("wkb_to_wkt", pa.binary(), WKB_ROWS, pa.string()),
    ("wkb_to_wkt", pa.large_binary(), WKB_ROWS, pa.large_string()),
    ("wkt_to_wkb", pa.string(), TEXT_ROWS, pa.binary()),
    ("wkt_to_wkb", pa.large_string(), TEXT_ROWS, pa.large_binary()),
    ("wkt_to_hex_wkb", pa.large_string(), TEXT_ROWS, pa.large_string()),
    ("to_wkb_no_srid_header", pa.large_binary(), WKB_ROWS, pa.large_binary()),
    ("to_wkt", pa.large_string(), TEXT_ROWS, pa.large_string()),
]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("name,arrow_type,rows,result_type", LAYOUTS)
def test_result_offsets_follow_the_input(name, arrow_type, rows, result_type, threads):
    result = getattr(gc, name)(pa.array(rows, arrow_type), threads=threads)
    assert isinstance(result, pa.Array) and result.type == result_type
    result.validate(full=True)
    scalar = getattr(geoweave, name)
    assert result.to_pylist() == [None if v is None else scalar(v) for v in rows]


# Results of 8 MiB and more are joined by several threads copying a share each;
# the block they are copied into is the first chunk's, a kept block from the
# call before, or one grown at the join. Several calls in a row with changing
# thread counts meet each of these, and every byte must land in its place.
BIG_WKB = [geoweave.wkt_to_wkb("POINT (%r %r)" % (i * 0.123456789123 - 90.5, i * 1e-7))
           if i % 97 else None for i in range(500_000)]
BIG_TEXT = [None if v is None else geoweave.wkb_to_wkt(v) for v in BIG_WKB]


@pytest.mark.parametrize("name, rows", [
    ("wkb_to_wkt", BIG_WKB), ("to_hex_wkb", BIG_WKB), ("wkt_to_wkb", BIG_TEXT),
    ("wkt_to_hex_wkb", BIG_TEXT),
])
def test_a_large_result_joined_on_threads_is_the_one_thread_result(name, rows):
    function = getattr(gc, name)
    column = pa.array(rows)
    expected = function(column, threads=1)
    assert expected.buffers()[2].size > 8 << 20  # values, past the one-thread join size
    for threads in (2, 3, 4, 2, 7, 1, 3):
        result = function(column, threads=threads)
        result.validate(full=True)
        assert result.equals(expected), threads


# Rows that cost a hundred times the others, gathered in one part of the
# column: the threads whose chunks are cheap take rows from the back of the
# busy ones until too few are left, and every piece must land in row order,
# its nulls, SRIDs and failures with it.
HEAVY = geoweave.wkt_to_wkb(
    "SRID=3857;POLYGON((" + ",".join(f"{i}.25 {i % 7}.5" for i in range(120)) + ",0.25 0.5))")
LIGHT = [P_SRID, P, None]


def skewed_rows(heavy_at, n=48_000):
    """n rows, the third of them from `heavy_at` (a fraction of n) on heavy."""
    lo, hi = int(n * heavy_at), int(n * heavy_at) + n // 3
    return [HEAVY if lo <= i < hi and i % 5 else LIGHT[i % 3] for i in range(n)]


def converted_taking_rows(function, column, threads):
    """`function` on `column`, repeated until a thread took rows from another
    (the scheduler decides): every result must be the one-thread result."""
    expected = function(column, threads=1)
    for _ in range(5):
        before = gc._native._taken_pieces()
        result = function(column, threads=threads)
        assert result == expected if isinstance(result, tuple) else result.equals(expected)
        if gc._native._taken_pieces() > before:
            return
    pytest.fail("no thread took rows from another in five conversions")


# The heavy third of the rows in the first, last and (three threads) middle chunk.
@pytest.mark.parametrize("heavy_at, threads", [(0.0, 2), (2 / 3, 2), (0.0, 3), (1 / 3, 3)])
@pytest.mark.parametrize("function, layout", [
    ("wkb_to_wkt", "binary"), ("wkb_to_wkt_split_srid", "large_binary"),
    ("wkb_header_srid", "binary"), ("wkt_to_wkb", "string"), ("to_hex_wkb", "stream"),
])
def test_rows_taken_from_a_busy_chunk_are_joined_in_order(function, layout, heavy_at, threads):
    rows = skewed_rows(heavy_at)
    if function == "wkt_to_wkb":
        rows = [None if v is None else geoweave.wkb_to_wkt(v) for v in rows]
    if layout == "stream":   # arrays of odd lengths: a piece may span several
        cuts = [0, 7001, 1, 16_999, 0, 12_345]
        cuts.append(len(rows) - sum(cuts))
        starts = list(itertools.accumulate([0] + cuts))
        column = pa.chunked_array([pa.array(rows[a:b], pa.binary())
                                   for a, b in zip(starts, starts[1:])])
    else:
        column = pa.array(rows, getattr(pa, layout)())
    f = getattr(gc, function)
    converted_taking_rows(lambda c, threads: f(c, threads=threads), column, threads)


def test_rows_taken_back_and_forth_by_several_threads_land_in_place():
    # Threads that take from each other several times place rows after their
    # own out of row order, and the join moves them within the block the
    # column is joined in: many conversions, each equal to the one-thread one
    # (the scheduler decides the pieces, so this is a net, not a proof).
    for heavy_at in (0.0, 1 / 3):
        column = pa.array(skewed_rows(heavy_at), pa.binary())
        expected = gc.wkb_to_wkt(column, threads=1)
        for threads in (3, 4) * 8:
            assert gc.wkb_to_wkt(column, threads=threads).equals(expected), (heavy_at, threads)


def first_failure(function, column, threads):
    with pytest.raises(ValueError) as info:
        function(column, threads=threads)
    return str(info.value), getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("bad_rows", [
    [15_000],           # in the back of the busy chunk: rows another thread takes
    [15_000, 30_000],   # and one in the cheap chunk after it
    [30_000, 15_500],
    [7_999, 15_000],    # the earlier one in rows its own thread keeps
])
def test_the_first_failing_row_is_reported_whoever_took_it(bad_rows):
    rows = skewed_rows(0.0)
    for at in bad_rows:
        rows[at] = b"\x01\x01\x00\x00"   # a Point cut short
    column = pa.array(rows, pa.binary())
    expected = first_failure(gc.wkb_to_wkt, column, 1)
    assert f"row {min(bad_rows)}" in expected[0] + str(expected[1])
    for threads in (2, 3, 2):
        assert first_failure(gc.wkb_to_wkt, column, threads) == expected


@pytest.mark.parametrize("bad_text_row", [15_000, 40_000])
def test_invalid_text_in_taken_rows_is_reported(bad_text_row):
    rows = [None if v is None else geoweave.wkb_to_wkt(v) for v in skewed_rows(0.0)]
    valid = pa.array(rows, pa.string())
    offsets, data = valid.buffers()[1], bytearray(valid.buffers()[2].to_pybytes())
    start = int.from_bytes(offsets.to_pybytes()[4 * bad_text_row:4 * bad_text_row + 4], "little")
    data[start + 3] = 0xFF
    column = pa.Array.from_buffers(pa.string(), len(rows),
                                   [valid.buffers()[0], offsets, pa.py_buffer(bytes(data))])
    for threads in (1, 2, 3):
        with pytest.raises(ValueError, match=f"row {bad_text_row} is not valid UTF-8"):
            gc.wkt_to_wkb(column, threads=threads)


@pytest.fixture
def offsets_limit():
    def lower(limit):
        previous = gc._native._set_offsets_limit(limit)
        restore.append(previous)
    restore = []
    yield lower
    for previous in restore[:1]:
        gc._native._set_offsets_limit(previous)



@pytest.mark.parametrize("threads", [2, 3])
def test_taken_rows_past_the_offsets_limit_are_cut_where_they_lie(offsets_limit, threads):
    # Rows a thread took lie after its own in its block: each array of the
    # split column must point into that block at the rows' own bytes.
    offsets_limit(1 << 20)
    column = pa.array(skewed_rows(0.0), pa.binary())
    converted_taking_rows(gc.wkb_to_wkt, column, threads)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("limit", [1000, 30])
def test_past_the_offsets_limit_a_column_is_split_not_widened(offsets_limit, limit, threads):
    offsets_limit(limit)
    result = gc.wkb_to_wkt(pa.array(WKB_ROWS), threads=threads)
    assert isinstance(result, pa.ChunkedArray) and result.type == pa.string()
    assert result.num_chunks > 1
    result.validate(full=True)
    assert result.to_pylist() == TEXT_ROWS
    for chunk in result.chunks:
        lengths = [n or 0 for n in pa.compute.binary_length(chunk).to_pylist()]
        # Only a value longer than the limit stands alone in its array.
        assert sum(lengths) <= limit or len(chunk) == 1
    # The other direction, and the SRID column beside, keep their types too.
    wkb, srids = gc.wkt_to_wkb_split_srid(result, threads=threads)
    assert wkb.type == pa.binary() and srids.type == pa.int32()
    assert wkb.to_pylist() == [None if t is None else geoweave.wkt_to_wkb_split_srid(t)[0]
                               for t in TEXT_ROWS]
    # A large input never needs splitting.
    large = gc.wkb_to_wkt(pa.array(WKB_ROWS, pa.large_binary()), threads=threads)
    assert isinstance(large, pa.Array) and large.type == pa.large_string()


def test_a_split_stream_keeps_every_batch_boundary(offsets_limit):
    offsets_limit(1000)
    cuts = [0, 3000, 3000, 7, 0, 3993]
    batches, start = [], 0
    for n in cuts:
        batches.append(pa.array(WKB_ROWS[start:start + n], pa.binary()))
        start += n

    class Stream:
        def __arrow_c_stream__(self, requested_schema=None):
            return pa.chunked_array(batches, pa.binary()).__arrow_c_stream__()

    result = pa.chunked_array(gc._native.wkb_to_wkt(Stream()))
    result.validate(full=True)
    assert result.to_pylist() == TEXT_ROWS
    # Arrays split at the offsets limit cut batches further, never join them.
    ends = set(itertools.accumulate(len(c) for c in result.chunks))
    assert set(itertools.accumulate(cuts)) <= ends | {0}
    assert result.num_chunks > len(cuts)


class ArrayOnly:
    """An Arrow producer that is not pyarrow: its result is an ArrowColumn."""

    def __init__(self, array):
        self.array = array

    def __arrow_c_array__(self, requested_schema=None):
        return self.array.__arrow_c_array__(requested_schema)


def test_a_split_column_exports_as_a_stream(offsets_limit):
    offsets_limit(100)
    # The package hands other producers' results back as pyarrow: chunked.
    result = gc.wkb_to_wkt(ArrayOnly(pa.array(WKB_ROWS)))
    assert isinstance(result, pa.ChunkedArray) and result.num_chunks > 1
    assert result.type == pa.string() and result.to_pylist() == TEXT_ROWS
    column = gc._native.wkb_to_wkt(ArrayOnly(pa.array(WKB_ROWS)))
    assert len(column) == len(WKB_ROWS)
    assert repr(column).endswith(f"{len(WKB_ROWS)} rows, 2500 nulls, "
                                 f"{pa.chunked_array(column).num_chunks} arrays>")
    chunked = pa.chunked_array(column)
    assert chunked.type == pa.string() and chunked.to_pylist() == TEXT_ROWS
    with pytest.raises(ValueError, match="read it as a stream"):
        pa.array(column)
    assert pa.field(column).type == pa.string()  # its schema alone is always readable


def new_thread_id():
    ids = []
    probe = threading.Thread(target=lambda: ids.append(threading.get_native_id()))
    probe.start()
    probe.join()
    return ids[0]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="sequential thread ids")
def test_workers_are_never_more_than_the_blocks():
    """threads=10**6 on two blocks of list rows starts at most two workers:
    thread ids are handed out in sequence, so the ids of two probe threads
    around the call tell how many threads the system started meanwhile."""
    rows = [P] * 16_385
    before = new_thread_id()
    result = gc.wkb_to_wkt(rows, threads=10**6)
    after = new_thread_id()
    assert result[-1] == geoweave.wkb_to_wkt(P)
    if after > before:   # else the ids wrapped around
        assert after - before < 500   # two workers, and whatever else the machine ran


@pytest.mark.parametrize("kind", ["list", "numpy", "pandas", "arrow"])
def test_no_thread_can_start_the_calling_thread_converts(kind):
    """Thread stacks cannot be mapped under a tight address-space limit."""
    code = f"""
        import resource
        import geoweave, geoweave_columns as gc
        import numpy as np, pandas as pd, pyarrow as pa
        rows = [geoweave.wkt_to_wkb("POINT(1 2)"), None] * 20_000
        column = {{"list": lambda: rows, "numpy": lambda: np.array(rows, dtype=object),
                   "pandas": lambda: pd.Series(rows), "arrow": lambda: pa.array(rows)}}["{kind}"]()
        expected = [None if v is None else geoweave.wkb_to_wkt(v) for v in rows]
        gc.wkb_to_wkt(column, threads=1)   # everything the conversion needs, loaded
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (6 << 20), resource.RLIM_INFINITY))
        try:
            import threading
            threading.Thread(target=print).start()
            print("threads could start")
        except RuntimeError:
            pass
        result = gc.wkb_to_wkt(column, threads=2)
        result = result.to_pylist() if "{kind}" == "arrow" else list(result)
        assert result == expected, "wrong result"
        print("ok")
    """
    child = run_child(code)
    if "threads could start" in child.stdout:
        pytest.skip("thread stacks fit under the limit here")
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip().endswith("ok")


# A child converts a long column (seconds of work: collections of 200 Points
# whose last member is bad, so that under errors="null" every row is read whole
# and the result stays small), says when it starts, and how it ended.
INTERRUPTED_CHILD = """
    import struct, sys
    import geoweave_columns as gc
    import numpy as np, pyarrow as pa
    kind, threads = sys.argv[1], None if sys.argv[2] == "None" else int(sys.argv[2])
    points = b"".join(struct.pack("<BIdd", 1, 1, i + 0.25, i * 0.5) for i in range(200))
    row = struct.pack("<BII", 1, 7, 201) + points + struct.pack("<BI", 1, 99)
    n = 400_000
    if kind == "list":
        column = [row] * n
    else:   # binary_view rows all pointing at the same bytes
        views = np.zeros((n, 4), np.int32)
        views[:, 0] = len(row)
        views[:, 1] = np.frombuffer(row[:4], np.int32)[0]
        column = pa.Array.from_buffers(pa.binary_view(), n,
                                       [None, pa.py_buffer(views), pa.py_buffer(row)])
    print("start", flush=True)
    try:
        gc.wkb_to_wkt(column, errors="null", threads=threads)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


@pytest.mark.parametrize("threads", [1, None])
@pytest.mark.parametrize("kind", ["list", "arrow"])
def test_ctrl_c_stops_a_long_conversion(kind, threads):
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(INTERRUPTED_CHILD), kind, str(threads)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "start"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        line = child.stdout.readline().strip()
        latency = time.monotonic() - sent
        assert line == "interrupted", child.stderr.read()
        assert latency < 2.0
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
        child.wait()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ or os.environ.get("PYTHONMALLOC") == "malloc",
                    reason="a sanitizer's or malloc's own memory is not the module's")
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("function, make", [
    ("wkt_to_wkb", "'POINT (%r %r)' % (i * 0.123456789123 - 90.5, i * 1e-7 + 0.25)"),
    ("wkb_to_wkt", "geoweave.wkt_to_wkb('POINT (%r %r)' % (i * 0.123456789123, i * 1e-7))"),
])
def test_peak_memory_stays_near_the_result(function, make, threads):
    # A chunk reserves room for an estimate of its bytes from the input's size
    # (for full-precision WKT -> WKB twice what Points need): only the part the
    # rows write may become resident. With two threads the second chunk's
    # block, kept for the next call, is resident beside the joined result
    # until the join ends: half a result more at most. Measured in a fresh
    # process, the peak reset before.
    code = textwrap.dedent(f"""
        import pyarrow as pa, geoweave, geoweave_columns as gc
        def peak():
            for line in open("/proc/self/status"):
                if line.startswith("VmHWM"):
                    return int(line.split()[1]) * 1024
        column = pa.array([{make} for i in range(400_000)])
        open("/proc/self/clear_refs", "w").write("5")
        before = peak()
        result = gc.{function}(column, threads={threads})
        print((peak() - before) / result.nbytes)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert float(done.stdout) <= (1.5 if threads == 1 else 1.75)


@pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="blocks are kept with glibc only")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ or os.environ.get("PYTHONMALLOC") == "malloc",
                    reason="a sanitizer's or malloc's own memory is not the module's")
@pytest.mark.parametrize("function, make", [
    ("wkt_to_wkb", "'POINT (%r %r)' % (i * 0.123456789123 - 90.5, i * 1e-7 + 0.25)"),
    ("wkb_to_wkt", "geoweave.wkt_to_wkb('POINT (%r %r)' % (i * 0.001 + 0.123456789, "
                   "45.987654321 - i * 0.002))"),
])
def test_a_second_conversion_reuses_the_pages_of_the_first(function, make):
    # The block of a freed result is kept with the pages it was written in, and
    # the next conversion of its size writes there: it faults in next to none.
    # (1M rows: past the estimate of WKB -> WKT's bytes, so the first call
    # grows its block and the second starts with more room than the first.)
    code = textwrap.dedent(f"""
        import resource, pyarrow as pa, geoweave, geoweave_columns as gc
        column = pa.array([{make} for i in range(1_000_000)])
        gc.{function}(column, threads=1)  # freed at once
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        result = gc.{function}(column, threads=1)
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
        print(faults, result.nbytes // 4096)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    faults, pages = map(int, done.stdout.split())
    assert faults < pages // 100, (faults, pages)
