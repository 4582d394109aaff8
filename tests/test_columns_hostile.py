"""Hostile Arrow producers: structs built by hand with ctypes and handed over in
PyCapsules. Every broken promise is a clear ValueError, never a read outside the
buffers (the fuzz target fuzz_arrow_import covers the same path with ASan)."""

import array
import ctypes
import struct

import pytest

import geoweave
import geoweave_columns as gc

c_int64, c_void_p, c_char_p = ctypes.c_int64, ctypes.c_void_p, ctypes.c_char_p


class ArrowSchema(ctypes.Structure):
    _fields_ = [("format", c_char_p), ("name", c_char_p), ("metadata", c_char_p),
                ("flags", c_int64), ("n_children", c_int64), ("children", c_void_p),
                ("dictionary", c_void_p), ("release", c_void_p), ("private_data", c_void_p)]


class ArrowArray(ctypes.Structure):
    _fields_ = [("length", c_int64), ("null_count", c_int64), ("offset", c_int64),
                ("n_buffers", c_int64), ("n_children", c_int64), ("buffers", c_void_p),
                ("children", c_void_p), ("dictionary", c_void_p), ("release", c_void_p),
                ("private_data", c_void_p)]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", c_void_p), ("get_next", c_void_p), ("get_last_error", c_void_p),
                ("release", c_void_p), ("private_data", c_void_p)]


RELEASE = ctypes.CFUNCTYPE(None, c_void_p)
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, c_void_p, ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, c_void_p, ctypes.POINTER(ArrowArray))
GET_ERROR = ctypes.CFUNCTYPE(c_void_p, c_void_p)

capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [c_void_p, c_char_p, c_void_p]

NAMES = {"arrow_schema": b"arrow_schema", "arrow_array": b"arrow_array",
         "arrow_array_stream": b"arrow_array_stream"}


@RELEASE
def release_schema(ptr):
    ArrowSchema.from_address(ptr).release = None


@RELEASE
def release_array(ptr):
    ArrowArray.from_address(ptr).release = None


@RELEASE
def release_stream(ptr):
    ArrowArrayStream.from_address(ptr).release = None


@RELEASE
def forgetful_release(ptr):  # does not mark the struct released
    pass


class Producer:
    """An exporter of one hand-built array; keeps every buffer alive."""

    def __init__(self, fmt, length, buffers, *, null_count=0, offset=0, n_buffers=None,
                 n_children=0, release=release_array, buffers_pointer=True):
        self.keep = []
        pointers = (c_void_p * max(len(buffers), 1))()
        for i, b in enumerate(buffers):
            if b is None:
                pointers[i] = None
            else:
                raw = ctypes.create_string_buffer(bytes(b), len(b) or 1)
                self.keep.append(raw)
                pointers[i] = ctypes.addressof(raw)
        self.keep.append(pointers)
        self.fmt = fmt
        self.array = ArrowArray(length, null_count, offset,
                                len(buffers) if n_buffers is None else n_buffers, n_children,
                                ctypes.addressof(pointers) if buffers_pointer else None,
                                None, None, ctypes.cast(release, c_void_p), None)

    def schema(self):
        s = ArrowSchema(self.fmt, b"", None, 2, 0, None, None,
                        ctypes.cast(release_schema, c_void_p), None)
        self.keep.append(s)
        return s

    def __arrow_c_array__(self, requested_schema=None):
        s = self.schema()
        return (capsule_new(ctypes.addressof(s), NAMES["arrow_schema"], None),
                capsule_new(ctypes.addressof(self.array), NAMES["arrow_array"], None))


def offsets(*values, fmt="<i"):
    return b"".join(struct.pack(fmt, v) for v in values)


def view(length, data=b"", index=0, start=0):
    if length <= 12:
        return struct.pack("<i", length) + data.ljust(12, b"\0")
    return struct.pack("<i4sii", length, data[:4], index, start)


