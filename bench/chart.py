"""Throughput chart of a benchmark run: geoweave against its peers.

    python bench/chart.py RESULTS.json [-o docs/throughput.png] [--command TEXT]

RESULTS.json is either the column benchmark's results file

    {"date": ..., "machine": ..., "rows": N,
     "results": [{"function": "wkb_to_wkt", "workload": "point",
                  "tool": "geoarrow-c", "ns_per_row": 140.2}, ...]}

or the file `bench/suite.py --json FILE` writes (its lists of 100,000 small
geometries, converted by a Python loop over geoweave, by shapely's vectorised
calls and by geoarrow-c's kernels, and its large single geometries). The chart
has one panel per function, one group of bars per workload and one bar per
tool, drawn in geometries per second on a logarithmic axis. A tool missing from
the results has no bar; nothing is drawn that the file does not hold.

Usually run through `bash scripts/bench.sh --chart`, which installs matplotlib.
"""

from __future__ import annotations

import argparse
import itertools
import json
import math
import sys

# Display order and labels. Names not listed here are drawn after the known
# ones, under their own names.
FUNCTIONS = ("wkb_to_wkt", "wkt_to_wkb", "hex_wkb_to_wkt", "wkt_to_hex_wkb")
WORKLOADS = {
    "point": "Point",
    "point_srid": "Point with SRID",
    "polygon10": "Polygon, 10 vertices",
    "multipolygon3x20": "MultiPolygon, 3 x 20 vertices",
    "collection": "GeometryCollection Z,\n~250,000 vertices",
    "linestring": "LineString,\n1,000,000 vertices",
}
TOOLS = {  # tool -> colour; geoweave in blues, peers in other hues
    "geoweave_columns 2 threads": "#08306b",
    "geoweave_columns 1 thread": "#2171b5",
    "geoweave scalar loop": "#6baed6",
    "geoarrow-c": "#41ab5d",
    "duckdb spatial": "#fe9929",
    "shapely vectorised": "#cb181d",
}
OTHER_COLOURS = ("#756bb1", "#969696", "#8c510a", "#c51b7d")

# bench/suite.py: worker name -> workload, tool name -> chart tool.
SUITE_WORKLOADS = {
    "list:point21": "point",
    "list:point25": "point_srid",
    "list:polygon10": "polygon10",
    "list:multipolygon3x20": "multipolygon3x20",
    "large:gc": "collection",
    "large:ls": "linestring",
}
SUITE_TOOLS = {"geoweave": "geoweave scalar loop", "shapely": "shapely vectorised",
               "geoarrow-c": "geoarrow-c"}


def _positive(value):
    return (isinstance(value, (int, float)) and not isinstance(value, bool)
            and math.isfinite(value) and value > 0)


def records_from_suite(data):
    """The rows of a bench/suite.py --json file that the chart can show: per
    geometry nanoseconds of each tool, for every workload and function."""
    rows = []
    results = data.get("results") or {}
    for worker, workload in SUITE_WORKLOADS.items():
        for function, by_tool in (results.get(worker) or {}).items():
            for tool, ns in by_tool.items():
                if tool in SUITE_TOOLS and _positive(ns):
                    rows.append({"function": function, "workload": workload,
                                 "tool": SUITE_TOOLS[tool], "ns_per_row": float(ns)})
    return rows


def load(data):
    """(records, description) from either results format; raises ValueError
    for anything else."""
    results = data.get("results") if isinstance(data, dict) else None
    if isinstance(results, list):
        rows = [r for r in results
                if isinstance(r, dict) and {"function", "workload", "tool"} <= r.keys()
                and _positive(r.get("ns_per_row"))]
        source = "bench/columns.py"
        rows_note = f"{data['rows']:,} rows per column" if isinstance(data.get("rows"), int) else ""
    elif isinstance(results, dict):
        rows = records_from_suite(data)
        source = "bench/suite.py"
        count = (data.get("args") or {}).get("count")
        rows_note = (f"lists of {count:,} geometries; large geometries one per call"
                     if isinstance(count, int) else "")
    else:
        raise ValueError("not a benchmark results file: 'results' is neither a list nor a mapping")
    if not rows:
        raise ValueError("the results file holds no timings to chart")
    machine = data.get("machine")
    if isinstance(machine, list):  # the suite's description lines
        keep = [m for m in machine if m.split(":")[0] in ("Model name", "CPU(s)", "python")]
        machine = "; ".join(keep or machine)
    parts = [p for p in (data.get("date"), machine, source, rows_note) if p]
    return rows, " | ".join(str(p) for p in parts)


