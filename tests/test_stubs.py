"""The shipped type stubs describe the compiled module as it really is."""

import ast
import importlib
import inspect
import typing
from pathlib import Path

import pytest

import kestrix
from kestrix.skills.services import rule_injector as ri

STUB_PATH = Path(ri.__file__).with_name("rule_injector.pyi")
STUB = ast.parse(STUB_PATH.read_text(encoding="utf-8"))
CLASS = next(n for n in STUB.body if isinstance(n, ast.ClassDef) and n.name == "RuleInjector")
STUB_METHODS = {n.name: n for n in CLASS.body if isinstance(n, ast.FunctionDef)}


def conforms(value, annotation: str) -> bool:
    """isinstance against a stub annotation, looking one level into dict items."""
    hint = eval(annotation, {"Path": Path, "dict": dict, "str": str, "object": object})
    origin = typing.get_origin(hint) or hint
    args = typing.get_args(hint)
    return isinstance(value, origin) and (origin is not dict or not args or all(
        isinstance(k, args[0]) and isinstance(v, args[1]) for k, v in value.items()))


@pytest.mark.parametrize("name", ["__init__", "inject", "_load_rule_content"])
def test_method_signature_matches(name):
    assert set(STUB_METHODS) == {k for k, v in vars(ri.RuleInjector).items() if callable(v)}
    stub = STUB_METHODS[name].args
    real = inspect.signature(getattr(ri.RuleInjector, name))
    assert not (stub.posonlyargs or stub.kwonlyargs or stub.vararg or stub.kwarg)
    assert [a.arg for a in stub.args] == list(real.parameters)
    defaults = [None] * (len(stub.args) - len(stub.defaults)) + stub.defaults
    for arg, default, param in zip(stub.args, defaults, real.parameters.values()):
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        want = inspect.Parameter.empty if arg.annotation is None else ast.unparse(arg.annotation)
        assert param.annotation == want, arg.arg
        assert param.default == (inspect.Parameter.empty if default is None
                                 else ast.literal_eval(default)), arg.arg
    assert real.return_annotation == ast.unparse(STUB_METHODS[name].returns)


def test_module_names_and_types_match(tmp_path):
    assert (Path(kestrix.__file__).parent / "py.typed").is_file()
    declared = {}
    for node in STUB.body:
        if isinstance(node, ast.AnnAssign):
            declared[node.target.id] = ast.unparse(node.annotation)
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                assert alias.asname == alias.name, "re-exports use the `as` form"
                source = importlib.import_module(node.module)
                assert getattr(ri, alias.name) is getattr(source, alias.name)
                declared[alias.name] = None
        elif isinstance(node, ast.ClassDef):
            declared[node.name] = None
    assert set(declared) == {k for k in vars(ri) if not k.startswith("__") or k == "__test__"}
    for name, annotation in declared.items():
        assert annotation is None or conforms(getattr(ri, name), annotation), name

    attrs = {n.target.id: ast.unparse(n.annotation) for n in CLASS.body
             if isinstance(n, ast.AnnAssign)}
    assert attrs == {"templates_dir": "Path"}
    assert conforms(ri.RuleInjector().templates_dir, "Path")
    assert vars(ri.RuleInjector(tmp_path)) == {"templates_dir": tmp_path}
