"""Module object, argument binding, the srid option and bytes-like acquisition."""

import array
import ctypes
import inspect
import pickle
import sys

import numpy as np
import pytest

import geoweave
from conftest import wkb_point

FULL_ORDER = [
    "wkb_to_wkt", "wkb_to_wkt_split_srid", "wkt_to_wkb", "wkt_to_wkb_split_srid",
    "wkt_to_hex_wkb", "hex_wkb_to_wkt", "to_wkb", "to_wkt", "to_hex_wkb", "wkb_header_srid",
    "to_wkb_no_srid_header", "to_ewkb_header",
]

P = wkb_point(1.0, 2.0)
P_SRID = wkb_point(1.0, 2.0, srid=4326)
TEXT = "POINT (1 2)"
BUFFER_MSG = "wkb must be a contiguous one-byte buffer"
SRID_TRUE = "srid=True is not valid; pass an integer SRID, False, or None"
SRID_INVALID = "srid must be None, False, or an integer"
SRID_RANGE = ("srid is out of the allowed range: must fit in a 32-bit integer "
              "(-2147483648 to 2147483647)")


def raises(exc, message, fn, *args, **kw):
    with pytest.raises(exc) as info:
        fn(*args, **kw)
    assert type(info.value) is exc
    assert info.value.args == (message,)
    return info.value


# --- module object ------------------------------------------------------------------

def test_all_lists_registered_functions_in_table_order():
    assert geoweave.__all__ == [n for n in FULL_ORDER if hasattr(geoweave, n)]
    assert type(geoweave.__all__) is list
    assert geoweave.__all__[:2] == ["wkb_to_wkt", "wkb_to_wkt_split_srid"]
    for name in geoweave.__all__:
        fn = getattr(geoweave, name)
        assert callable(fn)
        assert fn.__name__ == fn.__qualname__ == name
        assert fn.__module__ == "geoweave"
        assert fn.__self__ is geoweave


def load_fresh_module(preset_all):
    import importlib.util
    found = importlib.util.find_spec("geoweave")
    module = found.loader.create_module(found)
    if preset_all is not None:
        module.__all__ = preset_all
    found.loader.exec_module(module)
    return module


def test_fresh_module_instances():
    fresh = load_fresh_module(None)
    assert fresh is not geoweave
    assert fresh.__all__ == geoweave.__all__
    assert fresh.wkb_to_wkt.__self__ is fresh
    assert fresh.wkb_to_wkt(P) == TEXT
    # an existing list is appended to
    fresh = load_fresh_module(["keep"])
    assert fresh.__all__ == ["keep"] + geoweave.__all__


def test_existing_all_that_is_not_a_list_fails_the_exec_step():
    with pytest.raises(TypeError):
        load_fresh_module(("keep",))


def test_module_doc_is_empty_string():
    assert geoweave.__doc__ == ""
    assert geoweave.__name__ == "geoweave"


DOCS = {
    "wkb_to_wkt": (
        "(wkb, srid=None)",
        "Converts WKB/EWKB bytes-like input to a WKT/EWKT string.\n"
        "\n"
        "``wkb`` may be ``bytes``, ``bytearray``, ``memoryview``, or another\n"
        "C-contiguous one-byte buffer object. It is always treated as raw WKB/EWKB.\n"
        "For performance, bytes-like inputs may be borrowed directly without\n"
        "copying; mutating a writable buffer during conversion is unsupported and may\n"
        "produce invalid or inconsistent results.\n"
        "\n"
        "*srid* controls SRID handling in the output:\n"
        "- ``None`` (default): mirror the input \u2014 ``SRID=N;`` prefix kept if present,"
        " absent if not.\n"
        "- ``False``: always strip the ``SRID=N;`` prefix from the output.\n"
        "- integer: always prepend ``SRID=N;``, overriding whatever the input contains."),
    "wkb_to_wkt_split_srid": (
        "(wkb)",
        "Converts WKB/EWKB bytes-like input to a WKT string and returns the SRID separately.\n"
        "The returned WKT string does not contain a `SRID=N;` prefix.\n"
        "\n"
        "For performance, bytes-like inputs may be borrowed directly without\n"
        "copying; mutating a writable buffer during conversion is unsupported and may\n"
        "produce invalid or inconsistent results."),
}