WKB = geoweave.wkt_to_wkb("POINT(1 2)")
HOSTILE = {
    "offsets out of order": (b"z", 2, [None, offsets(0, 5, 3), b"x" * 5], {}, "out of order"),
    "negative first offset": (b"z", 1, [None, offsets(-4, 2), b"xx"], {}, "negative"),
    "null data pointer": (b"z", 1, [None, offsets(0, 21), None], {}, "data buffer is null"),
    "null offsets": (b"z", 1, [None, None, WKB], {}, "offsets buffer is null"),
    "negative length": (b"z", -1, [None, offsets(0), b""], {}, "negative length"),
    "negative offset": (b"z", 1, [None, offsets(0, 21), WKB], {"offset": -1}, "negative offset"),
    "large offsets out of order": (b"Z", 2, [None, offsets(0, 9, 2, fmt="<q"), b"x" * 9], {},
                                   "out of order"),
    "too few buffers": (b"z", 1, [None, offsets(0, 21)], {}, "number of buffers"),
    "null buffers array": (b"z", 1, [None, offsets(0, 21), WKB], {"buffers_pointer": False},
                           "buffers array is null"),
    "children": (b"z", 1, [None, offsets(0, 21), WKB], {"n_children": 1}, "no children"),
    "nulls without bitmap": (b"z", 1, [None, offsets(0, 21), WKB], {"null_count": 1},
                             "validity bitmap is null"),
    "null count above length": (b"z", 1, [None, offsets(0, 21), WKB], {"null_count": 5},
                                "null count"),
    "released array": (b"z", 1, [None, offsets(0, 21), WKB], {"release": None}, "released"),
    "view to a missing buffer": (b"vz", 1, [None, view(21, WKB, index=3), WKB, offsets(21, fmt="<q")],
                                 {}, "missing data buffer"),
    "view past its buffer": (b"vz", 1, [None, view(21, WKB, start=4), WKB, offsets(21, fmt="<q")],
                             {}, "outside its data buffer"),
    "view of negative length": (b"vz", 1, [None, view(-3), offsets(fmt="<q")], {},
                                "negative length"),
    "null variadic sizes": (b"vz", 1, [None, view(21, WKB), WKB, None], {}, "sizes are null"),
    "invalid UTF-8": (b"u", 1, [None, offsets(0, 3), b"\xff\xfe("], {}, "not valid UTF-8"),
    # Valid UTF-8 as a whole, but the sequence runs from row 0 into row 1.
    "UTF-8 split between rows": (b"u", 2, [None, offsets(0, 1, 2), b"\xc3\xa9"], {},
                                 "row 0 is not valid UTF-8"),
    "invalid UTF-8 past ASCII rows": (b"u", 3, [None, offsets(0, 40, 80, 82),
                                                b"P" * 80 + b"\xc3("], {},
                                      "row 2 is not valid UTF-8"),
    "surrogate in UTF-8": (b"vu", 1, [None, view(3, b"\xed\xa0\x80"), offsets(fmt="<q")], {},
                           "not valid UTF-8"),
    # Byte positions that no buffer can have: refused, never wrapped to row 0.
    "offset wraps the offsets' address": (b"z", 1, [None, offsets(0, 21), WKB],
                                          {"offset": 2**62}, "beyond any address"),
    "large offset wraps": (b"Z", 1, [None, offsets(0, 21, fmt="<q"), WKB], {"offset": 2**61},
                           "beyond any address"),
    "view offset overflows": (b"vz", 1, [None, view(3, b"abc"), offsets(fmt="<q")],
                              {"offset": 2**59}, "beyond any address"),
}


@pytest.mark.parametrize("case", HOSTILE, ids=list(HOSTILE))
def test_hostile_array_is_a_value_error(case):
    fmt, length, buffers, kwargs, message = HOSTILE[case]
    producer = Producer(fmt, length, buffers, **kwargs)
    with pytest.raises(ValueError, match=message):
        gc.to_wkt(producer)


