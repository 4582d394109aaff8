"""geoweave across process boundaries (scripts/interop.sh): a multiprocessing
pool and a distributed Dask cluster with worker processes convert a column of
geometries, sending the functions themselves by reference; the documented Dask
example runs here too.
"""

import multiprocessing
import os

import dask.bag as db
import pytest
from dask.distributed import Client, LocalCluster

import geoweave
from docexamples import blocks, pages, run_script

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
