"""Fuzzer of geoweave's Python surface (atheris, libFuzzer for Python).

The libFuzzer targets beside this file drive the Python-free core. This one
drives the twelve module functions themselves, with argument objects built
from the fuzz input: bytes, bytearray, memoryview slices and casts, numpy
arrays of odd strides, orders and dtypes, str and str subclasses with odd code
points, int subclasses and numpy scalars, views as a C exporter could forge
them (a length that disagrees with the shape), keyword names that are not str
(through the vectorcall protocol), and objects with hostile
``__index__``, ``__bool__``, ``__buffer__``/``__release_buffer__`` and
``__module__``, passed positionally or under odd keyword names.

Invariants checked on every call:

* only the documented exception types leave a function (TypeError, ValueError,
  BufferError, MemoryError), or the very exception a hostile object raised;
* an argument form that the module accepts gives exactly the outcome of the
  same values passed as plain ``bytes``/``str``/``int``/``bool``: the same
  result, or the same exception type and message;
* a failed call carries at most one note, a hint, and never changes the
  exception's type or message for it (the plain call gets the same hint);
* a form the module must refuse (items wider than one byte, no buffer at all)
  is refused with BufferError;
* crashes and sanitizer reports end the run (scripts/fuzz_surface.sh runs this
  against the ASan+UBSan build).

Half the inputs drive the column module geoweave_columns instead: all twelve
functions over columns built from the input (lists, tuples and iterators of
rows, numpy object arrays of any stride, pandas Series, pyarrow arrays of the
six binary and string types, sliced or chunked, and ArrowArray/ArrowSchema
structs forged with ctypes and handed over in PyCapsules, honest or lying
about their offset, length, null count or offsets), rows that are bytes-like,
text, missing, of a wrong type, or hostile (a ``__buffer__`` that raises, or
that empties every list holding it), every ``errors`` and ``threads`` value,
and keyword names that are not str. Invariants: only the documented exception
types or a hostile row's own exception; every result row equals the scalar
function's value for that row (None where it raises a bad value's error under
``errors="null"``); under ``errors="raise"`` the lowest failing row raises the
scalar function's exception with its hint notes and then "row N"; a wrong
type is a TypeError whatever ``errors`` says; a lie is a ValueError.

Run it through scripts/fuzz_surface.sh; any extra arguments are libFuzzer's.
"""

import array
import ctypes
import struct
import sys

import atheris
import numpy as np

import geoweave as gw
import geoweave_columns as gcol

try:
    import pyarrow as pa
except ImportError:  # the Arrow inputs are then made from forged structs only
    pa = None
try:
    import pandas as pd
except ImportError:
    pd = None

# (name, kind of the first parameter, parameter names, required count)
FUNCTIONS = [
    ("wkb_to_wkt", "bytes", ("wkb", "srid"), 1),
    ("wkb_to_wkt_split_srid", "bytes", ("wkb",), 1),
    ("wkt_to_wkb", "text", ("wkt", "srid"), 1),
    ("wkt_to_wkb_split_srid", "text", ("wkt",), 1),
    ("wkt_to_hex_wkb", "text", ("wkt", "srid"), 1),
    ("hex_wkb_to_wkt", "text", ("hex_wkb", "srid"), 1),
    ("to_wkb", "any", ("source", "srid"), 1),
    ("to_wkt", "any", ("source", "srid", "normalize_wkt"), 1),
    ("to_hex_wkb", "any", ("source", "srid"), 1),
    ("wkb_header_srid", "any", ("source",), 1),
    ("to_wkb_no_srid_header", "any", ("source",), 1),
    ("to_ewkb_header", "any", ("source", "srid"), 2),
]

SEED_WKT = [
    "POINT(1 2)", "SRID=4326;POINT(1 2)", "POINT Z (1 2 3)", "POINT M (1 2 3)",
    "POINT ZM (1 2 3 4)", "POINT EMPTY", "LINESTRING(0 0,1 1,2 0.5)",
    "SRID=3857;POLYGON((0 0,4 0,4 4,0 4,0 0),(1 1,2 1,2 2,1 1))",
    "MULTIPOINT((1 2),(3 4))", "MULTILINESTRING((0 0,1 1),(2 2,3 3))",
    "MULTIPOLYGON(((0 0,1 0,1 1,0 0)))", "SRID=-1;POINT(5 6)",
    "GEOMETRYCOLLECTION(POINT(1 2),LINESTRING(0 0,1 1),GEOMETRYCOLLECTION EMPTY)",
    "SRID=0;LINESTRING Z (1 2 3,4 5 6)", "POINT(1e300 -0.0)", "POINT(nan inf)",
]
SEED_WKB = [gw.wkt_to_wkb(w) for w in SEED_WKT[:12]]
# Big-endian and ISO forms the writer never makes.
SEED_WKB += [
    b"\x00\x00\x00\x00\x01" + struct.pack(">dd", 1.5, -2.0),
    b"\x00\x20\x00\x00\x01\x00\x00\x10\xe6" + struct.pack(">dd", 1, 2),
    b"\x01\xe9\x03\x00\x00" + struct.pack("<ddd", 1, 2, 3),
]
ODD_CHARS = ["\x00", "\u00a0", "\u2028", "\u3000", "\ufeff", "\U0001f30d", "\udcff",
             "\u0301", "\x85", "\t", "\n", " ", "{", "(", ")", ",", ";", "=", "E", "e"]