# Text columns are first scanned for any byte above ASCII 64 bytes a step,
# with a verdict every 4 KiB: one bad byte is found wherever it falls in a
# step, a checkpoint or the tail after the last whole step.
@pytest.mark.parametrize("rows, at", [
    (20, 0), (20, 15), (20, 16), (20, 63), (20, 64), (20, 127), (20, 128), (20, 191),
    (20, 192), (20, 199), (700, 4095), (700, 4096), (700, 4160), (700, 6999),
])
def test_one_non_ascii_byte_anywhere_is_found(rows, at):
    data = bytearray(b"POINT(1 2)" * rows)
    data[at] = 0xFF
    producer = Producer(b"u", rows, [None, offsets(*range(0, 10 * rows + 1, 10)), bytes(data)])
    with pytest.raises(ValueError, match=f"row {at // 10} is not valid UTF-8"):
        gc.wkt_to_wkb(producer)


# A text column of 8 MiB and more is scanned in shares on several threads (13
# MB: two shares split at 6,500,000, three at 4,333,333 and 8,666,666): a bad
# byte in any share, at the edges between them or at the very end is found
# just the same.
LARGE_ROWS = 1_300_000
LARGE_OFFSETS = array.array("i", range(0, 10 * LARGE_ROWS + 1, 10)).tobytes()


@pytest.mark.parametrize("threads", [2, 3, 4])
@pytest.mark.parametrize("at", [0, 4_333_332, 4_333_333, 6_499_999, 6_500_000, 8_666_665,
                                8_666_666, 12_999_999])
def test_a_bad_byte_in_any_share_of_a_large_text_column_is_found(at, threads):
    data = bytearray(b"POINT(1 2)" * LARGE_ROWS)
    data[at] = 0xFF
    producer = Producer(b"u", LARGE_ROWS, [None, LARGE_OFFSETS, bytes(data)])
    with pytest.raises(ValueError, match=f"row {at // 10} is not valid UTF-8"):
        gc.wkt_to_wkb(producer, threads=threads)


def test_the_same_structs_when_sound_convert():
    good = Producer(b"z", 1, [None, offsets(0, 21), WKB])
    assert len(gc.to_wkt(good)) == 1
    assert good.array.release is None  # released by us, exactly once
    vu = Producer(b"vu", 2, [None, view(10, b"POINT(1 2)") + view(15, b"POINT(1 2)     "),
                             b"POINT(1 2)     ", offsets(15, fmt="<q")])
    import pyarrow as pa
    assert pa.array(gc.wkt_to_wkb(vu)).to_pylist() == [WKB, WKB]


def test_a_release_callback_that_misbehaves():
    producer = Producer(b"z", 1, [None, offsets(0, 21), WKB], release=forgetful_release)
    with pytest.raises(ValueError, match="release callback"):
        gc.wkb_to_wkt(producer)


@pytest.mark.parametrize("result", [
    lambda p: None, lambda p: (1, 2), lambda p: (p.__arrow_c_array__()[1], p.__arrow_c_array__()[0]),
])
def test_malformed_capsules(result):
    producer = Producer(b"z", 1, [None, offsets(0, 21), WKB])

    class Bad:
        def __arrow_c_array__(self, requested_schema=None):
            return result(producer)
    with pytest.raises(ValueError):
        gc.wkb_to_wkt(Bad())


