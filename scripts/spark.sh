#!/usr/bin/env bash
# geoweave_columns in PySpark: installs pyspark (and pyarrow) into .venv and,
# when `java` is missing, a Java runtime from Debian's packages, then runs
# tests/integration/test_spark.py: a local[2] Spark session converting record
# batches with the column kernels through mapInArrow, and the Spark example of
# docs/columns.md. Extra arguments go to pytest.
GEOWEAVE_EXTRAS="[test,spark]"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"

if ! command -v java >/dev/null 2>&1; then
  install_debs default-jre-headless  # Java 17 or later, as Spark 4 needs
fi
GEOWEAVE_INTEGRATION=spark exec "$PYTHON" -m pytest -q -p no:cacheprovider "$@" tests/integration