def _ordered(names, known):
    return [n for n in known if n in names] + sorted(n for n in names if n not in known)


def layout(rows):
    """{function: {workload: {tool: geometries per second}}} in display order."""
    table = {}
    for function in _ordered({r["function"] for r in rows}, FUNCTIONS):
        panel = {}
        for workload in _ordered({r["workload"] for r in rows if r["function"] == function},
                                 WORKLOADS):
            panel[workload] = {r["tool"]: 1e9 / r["ns_per_row"] for r in rows
                               if r["function"] == function and r["workload"] == workload}
        table[function] = panel
    return table


def rate_label(per_second):
    for scale, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if per_second >= scale:
            return f"{per_second / scale:.3g}{suffix}/s"
    return f"{per_second:.3g}/s"


def draw(rows, description, output, command=None):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    table = layout(rows)
    tools = _ordered({r["tool"] for r in rows}, TOOLS)
    extra = itertools.cycle(OTHER_COLOURS)
    colours = {t: TOOLS.get(t) or next(extra) for t in tools}
    functions = list(table)
    columns = 2 if len(functions) > 1 else 1
    lines = math.ceil(len(functions) / columns)
    most = max(len(panel) for panel in table.values())
    fig, axes = plt.subplots(lines, columns, squeeze=False,
                             figsize=(6.2 * columns, 1.0 + lines * (0.2 * most * len(tools) + 1.0)))
    fastest = max(v for panel in table.values() for by_tool in panel.values()
                  for v in by_tool.values())
    slowest = min(v for panel in table.values() for by_tool in panel.values()
                  for v in by_tool.values())
    for ax in axes.flat[len(functions):]:
        ax.axis("off")
    height = 0.8 / len(tools)
    for ax, function in zip(axes.flat, functions):
        panel = table[function]
        for w, workload in enumerate(panel):
            present = [t for t in tools if t in panel[workload]]
            for i, tool in enumerate(present):
                y = w + (i - (len(present) - 1) / 2) * height
                value = panel[workload][tool]
                ax.barh(y, value, height=height * 0.92, color=colours[tool])
                ax.text(value * 1.08, y, rate_label(value), va="center", fontsize=7)
        ax.set_yticks(range(len(panel)))
        ax.set_yticklabels([WORKLOADS.get(w, w) for w in panel], fontsize=8)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlim(slowest / 2, fastest * 8)
        ax.set_title(function, fontsize=10, family="monospace")
        ax.set_xlabel("geometries per second (log scale, higher is faster)", fontsize=8)
        ax.tick_params(axis="x", labelsize=7)
        ax.grid(axis="x", which="major", alpha=0.3)
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours[t]) for t in tools]
    fig.suptitle("Throughput per function and workload (geometries per second, higher is faster)",
                 fontsize=11, y=0.995)
    fig.legend(handles, tools, loc="upper center", bbox_to_anchor=(0.5, 0.975),
               ncol=min(len(tools), 3), fontsize=8, frameon=False)
    footer = description + (f"\n{command}" if command else "")
    fig.text(0.01, 0.005, footer, fontsize=6.5, color="#555555", va="bottom")
    top = 1 - (0.4 + 0.18 * math.ceil(len(tools) / 3)) / fig.get_figheight()
    bottom = (0.15 + 0.12 * (footer.count("\n") + 1)) / fig.get_figheight()
    fig.tight_layout(rect=(0, bottom, 1, top))
    fig.savefig(output, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", help="JSON file of bench/columns.py or bench/suite.py --json")
    parser.add_argument("-o", "--output", default="docs/throughput.png")
    parser.add_argument("--command", help="the command that measured the results, for the footer")
    args = parser.parse_args(argv)
    with open(args.results, encoding="utf-8") as f:
        data = json.load(f)
    try:
        rows, description = load(data)
    except ValueError as e:
        raise SystemExit(f"{args.results}: {e}")
    draw(rows, description, args.output, args.command)
    print(f"wrote {args.output} ({len(rows)} timings)", file=sys.stderr)


if __name__ == "__main__":
    main()
