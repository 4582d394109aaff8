"""The examples in docs/columns.md run as doctests, so the documentation cannot
drift. A block is fenced as ```python followed by the libraries it needs
(```python polars); it is skipped when one of them is missing. The Dask and
Spark blocks start clusters and run in the integration suites instead
(tests/integration/test_parallel.py and test_spark.py)."""

import doctest
import pathlib
import re

import pytest

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs" / "columns.md"
SCALE_OUT = {"dask", "spark"}


def blocks():
    """(line number, needed libraries, source) of every doctest block."""
    text = DOCS.read_text(encoding="utf-8")
    out = []
    for m in re.finditer(r"^```python([^\n]*)\n(.*?)^```", text, re.S | re.M):
        needs = m.group(1).split()
        if not SCALE_OUT & set(needs):
            out.append((text.count("\n", 0, m.start()) + 1, needs, m.group(2)))
    return out


def test_docs_have_examples_for_every_library():
    needs = {n for _, libs, _ in blocks() for n in libs}
    assert {"pyarrow", "polars", "duckdb", "pandas"} <= needs
    assert len(blocks()) >= 6


@pytest.mark.parametrize("line, needs, source", blocks(), ids=lambda v: str(v) if isinstance(v, int) else None)
def test_docs_example_runs(line, needs, source):
    pytest.importorskip("geoweave_columns")
    for library in needs:
        pytest.importorskip(library)
    test = doctest.DocTestParser().get_doctest(source, {}, f"docs/columns.md:{line}", str(DOCS), line)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0, f"{runner.failures} example(s) of the block at line {line} failed"
