"""The examples in README.md are run as doctests, so the documentation cannot drift."""

import doctest
import pathlib
import re

import geoweave

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples_run():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks, "README has no python examples"
    parser = doctest.DocTestParser()
    test = parser.get_doctest("\n".join(blocks), {"geoweave": geoweave}, "README", str(README), 0)
    assert test.examples
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0, f"{runner.failures} README example(s) failed"
