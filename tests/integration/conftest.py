"""Integration suites that need a database server or heavy packages.

They are not part of the default run: each is collected only when the
GEOWEAVE_INTEGRATION variable names it (comma-separated: postgis, interop,
parallel, spark), as scripts/postgis.sh, scripts/interop.sh and scripts/spark.sh do.
"""

import os

SUITES = {"postgis": "test_postgis.py", "interop": "test_interop.py", "parallel": "test_parallel.py",
          "spark": "test_spark.py"}

_wanted = {s.strip() for s in os.environ.get("GEOWEAVE_INTEGRATION", "").split(",") if s.strip()}
_unknown = _wanted - SUITES.keys()
if _unknown:
    raise RuntimeError(f"GEOWEAVE_INTEGRATION names unknown suites: {sorted(_unknown)}")

collect_ignore = [path for suite, path in SUITES.items() if suite not in _wanted]