def test_a_plain_stream_is_pulled_as_it_is_read_and_released_once():
    # A producer's stream of plain arrays (not record batches) comes back as a
    # one-column stream that pulls each array only when it is needed.
    import pyarrow as pa
    arrays = [pa.array([WKB, None] * 3) for _ in range(40)]
    pulled, released = [], []

    @GET_SCHEMA
    def get_schema(stream, out):
        pa.binary()._export_to_c(ctypes.addressof(out.contents))
        return 0

    @GET_NEXT
    def get_next(stream, out):
        if len(pulled) == len(arrays):
            ctypes.memset(ctypes.addressof(out.contents), 0, ctypes.sizeof(ArrowArray))
        else:
            arrays[len(pulled)]._export_to_c(ctypes.addressof(out.contents))
            pulled.append(1)
        return 0

    @RELEASE
    def release(ptr):
        released.append(ptr)
        ArrowArrayStream.from_address(ptr).release = None

    stream = ArrowArrayStream(ctypes.cast(get_schema, c_void_p), ctypes.cast(get_next, c_void_p),
                              None, ctypes.cast(release, c_void_p), None)

    class Exporter:
        def __arrow_c_stream__(self, requested_schema=None):
            return capsule_new(ctypes.addressof(stream), NAMES["arrow_array_stream"], None)

    reader = gc.wkb_to_wkt(Exporter())
    assert pulled == []
    first = reader.read_next_batch()
    assert first.column(0).to_pylist() == [geoweave.wkb_to_wkt(WKB), None] * 3
    assert 1 <= len(pulled) <= 4  # the batch read and a couple converted ahead
    assert sum(len(b) for b in reader) == 39 * 6
    assert len(pulled) == 40 and len(released) == 1
    # Dropped unread: released all the same, once.
    stream.release = ctypes.cast(release, c_void_p)
    pulled.clear()
    reader = gc.wkb_to_wkt(Exporter())
    del reader
    garbage.collect()
    assert pulled == [] and len(released) == 2


@pytest.mark.parametrize("fault, message", [
    ("schema fails when asked again", "failed to give its schema .*disk on fire"),
    ("no get_next", "without its callbacks"),
])
def test_a_plain_stream_that_breaks_before_its_first_array(fault, message):
    asked, released = [], []
    error = ctypes.create_string_buffer(b"disk on fire")

    @GET_SCHEMA
    def get_schema(stream, out):
        asked.append(1)
        if fault.startswith("schema") and len(asked) > 1:
            return 5
        out[0] = ArrowSchema(b"z", b"", None, 2, 0, None, None,
                             ctypes.cast(release_schema, c_void_p), None)
        return 0

    @GET_NEXT
    def get_next(stream, out):
        return 5

    @GET_ERROR
    def get_error(stream):
        assert not released, "asked for its error after its release"
        return ctypes.addressof(error)

    @RELEASE
    def release(ptr):
        released.append(ptr)
        ArrowArrayStream.from_address(ptr).release = None

    stream = ArrowArrayStream(
        ctypes.cast(get_schema, c_void_p),
        None if fault == "no get_next" else ctypes.cast(get_next, c_void_p),
        ctypes.cast(get_error, c_void_p), ctypes.cast(release, c_void_p), None)

    class Exporter:
        def __arrow_c_stream__(self, requested_schema=None):
            return capsule_new(ctypes.addressof(stream), NAMES["arrow_array_stream"], None)
    with pytest.raises(ValueError, match=message):
        gc.wkb_to_wkt(Exporter())
    assert len(released) == 1


def test_a_stream_that_fails_is_a_value_error():
    @GET_SCHEMA
    def get_schema(stream, out):
        out[0] = ArrowSchema(b"z", b"", None, 2, 0, None, None,
                             ctypes.cast(release_schema, c_void_p), None)
        return 0

    @GET_NEXT
    def get_next(stream, out):
        return 5

    message = ctypes.create_string_buffer(b"disk on fire")

    @GET_ERROR
    def get_error(stream):
        return ctypes.addressof(message)

    released = []

    @RELEASE
    def count_release(ptr):
        released.append(ptr)
        ArrowArrayStream.from_address(ptr).release = None

    stream = ArrowArrayStream(ctypes.cast(get_schema, c_void_p), ctypes.cast(get_next, c_void_p),
                              ctypes.cast(get_error, c_void_p),
                              ctypes.cast(count_release, c_void_p), None)

    class Exporter:
        def __arrow_c_stream__(self, requested_schema=None):
            return capsule_new(ctypes.addressof(stream), NAMES["arrow_array_stream"], None)
    with pytest.raises(ValueError, match="disk on fire"):
        gc._native.wkb_to_wkt(Exporter())  # the whole stream read at once
    assert len(released) == 1
    stream.release = ctypes.cast(count_release, c_void_p)
    reader = gc.wkb_to_wkt(Exporter())  # lazily: the failure comes with the first batch
    with pytest.raises(ValueError, match="disk on fire"):
        reader.read_next_batch()
    assert len(released) == 2  # released once more, by the package
    assert stream.release is None