class Hostile(Exception):
    """Raised by hostile argument objects; must reach the caller unchanged."""


RAISED = []  # what hostile objects raised during the current call


def hostile(message):
    exc = Hostile(message)
    RAISED.append(exc)
    return exc


class StrSub(str):
    def __eq__(self, other):
        return False

    def __hash__(self):
        return 7

    def __str__(self):
        return "not me"


class BytesSub(bytes):
    def __buffer__(self, flags):  # never consulted: bytes are read in place
        raise hostile("bytes subclass __buffer__")


class IntSub(int):
    def __index__(self):
        raise hostile("int subclass __index__")


# Each builder returns (object, plain, status): plain is the value the object
# stands for (None when no plain equivalent is known); status is "valid" (the
# module must treat it exactly as plain), "maybe" (valid or a documented
# refusal), "buffer" (must be refused with BufferError) or "hostile" (must
# raise the object's own exception).

def buffer_forms(fdp, data):
    n = len(data)
    choice = fdp.ConsumeIntInRange(0, 25)
    if choice == 0:
        return data, data, "valid"
    if choice == 1:
        return bytearray(data), data, "valid"
    if choice == 2:
        return memoryview(data), data, "valid"
    if choice == 3:  # a slice of a larger buffer, contiguous
        pad = fdp.ConsumeIntInRange(0, 9)
        big = bytearray(b"\xaa" * pad + data + b"\x55" * pad)
        return memoryview(big)[pad:pad + n], data, "valid"
    if choice == 4:  # a stepped slice: contiguous only when it is at most one byte long
        step = fdp.ConsumeIntInRange(2, 4)
        big = bytes(b for c in data for b in (c,) + (0x77,) * (step - 1))
        mv = memoryview(big)[::step]
        return mv, mv.tobytes(), "maybe"
    if choice == 5:
        fmt = "bcB?"[fdp.ConsumeIntInRange(0, 3)]
        if fmt == "?":
            data = bytes(b & 1 for b in data)
        return memoryview(data).cast(fmt), data, "valid"
    if choice == 6 and n % 2 == 0 and n:
        return memoryview(data).cast("B", shape=[2, n // 2]), data, "valid"
    if choice == 7 and n % 2 == 0 and n:
        return memoryview(data).cast("H"), data, "buffer"
    if choice == 8:
        return array.array("B", data), data, "valid"
    if choice == 9 and n % 2 == 0:
        return array.array("H", data), data, "buffer"
    if choice == 10:
        dtype = [np.uint8, np.int8, np.bool_][fdp.ConsumeIntInRange(0, 2)]
        if dtype is np.bool_:
            data = bytes(b & 1 for b in data)
        return np.frombuffer(data, dtype=dtype), data, "valid"
    if choice == 11 and n:  # 2-D in either order: Fortran order is C-contiguous only when flat
        rows = [r for r in range(1, n + 1) if n % r == 0][fdp.ConsumeIntInRange(0, 100) % len(
            [r for r in range(1, n + 1) if n % r == 0])]
        order = "CF"[fdp.ConsumeIntInRange(0, 1)]
        arr = np.frombuffer(data, dtype=np.uint8).reshape(rows, n // rows).copy(order=order)
        return arr, arr.tobytes(order="C"), "valid" if order == "C" else "maybe"
    if choice == 12:  # strided view of a wider array
        step = fdp.ConsumeIntInRange(1, 3)
        base = np.zeros(n * step, dtype=np.uint8)
        base[::step] = np.frombuffer(data, dtype=np.uint8)
        view = base[::step]
        return view, data, "valid" if step == 1 else "maybe"
    if choice == 13 and n:  # zero strides (broadcast)
        arr = np.broadcast_to(np.uint8(data[0]), (n,))
        return arr, bytes([data[0]]) * n, "maybe"
    if choice == 14 and n % 4 == 0:
        return np.frombuffer(data, dtype=np.uint32), data, "buffer"
    if choice == 15:
        return BytesSub(data), data, "valid"
    if choice == 16:
        return HostileBuffer(fdp, data)
    if choice == 17:  # 0-d and empty shapes
        if n == 1:
            return memoryview(data).cast("B", shape=[]), data, "maybe"  # 0-d: no shape
        return memoryview(data)[0:0], b"", "valid"
    if choice == 18:
        return None, None, "buffer"
    if choice == 19:
        return fdp.ConsumeIntInRange(-5, 5), None, "buffer"
    if choice == 20:  # numpy scalar: its buffer has the scalar's itemsize
        return np.uint16(n), None, "buffer"
    if choice == 21:
        return np.uint8(n % 256), bytes([n % 256]), "maybe"  # 0-d, no shape: refused
    if choice == 22:
        rel = memoryview(bytearray(data))
        rel.release()
        return rel, None, "maybe"
    if choice == 23:
        return forged_view(fdp, data)
    return bytearray(data), data, "valid"


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p),
                ("len", ctypes.c_ssize_t), ("itemsize", ctypes.c_ssize_t),
                ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


_from_buffer = ctypes.pythonapi.PyMemoryView_FromBuffer
_from_buffer.restype, _from_buffer.argtypes = ctypes.py_object, [ctypes.POINTER(PyBuffer)]


def forged_view(fdp, data):
    """A view as a C exporter could hand it out: its length may disagree with
    its shape (the memory holds just `data`). Only a consistent one may be read."""
    n = len(data)
    length = n + fdp.ConsumeIntInRange(-2, 64) if fdp.ConsumeBool() else n
    memory = ctypes.create_string_buffer(data, max(n, 1))
    shape = (ctypes.c_ssize_t * 1)(n)
    strides = (ctypes.c_ssize_t * 1)(1)
    info = PyBuffer(ctypes.addressof(memory), None, length, 1, 1, 1, b"B", shape, strides,
                    None, None)
    view = _from_buffer(ctypes.byref(info))
    FORGED_KEEP.append(memory)  # the view does not own its memory
    return view, data, "valid" if length == n else "buffer"


FORGED_KEEP = []  # cleared after each call


def HostileBuffer(fdp, data):
    mode = fdp.ConsumeIntInRange(0, 6)

    class Exporter:
        def __init__(self):
            self.store = bytearray(data)

        def __buffer__(self, flags):
            if mode == 1:
                raise hostile("__buffer__")
            if mode == 2:
                raise TypeError("no buffer today")
            if mode == 3:
                return b"not a memoryview"
            return memoryview(self.store)

        def __release_buffer__(self, view):
            if mode == 4:
                raise hostile("__release_buffer__")  # unraisable: reported, not raised
            if mode == 5:
                view.release()
            if mode == 6:
                try:
                    self.store.extend(b"x")  # refused while exported
                except BufferError:
                    pass

    status = {1: "hostile", 2: "buffer", 3: "buffer"}.get(mode, "valid")
    return Exporter(), data, status


def text_forms(fdp, text):
    choice = fdp.ConsumeIntInRange(0, 5)
    if choice == 0:
        return text, text, "valid"
    if choice == 1:
        return StrSub(text), text, "valid"
    if choice == 2:  # odd code points around or inside
        odd = ODD_CHARS[fdp.ConsumeIntInRange(0, len(ODD_CHARS) - 1)]
        at = fdp.ConsumeIntInRange(0, len(text))
        text = text[:at] + odd + text[at:]
        return text, text, "valid"
    if choice == 3:
        return text.encode("utf-8", "surrogatepass"), None, "maybe"
    if choice == 4:
        return None, None, "maybe"
    return text.lower() if fdp.ConsumeBool() else text, None, "maybe"


def source_content(fdp):
    """The value the source stands for: bytes (WKB) or str (WKT or hex)."""
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return SEED_WKT[fdp.ConsumeIntInRange(0, len(SEED_WKT) - 1)]
    if kind in (1, 2):
        wkb = bytearray(SEED_WKB[fdp.ConsumeIntInRange(0, len(SEED_WKB) - 1)])
        for _ in range(fdp.ConsumeIntInRange(0, 2)):  # mutations
            if wkb:
                wkb[fdp.ConsumeIntInRange(0, len(wkb) - 1)] = fdp.ConsumeInt(1) & 0xFF
        if fdp.ConsumeBool() and wkb:
            del wkb[fdp.ConsumeIntInRange(0, len(wkb)):]
        return bytes(wkb) if kind == 1 else bytes(wkb).hex()
    if kind == 3:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    if kind == 4:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 48))
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 24))


