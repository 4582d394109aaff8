#!/usr/bin/env python3
"""Generate src/core/unicode_tables.cpp from the Unicode Character Database.

Usage:
    python3 tools/gen_unicode_tables.py [UCD_DIR] > src/core/unicode_tables.cpp
    python3 tools/gen_unicode_tables.py [UCD_DIR] -o src/core/unicode_tables.cpp

UCD_DIR defaults to /usr/share/unicode, where Debian's ``unicode-data`` package
installs the database.  Three files are read from it:

* PropList.txt               -- White_Space
* DerivedCoreProperties.txt  -- Alphabetic, Grapheme_Extend
* UnicodeData.txt            -- general categories, from which the printable
                                class is derived (everything except Cc, Cf, Cs,
                                Co, Cn, Zl, Zp and Zs, plus U+0020 SPACE; the
                                same rule as Python's str.isprintable)

Each property becomes a sorted array of disjoint, non-adjacent inclusive code
point ranges that the C++ side searches by binary search.  The output depends
only on the input files, so regenerating from the same database reproduces the
committed file byte for byte.  The generated file is committed; building the
project does not need the database.

The parsing functions (``load_properties``, ``ucd_version`` and the helpers they
use) are importable so the tests can check the tables against Python's
unicodedata module.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from typing import Dict, Iterable, List, Tuple

DEFAULT_UCD_DIR = "/usr/share/unicode"
MAX_CODE_POINT = 0x10FFFF

Range = Tuple[int, int]  # inclusive (first, last)

# General categories that are not printable (U+0020 SPACE excepted).
NON_PRINTABLE_CATEGORIES = frozenset({"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"})

# Table name in the generated C++ -> property it holds, in output order.
TABLES = (
    ("kWhiteSpace", "White_Space"),
    ("kAlphabetic", "Alphabetic"),
    ("kGraphemeExtend", "Grapheme_Extend"),
    ("kPrintable", "printable"),
)

_VERSION_RE = re.compile(r"^#\s*([A-Za-z]+)-(\d+\.\d+\.\d+)\.txt\s*$")


def merge_ranges(ranges: Iterable[Range]) -> List[Range]:
    """Sort ranges and merge those that overlap or touch."""
    merged: List[Range] = []
    for first, last in sorted(ranges):
        if first > last:
            raise ValueError(f"empty range {first:04X}..{last:04X}")
        if merged and first <= merged[-1][1] + 1:
            if last > merged[-1][1]:
                merged[-1] = (merged[-1][0], last)
        else:
            merged.append((first, last))
    return merged


def parse_property_file(path: str, wanted: Iterable[str]) -> Dict[str, List[Range]]:
    """Read a UCD binary-property file (``XXXX[..YYYY] ; Name # comment``).

    Returns a merged range list for every name in ``wanted``; a name that does
    not occur in the file is an error, since that means a wrong or damaged file.
    """
    wanted = set(wanted)
    found: Dict[str, List[Range]] = {name: [] for name in wanted}
    with open(path, encoding="utf-8") as f:
        for line in f:
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            fields = [field.strip() for field in data.split(";")]
            if len(fields) < 2 or fields[1] not in wanted:
                continue
            cps = fields[0].split("..")
            first = int(cps[0], 16)
            last = int(cps[-1], 16)
            found[fields[1]].append((first, last))
    for name, ranges in found.items():
        if not ranges:
            raise ValueError(f"{path}: property {name} not found")
        found[name] = merge_ranges(ranges)
    return found


def parse_categories(path: str) -> List[Tuple[int, int, str]]:
    """Read UnicodeData.txt into sorted (first, last, category) ranges.

    Large blocks appear as two lines named ``<..., First>`` and ``<..., Last>``;
    they become one range.  Code points not listed are unassigned (Cn) and do
    not appear in the result.
    """
    result: List[Tuple[int, int, str]] = []
    pending_first = None  # (code point, category) of an open <..., First> line
    with open(path, encoding="utf-8") as f:
        for lineno, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            fields = line.split(";")
            cp = int(fields[0], 16)
            name = fields[1]
            category = fields[2]
            if name.endswith(", First>"):
                if pending_first is not None:
                    raise ValueError(f"{path}:{lineno}: nested First entry")
                pending_first = (cp, category)
                continue
            if name.endswith(", Last>"):
                if pending_first is None or pending_first[1] != category:
                    raise ValueError(f"{path}:{lineno}: unmatched Last entry")
                result.append((pending_first[0], cp, category))
                pending_first = None
                continue
            if pending_first is not None:
                raise ValueError(f"{path}:{lineno}: First entry without Last")
            result.append((cp, cp, category))
    if pending_first is not None:
        raise ValueError(f"{path}: First entry without Last at end of file")
    result.sort()
    for (_, prev_last, _), (first, _, _) in zip(result, result[1:]):
        if first <= prev_last:
            raise ValueError(f"{path}: overlapping entries at {first:04X}")
    return result


def printable_ranges(categories: List[Tuple[int, int, str]]) -> List[Range]:
    """Code points whose category is printable, plus U+0020 SPACE."""
    ranges = [(first, last) for first, last, cat in categories
              if cat not in NON_PRINTABLE_CATEGORIES]
    ranges.append((0x20, 0x20))
    return merge_ranges(ranges)


def ucd_version(ucd_dir: str) -> str:
    """Unicode version named in the headers of PropList.txt and
    DerivedCoreProperties.txt (e.g. "# PropList-15.0.0.txt"); both must agree."""
    versions = {}
    for name in ("PropList", "DerivedCoreProperties"):
        path = os.path.join(ucd_dir, name + ".txt")
        with open(path, encoding="utf-8") as f:
            for line in f:
                m = _VERSION_RE.match(line)
                if m and m.group(1) == name:
                    versions[name] = m.group(2)
                    break
                if line.strip() and not line.startswith("#"):
                    break
        if name not in versions:
            raise ValueError(f"{path}: no version header")
    if len(set(versions.values())) != 1:
        raise ValueError(f"UCD files disagree on the version: {versions}")
    return versions["PropList"]


def load_properties(ucd_dir: str = DEFAULT_UCD_DIR) -> Dict[str, List[Range]]:
    """Range lists for White_Space, Alphabetic, Grapheme_Extend and printable."""
    props = parse_property_file(os.path.join(ucd_dir, "PropList.txt"), ["White_Space"])
    props.update(parse_property_file(os.path.join(ucd_dir, "DerivedCoreProperties.txt"),
                                     ["Alphabetic", "Grapheme_Extend"]))
    props["printable"] = printable_ranges(
        parse_categories(os.path.join(ucd_dir, "UnicodeData.txt")))
    for name, ranges in props.items():
        if ranges[-1][1] > MAX_CODE_POINT:
            raise ValueError(f"{name}: code point beyond U+10FFFF")
    return props


def _format_table(cname: str, ranges: List[Range]) -> List[str]:
    out = [f"constexpr Range {cname}[] = {{  // {len(ranges)} ranges"]
    row: List[str] = []
    for first, last in ranges:
        row.append(f"{{0x{first:X}, 0x{last:X}}},")
        if len(row) == 4:
            out.append("    " + " ".join(row))
            row = []
    if row:
        out.append("    " + " ".join(row))
    out.append("};")
    return out


def render(props: Dict[str, List[Range]], version: str) -> str:
    lines = [
        f"// Unicode character property tables, Unicode {version}.",
        "// Generated by tools/gen_unicode_tables.py from the Unicode Character",
        f"// Database {version} (PropList.txt, DerivedCoreProperties.txt, UnicodeData.txt).",
        "// Do not edit by hand; regenerate with",
        "//     python3 tools/gen_unicode_tables.py [UCD_DIR] > src/core/unicode_tables.cpp",
        "//",
        "// Each table is a sorted list of disjoint, non-adjacent inclusive ranges.",
        "// The ASCII fast paths live in unicode.cpp; the lookups here serve every",
        "// code point.",
        "",
        "#include \"unicode.h\"",
        "",
        "#include <algorithm>",
        "#include <iterator>",
        "",
        "namespace geoweave::unicode {",
        "",
        f"const char* const UCD_VERSION = \"{version}\";",
        "",
        "namespace detail {",
        "",
        "bool table_white_space(char32_t cp) noexcept;",
        "bool table_alphabetic(char32_t cp) noexcept;",
        "bool table_grapheme_extend(char32_t cp) noexcept;",
        "bool table_printable(char32_t cp) noexcept;",
        "",
        "namespace {",
        "",
        "struct Range {",
        "  char32_t first;",
        "  char32_t last;",
        "};",
        "",
    ]
    for cname, prop in TABLES:
        lines.append(f"// {prop}")
        lines.extend(_format_table(cname, props[prop]))
        lines.append("")
    lines += [
        "template <std::size_t N>",
        "bool in_table(const Range (&table)[N], char32_t cp) noexcept {",
        "  // First range that starts after cp; the one before it is the only",
        "  // candidate that can hold cp.",
        "  const Range* it = std::upper_bound(",
        "      std::begin(table), std::end(table), cp,",
        "      [](char32_t c, const Range& r) { return c < r.first; });",
        "  return it != std::begin(table) && cp <= (it - 1)->last;",
        "}",
        "",
        "}  // namespace",
        "",
        "bool table_white_space(char32_t cp) noexcept { return in_table(kWhiteSpace, cp); }",
        "bool table_alphabetic(char32_t cp) noexcept { return in_table(kAlphabetic, cp); }",
        "bool table_grapheme_extend(char32_t cp) noexcept { return in_table(kGraphemeExtend, cp); }",
        "bool table_printable(char32_t cp) noexcept { return in_table(kPrintable, cp); }",
        "",
        "}  // namespace detail",
        "}  // namespace geoweave::unicode",
        "",
    ]
    return "\n".join(lines)


def main(argv: List[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Generate src/core/unicode_tables.cpp from the Unicode Character Database.")
    parser.add_argument("ucd_dir", nargs="?", default=DEFAULT_UCD_DIR,
                        help=f"directory holding the UCD files (default {DEFAULT_UCD_DIR})")
    parser.add_argument("-o", "--output", help="write here instead of standard output")
    args = parser.parse_args(argv)

    text = render(load_properties(args.ucd_dir), ucd_version(args.ucd_dir))
    if args.output:
        with open(args.output, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