def test_bytes_of_null_rows_are_never_read():
    # Row 0 is null and holds invalid UTF-8; row 1 is valid text.
    producer = Producer(b"u", 2, [b"\x02", offsets(0, 3, 13), b"\xff\xfe(POINT(1 2)"],
                        null_count=1)
    import pyarrow as pa
    assert pa.array(gc.wkt_to_wkb(producer)).to_pylist() == [None, WKB]
    # A null data buffer is fine when every row is empty.
    empty = Producer(b"z", 2, [None, offsets(7, 7, 7), None])
    assert pa.array(gc.to_hex_wkb(empty)).to_pylist() == ["", ""]


# ---------------------------------------------------------------------------
# The Python surface under hostile callers and elements.

import gc as garbage
import threading

import numpy as np
import pyarrow as pa

FUNCTIONS = [(module, name) for module in (geoweave, gc) for name in geoweave.__all__]

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                        ctypes.py_object]


class Name(str):
    pass


@pytest.mark.parametrize("key", [1, 1.5, b"srid", Name("srid")], ids=repr)
@pytest.mark.parametrize("module,name", FUNCTIONS, ids=lambda x: getattr(x, "__name__", x))
def test_keyword_names_through_vectorcall(module, name, key):
    fn = getattr(module, name)
    source = [WKB] if module is gc else WKB
    args = (ctypes.py_object * 2)(source, 4326)
    if isinstance(key, str):  # a str subclass is a str: read as the name it holds
        def outcome(call):
            try:
                result = call()
                return list(result) if module is gc else result
            except Exception as e:  # noqa: BLE001 - compared by type and message
                return type(e), str(e)
        assert outcome(lambda: _vectorcall(fn, args, 1, (key,))) == \
            outcome(lambda: fn(source, srid=4326))
        return
    with pytest.raises(TypeError) as info:
        _vectorcall(fn, args, 1, (key,))
    assert str(info.value).endswith("keywords must be strings")


class EmptiesItsList:
    """A bytes-like element whose export empties the list holding it, found
    as the rows' container is found by any code: through the collector."""

    def __init__(self, target=None):
        self.store = bytearray(WKB)
        self.target = target
        self.armed = False  # numpy and pandas look for buffers while building

    def __buffer__(self, flags):
        if not self.armed:
            return memoryview(self.store)
        for holder in [self.target] if self.target is not None else garbage.get_referrers(self):
            if isinstance(holder, list):
                holder.clear()
        return memoryview(self.store)


class SharedList(np.ndarray):
    """An ndarray subclass whose tolist() hands out one list it keeps."""

    def tolist(self):
        return SHARED


SHARED = []


@pytest.mark.parametrize("kind", ["list", "numpy", "pandas", "subclass"])
def test_an_element_that_empties_its_container(kind):
    pd = pytest.importorskip("pandas")
    rows = [WKB, EmptiesItsList(), WKB, bytes(WKB)]
    if kind == "list":
        column = list(rows)
    elif kind == "numpy":
        column = np.array(rows, dtype=object)
    elif kind == "pandas":
        column = pd.Series(rows, dtype=object)
    else:
        SHARED[:] = rows
        rows[1].target = SHARED
        column = np.array(rows, dtype=object).view(SharedList)
    rows[1].armed = True
    result = list(gc.wkb_to_wkt(column))
    assert result == [geoweave.wkb_to_wkt(WKB)] * 4


