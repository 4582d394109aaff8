"""Checks the Unicode property tables produced by tools/gen_unicode_tables.py.

The generator's ranges are compared, code point by code point, with Python's
unicodedata and with derivations that do not go through the generator's own
parsing.  Python may ship a newer Unicode version than the installed database;
code points assigned in one version but unassigned in the other are left out of
the comparisons, everything else must match.
"""

import importlib.util
import os
import re
import unicodedata
from pathlib import Path

import pytest

UCD_DIR = "/usr/share/unicode"
ROOT = Path(__file__).resolve().parent.parent
TABLES_CPP = ROOT / "src" / "core" / "unicode_tables.cpp"
N = 0x110000

if not os.path.isdir(UCD_DIR):
    pytest.skip(f"{UCD_DIR} missing (install unicode-data)", allow_module_level=True)

_spec = importlib.util.spec_from_file_location(
    "gen_unicode_tables", ROOT / "tools" / "gen_unicode_tables.py")
gen = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(gen)


def expand(ranges):
    """Membership bytes for every code point."""
    out = bytearray(N)
    for first, last in ranges:
        out[first:last + 1] = b"\x01" * (last - first + 1)
    return out


def parse_prop_independently(filename, name):
    """Minimal reader of a UCD property file, separate from the generator's."""
    ranges = []
    pattern = re.compile(r"^([0-9A-F]+)(?:\.\.([0-9A-F]+))?\s*;\s*" + name + r"\s*(?:#|$)")
    with open(os.path.join(UCD_DIR, filename), encoding="utf-8") as f:
        for line in f:
            m = pattern.match(line)
            if m:
                first = int(m.group(1), 16)
                ranges.append((first, int(m.group(2) or m.group(1), 16)))
    assert ranges, name
    return ranges


@pytest.fixture(scope="module")
def props():
    return gen.load_properties(UCD_DIR)


@pytest.fixture(scope="module")
def version_skew():
    """Code points assigned in exactly one of (installed UCD, Python's unicodedata).

    Assignment in the installed UCD comes from DerivedAge.txt, which lists every
    assigned code point, so it does not rely on the generator's parser.
    """
    assigned = expand(parse_prop_independently("DerivedAge.txt", r"[0-9]+\.[0-9]+"))
    skew = bytearray(N)
    for cp in range(N):
        py_assigned = unicodedata.category(chr(cp)) != "Cn"
        # Noncharacters are listed in DerivedAge but are Cn in both versions.
        if py_assigned != bool(assigned[cp]) and not _noncharacter(cp):
            skew[cp] = 1
    return skew


def _noncharacter(cp):
    return 0xFDD0 <= cp <= 0xFDEF or (cp & 0xFFFE) == 0xFFFE


def assert_matches(name, got, expected_fn, skew):
    bad = [cp for cp in range(N) if not skew[cp] and bool(got[cp]) != expected_fn(cp)]
    assert not bad, f"{name}: {len(bad)} mismatches, first {[hex(c) for c in bad[:10]]}"


def test_version_read_from_headers():
    assert re.fullmatch(r"\d+\.\d+\.\d+", gen.ucd_version(UCD_DIR))


def test_skew_is_small(version_skew):
    # Guards against the exclusion silently swallowing the whole comparison.
    assert sum(version_skew) < 10000


@pytest.mark.parametrize("name", ["White_Space", "Alphabetic", "Grapheme_Extend", "printable"])
def test_ranges_sorted_disjoint_and_merged(props, name):
    # The C++ binary search relies on this shape.
    ranges = props[name]
    assert all(first <= last for first, last in ranges)
    assert all(a[1] + 1 < b[0] for a, b in zip(ranges, ranges[1:]))
    assert ranges[0][0] >= 0 and ranges[-1][1] <= 0x10FFFF


def test_white_space(props):
    # The White_Space set is stable across Unicode versions.
    expected = [(0x09, 0x0D), (0x20, 0x20), (0x85, 0x85), (0xA0, 0xA0), (0x1680, 0x1680),
                (0x2000, 0x200A), (0x2028, 0x2029), (0x202F, 0x202F), (0x205F, 0x205F),
                (0x3000, 0x3000)]
    assert props["White_Space"] == expected
    # str.isspace additionally counts the information separators U+001C..U+001F.
    got = expand(props["White_Space"])
    assert_matches("White_Space", got,
                   lambda cp: chr(cp).isspace() and not 0x1C <= cp <= 0x1F, bytearray(N))


