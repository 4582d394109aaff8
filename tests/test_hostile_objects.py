"""Argument objects built to break the surface: attributes Python code can set
to anything, buffer views that disagree with themselves, keyword names that
are not what they seem, callbacks that change the source before it is read.

Each row is (call, expected): expected is the result, or an exception class
with the message it must carry (None: any message).
"""

import ctypes
import struct

import pytest

import geoweave as gw

from conftest import wkb_point

POINT_WKB = wkb_point(1.0, 2.0)


class Hostile(Exception):
    pass


def fake_numpy_type(module, name="bool_", **namespace):
    cls = type(name, (), namespace)
    cls.__module__ = module
    return cls


def raise_hostile(*_):
    raise Hostile("from the object itself")


class UnprintableTypeError(TypeError):
    def __str__(self):
        raise RuntimeError("cannot print me")


def raise_unprintable(_self):
    raise UnprintableTypeError()


class AnyKey(str):
    """A keyword name that compares unequal to everything, itself included."""

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 1


class ShrinkingIndex:
    """An SRID whose __index__ cuts the trailing junk off the source."""

    def __init__(self, source, keep):
        self.source, self.keep = source, keep

    def __index__(self):
        del self.source[self.keep:]
        return 4326


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p),
                ("len", ctypes.c_ssize_t), ("itemsize", ctypes.c_ssize_t),
                ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


_KEEP = []  # memory behind the forged views lives as long as the tests


def forged_view(data, *, length, shape):
    """A memoryview whose exporter states `length` bytes over `shape`, as a
    C extension could; the memory itself holds `data`."""
    memory = ctypes.create_string_buffer(data, max(len(data), 1))
    shape_arr = (ctypes.c_ssize_t * 1)(shape)
    strides = (ctypes.c_ssize_t * 1)(1)
    info = PyBuffer(ctypes.addressof(memory), None, length, 1, 1, 1, b"B",
                    shape_arr, strides, None, None)
    make = ctypes.pythonapi.PyMemoryView_FromBuffer
    make.restype, make.argtypes = ctypes.py_object, [ctypes.POINTER(PyBuffer)]
    view = make(ctypes.byref(info))
    _KEEP.append((memory, view))
    return view


