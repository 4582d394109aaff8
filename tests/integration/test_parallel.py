"""geoweave across process boundaries (scripts/interop.sh): a multiprocessing
pool and a distributed Dask cluster with worker processes convert a column of
geometries, sending the functions themselves by reference, value by value
with geoweave and partition by partition with geoweave_columns; the Dask
examples of the documentation and of docs/columns.md run here too.
"""

import multiprocessing
import os
import pathlib
import re

import dask.bag as db
import dask.dataframe as dd
import pandas as pd
import pyarrow as pa
import pytest
from dask.distributed import Client, LocalCluster

import geoweave
import geoweave_columns
from docexamples import blocks, pages, run_script

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "columns.md"

COLUMN = [geoweave.wkt_to_hex_wkb(f"SRID=4326;LINESTRING ({i} {i / 4}, {i + 0.5} -{i + 1})")
          for i in range(2000)]
EXPECTED = [geoweave.hex_wkb_to_wkt(value, srid=False) for value in COLUMN]


def converted_with_pid(value):
    return os.getpid(), geoweave.to_wkt(value, srid=False)


def test_multiprocessing_spawn_pool():
    # spawn: the children import geoweave afresh and receive the function by name.
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert pool.map(geoweave.hex_wkb_to_wkt, COLUMN, chunksize=250) == \
            [geoweave.hex_wkb_to_wkt(v) for v in COLUMN]
        assert pool.starmap(geoweave.to_wkt, [(v, False) for v in COLUMN[:10]]) == EXPECTED[:10]


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        yield client


def test_dask_bag_in_worker_processes(client):
    workers = set(client.run(os.getpid).values())
    assert len(workers) == 2 and os.getpid() not in workers
    result = db.from_sequence(COLUMN, npartitions=8).map(converted_with_pid).compute()
    assert [text for _, text in result] == EXPECTED
    assert {pid for pid, _ in result} == workers  # every partition ran in a worker process
    # The module function itself as the mapped callable, with a keyword argument.
    back = db.from_sequence(EXPECTED, npartitions=4).map(geoweave.to_hex_wkb, srid=4326)
    assert back.compute() == COLUMN


def test_dask_futures_keep_errors(client):
    future = client.submit(geoweave.to_wkb, "POINT (1 2")
    with pytest.raises(ValueError, match="^invalid WKT: "):
        future.result()


def test_documented_dask_examples(client):
    found = [page for page in pages() if blocks(page, "dask")]
    assert found, "no page holds a Dask example"
    for page in found:
        run_script(page, "dask")


def partition_to_wkt(partition):
    # Dask runs one task per core already: threads=1 keeps the kernel to its task.
    return pd.DataFrame({"wkt": geoweave_columns.to_wkt(partition["geom"], srid=False,
                                                        errors="null", threads=1),
                         "pid": os.getpid()}, index=partition.index)


def test_dask_partitions_with_column_kernels(client):
    column = COLUMN + ["   "]  # a failing row (blank text) becomes null
    frame = pd.DataFrame({"geom": column}, index=range(1000, 1000 + len(column)))
    result = dd.from_pandas(frame, npartitions=8).map_partitions(
        partition_to_wkt, meta={"wkt": "object", "pid": "int64"}).compute()
    assert list(result.index) == list(frame.index)
    # Dask may hand partitions over as Arrow-backed strings, whose results keep
    # that dtype: its missing value is pandas.NA rather than None.
    assert [None if pd.isna(v) else v for v in result["wkt"]] == EXPECTED + [None]
    assert set(result["pid"]) <= set(client.run(os.getpid).values())


def test_dask_arrow_partitions_and_errors(client):
    # Arrow columns sent to the workers; the failing row's note survives the trip.
    chunks = [pa.array(COLUMN[i:i + 500]) for i in range(0, len(COLUMN), 500)]
    futures = client.map(geoweave_columns.hex_wkb_to_wkt, chunks, srid=False, threads=1)
    assert [v for f in futures for v in f.result().to_pylist()] == EXPECTED
    broken = pa.array(COLUMN[:5] + ["0G"] + COLUMN[5:10])
    with pytest.raises(ValueError) as info:
        client.submit(geoweave_columns.hex_wkb_to_wkt, broken, threads=1).result()
    assert info.value.args == pytest.raises(ValueError, geoweave.hex_wkb_to_wkt, "0G").value.args
    assert any("row 5" in note for note in getattr(info.value, "__notes__", []))


def test_docs_dask_example(client):
    (block,) = re.findall(r"```python dask\n(.*?)```", DOCS.read_text(encoding="utf-8"), re.S)
    exec(compile(block, f"{DOCS}:dask", "exec"), {"__name__": "docs_dask"})