def test_alphabetic(props, version_skew):
    # Alphabetic = Lu + Ll + Lt + Lm + Lo + Nl + Other_Alphabetic.
    other = expand(parse_prop_independently("PropList.txt", "Other_Alphabetic"))
    letters = {"Lu", "Ll", "Lt", "Lm", "Lo", "Nl"}
    assert_matches("Alphabetic", expand(props["Alphabetic"]),
                   lambda cp: bool(other[cp]) or unicodedata.category(chr(cp)) in letters,
                   version_skew)


def test_grapheme_extend(props, version_skew):
    # Grapheme_Extend = Me + Mn + Other_Grapheme_Extend.
    other = expand(parse_prop_independently("PropList.txt", "Other_Grapheme_Extend"))
    assert_matches("Grapheme_Extend", expand(props["Grapheme_Extend"]),
                   lambda cp: bool(other[cp]) or unicodedata.category(chr(cp)) in ("Mn", "Me"),
                   version_skew)


def test_printable(props, version_skew):
    assert_matches("printable", expand(props["printable"]),
                   lambda cp: chr(cp).isprintable(), version_skew)


@pytest.mark.parametrize("cp, printable", [
    (0x20, True), (0x7E, True), (0x7F, False), (0xA0, False), (0xAD, False),
    (0x3400, True), (0x4DBF, True), (0xAC00, True), (0xD7A3, True), (0xD800, False),
    (0xE000, False), (0xFFFF, False), (0x20000, True), (0x10FFFD, False),
])
def test_printable_samples(props, cp, printable):
    # Includes the ends of blocks given as First/Last pairs in UnicodeData.txt.
    got = expand(props["printable"])
    assert bool(got[cp]) is printable


@pytest.mark.parametrize("lines, expected", [
    (["0041;LATIN CAPITAL LETTER A;Lu;0;L;;;;;N;;;;0061;",
      "3400;<CJK Ideograph Extension A, First>;Lo;0;L;;;;;N;;;;;",
      "4DBF;<CJK Ideograph Extension A, Last>;Lo;0;L;;;;;N;;;;;"],
     [(0x41, 0x41, "Lu"), (0x3400, 0x4DBF, "Lo")]),
    (["0000;<control>;Cc;0;BN;;;;;N;NULL;;;;"], [(0, 0, "Cc")]),
])
def test_parse_categories(tmp_path, lines, expected):
    path = tmp_path / "UnicodeData.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    assert gen.parse_categories(str(path)) == expected


@pytest.mark.parametrize("lines", [
    ["4DBF;<CJK Ideograph Extension A, Last>;Lo;0;L;;;;;N;;;;;"],
    ["3400;<CJK Ideograph Extension A, First>;Lo;0;L;;;;;N;;;;;"],
    ["3400;<CJK Ideograph Extension A, First>;Lo;0;L;;;;;N;;;;;",
     "3401;X;Lo;0;L;;;;;N;;;;;"],
])
def test_parse_categories_rejects_unpaired_ranges(tmp_path, lines):
    path = tmp_path / "UnicodeData.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    with pytest.raises(ValueError):
        gen.parse_categories(str(path))


@pytest.mark.parametrize("ranges, expected", [
    ([], []),
    ([(5, 6), (1, 2)], [(1, 2), (5, 6)]),
    ([(1, 2), (3, 4)], [(1, 4)]),           # adjacent ranges join
    ([(1, 10), (2, 3)], [(1, 10)]),         # contained range vanishes
    ([(1, 5), (4, 8), (10, 10)], [(1, 8), (10, 10)]),
])
def test_merge_ranges(ranges, expected):
    assert gen.merge_ranges(ranges) == expected


def test_committed_tables_match_generator(props):
    committed = TABLES_CPP.read_text(encoding="utf-8")
    m = re.search(r'UCD_VERSION = "([^"]+)"', committed)
    assert m
    version = gen.ucd_version(UCD_DIR)
    if m.group(1) != version:
        pytest.skip(f"installed UCD is {version}, tables were generated from {m.group(1)}")
    assert gen.render(props, version) == committed