def source_argument(fdp, kind, content):
    if isinstance(content, bytes):
        if kind == "text" and fdp.ConsumeBool():
            return text_forms(fdp, content.decode("latin-1"))
        obj, plain, status = buffer_forms(fdp, content)
        if kind == "text" and status != "hostile":
            status = "maybe"  # a text parameter refuses bytes with TypeError
        return obj, plain, status
    if kind == "bytes" and fdp.ConsumeBool():
        try:
            return buffer_forms(fdp, content.encode("utf-8"))
        except UnicodeEncodeError:
            pass
    obj, plain, status = text_forms(fdp, content)
    if kind == "bytes" and isinstance(obj, str):
        status = "buffer"  # text is never WKB
    return obj, plain, status


def srid_argument(fdp, source):
    choice = fdp.ConsumeIntInRange(0, 15)
    if choice == 0:
        return None, None, "valid"
    if choice == 1:
        return False, False, "valid"
    if choice == 2:
        return True, True, "valid"
    if choice in (3, 4):
        v = [4326, 0, -1, 3857, 2**31 - 1, -2**31, 2**31, -2**31 - 1, 2**64][
            fdp.ConsumeIntInRange(0, 8)]
        return v, v, "valid"
    if choice == 5:
        v = fdp.ConsumeInt(5)
        return v, v, "valid"
    if choice == 6:
        v = fdp.ConsumeIntInRange(-10, 10**6)
        return type("Int", (int,), {})(v), v, "valid"
    if choice == 7:
        t = [np.int32, np.int64, np.int16][fdp.ConsumeIntInRange(0, 2)]
        info = np.iinfo(t)
        v = fdp.ConsumeIntInRange(int(info.min), int(info.max))
        return t(v), v, "valid"
    if choice == 8:
        return np.uint64(2**64 - 1), None, "maybe"
    if choice == 9:
        return [np.bool_(True), np.float64(4326.0), 4326.0, "4326", b"4326"][
            fdp.ConsumeIntInRange(0, 4)], None, "maybe"
    if choice == 10:
        return IntSub(fdp.ConsumeIntInRange(0, 9999)), None, "maybe"  # read as an int, no __index__
    return HostileIndex(fdp, source)


