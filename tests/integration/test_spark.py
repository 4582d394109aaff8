"""geoweave_columns in PySpark (scripts/spark.sh): a local[2] Spark session whose
Python workers convert Arrow record batches with the column kernels through
mapInArrow, and the Spark example of docs/columns.md.
"""

import os
import pathlib
import re
import sys

import pyarrow as pa
import pytest
from pyspark.sql import SparkSession

import geoweave
import geoweave_columns as gc

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "columns.md"
# The executors' Python workers run this interpreter, where geoweave is installed.
os.environ["PYSPARK_PYTHON"] = sys.executable

ROWS = [(i, geoweave.wkt_to_wkb(f"SRID=4326;LINESTRING ({i} {i / 4}, {i + 0.5} -{i + 1})"))
        for i in range(5000)]
BROKEN = {17, 4321}  # rows whose WKB is cut short


@pytest.fixture(scope="module")
def spark():
    session = (SparkSession.builder.master("local[2]").appName("geoweave-columns-test")
               .config("spark.ui.enabled", "false").getOrCreate())
    yield session
    session.stop()


def test_map_in_arrow_with_column_kernels(spark):
    # Defined here, so that Spark sends the function itself to its workers
    # (they cannot import this test module).
    def convert(batches):
        for batch in batches:
            # One task per core already: threads=1 keeps the kernel on the task's core.
            wkb = batch.column("wkb")
            wkt = gc.wkb_to_wkt(wkb, srid=False, errors="null", threads=1)
            srid = gc.wkb_header_srid(wkb, errors="null", threads=1)
            yield pa.RecordBatch.from_arrays(
                [batch.column("id"), wkt, srid, pa.array([os.getpid()] * len(batch), pa.int64())],
                names=["id", "wkt", "srid", "pid"])

    rows = [(i, w[:-3] if i in BROKEN else w) for i, w in ROWS]
    frame = spark.createDataFrame(rows, "id long, wkb binary").repartition(4)
    result = frame.mapInArrow(convert, "id long, wkt string, srid int, pid long").collect()
    by_id = {r.id: r for r in result}
    assert len(by_id) == len(ROWS)
    for i, wkb in ROWS:
        expected = None if i in BROKEN else geoweave.wkb_to_wkt(wkb, srid=False)
        assert by_id[i].wkt == expected
        assert by_id[i].srid == geoweave.wkb_header_srid(wkb)
    assert os.getpid() not in {r.pid for r in result}  # converted in Spark's workers


def test_map_in_arrow_raises_with_the_row(spark):
    def strict(batches):
        for batch in batches:
            yield pa.RecordBatch.from_arrays([gc.wkt_to_wkb(batch.column("wkt"), threads=1)],
                                             names=["wkb"])

    frame = spark.createDataFrame([("POINT (1 2)",), ("POINT (1",)], "wkt string").coalesce(1)
    with pytest.raises(Exception, match="invalid WKT"):
        frame.mapInArrow(strict, "wkb binary").collect()


def test_docs_spark_example():
    (block,) = re.findall(r"```python spark\n(.*?)```", DOCS.read_text(encoding="utf-8"), re.S)
    exec(compile(block, f"{DOCS}:spark", "exec"), {"__name__": "docs_spark"})
