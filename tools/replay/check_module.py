"""Checks recorded replay results against the geoweave module itself.

Usage: python check_module.py CASES RESULTS

Every result line of an operation that a module function performs on its own
(with the same source kind and SRID option) is recomputed through that function
and must be the same value, or an exception whose text is the recorded error.
This keeps the replay honest: what the architectures are compared on is what
Python callers get. The planned header rewrite's bytes and hex must also agree. Exits
non-zero on the first few differences, and when an operation expected in the
results is missing from them.
"""

import sys

import geoweave as g


def escaped(text):
    out = []
    for c in text.encode("utf-8", "surrogatepass"):
        out.append(chr(c) if 0x20 <= c < 0x7F and c != 0x5C else f"\\x{c:02X}")
    return "".join(out)


def srid_arg(option):
    if option == "mirror":
        return None
    if option == "strip":
        return False
    return int(option.removeprefix("set:"))


def text(value):
    return escaped(value)


def hexed(value):
    return value.hex().upper()


def srid_text(value):
    return "none" if value is None else str(value)


# operation -> (source kind, function of (source, srid argument) -> result text)
BYTES_OPS = {
    "convert_wkb_to_wkt": lambda s, o: text(g.wkb_to_wkt(s, srid=o)),
    "convert_to_wkt": lambda s, o: text(g.to_wkt(s, srid=o)),
    "convert_to_wkt_normalized": lambda s, o: text(g.to_wkt(s, srid=o, normalize_wkt=True)),
    "convert_to_wkb": lambda s, o: hexed(g.to_wkb(s, srid=o)),
    "convert_to_hex_wkb": lambda s, o: text(g.to_hex_wkb(s, srid=o)),
    "decode_wkb_split_srid": lambda s, o: "{} srid={}".format(
        *(lambda r: (text(r[0]), srid_text(r[1])))(g.wkb_to_wkt_split_srid(s))),
    "read_header_srid": lambda s, o: srid_text(g.wkb_header_srid(s)),
    "rewrite_srid": lambda s, o: hexed(g.to_wkb_no_srid_header(s) if o is False
                                       else g.to_ewkb_header(s, o)),
}
TEXT_OPS = {
    "convert_wkt_to_wkb": lambda s, o: hexed(g.wkt_to_wkb(s, srid=o)),
    "convert_wkt_to_hex_wkb": lambda s, o: text(g.wkt_to_hex_wkb(s, srid=o)),
    "text_to_wkt": lambda s, o: text(g.to_wkt(s, srid=o)),
    "text_to_wkt_normalized": lambda s, o: text(g.to_wkt(s, srid=o, normalize_wkt=True)),
    "text_to_wkb": lambda s, o: hexed(g.to_wkb(s, srid=o)),
    "text_to_hex_wkb": lambda s, o: text(g.to_hex_wkb(s, srid=o)),
    "wkt_to_ewkb_bytes_split_srid": lambda s, o: "{} srid={}".format(
        *(lambda r: (hexed(r[0]), srid_text(r[1])))(g.wkt_to_wkb_split_srid(s))),
}


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        inputs = [bytes.fromhex(line.strip()) for line in f]
    seen = {}
    problems = []
    with open(sys.argv[2], encoding="ascii") as f:
        for line in f:
            number, op, option, status, result = line.rstrip("\n").split(" ", 4)
            if op == "plan_srid_rewrite" and result.startswith("MISMATCH"):
                problems.append(f"input {number} {op} {option}: {result}")
            elif op == "plan_srid_rewrite" and status == "ok":
                # The planned bytes and the planned hex are the same value.
                kind, planned, planned_hex = result.split(" ")
                if planned != planned_hex and len(problems) < 10:
                    problems.append(f"input {number} {op} {option}: bytes {planned[:80]} "
                                    f"but hex {planned_hex[:80]}")
            fn = BYTES_OPS.get(op) or TEXT_OPS.get(op)
            if fn is None:
                continue
            source = inputs[int(number) - 1]
            if op in TEXT_OPS:
                source = source.decode("utf-8")
            try:
                got = "ok " + fn(source, srid_arg(option) if option != "-" else None)
            except (ValueError, TypeError) as e:
                got = f"error {escaped(str(e))}"
            want = f"{status} {result}" if status == "ok" else f"error {result.split(' ', 2)[2]}"
            seen[op] = seen.get(op, 0) + 1
            if got != want and len(problems) < 10:
                problems.append(f"input {number} {op} {option}:\n  recorded {want[:200]}\n"
                                f"  module   {got[:200]}")
    missing = [op for op in {**BYTES_OPS, **TEXT_OPS} if op not in seen]
    for p in problems:
        print(p, file=sys.stderr)
    if missing:
        print("operations missing from the results:", ", ".join(missing), file=sys.stderr)
    if problems or missing:
        return 1
    print(f"module agrees with the replay on {sum(seen.values())} results of {len(seen)} operations")
    return 0


if __name__ == "__main__":
    sys.exit(main())