def HostileIndex(fdp, source):
    mode = fdp.ConsumeIntInRange(0, 6)
    value = fdp.ConsumeIntInRange(-5, 5000)

    class Index:
        def __index__(self):
            if mode == 1:
                raise hostile("__index__")
            if mode == 2:
                return True
            if mode == 3:
                return np.int64(value)  # not an int instance
            if mode == 4:
                return type("Big", (int,), {})(value)
            if mode == 5 and isinstance(source, bytearray):
                # The source changes before it is borrowed: fine, and seen.
                source[:] = source[: len(source) // 2]
            if mode == 6:
                return "4326"
            return value

    if mode == 0 or mode == 4 or mode == 5:
        return Index(), value, "valid"
    if mode == 1:
        return Index(), None, "hostile"
    return Index(), None, "maybe"


def normalize_argument(fdp):
    choice = fdp.ConsumeIntInRange(0, 6)
    if choice == 0:
        v = fdp.ConsumeBool()
        return v, v, "valid"
    if choice == 1:
        v = fdp.ConsumeBool()
        return np.bool_(v), v, "valid"
    if choice == 2:
        return [0, 1, None, "True", np.int8(1)][fdp.ConsumeIntInRange(0, 4)], None, "maybe"
    return HostileModule(fdp)


def HostileModule(fdp):
    module = [b"numpy", "numpy", StrSub("numpy"), 12345, None, object(),
              fdp.ConsumeBytes(12), struct.pack("<IIQQ", 0x20, 0, 5, 0x4141414141414141)][
        fdp.ConsumeIntInRange(0, 7)]
    name = ["bool_", "bool", "int_"][fdp.ConsumeIntInRange(0, 2)]
    mode = fdp.ConsumeIntInRange(0, 3)
    truth = fdp.ConsumeBool()
    namespace = {}
    if mode == 1:
        namespace["__bool__"] = lambda self: truth
    elif mode == 2:
        def boom(self):
            raise hostile("__bool__")
        namespace["__bool__"] = boom
    elif mode == 3:
        namespace["__bool__"] = lambda self: 1  # not a bool: TypeError
    t = type(name, (), namespace)
    t.__module__ = module
    numpy_like = isinstance(module, str) and module == "numpy" and name != "int_"
    if numpy_like and mode == 1:
        return t(), truth, "valid"
    if numpy_like and mode == 2:
        return t(), None, "hostile"
    return t(), None, "maybe"


KEY_NAMES = ["srid", "sird", "", "\udcff", "wkb\x00", "source ", "\U0001f30d"]


def call_args(fdp, params, required, values):
    """Positional and keyword arguments, as objects and as plain values."""
    given = [i for i in range(len(params)) if i < required or fdp.ConsumeBool()]
    npos = fdp.ConsumeIntInRange(0, len(given))
    pos = [values[i] for i in given[:npos] if given[:npos] == list(range(npos))]
    if len(pos) != npos:  # positional only for a leading run
        pos, npos = [], 0
    # plain_kw maps each name to ("arg", index) or ("literal", value).
    kw = {}
    plain_kw = {}
    for i in given[npos:]:
        name = params[i]
        key = StrSub(name) if fdp.ConsumeIntInRange(0, 3) == 0 else name
        kw[key] = values[i]
        plain_kw[name] = ("arg", i)
    odd = fdp.ConsumeIntInRange(0, 9)
    if odd == 0:
        key = KEY_NAMES[fdp.ConsumeIntInRange(0, len(KEY_NAMES) - 1)]
        kw[key] = 1
        plain_kw[key] = ("literal", 1)
    elif odd == 1:  # the same parameter twice
        kw[params[0]] = values[0]
        plain_kw[params[0]] = ("arg", 0)
    return pos, kw, plain_kw, given


ALLOWED = (TypeError, ValueError, BufferError, MemoryError)


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                        ctypes.py_object]


