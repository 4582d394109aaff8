"""The examples of the user documentation, for the tests that run them.

A page takes part when it is README.md or a page under docs/ that starts with
the marker comment below. Its examples are its fenced ```python blocks; a word
after the language names what a block needs (```python pandas): untagged
blocks are run by tests/test_readme.py, tagged ones by the suite that provides
what they need (tests/test_readme.py for optional libraries, the integration
suites for a database or a cluster). The blocks of one page and tag run in
order, in one namespace.
"""

from __future__ import annotations

import doctest
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
MARKER = "<!-- doctest:"
FENCE = re.compile(r"^```python(?:[ \t]+(\w+))?[ \t]*\n(.*?)^```[ \t]*$", re.S | re.M)


def pages():
    """README.md and every marked page under docs/, README first."""
    found = [ROOT / "README.md"]
    found += [p for p in sorted((ROOT / "docs").glob("*.md"))
              if p.read_text(encoding="utf-8").lstrip().startswith(MARKER)]
    return found


def blocks(page, tag=""):
    """The bodies of the page's ```python blocks carrying `tag` ("" for none)."""
    return [body for found, body in FENCE.findall(page.read_text(encoding="utf-8"))
            if found == tag]


def tags(page):
    """Every tag the page's ```python blocks carry ("" for untagged blocks)."""
    return {found for found, _ in FENCE.findall(page.read_text(encoding="utf-8"))}


def run_doctests(page, tag, globs, flags=0):
    """Runs the page's blocks of `tag` as one doctest (ELLIPSIS and `flags`);
    returns (attempted, failures)."""
    source = "\n".join(blocks(page, tag))
    name = f"{page.name} {tag}".strip()
    test = doctest.DocTestParser().get_doctest(source, dict(globs), name, str(page), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | flags)
    runner.run(test)
    return len(test.examples), runner.failures


def run_script(page, tag):
    """Runs the page's blocks of `tag` as one plain Python script, as the main
    module (so that a block's `if __name__ == "__main__":` part runs)."""
    source = "\n".join(blocks(page, tag))
    exec(compile(source, f"{page}:{tag}", "exec"), {"__name__": "__main__"})