def vectorcall(fn, args, kwnames):
    """Calls fn through the vectorcall protocol with any kwnames tuple."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                     ctypes.py_object]
    arr = (ctypes.py_object * len(args))(*args)
    return call(fn, arr, len(args) - len(kwnames), kwnames)


NOT_BOOL = "argument 'normalize_wkt': 'bool_' object is not an instance of 'bool'"
ISSUE_REPRO_MODULE = (b"\x20\0\0\0" + b"\0" * 4 + struct.pack("<Q", 5)
                      + struct.pack("<Q", 0x4141414141414141))
BUFFER_MSG = "wkb must be a contiguous one-byte buffer"

CASES = [
    # A type's __module__ may be any object: never read as text unless a str.
    ("module forged bytes", lambda: gw.to_wkt(
        "POINT(1 2)", normalize_wkt=fake_numpy_type(ISSUE_REPRO_MODULE)()), TypeError, NOT_BOOL),
    ("module b'numpy'", lambda: gw.to_wkt(
        "POINT(1 2)", normalize_wkt=fake_numpy_type(b"numpy")()), TypeError, NOT_BOOL),
    ("module int", lambda: gw.to_wkt(
        "POINT(1 2)", normalize_wkt=fake_numpy_type(12345)()), TypeError, NOT_BOOL),
    ("module None", lambda: gw.to_wkt(
        "POINT(1 2)", normalize_wkt=fake_numpy_type(None)()), TypeError, NOT_BOOL),
    ("module str subclass 'numpy'", lambda: gw.to_wkt(
        "point(1 2)", normalize_wkt=fake_numpy_type(
            type("S", (str,), {})("numpy"), __bool__=lambda self: True)()),
     "POINT (1 2)", None),
    ("numpy-like __bool__ raises", lambda: gw.to_wkt(
        "POINT(1 2)", normalize_wkt=fake_numpy_type("numpy", __bool__=raise_hostile)()),
     Hostile, "from the object itself"),
    ("numpy-like without __bool__", lambda: gw.to_wkt(
        "POINT(1 2)", normalize_wkt=fake_numpy_type("numpy", "bool")()), TypeError,
     "argument 'normalize_wkt': object of type '<class 'numpy.bool'>' "
     "does not define a '__bool__' conversion"),
    # A TypeError whose str() fails reaches the caller as it was raised.
    ("unprintable TypeError from __bool__", lambda: gw.to_wkt(
        "POINT(1 2)", normalize_wkt=fake_numpy_type("numpy", __bool__=raise_unprintable)()),
     UnprintableTypeError, None),
    # The source is borrowed after srid's __index__ ran, so what it did is seen.
    ("__index__ shrinks the bytearray source", lambda: gw.wkb_to_wkt(
        (src := bytearray(POINT_WKB + b"junk")), srid=ShrinkingIndex(src, len(POINT_WKB))),
     "SRID=4326;POINT (1 2)", None),
    ("__index__ shrinks the to_wkb source", lambda: gw.to_wkb(
        (src := bytearray(POINT_WKB + b"junk")), srid=ShrinkingIndex(src, len(POINT_WKB))),
     gw.to_ewkb_header(POINT_WKB, 4326), None),
    # Views whose length disagrees with their shape are never read.
    ("view longer than its shape", lambda: gw.wkb_to_wkt(
        forged_view(POINT_WKB, length=len(POINT_WKB) + 64, shape=len(POINT_WKB))),
     BufferError, BUFFER_MSG),
    ("view with negative length", lambda: gw.wkb_header_srid(
        forged_view(POINT_WKB, length=-1, shape=len(POINT_WKB))),
     BufferError, "source must be a contiguous one-byte buffer"),
    ("view shorter than its shape", lambda: gw.to_hex_wkb(
        forged_view(POINT_WKB, length=3, shape=len(POINT_WKB))),
     BufferError, "source must be a contiguous one-byte buffer"),
    ("consistent forged view", lambda: gw.wkb_to_wkt(
        forged_view(POINT_WKB, length=len(POINT_WKB), shape=len(POINT_WKB))),
     "POINT (1 2)", None),
    # Keyword names are matched by their text, never by their own __eq__.
    ("str subclass keyword names", lambda: gw.wkb_to_wkt(
        **{AnyKey("wkb"): POINT_WKB, AnyKey("srid"): 3857}), "SRID=3857;POINT (1 2)", None),
    ("keyword name that is not a str", lambda: vectorcall(
        gw.wkb_to_wkt, [POINT_WKB, 4326], (1,)), TypeError,
     "wkb_to_wkt() keywords must be strings"),
    # Exporters that refuse or misbehave.
    ("__buffer__ raises its own", lambda: gw.wkb_to_wkt(
        type("E", (), {"__buffer__": raise_hostile})()), Hostile, "from the object itself"),
    ("__buffer__ returns no memoryview", lambda: gw.wkb_to_wkt(
        type("E", (), {"__buffer__": lambda self, flags: b"x"})()), BufferError, BUFFER_MSG),
    ("__release_buffer__ raises", lambda: gw.wkb_to_wkt(
        type("E", (), {"__buffer__": lambda self, flags: memoryview(POINT_WKB),
                       "__release_buffer__": raise_hostile})()), "POINT (1 2)", None),
    ("2-D C-contiguous view read flat", lambda: gw.wkb_to_wkt(
        memoryview(POINT_WKB).cast("B", shape=[3, 7])), "POINT (1 2)", None),
]


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("call, expected, message", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_hostile_argument_objects(call, expected, message):
    if isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected) as info:
            call()
        assert type(info.value) is expected
        if message is not None:
            assert str(info.value) == message
    else:
        assert call() == expected