def _racing_column(layout, n):
    """A column of n Points whose offsets (or views) live in a bytearray that
    another thread can rewrite, and the rows' correct bytes for restoring it."""
    if layout == "binary":
        table = bytearray(offsets(*range(0, 21 * n + 1, 21)))
    else:
        table = bytearray(b"".join(view(21, WKB, 0, 21 * i) for i in range(n)))
    buffers = [None, pa.py_buffer(table), pa.py_buffer(WKB * n)]
    column = pa.Array.from_buffers(getattr(pa, layout)(), n, buffers)
    words = np.frombuffer(table, dtype="<i4")
    return column, words, len(words)


@pytest.mark.parametrize("layout", ["binary", "binary_view"])
def test_offsets_rewritten_by_another_thread_while_converting(layout):
    # The conversion reads the rows without the GIL after validating them; a
    # thread scribbling over the offsets (or views: lengths, buffer indexes,
    # starts) meanwhile gives wrong rows, but never a read outside the data.
    import time
    n = 20000
    column, words, count = _racing_column(layout, n)
    good = words.copy()
    stop = threading.Event()

    def rewrite():
        rng = np.random.default_rng(5)
        while not stop.is_set():
            words[:] = good  # a state that validates
            time.sleep(0)  # let the conversion validate it
            words[rng.integers(0, count, 256)] = rng.integers(-2**31, 2**31 - 1, 256)
            words[rng.integers(0, count, 256)] = rng.integers(0, 21 * n, 256)

    thread = threading.Thread(target=rewrite)
    thread.start()
    converted = 0
    try:
        deadline = time.monotonic() + 2.0  # long enough for unchecked reads to crash
        while time.monotonic() < deadline:
            try:
                result = gc.to_hex_wkb(column, threads=1, errors="null")
            except ValueError:  # found out of order or out of bounds while validating
                continue
            assert len(result) == n
            converted += 1
    finally:
        stop.set()
        thread.join()
    # Some calls got past validation, so rows were read while being rewritten.
    assert converted > 0


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __buffer__(self, flags):
        raise self.exc


def recurse(depth=0):
    return recurse(depth + 1)


class Recursing:
    def __buffer__(self, flags):
        return recurse()


@pytest.mark.parametrize("element,expected", [
    (lambda: Raises(KeyboardInterrupt()), KeyboardInterrupt),
    (lambda: Raises(SystemExit(3)), SystemExit),
    (lambda: Raises(LookupError("mine")), LookupError),
    (Recursing, RecursionError),
], ids=["KeyboardInterrupt", "SystemExit", "LookupError", "RecursionError"])
@pytest.mark.parametrize("errors", ["null", "raise"])
def test_what_an_element_raises_propagates(element, expected, errors):
    first = b"\x00" if errors == "null" else WKB  # a bad value that becomes a null
    with pytest.raises(expected) as info:
        gc.wkb_to_wkt([first, WKB, element()], errors=errors)
    assert info.value.__notes__ == ["row 2"]


