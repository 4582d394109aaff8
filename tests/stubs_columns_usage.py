"""geoweave_columns called as typed user code does: mypy --strict checks that
each kind of input types to its own kind of result (scripts/typecheck.sh);
test_stubs.py runs it, so every line also holds at run time. Needs numpy,
Polars and DuckDB (which carry their own types)."""

from typing import Any, assert_type

import duckdb
import numpy as np
import numpy.typing as npt
import polars as pl

import geoweave_columns as gc
import geoweave_columns.polars  # noqa: F401 - the expression namespace


def main() -> None:
    series = pl.Series("geom", ["POINT (1 2)", None])
    assert_type(gc.wkt_to_wkb(series), pl.Series)
    wkb, srids = gc.wkt_to_wkb_split_srid(series)
    assert_type(srids, pl.Series)
    frame = pl.DataFrame({"id": [1, 2], "geom": wkb})
    assert_type(gc.wkb_to_wkt(frame, column="geom"), pl.DataFrame)
    objects: npt.NDArray[np.object_] = np.array([b"\x01\x01\x00\x00\x00" + bytes(16)], dtype=object)
    result = assert_type(gc.wkb_to_wkt(objects), np.ndarray[Any, Any])
    assert result.tolist() == ["POINT (0 0)"]
    texts: list[str | None] = gc.wkb_to_wkt([bytes(gc.to_wkb(["POINT (1 2)"])[0] or b""), None])
    assert texts == ["POINT (1 2)", None]
    assert_type(gc.wkb_header_srid([b""], errors="null"), list[int | None])
    assert_type(gc.to_wkt(None), None)
    relation = duckdb.sql("SELECT 'POINT (1 2)' AS wkt")
    assert relation is not None
    table = gc.wkt_to_wkb(relation)
    assert table.num_rows == 1
    assert_type(gc.to_wkb(["POINT (1 2)"], flavor="extended"), list[bytes | None])
    lazy = frame.lazy().select(pl.col("geom").geoweave.wkb_to_wkt())  # type: ignore[attr-defined]
    assert lazy.collect()["geom"].to_list()[0] == "POINT (1 2)"


if __name__ == "__main__":
    main()
