"""Results of every size, from empty to tens of megabytes.

Small results are assembled in room on the stack and copied once; larger ones
are written straight into the str or bytes object, which grows while the
conversion runs and is cut to size at the end. These tests walk the sizes
around both edges (the stack room, the first reservation, the growth steps)
and check every function against results computed independently, so that a
result object that kept stale bytes, lost a tail or kept its spare room would
show.
"""

import functools
import random
import struct
import threading
from decimal import Decimal

import pytest

import geoweave
from conftest import header, type_word, u32

SIZES = [1, 2, 100, 170, 171, 172, 250, 255, 256, 257, 400, 1000, 20_000, 300_000]


def linestring(n, seed, order="<", srid=None):
    rng = random.Random(seed)
    coords = [rng.choice((rng.uniform(-180, 180), float(rng.randrange(-999, 999)), 0.5))
              for _ in range(2 * n)]
    wkb = header(2, order=order, srid=srid) + u32(n, order) + struct.pack(f"{order}{2 * n}d", *coords)
    return wkb, coords


def expected_text(coords):
    # repr gives the shortest digits; these values never need an exponent
    def fmt(x):
        return str(int(x)) if x == int(x) else repr(x)
    pairs = ", ".join(f"{fmt(coords[i])} {fmt(coords[i + 1])}" for i in range(0, len(coords), 2))
    return f"LINESTRING ({pairs})"


@pytest.fixture(scope="module", params=SIZES)
def case(request):
    n = request.param
    wkb, coords = linestring(n, n)
    return wkb, expected_text(coords)


def test_wkb_to_wkt_every_srid_option(case):
    wkb, text = case
    assert geoweave.wkb_to_wkt(wkb) == text
    assert geoweave.wkb_to_wkt(wkb, srid=False) == text
    assert geoweave.wkb_to_wkt(wkb, srid=3857) == "SRID=3857;" + text
    assert geoweave.wkb_to_wkt(bytearray(wkb), srid=-1) == text
    assert geoweave.wkb_to_wkt_split_srid(memoryview(wkb)) == (text, None)
    tagged = geoweave.to_ewkb_header(wkb, 4326)
    assert geoweave.wkb_to_wkt(tagged) == "SRID=4326;" + text
    assert geoweave.wkb_to_wkt_split_srid(tagged) == (text, 4326)
    assert geoweave.hex_wkb_to_wkt(tagged.hex()) == "SRID=4326;" + text


def test_wkt_to_wkb_and_hex(case):
    wkb, text = case
    assert geoweave.wkt_to_wkb(text) == wkb
    assert geoweave.wkt_to_wkb("SRID=4326;" + text, srid=False) == wkb
    assert geoweave.wkt_to_wkb_split_srid("SRID=4326;" + text) == (wkb, 4326)
    assert geoweave.wkt_to_hex_wkb(text) == wkb.hex().upper()
    tagged = geoweave.to_ewkb_header(wkb, 3857)
    assert geoweave.wkt_to_wkb(text, srid=3857) == tagged
    assert geoweave.wkt_to_hex_wkb(text, srid=3857) == tagged.hex().upper()


def test_auto_detecting(case):
    wkb, text = case
    hex_text = wkb.hex()
    assert geoweave.to_wkt(wkb) == text
    assert geoweave.to_wkt(hex_text, srid=3857) == "SRID=3857;" + text
    assert geoweave.to_wkt(" " + text.lower() + "\n", normalize_wkt=True) == text
    assert geoweave.to_wkb(hex_text) == wkb
    assert geoweave.to_wkb(f"  {text}  ") == wkb
    assert geoweave.to_hex_wkb(hex_text) == hex_text.upper()
    assert geoweave.to_hex_wkb(text) == hex_text.upper()
    assert geoweave.to_hex_wkb(wkb) == hex_text.upper()


def test_big_endian_input(case):
    wkb, text = case
    n = struct.unpack("<I", wkb[5:9])[0]
    coords = struct.unpack(f"<{2 * n}d", wkb[9:])
    big = header(2, order=">") + u32(n, ">") + struct.pack(f">{2 * n}d", *coords)
    assert geoweave.wkb_to_wkt(big) == text


def test_caller_text_keeps_its_characters():
    # Unvalidated WKT is copied as text, never into an ASCII-only result.
    body = "POINT (1 2) \u00e9\u4e2d" + "x" * 5000
    assert geoweave.to_wkt(body, srid=3857) == "SRID=3857;" + body
    assert geoweave.to_wkt("SRID=4326;" + body, srid=False) == body
    assert geoweave.to_wkt("SRID=0;" + body) == body


@pytest.mark.parametrize("bad", ["00" * 3000 + "GG", "0" * 7001])
def test_failed_hex_attempt_then_wkt_error(bad):
    # The hex decoder gives up part way; the WKT parser then reports the text.
    with pytest.raises(ValueError, match="^invalid WKT: "):
        geoweave.to_wkb(bad)
    with pytest.raises(ValueError, match="^invalid WKT: "):
        geoweave.to_hex_wkb(bad)