WRONG_TYPES = [
    ("wkb_to_wkt", [WKB, 5], "argument 'wkb': a bytes-like object is required, not 'int'"),
    ("wkb_to_wkt", np.array([WKB, 1.5], dtype=object),
     "argument 'wkb': a bytes-like object is required, not 'float'"),
    ("to_wkt", [WKB, 7], "argument 'source': str or a bytes-like object is required, not 'int'"),
    # numpy scalars export a buffer of their bytes, which is still not WKB
    ("to_wkt", [WKB, np.int32(5)],
     "argument 'source': str or a bytes-like object is required, not 'numpy.int32'"),
    ("wkb_to_wkt", np.array([WKB, np.uint8(1)], dtype=object),
     "argument 'wkb': a bytes-like object is required, not 'numpy.uint8'"),
    ("wkb_to_wkt", [WKB, np.float32(2.5)],
     "argument 'wkb': a bytes-like object is required, not 'numpy.float32'"),
    ("wkb_to_wkt", [WKB, np.bool_(True)],
     "argument 'wkb': a bytes-like object is required, not 'numpy.bool'"),
    ("wkt_to_wkb", ["POINT(1 2)", b"POINT(1 2)"],
     "argument 'wkt': 'bytes' object is not an instance of 'str'"),
    ("wkb_to_wkt", np.array([np.nan, np.nan]),
     "wkb_to_wkt(): 'wkb' must hold bytes, str or missing values, not be a numpy array of "
     "dtype float64"),
    ("wkb_to_wkt", pa.array([1, 2], pa.int32()),
     "wkb_to_wkt(): Arrow type int32 is not supported for 'wkb'; expected binary, "
     "large_binary or binary_view"),
    ("to_wkt", pa.array([WKB]).dictionary_encode(),
     "to_wkt(): Arrow type dictionary<values=binary, indices=int32> is not supported for "
     "'source'"),
    ("to_wkt", pa.record_batch({"a": [WKB], "b": [WKB], "c": [1]}),
     "to_wkt(): the table has 3 columns ('a', 'b', 'c'): pass column="),
    ("hex_wkb_to_wkt", pa.array([[1.5]], pa.list_(pa.float64())),
     "hex_wkb_to_wkt(): Arrow type list<item: double> is not supported"),
]


@pytest.mark.parametrize("nan", [float("nan"), np.float64("nan"), np.float32("nan"),
                                 np.float16("nan")])
def test_a_nan_of_any_float_type_is_a_missing_row(nan):
    assert gc.wkb_to_wkt([WKB, nan], errors="raise") == [geoweave.wkb_to_wkt(WKB), None]


@pytest.mark.parametrize("name,column,message", WRONG_TYPES,
                         ids=[f"{w[0]}-{i}" for i, w in enumerate(WRONG_TYPES)])
@pytest.mark.parametrize("errors", ["raise", "null"])
def test_wrong_types_raise_type_error_whatever_errors_says(name, column, message, errors):
    with pytest.raises(TypeError) as info:
        getattr(gc, name)(column, errors=errors)
    assert str(info.value).startswith(message)
    assert "format" not in str(info.value)


@pytest.mark.parametrize("errors", ["raise", "null"])
def test_native_module_names_a_struct_column_as_such(errors):
    # Tables are taken apart by the package; a struct reaching the native
    # module directly is still named as users know it.
    batch = pa.record_batch({"a": [WKB], "b": [WKB], "c": [1]})
    with pytest.raises(TypeError, match=r"^to_wkt\(\): 'source' is a struct with 3 fields: pass column="):
        gc._native.to_wkt(batch, errors=errors)


def test_pandas_numeric_series_is_refused():
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError, match="pandas Series of dtype int64"):
        gc.to_wkt(pd.Series([1, 2]), errors="null")


HEX = geoweave.wkt_to_hex_wkb("POINT(1 2)")


@pytest.mark.parametrize("name,row", [
    ("wkb_to_wkt", HEX.encode()),           # hex text passed as WKB bytes
    ("wkb_to_wkt", HEX),                    # hex text where WKB goes
    ("wkt_to_wkb", '{"type": "Point"}'),    # GeoJSON
    ("hex_wkb_to_wkt", f" {HEX} "),         # whitespace around hex
])
@pytest.mark.parametrize("kind", ["list", "arrow"])
def test_row_errors_carry_the_scalar_hints(name, row, kind):
    try:
        getattr(geoweave, name)(row)
    except Exception as e:  # noqa: BLE001 - its notes are the expectation
        hints = e.__notes__
    if kind == "arrow":
        if isinstance(row, str) != (name != "wkb_to_wkt"):
            pytest.skip("an Arrow column has one type")
        column = pa.array([None, row])
    else:
        column = [None, row]
    with pytest.raises(Exception) as info:
        getattr(gc, name)(column)
    assert info.value.__notes__ == hints + ["row 1"]
    assert hints and hints[0].startswith("hint: ")


