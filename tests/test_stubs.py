"""The type stubs must follow the module: same __all__, same signatures.

scripts/typecheck.sh adds mypy --strict over stubs_usage.py and mypy's stubtest;
this test needs neither and runs with the default suite.
"""

import ast
import inspect
import pathlib

import pytest

import geoweave
import stubs_usage

STUB = pathlib.Path(__file__).resolve().parent.parent / "stubs" / "geoweave-stubs" / "__init__.pyi"
TREE = ast.parse(STUB.read_text(encoding="utf-8"))


def stub_all():
    for node in TREE.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    raise AssertionError("the stub declares no __all__")


def stub_signatures(name):
    """(name, kind, default) of every parameter, once per definition (overloads too)."""
    found = []
    for node in TREE.body:
        if isinstance(node, ast.FunctionDef) and node.name == name:
            args = node.args
            assert not (args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg), name
            defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
            found.append([(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                           inspect.Parameter.empty if d is None else ast.literal_eval(d))
                          for a, d in zip(args.args, defaults)])
    return found


def test_stub_all_is_module_all():
    assert stub_all() == geoweave.__all__
    public = {n.name for n in TREE.body if isinstance(n, ast.FunctionDef)}
    assert public == set(geoweave.__all__)


@pytest.mark.parametrize("name", geoweave.__all__)
def test_stub_signature_matches_runtime(name):
    runtime = [(p.name, p.kind, p.default)
               for p in inspect.signature(getattr(geoweave, name)).parameters.values()]
    definitions = stub_signatures(name)
    assert definitions
    for parameters in definitions:
        assert parameters == runtime


def test_installed_stubs_are_current():
    # When the module is installed with its stubs, they must be this tree's.
    installed = pathlib.Path(geoweave.__file__).parent / "geoweave-stubs" / "__init__.pyi"
    if not installed.exists():
        pytest.skip("geoweave is not installed with its stubs (a build-tree import)")
    assert installed.read_bytes() == STUB.read_bytes()


def test_typed_usage_examples_run():
    stubs_usage.main()


# geoweave_columns: a package with inline stubs, with keyword-only errors/threads.
import geoweave_columns  # noqa: E402

COLUMNS_STUB = STUB.parent.parent.parent / "python" / "geoweave_columns" / "__init__.pyi"
COLUMNS_TREE = ast.parse(COLUMNS_STUB.read_text(encoding="utf-8"))


def columns_stub_signature(name):
    # The overloads differ in the column's type only: the same parameters each.
    nodes = [n for n in COLUMNS_TREE.body if isinstance(n, ast.FunctionDef) and n.name == name]
    shapes = {ast.dump(ast.arguments(posonlyargs=[], args=[ast.arg(a.arg) for a in n.args.args],
                                     kwonlyargs=[ast.arg(a.arg) for a in n.args.kwonlyargs],
                                     kw_defaults=n.args.kw_defaults, defaults=n.args.defaults))
              for n in nodes}
    assert len(nodes) >= 1 and len(shapes) == 1, name
    args = nodes[0].args
    assert not (args.posonlyargs or args.vararg or args.kwarg), name
    defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
    found = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD,
              inspect.Parameter.empty if d is None else ast.literal_eval(d))
             for a, d in zip(args.args, defaults)]
    found += [(a.arg, inspect.Parameter.KEYWORD_ONLY, ast.literal_eval(d))
              for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return found


def test_columns_stub_all_is_module_all():
    [node] = [n for n in COLUMNS_TREE.body
              if isinstance(n, ast.Assign) and [t.id for t in n.targets] == ["__all__"]]
    assert ast.literal_eval(node.value) == geoweave_columns.__all__
    public = {n.name for n in COLUMNS_TREE.body
              if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")}
    assert public == set(geoweave_columns.__all__)


@pytest.mark.parametrize("name", geoweave_columns.__all__)
def test_columns_stub_signature_matches_runtime(name):
    runtime = [(p.name, p.kind, p.default)
               for p in inspect.signature(getattr(geoweave_columns, name)).parameters.values()]
    assert columns_stub_signature(name) == runtime


def test_typed_column_usage_runs():
    for module in ("numpy", "polars", "duckdb"):
        pytest.importorskip(module)
    import stubs_columns_usage
    stubs_columns_usage.main()


def test_installed_columns_stubs_are_current():
    installed = pathlib.Path(geoweave_columns.__file__).parent / "__init__.pyi"
    if not installed.exists():
        pytest.skip("geoweave_columns is not installed with its stubs (a build-tree import)")
    assert installed.read_bytes() == COLUMNS_STUB.read_bytes()
