"""`geoweave info FILE`: what a file's geometry column holds, read alone."""

from __future__ import annotations

import os

import pyarrow.compute as pc

import geoweave_columns as gc

from . import formats, geo, waiting
from .encode import blank_to_null, first_bad_message, is_binary, is_text
from .errors import RunError
from .progress import Progress

_HEX_ROW = r"^\s*[0-9A-Fa-f]+\s*$"


def run(args, stdout, stderr) -> int:
    fmt = formats.format_of(args.file)
    if args.file != "-" and not os.path.exists(args.file):
        raise RunError(f"{args.file}: no such file")
    source, column = formats.open_source(
        args.file, fmt, only_geometry=True, all_text=False,
        choose_column=lambda names, meta: geo.choose_column(names, meta, args.column))
    try:
        report = _scan(source, column, fmt, Progress.for_terminal(args.quiet, source.total_bytes))
    finally:
        source.close()
    stdout.write(_render(args.file, fmt, source, column, report))
    return 0


def _scan(source, column, fmt, progress):
    field = source.schema.field(column)
    binary = is_binary(field.type)
    if not (binary or is_text(field.type)):
        raise RunError(f"column {column!r} holds {field.type}, not WKB (binary) nor WKT or "
                       "hex WKB (text)")
    r = {"rows": 0, "nulls": 0, "bad": 0, "first_bad": None, "types": {}, "srids": {},
         "hex": 0, "wkt": 0, "iso": 0, "ewkb": 0, "binary": binary}
    for batch in waiting.iterate(source.batches):
        data = batch.column(0)
        if fmt.kind == "csv":
            data = blank_to_null(data)
        first_row = r["rows"]
        r["rows"] += len(data)
        r["nulls"] += data.null_count
        if binary:
            # Reading every row as WKB checks it whole; its WKB stays as it is.
            checked = gc.wkb_to_wkt(data, False, errors="null")
            wkb = data
            _, _, words, _ = geo.type_words(data)
            r["ewkb"] += int(((words & 0xE0000000) != 0).sum())
            r["iso"] += int(((words & 0xE0000000) == 0).__and__((words & 0xFFFF) > 1000).sum())
        else:
            hexed = pc.fill_null(pc.match_substring_regex(data, _HEX_ROW), False)
            n_hex = pc.sum(hexed).as_py() or 0
            r["hex"] += n_hex
            r["wkt"] += len(data) - data.null_count - n_hex
            # Hex rows are decoded without being read: read them all as WKB.
            wkb = gc.to_wkb(data, errors="null")
            checked = gc.wkb_to_wkt(wkb, False, errors="null")
        good = pc.is_valid(checked)
        bad = pc.and_(pc.invert(good), pc.is_valid(data))
        n_bad = pc.sum(bad).as_py() or 0
        if n_bad:
            if r["first_bad"] is None:
                at = pc.index(bad, True).as_py()
                value = data[at].as_py()
                r["first_bad"] = (first_row + at, first_bad_message(value, binary))
            r["bad"] += n_bad
            wkb = wkb.filter(good)
        geo.add_counts(r["types"], geo.type_counts(wkb))
        srids = gc.wkb_header_srid(wkb, errors="null")
        for entry in pc.value_counts(srids.filter(pc.is_valid(wkb))).to_pylist():
            key = entry["values"]
            r["srids"][key] = r["srids"].get(key, 0) + entry["counts"]
        progress.update(r["rows"], source.done_bytes(r["rows"]))
    progress.finish()
    r["geo"] = (geo.geo_metadata(source.schema) or {}).get("columns", {}).get(column)
    return r


def _encoding(r):
    if r["binary"]:
        if r["ewkb"] and r["iso"]:
            return "WKB, mixed: EWKB (PostGIS) and ISO rows"
        if r["ewkb"]:
            return "EWKB (PostGIS extended WKB)"
        if r["iso"]:
            return "ISO WKB"
        return "WKB (2D, no SRID: ISO WKB and EWKB alike)"
    if r["hex"] and r["wkt"]:
        return f"text, mixed: WKT in {r['wkt']:,} rows, hex WKB in {r['hex']:,}"
    return "hex WKB (text)" if r["hex"] else "WKT (text)"


def _render(path, fmt, source, column, r) -> str:
    kind = {"parquet": "Parquet", "arrow": "Arrow IPC", "csv": "CSV"}[fmt.kind]
    lines = [f"file: {path} ({kind}" + (f", {source.total_bytes:,} bytes)" if source.total_bytes
                                         else ")"),
             f"column: {column}",
             f"rows: {r['rows']:,}",
             f"nulls: {r['nulls']:,}",
             f"encoding: {_encoding(r)}"]
    if r["geo"] is not None:
        crs = r["geo"].get("crs", "absent (OGC:CRS84)")
        epsg = geo.epsg_of(crs)
        shown = f"EPSG:{epsg}" if epsg else ("null (unknown)" if crs is None else
                                              crs if isinstance(crs, str) else
                                              (crs.get("name", "PROJJSON") if isinstance(crs, dict)
                                               else str(crs)))
        lines.append(f"GeoParquet: encoding {r['geo'].get('encoding')}, CRS {shown}")
    lines.append("geometry types:" + ("" if r["types"] else " none"))
    for (base, dim), count in sorted(r["types"].items(), key=lambda kv: -kv[1]):
        lines.append(f"  {geo.type_name(base, dim):<24} {count:>14,}")
    dims: dict[int, int] = {}
    for (_, dim), count in r["types"].items():
        dims[dim] = dims.get(dim, 0) + count
    lines.append("dimensions: " + (", ".join(f"{geo.DIMENSION_NAMES[d]} {n:,}"
                                             for d, n in sorted(dims.items())) or "none"))
    lines.append("SRIDs:" + ("" if r["srids"] else " none"))
    for srid, count in sorted(r["srids"].items(), key=lambda kv: -kv[1]):
        lines.append(f"  {'none' if srid is None else srid:<24} {count:>14,}")
    if r["first_bad"] is None:
        lines.append("bad rows: 0")
    else:
        row, message = r["first_bad"]
        lines.append(f"bad rows: {r['bad']:,}; the first is row {row} (data rows counted "
                     f"from 0): {message}")
    return "\n".join(lines) + "\n"