def test_errors_after_large_output_leave_nothing_behind():
    wkb, _ = linestring(300_000, 1)
    for cut in (wkb[:-3], wkb + b"\0"):
        with pytest.raises(ValueError, match="^invalid WKB: "):
            geoweave.wkb_to_wkt(cut)
    text = geoweave.wkb_to_wkt(wkb)
    with pytest.raises(ValueError, match="^invalid WKT: "):
        geoweave.wkt_to_wkb(text[:-1])
    with pytest.raises(ValueError, match="^invalid WKT: "):
        geoweave.wkt_to_hex_wkb(text + " x")


def test_empty_results():
    assert geoweave.to_wkb(b"") == b""
    assert geoweave.to_hex_wkb(b"") == ""
    assert geoweave.to_wkt("SRID=0;") == ""


# Where a result is written depends on the room a conversion asks for: room on
# the stack, room each thread reuses (from 128 KiB) and the result object itself,
# a mapping of its own with huge pages from 8 MiB. wkt_to_wkb asks for exactly
# the length of its text and wkt_to_hex_wkb for twice that, so padded text
# lands one below, at and one above each switch (two for hex, which only asks
# for even sizes).
REUSED_FROM = 128 << 10
MAPPED_FROM = 8 << 20


@functools.cache
def linestring_of_text_at_most(length):
    n = (length - 20) // 46  # no vertex is written in more than 46 characters
    wkb, coords = linestring(n, length)
    return expected_text(coords), wkb


def padded_linestring(length):
    """WKT text of exactly `length` characters (spaces after the geometry) and
    its WKB; one geometry serves the three lengths around a switch."""
    text, wkb = linestring_of_text_at_most((length + 4) // 4096 * 4096 - 4096)
    return text + " " * (length - len(text)), wkb


@pytest.mark.parametrize("function, room", [
    *[("wkt_to_wkb", edge + d) for edge in (REUSED_FROM, MAPPED_FROM) for d in (-1, 0, 1)],
    *[("wkt_to_hex_wkb", edge + d) for edge in (REUSED_FROM, MAPPED_FROM) for d in (-2, 0, 2)],
])
def test_results_at_the_switches_of_where_they_are_written(function, room):
    text, wkb = padded_linestring(room if function == "wkt_to_wkb" else room // 2)
    expected = wkb if function == "wkt_to_wkb" else wkb.hex().upper()
    first = in_new_thread(getattr(geoweave, function), text)
    second = getattr(geoweave, function)(text)  # the first is still alive
    assert first == expected and second == expected


def in_new_thread(function, source):
    """function(source) run in a thread of its own, whose reused room starts
    empty, so that growing it is part of the call."""
    results = []
    worker = threading.Thread(target=lambda: results.append(function(source)))
    worker.start()
    worker.join()
    return results[0]


def positional(x):
    """The shortest digits of `x` written without an exponent, as WKT has them."""
    return format(Decimal(repr(x)), "f")


def tiny_linestring(n):
    """A LineString whose text is far longer than three times its WKB, so the
    first reservation is outgrown."""
    rng = random.Random(n)
    values = [rng.uniform(-1, 1) * 1e-10 for _ in range(1009)]
    texts = {v: positional(v) for v in values}
    coords = [rng.choice(values) for _ in range(2 * n)]
    wkb = header(2) + u32(n) + struct.pack(f"<{2 * n}d", *coords)
    pairs = ", ".join(f"{texts[coords[i]]} {texts[coords[i + 1]]}"
                      for i in range(0, 2 * n, 2))
    return wkb, f"LINESTRING ({pairs})"


def short_multipoint_zm(k):
    """MULTIPOINT ZM of one-digit ordinates: its WKB is over three times its text."""
    points = [(i % 10, i // 10 % 10, i // 100 % 10, i * 7 % 10) for i in range(k)]
    text = "MULTIPOINT ZM (" + ", ".join("({} {} {} {})".format(*p) for p in points) + ")"
    point = struct.Struct("<BI4d")
    wkb = header(4, "XYZM") + u32(k) + b"".join(
        point.pack(1, type_word(1, "XYZM"), *p) for p in points)
    return wkb, text


# Results that grow past what was first asked for: inside the reused room, and
# out of it into an object of their own, keeping every byte written so far.
@pytest.mark.parametrize("case", [
    "wkb_to_wkt in the room", "wkb_to_wkt out of the room",
    "wkt_to_wkb in the room", "wkt_to_wkb out of the room",
    "wkt_to_hex_wkb in the room", "wkt_to_hex_wkb out of the room",
])
def test_results_growing_past_their_reservation(case):
    function, _, where = case.partition(" ")
    out = where.endswith("out of the room")
    if function == "wkb_to_wkt":
        # Reserved: three times the WKB, just under 8 MiB for the second.
        wkb, text = tiny_linestring(174_000 if out else 4_000)
        assert in_new_thread(geoweave.wkb_to_wkt, wkb) == text
        return
    wkb, text = short_multipoint_zm(220_000 if out else 20_000)
    if function == "wkt_to_wkb":
        assert in_new_thread(geoweave.wkt_to_wkb, text) == wkb
    else:
        assert in_new_thread(geoweave.wkt_to_hex_wkb, text) == wkb.hex().upper()