@pytest.mark.parametrize("name", DOCS)
def test_docstrings_and_signatures(name):
    fn = getattr(geoweave, name)
    text_signature, doc = DOCS[name]
    assert fn.__text_signature__ == text_signature
    assert fn.__doc__ == doc
    assert str(inspect.signature(fn)) == text_signature
    for p in inspect.signature(fn).parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


@pytest.mark.parametrize("name", FULL_ORDER)
def test_functions_pickle_by_reference(name):
    if not hasattr(geoweave, name):
        pytest.skip(f"{name} not registered yet")
    fn = getattr(geoweave, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn


def test_module_does_not_enable_the_gil():
    if not hasattr(sys, "_is_gil_enabled") or sys._is_gil_enabled():
        pytest.skip("GIL build: Py_mod_gil cannot be observed")
    assert not sys._is_gil_enabled()


# --- argument binding -------------------------------------------------------------------

w, s = geoweave.wkb_to_wkt, geoweave.wkb_to_wkt_split_srid


@pytest.mark.parametrize("fn, args, kwargs, message", [
    (w, (), {}, "wkb_to_wkt() missing 1 required positional argument: 'wkb'"),
    (w, (), {"srid": 4326}, "wkb_to_wkt() missing 1 required positional argument: 'wkb'"),
    (w, (P, None, 1), {}, "wkb_to_wkt() takes from 1 to 2 positional arguments but 3 were given"),
    (w, (P, None, 1, 2), {"srid": 1},
     "wkb_to_wkt() takes from 1 to 2 positional arguments but 4 were given"),
    (w, (P,), {"wkb": P}, "wkb_to_wkt() got multiple values for argument 'wkb'"),
    (w, (P, None), {"srid": None}, "wkb_to_wkt() got multiple values for argument 'srid'"),
    (w, (P,), {"sird": 1}, "wkb_to_wkt() got an unexpected keyword argument 'sird'"),
    (w, (P,), {"WKB": P}, "wkb_to_wkt() got an unexpected keyword argument 'WKB'"),
    (w, (P,), {"srid\u00e9": 1}, "wkb_to_wkt() got an unexpected keyword argument 'srid\u00e9'"),
    # keywords are taken in the order given
    (w, (P,), {"wkb": P, "sird": 1}, "wkb_to_wkt() got multiple values for argument 'wkb'"),
    (w, (P,), {"sird": 1, "wkb": P}, "wkb_to_wkt() got an unexpected keyword argument 'sird'"),
    # an unknown keyword is reported before a missing argument
    (w, (), {"x": 1}, "wkb_to_wkt() got an unexpected keyword argument 'x'"),
    # binding errors come before any srid or wkb check
    (w, (None, True, 3), {}, "wkb_to_wkt() takes from 1 to 2 positional arguments but 3 were given"),
    (w, (None,), {"srid": True, "bad": 1}, "wkb_to_wkt() got an unexpected keyword argument 'bad'"),
    (s, (), {}, "wkb_to_wkt_split_srid() missing 1 required positional argument: 'wkb'"),
    (s, (P, P), {}, "wkb_to_wkt_split_srid() takes 1 positional arguments but 2 were given"),
    (s, (P, P, P), {}, "wkb_to_wkt_split_srid() takes 1 positional arguments but 3 were given"),
    (s, (P,), {"srid": None}, "wkb_to_wkt_split_srid() got an unexpected keyword argument 'srid'"),
    (s, (), {"srid": None},
     "wkb_to_wkt_split_srid() got an unexpected keyword argument 'srid'"),
    (s, (P,), {"wkb": P}, "wkb_to_wkt_split_srid() got multiple values for argument 'wkb'"),
])
def test_binding_errors(fn, args, kwargs, message):
    raises(TypeError, message, fn, *args, **kwargs)


def test_keyword_binding():
    assert w(wkb=P) == TEXT
    assert w(srid=5, wkb=P) == "SRID=5;" + TEXT
    assert w(P, srid=None) == w(P) == w(P, None) == TEXT
    assert s(wkb=P_SRID) == (TEXT, 4326)


def test_odd_keyword_names_do_not_crash():
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        w(P, **{"\ud800": 1})
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        w(P, **{"wkb\x00": 1})


# --- srid option --------------------------------------------------------------------------

class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class IntSub(int):
    def __index__(self):        # never consulted: int subclasses are ints
        raise RuntimeError("not called")


class KeyErrorOnAttr:
    def __getattr__(self, name):
        if name == "__index__":
            raise KeyError(name)
        raise AttributeError(name)


class AttributeErrorSub(AttributeError):
    pass


class AttrSubOnAttr:
    def __getattr__(self, name):
        raise AttributeErrorSub(name)


class PropertyIndex:
    @property
    def __index__(self):
        raise AttributeError("nope")


def instance_index(value):
    class Plain:
        pass
    obj = Plain()
    obj.__index__ = lambda: value
    return obj


PREFIX = "SRID={};" + TEXT


@pytest.mark.parametrize("srid, result", [
    (None, "mirror"), (False, TEXT), (0, TEXT), (-1, TEXT), (-5, TEXT),
    (-2**31, TEXT), (1, PREFIX.format(1)), (3857, PREFIX.format(3857)),
    (2**31 - 1, PREFIX.format(2**31 - 1)),
    (IntSub(4326), PREFIX.format(4326)), (IntSub(-3), TEXT),
    (Index(4326), PREFIX.format(4326)), (Index(IntSub(77)), PREFIX.format(77)),
    (Index(0), TEXT), (Index(-2**31), TEXT), (instance_index(3857), PREFIX.format(3857)),
    (np.int64(4326), PREFIX.format(4326)), (np.int32(-5), TEXT), (np.uint8(7), PREFIX.format(7)),
    (np.int16(0), TEXT),
])
def test_srid_accepted(srid, result):
    for wkb in (P, P_SRID):
        want = ("SRID=4326;" + TEXT if wkb is P_SRID else TEXT) if result == "mirror" else result
        assert w(wkb, srid) == want
        assert w(wkb, srid=srid) == want


@pytest.mark.parametrize("srid, exc, message", [
    (True, ValueError, SRID_TRUE),
    (2**31, ValueError, SRID_RANGE), (-2**31 - 1, ValueError, SRID_RANGE),
    (2**63, ValueError, SRID_RANGE), (2**64 + 1, ValueError, SRID_RANGE),
    (-2**200, ValueError, SRID_RANGE), (IntSub(2**40), ValueError, SRID_RANGE),
    (np.uint64(2**63), ValueError, SRID_RANGE), (np.int64(-2**40), ValueError, SRID_RANGE),
    (Index(2**31), ValueError, SRID_RANGE), (Index(-2**100), ValueError, SRID_RANGE),
    (4326.0, ValueError, SRID_INVALID), ("4326", ValueError, SRID_INVALID),
    (b"4326", ValueError, SRID_INVALID), ([4326], ValueError, SRID_INVALID),
    (np.float64(4326), ValueError, SRID_INVALID), (np.True_, ValueError, SRID_INVALID),
    (Index(True), ValueError, SRID_INVALID), (Index(False), ValueError, SRID_INVALID),
    (Index(4326.0), ValueError, SRID_INVALID), (Index("4326"), ValueError, SRID_INVALID),
    (Index(None), ValueError, SRID_INVALID), (AttrSubOnAttr(), ValueError, SRID_INVALID),
    (PropertyIndex(), ValueError, SRID_INVALID),
    (Index(RuntimeError("boom")), RuntimeError, "boom"),
    (Index(TypeError("t")), TypeError, "t"),
    (Index(AttributeError("inside")), AttributeError, "inside"),
    (KeyErrorOnAttr(), KeyError, "__index__"),
    (instance_index(True), ValueError, SRID_INVALID),
])
def test_srid_rejected(srid, exc, message):
    raises(exc, message, w, P, srid)
    # the srid is examined before the wkb: a broken wkb does not change the error
    for bad_wkb in (None, "0101", b"", array.array("H", [1])):
        raises(exc, message, w, bad_wkb, srid=srid)


def test_wkb_errors_after_a_good_srid():
    raises(BufferError, BUFFER_MSG, w, None, srid=4326)
    raises(ValueError, "invalid WKB: unexpected end of data", w, b"", srid=False)


# --- bytes-like acquisition ------------------------------------------------------------------

class BytesSub(bytes):
    pass


def c_contiguous_2d():
    return np.ascontiguousarray(np.frombuffer(P, dtype=np.uint8).reshape(3, 7))


@pytest.mark.parametrize("make", [
    lambda: P, lambda: BytesSub(P), lambda: bytearray(P), lambda: memoryview(P),
    lambda: memoryview(bytearray(P)), lambda: array.array("B", P), lambda: array.array("b", P),
    lambda: memoryview(P).cast("c"), lambda: memoryview(P).cast("b"),
    lambda: memoryview(P).cast("B", (3, 7)),
    lambda: memoryview(b"xx" + P + b"yy")[2:-2],
    lambda: np.frombuffer(P, dtype=np.uint8), lambda: np.frombuffer(P, dtype=np.int8),
    lambda: np.frombuffer(P, dtype=np.uint8).reshape(3, 7), c_contiguous_2d,
    lambda: np.frombuffer(P, dtype=np.uint8).reshape(21, 1, 1),
    lambda: np.frombuffer(P, dtype="S1"),
], ids=["bytes", "bytes_sub", "bytearray", "mv_bytes", "mv_bytearray", "array_B", "array_b",
        "mv_c", "mv_b", "mv_2d", "mv_slice", "np_u8", "np_i8", "np_2d", "np_copy_2d", "np_3d",
        "np_S1"])
def test_bytes_like_accepted(make):
    obj = make()
    assert w(obj) == TEXT
    assert s(obj) == (TEXT, None)


@pytest.mark.parametrize("obj", [
    None, "0101000000000000000000F03F0000000000000040", 21, 1.5, [1, 2], (1,), object(),
    array.array("H", P[:20]), array.array("d", [1.0]), memoryview(P)[::2],
    memoryview(bytearray(P))[::-1], np.frombuffer(P[:20], dtype=np.uint16),
    np.frombuffer(P, dtype=np.uint8).reshape(3, 7).T, np.frombuffer(P, dtype=np.uint8)[::2],
    np.asfortranarray(np.frombuffer(P, dtype=np.uint8).reshape(3, 7)),
    memoryview(np.frombuffer(P, dtype=np.uint8).reshape(3, 7)[:, ::2]),
], ids=["None", "str", "int", "float", "list", "tuple", "object", "array_H", "array_d",
        "mv_step2", "mv_reversed", "np_u16", "np_T", "np_step", "np_fortran", "mv_2d_step"])
def test_bytes_like_rejected(obj):
    raises(BufferError, BUFFER_MSG, w, obj)
    raises(BufferError, BUFFER_MSG, s, obj)
    raises(BufferError, BUFFER_MSG, w, obj, srid=False)


@pytest.mark.parametrize("obj, message", [
    (ctypes.c_ubyte(1), "shape is null"),
    ((ctypes.c_ubyte * 21).from_buffer_copy(P), "strides is null"),
])
def test_views_without_shape_or_strides(obj, message):
    raises(BufferError, message, w, obj)
    raises(BufferError, message, s, obj)


def test_buffer_request_errors_other_than_typeerror_propagate():
    mv = memoryview(P)
    mv.release()
    with pytest.raises(ValueError, match="released memoryview"):
        w(mv)
    with pytest.raises(ValueError, match="released memoryview"):
        s(mv)


@pytest.mark.parametrize("empty", [b"", bytearray(), memoryview(b""), array.array("B"),
                                   np.zeros(0, np.uint8), np.zeros((0, 5), np.uint8)],
                         ids=["bytes", "bytearray", "mv", "array", "np", "np_2d"])
def test_empty_inputs_reach_the_reader(empty):
    raises(ValueError, "invalid WKB: unexpected end of data", w, empty)
    raises(ValueError, "invalid WKB: unexpected end of data", s, empty)


class Exporter:
    """Counts buffer exports and releases through the Python buffer protocol."""

    def __init__(self, data, on_buffer=None):
        self.data, self.on_buffer = data, on_buffer
        self.acquired = self.released = 0
        self.flags = []

    def __buffer__(self, flags):
        self.flags.append(flags)
        if self.on_buffer:
            raise self.on_buffer
        self.acquired += 1
        return memoryview(self.data)

    def __release_buffer__(self, view):
        self.released += 1
        view.release()


@pytest.mark.parametrize("data, call, exc", [
    (P, lambda o: w(o), None),
    (P_SRID, lambda o: w(o, srid=False), None),
    (P, lambda o: w(o, srid=7), None),
    (P, lambda o: s(o), None),
    (P + b"\x00", lambda o: w(o), ValueError),
    (P[:-1], lambda o: w(o, srid=7), ValueError),
    (b"\x01\x09\x00\x00\x00", lambda o: s(o), ValueError),
    (array.array("H", P[:20]), lambda o: w(o), BufferError),
    (memoryview(P)[::2], lambda o: s(o), BufferError),
], ids=range(9))
def test_buffer_view_released_on_every_path(data, call, exc):
    obj = Exporter(data)
    if exc:
        with pytest.raises(exc):
            call(obj)
    else:
        call(obj)
    assert obj.flags == [284]  # PyBUF_FULL_RO
    assert obj.acquired == obj.released == 1


class BytesWithBuffer(bytes):
    def __buffer__(self, flags):
        return memoryview(b"garbage")


def test_bytes_subclass_read_from_its_own_storage():
    assert w(BytesWithBuffer(P)) == TEXT


def test_buffer_hook_returning_non_memoryview():
    class Bad:
        def __buffer__(self, flags):
            return 42
    raises(BufferError, BUFFER_MSG, w, Bad())


def test_no_buffer_taken_when_srid_is_bad():
    obj = Exporter(P)
    with pytest.raises(ValueError):
        w(obj, srid=True)
    assert obj.flags == []


@pytest.mark.parametrize("error, exc, message", [
    (TypeError("no buffer here"), BufferError, BUFFER_MSG),
    (KeyError("k"), KeyError, "k"),
    (BufferError("busy"), BufferError, "busy"),
])
def test_buffer_hook_errors(error, exc, message):
    raises(exc, message, w, Exporter(P, on_buffer=error))


@pytest.mark.parametrize("data, srid, exc", [
    (P, None, None), (P_SRID, 3857, None), (P + b"\x00", None, ValueError),
    (b"\x01\x08\x00\x00\x00", False, ValueError), (b"", 5, ValueError),
])
def test_resizable_exporters_can_resize_afterwards(data, srid, exc):
    for obj in (bytearray(data), array.array("B", data)):
        for call in (lambda: w(obj, srid), lambda: s(obj)):
            if exc:
                with pytest.raises(exc):
                    call()
            else:
                call()
            obj.append(0)   # BufferError if an export were still held
            obj.pop()


def test_rejected_view_is_released():
    arr = array.array("H", P[:20])
    raises(BufferError, BUFFER_MSG, w, arr)
    arr.append(1)
    ba = bytearray(P)
    mv = memoryview(ba)[::2]
    raises(BufferError, BUFFER_MSG, s, mv)
    mv.release()        # BufferError if the function still held an export of mv
    ba.append(0)


def test_same_text_for_every_container():
    for data in (P_SRID, wkb_point(1.5, -2.25, 3.0, order=">", srid=-1)):
        want = w(data)
        for obj in (bytearray(data), memoryview(data), array.array("B", data),
                    np.frombuffer(data, np.uint8)):
            assert w(obj) == want
            assert s(obj) == s(data)
