"""bench/chart.py reads both results formats and draws only what was measured."""

import importlib.util
import pathlib

import pytest

_path = pathlib.Path(__file__).resolve().parent.parent / "bench" / "chart.py"
_spec = importlib.util.spec_from_file_location("bench_chart", _path)
chart = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(chart)

SUITE = {
    "date": "2026-12-07",
    "machine": ["date: 2026-12-07", "python: 3.13.0 (CPython)", "Model name: AMD EPYC", "CPU(s): 2"],
    "args": {"count": 100000},
    "results": {
        "list:point21": {"wkb_to_wkt": {"geoweave": 181.0, "shapely": 614.0, "geoarrow-c": 250.0},
                         "hex_wkb_to_wkt": {"geoweave": 203.0}},
        "large:ls": {"wkt_to_wkb": {"geoweave": 53.7e6, "shapely": 568.8e6}},
        "calls:point21": {"wkb_to_wkt": {"geoweave": 129.0, "bytes.hex": 60.0}},  # per call: not charted
        "bulk": {"hex_encode": {"geoweave": 6.1e6, "bytes.hex": 11.9e6}},
    },
}

COLUMNS = {
    "date": "2026-12-08", "machine": "2 vCPUs", "rows": 1000000,
    "results": [
        {"function": "wkb_to_wkt", "workload": "polygon10", "tool": "duckdb spatial", "ns_per_row": 900.0},
        {"function": "wkb_to_wkt", "workload": "point", "tool": "geoweave_columns 2 threads", "ns_per_row": 40.0},
        {"function": "wkb_to_wkt", "workload": "point", "tool": "geoweave_columns 1 thread", "ns_per_row": 75.0},
        {"function": "wkt_to_wkb", "workload": "point", "tool": "some new tool", "ns_per_row": 10.0},
    ],
}


def test_suite_results_keep_list_and_large_workloads_only():
    rows, description = chart.load(SUITE)
    got = {(r["function"], r["workload"], r["tool"]): r["ns_per_row"] for r in rows}
    assert got == {
        ("wkb_to_wkt", "point", "geoweave scalar loop"): 181.0,
        ("wkb_to_wkt", "point", "shapely vectorised"): 614.0,
        ("wkb_to_wkt", "point", "geoarrow-c"): 250.0,
        ("hex_wkb_to_wkt", "point", "geoweave scalar loop"): 203.0,
        ("wkt_to_wkb", "linestring", "geoweave scalar loop"): 53.7e6,
        ("wkt_to_wkb", "linestring", "shapely vectorised"): 568.8e6,
    }
    assert description.startswith("2026-12-07 | python: 3.13.0 (CPython); Model name: AMD EPYC; CPU(s): 2 |")
    assert "bench/suite.py" in description and "100,000" in description


def test_column_results_in_display_order_with_unknown_tools_last():
    rows, description = chart.load(COLUMNS)
    table = chart.layout(rows)
    assert list(table) == ["wkb_to_wkt", "wkt_to_wkb"]
    assert list(table["wkb_to_wkt"]) == ["point", "polygon10"]
    assert table["wkb_to_wkt"]["point"] == {"geoweave_columns 2 threads": 25e6,
                                            "geoweave_columns 1 thread": 1e9 / 75}
    assert chart._ordered({r["tool"] for r in rows}, chart.TOOLS) == [
        "geoweave_columns 2 threads", "geoweave_columns 1 thread", "duckdb spatial", "some new tool"]
    assert description == "2026-12-08 | 2 vCPUs | bench/columns.py | 1,000,000 rows per column"


@pytest.mark.parametrize("bad_timing", [None, 0, -1.0, float("nan"), float("inf"), "12", True])
def test_timings_that_are_not_measurements_are_dropped(bad_timing):
    data = {"results": [dict(COLUMNS["results"][0], ns_per_row=bad_timing),
                        COLUMNS["results"][1]]}
    rows, _ = chart.load(data)
    assert [r["tool"] for r in rows] == ["geoweave_columns 2 threads"]


@pytest.mark.parametrize("data, message", [
    ({}, "neither a list nor a mapping"),
    ([], "neither a list nor a mapping"),
    ({"results": []}, "no timings"),
    ({"results": {"calls:point21": {"wkb_to_wkt": {"geoweave": 1.0}}}}, "no timings"),
])
def test_files_without_chartable_timings_are_refused(data, message):
    with pytest.raises(ValueError, match=message):
        chart.load(data)


@pytest.mark.parametrize("per_second, label", [
    (5.5e6, "5.5M/s"), (1.2e9, "1.2G/s"), (18.6, "18.6/s"), (999.0, "999/s"), (2500.0, "2.5k/s")])
def test_rate_labels(per_second, label):
    assert chart.rate_label(per_second) == label


def test_draws_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "chart.png"
    chart.main([str(_write(tmp_path, SUITE)), "-o", str(out), "--command", "bash scripts/bench.sh"])
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def _write(directory, data):
    import json
    path = directory / "results.json"
    path.write_text(json.dumps(data))
    return path
