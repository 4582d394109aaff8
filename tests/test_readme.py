"""The examples of README.md and the marked pages under docs/ run as doctests,
so the documentation cannot drift. Blocks tagged with a library or a server
this suite does not install run in the integration suites (tests/integration),
which install them: the main suite stays free of them, also under the
sanitizers and valgrind."""

import importlib.util
import inspect
import re

import pytest

import geoweave
from docexamples import ROOT, blocks, pages, run_doctests, tags

# Tag -> the modules its blocks import; a block whose module is missing is skipped.
OPTIONAL = {"": (), "columns": ("geoweave_columns",)}
# Tags whose blocks tests/integration runs: a server (postgis), a cluster (dask)
# or third-party libraries (interop: shapely and GeoPandas; pandas; pyarrow).
INTEGRATION = {"postgis", "interop", "dask", "pandas", "pyarrow"}

CASES = [(page, tag) for page in pages() for tag in sorted(tags(page)) if tag not in INTEGRATION]


def test_every_tag_is_known():
    unknown = {(p.name, t) for p in pages() for t in tags(p)} - {
        (p.name, t) for p in pages() for t in OPTIONAL.keys() | INTEGRATION}
    assert not unknown, f"code blocks with a tag no test runs: {sorted(unknown)}"


def test_readme_has_doctests():
    assert blocks(ROOT / "README.md"), "README has no python examples"


def test_function_table_matches_the_module():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    rows = re.findall(r"^\| `(\w+)(\(.*?\))` \|", readme, re.M)
    assert sorted(name for name, _ in rows) == sorted(geoweave.__all__)
    for name, params in rows:
        assert params == str(inspect.signature(getattr(geoweave, name))), name


@pytest.mark.parametrize("page, tag", CASES,
                         ids=[f"{p.relative_to(ROOT)}:{t or 'doctest'}" for p, t in CASES])
def test_documentation_examples_run(page, tag):
    for module in OPTIONAL[tag]:
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"{module} is not installed")
    attempted, failures = run_doctests(page, tag, {"geoweave": geoweave} if not tag else {})
    assert attempted, f"{page.name}: the {tag or 'untagged'} blocks hold no examples"
    assert failures == 0, f"{failures} example(s) of {page.name} failed"