def vectorcall(fn, args, kwnames):
    arr = (ctypes.py_object * len(args))(*args)
    return _vectorcall(fn, arr, len(args) - len(kwnames), kwnames)


def outcome(fn, args, kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - compared below
        return ("err", type(e), str(e), e)


def same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "ok":
        x, y = a[1], b[1]
        return type(x) is type(y) and (x == y or repr(x) == repr(y))  # NaN-safe
    return a[1] is b[1] and a[2] == b[2]


def test_one_input(data):
    try:
        check_one_input(data)
    finally:
        FORGED_KEEP.clear()


def check_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        check_column_input(fdp)
        return
    name, kind, params, required = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    fn = getattr(gw, name)
    RAISED.clear()
    content = source_content(fdp)
    forms = [source_argument(fdp, kind, content)]
    source = forms[0][0]
    if "srid" in params:
        forms.append(srid_argument(fdp, source))
    if "normalize_wkt" in params:
        forms.append(normalize_argument(fdp))
    values = [f[0] for f in forms]
    pos, kw, plain_kw_names, given = call_args(fdp, params, required, values)

    if fdp.ConsumeIntInRange(0, 31) == 0:
        # A C caller of the vectorcall protocol may pass keyword names that
        # are not str; they must be refused, never read as text.
        got = outcome(vectorcall, (fn, pos + [1], (fdp.ConsumeInt(2),)), {})
        assert got[0] == "err" and got[1] is TypeError, f"{name}: non-str keyword name: {got[:3]}"
        FORGED_KEEP.clear()
        return
    got = outcome(fn, pos, kw)

    if got[0] == "err":
        exc = got[3]
        if isinstance(exc, Hostile):
            assert any(exc is r for r in RAISED), f"{name}: a Hostile that no object raised: {exc!r}"
        elif not isinstance(exc, ALLOWED):
            raise AssertionError(f"{name}: undocumented {type(exc).__name__}: {exc}") from exc
        if isinstance(exc, SystemError):
            raise AssertionError(f"{name}: {exc}") from exc
        notes = getattr(exc, "__notes__", [])
        if not isinstance(exc, Hostile) and (len(notes) > 1 or any(
                not n.startswith("hint: ") for n in notes)):
            raise AssertionError(f"{name}: unexpected notes {notes!r}")

    statuses = {i: forms[i][2] for i in given if i < len(forms)}
    if "hostile" in statuses.values():
        # The hostile object may or may not be reached first; when it is,
        # its own exception must come out.
        return
    # The plain call: same names, same positions, plain values. The source's
    # plain value is read now, after any __index__ has changed it.
    plain_values = [f[1] for f in forms]
    if isinstance(source, bytearray) and forms[0][2] == "valid":
        plain_values[0] = bytes(source)
    if any(plain_values[i] is None and forms[i][0] is not None for i in given if i < len(forms)):
        return
    if any(s == "buffer" for s in statuses.values()):
        if statuses.get(0) == "buffer" and got[0] == "ok":
            raise AssertionError(f"{name}: accepted a refused buffer form {type(source)}")
        return
    if any(s == "maybe" for s in statuses.values()) and got[0] == "err":
        return
    plain_pos = [plain_values[i] for i in range(len(pos))]
    plain_kw = {k: plain_values[v] if how == "arg" else v
                for k, (how, v) in plain_kw_names.items()}
    if len(plain_kw) != len(kw):  # two keys that differ only as objects
        return
    want = outcome(fn, plain_pos, plain_kw)
    if not same(got, want):
        raise AssertionError(
            f"{name}: argument objects {[type(v).__name__ for v in values]} gave {got[:3]!r}, "
            f"plain values gave {want[:3]!r}")


# ---------------------------------------------------------------------------
# geoweave_columns

class Row:
    """What one row of a column is, for the oracle."""
    MISSING, WRONG, RAISES, VALUE = range(4)


class Emptier:
    """A bytes-like row whose export empties every list holding it (found as
    any code finds them: through the collector), or raises."""

    def __init__(self, data, raises):
        self.store = bytearray(data)
        self.raises = raises
        self.armed = False  # numpy and pandas look for buffers while building

    def __buffer__(self, flags):
        if self.armed:
            if self.raises:
                raise hostile("row __buffer__")
            for holder in gc_module.get_referrers(self):
                if isinstance(holder, list):
                    holder.clear()
        return memoryview(self.store)


import gc as gc_module  # noqa: E402 - the collector, beside the module under test


def column_row(fdp, kind):
    """(object, what it is, the value the scalar function is called with)."""
    choice = fdp.ConsumeIntInRange(0, 19)
    if choice == 0:
        return None, Row.MISSING, None
    if choice == 1:
        return float("nan"), Row.MISSING, None
    if choice == 2 and pd is not None:
        return pd.NA, Row.MISSING, None
    if choice == 3:
        return [5, 1.5, -0.0, np.float64(2.5), object()][fdp.ConsumeIntInRange(0, 4)], Row.WRONG, None
    content = source_content(fdp)
    if kind == "text" and isinstance(content, bytes) and fdp.ConsumeBool():
        content = content.decode("latin-1")
    if kind == "bytes" and isinstance(content, str) and fdp.ConsumeBool():
        content = content.encode("utf-8", "surrogatepass")
    if isinstance(content, str):
        obj = StrSub(content) if choice == 4 else content
        return obj, (Row.WRONG if kind == "bytes" else Row.VALUE), obj
    if kind == "text":
        return content, Row.WRONG, None
    if choice == 5:
        obj = bytearray(content)
        return obj, Row.VALUE, obj
    if choice == 6:
        obj = memoryview(content)
        return obj, Row.VALUE, obj
    if choice == 7 and len(content) % 2 == 0 and content:
        obj = memoryview(content).cast("H")  # refused as a value: BufferError
        return obj, Row.VALUE, obj
    if choice == 8:
        raises = fdp.ConsumeBool()
        return Emptier(content, raises), (Row.RAISES if raises else Row.VALUE), content
    return content, Row.VALUE, content


def encodable(text):
    try:
        text.encode()
    except UnicodeEncodeError:
        return False
    return True


def make_column(fdp, objects, kind):
    """The rows as some kind of column; returns (column, reader of its result)."""
    choice = fdp.ConsumeIntInRange(0, 6)
    if choice == 1:
        return tuple(objects), list
    if choice == 2:
        return iter(objects), list
    if choice in (3, 4):
        step = fdp.ConsumeIntInRange(1, 3)
        base = np.empty(len(objects) * step, dtype=object)
        for i, o in enumerate(objects):
            base[i * step] = o
        return base[::step], lambda r: r.tolist()
    if choice == 5 and pd is not None:
        array = np.empty(len(objects), dtype=object)
        for i, o in enumerate(objects):
            array[i] = o
        # SRIDs come back as nullable Int32, whose missing value is pandas.NA.
        return pd.Series(array, dtype=object, copy=False), \
            lambda r: [None if v is pd.NA else v for v in r.tolist()]
    return list(objects), list


ARROW_TYPES = ["binary", "large_binary", "binary_view", "string", "large_string", "string_view"]


def arrow_column(fdp, values, text):
    """A pyarrow array of `values` (bytes or str, None for nulls), sliced or chunked."""
    names = ARROW_TYPES[3:] if text else ARROW_TYPES[:3]
    t = getattr(pa, names[fdp.ConsumeIntInRange(0, 2)])()
    pad = fdp.ConsumeIntInRange(0, 3)
    filler = "x" if text else b"x"
    array = pa.array([filler] * pad + values + [filler] * pad, t).slice(pad, len(values))
    if fdp.ConsumeBool() and len(values) > 1:
        cut = fdp.ConsumeIntInRange(0, len(values))
        return pa.chunked_array([array.slice(0, cut), array.slice(cut)], t)
    return array


# The C Data Interface structs, for producers forged here.
c_int64, c_void_p, c_char_p = ctypes.c_int64, ctypes.c_void_p, ctypes.c_char_p


class CArrowSchema(ctypes.Structure):
    _fields_ = [("format", c_char_p), ("name", c_char_p), ("metadata", c_char_p),
                ("flags", c_int64), ("n_children", c_int64), ("children", c_void_p),
                ("dictionary", c_void_p), ("release", c_void_p), ("private_data", c_void_p)]


class CArrowArray(ctypes.Structure):
    _fields_ = [("length", c_int64), ("null_count", c_int64), ("offset", c_int64),
                ("n_buffers", c_int64), ("n_children", c_int64), ("buffers", c_void_p),
                ("children", c_void_p), ("dictionary", c_void_p), ("release", c_void_p),
                ("private_data", c_void_p)]


_RELEASE = ctypes.CFUNCTYPE(None, c_void_p)


@_RELEASE
def _release_schema(ptr):
    CArrowSchema.from_address(ptr).release = None


@_RELEASE
def _release_array(ptr):
    CArrowArray.from_address(ptr).release = None


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [c_void_p, c_char_p, c_void_p]


class Forged:
    """An Arrow producer of one binary or string array (32- or 64-bit offsets)
    built by hand, optionally lying: an offset or length no buffer can hold,
    offsets out of order, a null count above the length. Honest sizes
    otherwise: every buffer is as long as the struct says."""

    def __init__(self, fdp, values, text):
        large = fdp.ConsumeBool()
        fmt = (b"U" if large else b"u") if text else (b"Z" if large else b"z")
        skip = fdp.ConsumeIntInRange(0, 2)  # leading rows the offset slices off
        rows = [b"junk"] * skip + [b"" if v is None else (v.encode() if text else v)
                                   for v in values]
        ends = [0]
        for r in rows:
            ends.append(ends[-1] + len(r))
        lie = fdp.ConsumeIntInRange(0, 9)
        self.lie = 0  # set to the lie told, when one is
        if lie == 1 and skip <= len(ends) - 2:  # two offsets of read rows swapped
            i = fdp.ConsumeIntInRange(skip, len(ends) - 2)
            if ends[i] != ends[i + 1]:
                ends[i], ends[i + 1] = ends[i + 1], ends[i]
                self.lie = lie
        elif lie == 2 and skip == 0:
            ends[0] = -fdp.ConsumeIntInRange(1, 5)
            self.lie = lie
        offsets = struct.pack(f"<{len(ends)}{'q' if large else 'i'}", *ends)
        validity = bytearray((len(rows) + 7) // 8)
        for i, r in enumerate([None] * skip + list(values)):
            if r is not None or i < skip:
                validity[i // 8] |= 1 << (i % 8)
        nulls = sum(v is None for v in values)
        self.keep = [ctypes.create_string_buffer(bytes(b), max(len(b), 1))
                     for b in (validity, offsets, b"".join(rows))]
        pointers = (c_void_p * 3)(*[ctypes.addressof(b) for b in self.keep])
        if nulls == 0 and fdp.ConsumeBool():
            pointers[0] = None
        self.keep.append(pointers)
        length, offset, null_count = len(values), skip, nulls if fdp.ConsumeBool() else -1
        # Positions no buffer can hold (past PTRDIFF_MAX bytes of offsets),
        # counts out of range.
        if lie == 3:
            offset = [2**62, 3 << 61, 2**63 - 2, 2**61 + 1][fdp.ConsumeIntInRange(0, 3)]
        elif lie == 4:
            length = [2**62, 2**63 - 1, 2**61 + 7][fdp.ConsumeIntInRange(0, 2)]
        elif lie == 5:
            null_count = length + fdp.ConsumeIntInRange(1, 3)
        elif lie == 6:
            length = -fdp.ConsumeIntInRange(1, 3)
        if lie in (3, 4, 5, 6):
            self.lie = lie
        self.fmt = fmt
        self.array = CArrowArray(length, null_count, offset, 3, 0, ctypes.addressof(pointers),
                                 None, None, ctypes.cast(_release_array, c_void_p), None)

    def __arrow_c_array__(self, requested_schema=None):
        schema = CArrowSchema(self.fmt, b"", None, 2, 0, None, None,
                              ctypes.cast(_release_schema, c_void_p), None)
        self.keep.append(schema)
        return (_capsule_new(ctypes.addressof(schema), b"arrow_schema", None),
                _capsule_new(ctypes.addressof(self.array), b"arrow_array", None))


def read_arrow(result):
    if pa is None:
        return None
    return pa.array(result).to_pylist() if not isinstance(result, (pa.Array, pa.ChunkedArray)) \
        else result.to_pylist()


def column_threads(fdp):
    choice = fdp.ConsumeIntInRange(0, 15)
    if choice < 12:
        return [None, 1, 2, 3, 4, 8][choice % 6], True
    return [0, -1, True, "2", 1.5, -2**70][fdp.ConsumeIntInRange(0, 5)], False


def column_errors(fdp):
    choice = fdp.ConsumeIntInRange(0, 15)
    if choice < 13:
        return ["raise", "null", StrSub("null")][choice % 3], True
    return ["ignore", b"null", None][choice - 13], False


def column_srid(fdp):
    choice = fdp.ConsumeIntInRange(0, 15)
    if choice < 12:
        return [None, False, 0, 4326, -1, 2**31 - 1][choice % 6], True
    return [True, 2**40, "4326", 1.5][choice - 12], False


def check_column_input(fdp):
    name, kind, params, required = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    fn, scalar = getattr(gcol, name), getattr(gw, name)
    RAISED.clear()
    rows = [column_row(fdp, kind) for _ in range(fdp.ConsumeIntInRange(0, 8))]
    args, valid = [], True
    if "srid" in params and (required == 2 or fdp.ConsumeBool()):
        srid, ok = column_srid(fdp)
        if name == "to_ewkb_header" and srid is None:
            ok = False
        args.append(srid)
        valid &= ok
    if "normalize_wkt" in params and len(args) == 1 and fdp.ConsumeBool():
        flag = fdp.ConsumeBool()
        args.append(flag)
    kw = {}
    if fdp.ConsumeBool():
        kw["errors"], ok = column_errors(fdp)
        valid &= ok
    if fdp.ConsumeBool():
        kw["threads"], ok = column_threads(fdp)
        valid &= ok
    to_null = isinstance(kw.get("errors"), str) and str.__eq__(kw["errors"], "null")

    # The column: Python rows, a pyarrow array or a forged producer.
    how = fdp.ConsumeIntInRange(0, 5)
    plain_rows = all(r[1] in (Row.MISSING, Row.VALUE) and (r[0] is None or type(r[0]) is bytes
                     or (isinstance(r[0], str) and encodable(r[0]))) for r in rows)
    text = bool(rows) and all(r[0] is None or isinstance(r[0], str) for r in rows)
    binary = all(r[0] is None or type(r[0]) is bytes for r in rows)
    lie = 0
    values = [r[2] if r[1] == Row.VALUE else None for r in rows]
    if how == 4 and pa is not None and plain_rows and (text or binary):
        rows = [(v, Row.VALUE if v is not None else Row.MISSING, v) for v in
                (str.__str__(v) if isinstance(v, str) else v for v in values)]
        column, read = arrow_column(fdp, [r[0] for r in rows], text), read_arrow
        if (kind == "bytes" and text) or (kind == "text" and not text):
            valid = False  # refused as a whole with a TypeError
    elif how == 5 and plain_rows and (text or binary):
        rows = [(v, Row.VALUE if v is not None else Row.MISSING, v) for v in
                (str.__str__(v) if isinstance(v, str) else v for v in values)]
        column = Forged(fdp, [r[0] for r in rows], text)
        read, lie = read_arrow, column.lie
        if (kind == "bytes" and text) or (kind == "text" and not text):
            valid = False
    else:
        column, read = make_column(fdp, [r[0] for r in rows], kind)
    for r in rows:
        if isinstance(r[0], Emptier):
            r[0].armed = True

    if fdp.ConsumeIntInRange(0, 15) == 0:
        # Keyword names that are not str, through the vectorcall protocol.
        key = [1, 1.5, b"errors", None][fdp.ConsumeIntInRange(0, 3)]
        got = outcome(vectorcall, (fn, [column, "null"], (key,)), {})
        assert got[0] == "err" and got[1] is TypeError and \
            got[2].endswith("keywords must be strings"), f"{name}: non-str keyword {got[:3]}"
        return
    got = outcome(fn, [column] + args, kw)
    if got[0] == "err":
        exc = got[3]
        if isinstance(exc, Hostile):
            assert any(exc is r for r in RAISED), f"{name}: a Hostile no row raised: {exc!r}"
        elif not isinstance(exc, ALLOWED) or isinstance(exc, SystemError):
            raise AssertionError(f"{name}: undocumented {type(exc).__name__}: {exc}") from exc
    if not valid:
        assert got[0] == "err", f"{name}: invalid arguments accepted"
        return
    if lie:
        assert got[0] == "err" and got[1] is ValueError, f"{name}: a lie (#{lie}) gave {got[:3]}"
        return

    # The oracle: the scalar function row by row.
    stops = []  # (row, expected type or exception, scalar exception or None)
    outcomes = []
    for i, (obj, what, value) in enumerate(rows):
        if what == Row.MISSING:
            outcomes.append(None)
        elif what == Row.WRONG:
            stops.append((i, TypeError, None))
            outcomes.append(None)
        elif what == Row.RAISES:
            stops.append((i, Hostile, None))
            outcomes.append(None)
        else:
            o = outcome(scalar, [value] + args, {})
            outcomes.append(o)
            if o[0] == "err" and not to_null:
                stops.append((i, o[1], o[3]))
    if stops:
        row, want, scalar_exc = stops[0]
        assert got[0] == "err" and issubclass(got[1], want), \
            f"{name}: row {row} should raise {want.__name__}, got {got[:3]}"
        notes = getattr(got[3], "__notes__", [])
        assert notes and notes[-1] == f"row {row}", f"{name}: notes {notes} for row {row}"
        if scalar_exc is not None:
            hinted = not isinstance(rows[row][0], Emptier)  # hints read str, bytes, bytearray
            hints = getattr(scalar_exc, "__notes__", [])
            assert got[2] == str(scalar_exc) and (not hinted or notes[:-1] == hints), \
                f"{name}: row {row}: {got[:3]} {notes} against the scalar's {scalar_exc!r} {hints}"
        return
    assert got[0] == "ok", f"{name}: {got[:3]} where every row converts"
    result = got[1]
    if read is read_arrow and pa is None:
        return
    split = name.endswith("_split_srid")
    parts = [read(p) for p in result] if split else [read(result)]
    for i, o in enumerate(outcomes):
        want = None if o is None or o[0] == "err" else o[1]
        have = tuple(p[i] for p in parts) if split else parts[0][i]
        if split and want is None:
            want = (None, None)
        assert have == want, f"{name}: row {i}: {have!r}, the scalar function gives {want!r}"


def main():
    # Hostile __release_buffer__ failures are reported as unraisable; they are
    # expected here and must not flood the log.
    sys.unraisablehook = lambda unraisable: None
    atheris.instrument_func(test_one_input)
    for f in (check_column_input, column_row, make_column, arrow_column, column_threads,
              column_errors, column_srid):
        atheris.instrument_func(f)
    for f in (check_one_input, forged_view, buffer_forms, text_forms, source_content, source_argument, srid_argument,
              normalize_argument, call_args, HostileModule, HostileIndex, HostileBuffer):
        atheris.instrument_func(f)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
