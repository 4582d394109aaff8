#!/usr/bin/env bash
# geoweave with shapely, GeoPandas and Dask: installs them (and pandas and
# pyarrow) into .venv when missing and runs tests/integration/test_interop.py
# (shapely and GeoPandas both ways, the documentation's shapely, GeoPandas,
# pandas and pyarrow examples) and tests/integration/test_parallel.py (a
# multiprocessing pool and a distributed Dask cluster with worker processes).
# Extra arguments go to pytest.
GEOWEAVE_EXTRAS="[test,interop]"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"
GEOWEAVE_INTEGRATION=interop,parallel exec "$PYTHON" -m pytest -q -p no:cacheprovider "$@" tests/integration