# Text is checked for UTF-8 a block of rows at a time as the rows are
# converted; an array's invalid text is still what is reported, before any
# row's conversion error and whatever errors= says, and bytes of null rows
# still mean nothing.
def text_array(rows, nulls=()):
    import pyarrow as pa
    ends = array.array("i", [0])
    for r in rows:
        ends.append(ends[-1] + len(r))
    validity = None
    if nulls:
        bits = bytearray(b"\xff" * ((len(rows) + 7) // 8))
        for i in nulls:
            bits[i // 8] &= ~(1 << (i % 8)) & 0xFF
        validity = pa.py_buffer(bytes(bits))
    return pa.Array.from_buffers(pa.string(), len(rows),
                                 [validity, pa.py_buffer(ends.tobytes()), pa.py_buffer(b"".join(rows))],
                                 null_count=len(nulls))


GOOD = b"POINT (1 2)"
ROWS = 20_000  # two chunks with two threads, many blocks in each


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("errors", ["raise", "null"])
@pytest.mark.parametrize("failing, bad, message", [
    (3, 15_000, "row 15000 is not valid UTF-8"),     # a failing row first, in an earlier chunk
    (15_001, 15_000, "row 15000 is not valid UTF-8"),  # the failing row after it, same block
    (19_999, 100, "row 100 is not valid UTF-8"),
    (None, 19_999, "row 19999 is not valid UTF-8"),  # the last row
])
def test_invalid_text_is_reported_before_any_rows_error(failing, bad, message, errors, threads):
    rows = [GOOD] * ROWS
    if failing is not None:
        rows[failing] = b"POINT (1"
    rows[bad] = b"POINT (\xff 2)"
    with pytest.raises(ValueError, match=f"invalid Arrow array for 'wkt': {message}"):
        gc.wkt_to_wkb(text_array(rows), errors=errors, threads=threads)


@pytest.mark.parametrize("threads", [1, 2])
def test_non_ascii_text_and_null_rows_bytes_convert(threads):
    rows = [GOOD] * ROWS
    rows[300] = "POINT (1\u00a02)".encode()           # a non-ASCII space, valid UTF-8
    rows[15_000] = b"\xff\xfe not text"               # a null row's bytes
    rows[15_001] = "POINT\u2003(3 4)".encode()
    result = gc.wkt_to_wkb(text_array(rows, nulls=[15_000]), threads=threads).to_pylist()
    assert result[15_000] is None
    assert result[300] == result[0] == geoweave.wkt_to_wkb("POINT (1 2)")
    assert result[15_001] == geoweave.wkt_to_wkb("POINT (3 4)")


def test_a_streams_invalid_text_comes_before_a_later_arrays_fault():
    import pyarrow as pa
    first = text_array([GOOD, b"POINT (\xff 2)", GOOD])
    broken = pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(offsets(0, 5, 3)),
                                                    pa.py_buffer(b"POINT")])
    with pytest.raises(ValueError, match="row 1 is not valid UTF-8"):
        gc.wkt_to_wkb(pa.chunked_array([first, broken]))
    with pytest.raises(ValueError, match="out of order"):
        gc.wkt_to_wkb(pa.chunked_array([text_array([GOOD]), broken]))


def test_a_structs_slice_still_has_its_whole_child_checked():
    import pyarrow as pa
    child = text_array([GOOD, GOOD, b"POINT (\xff 2)"])
    table = pa.StructArray.from_arrays([child], names=["wkt"]).slice(0, 2)
    with pytest.raises(ValueError, match="row 2 is not valid UTF-8"):
        gc.wkt_to_wkb(table)
    whole = pa.StructArray.from_arrays([child], names=["wkt"])
    with pytest.raises(ValueError, match="row 2 is not valid UTF-8"):
        gc.wkt_to_wkb(whole)
