"""The methods' function objects: binding, introspection attributes, pickling, code objects."""

import copy
import gc
import inspect
import pickle
import re
import warnings
import weakref

import pytest

from conftest import SOURCE_FILE, S, assert_no_leaks, module_frames, run_python
from kestrix.skills.services import rule_injector as ri

RuleInjector = ri.RuleInjector
METHODS = ["__init__", "inject", "_load_rule_content"]
FUNCS = {name: RuleInjector.__dict__[name] for name in METHODS}
INJECT = FUNCS["inject"]
WORD = "kxfunction"
DELETE = object()  # "delete the attribute" in the table below
WARNS = "changes to %s.%s will not currently affect the values used in function calls"
INJECT_VARS = ("self", "target_runtime", "target_skills_dir", "config_filename", "config_path",
               "existing_content", "rule_content", "new_content")
# method: first line, every line reported, argument count, local names, location-table bytes
CODE = {"__init__": (36, {36, 42, 43, 45}, 2, ("self", "templates_dir"), 40),
        "inject": (47, {47, 63, 64, 65, 68, 71, 72, 73, 74, 75, 78, 79, 80, 83, 84, 85, 86}, 3,
                   INJECT_VARS, 173),
        "_load_rule_content": (88, {88, 93, 94, 95, 98}, 1, ("self", "rule_file"), 56)}


class T(tuple): pass
class D(dict): pass


@pytest.fixture(params=METHODS)
def func(request):
    """One shared function object; every attribute a test may change is put back."""
    f = FUNCS[request.param]
    saved = {a: getattr(f, a) for a in ("__name__", "__qualname__", "__doc__", "__defaults__",
                                        "__kwdefaults__", "__annotations__", "__module__",
                                        "__dict__")}
    yield f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for attr, value in saved.items():
            setattr(f, attr, value)


def test_class_gives_the_object_and_instances_bind_afresh(func):
    assert getattr(RuleInjector, func.__name__) is func
    assert func.__get__(None, RuleInjector) is func
    inst = RuleInjector()
    first, second = getattr(inst, func.__name__), getattr(inst, func.__name__)
    assert first is not second and first.__func__ is func and first.__self__ is inst


def test_reads():
    init, load = FUNCS["__init__"], FUNCS["_load_rule_content"]
    assert (INJECT.__name__, INJECT.func_name, INJECT.__qualname__, INJECT.__module__) == (
        "inject", "inject", "RuleInjector.inject", "kestrix.skills.services.rule_injector")
    assert (init.__defaults__, init.func_defaults, load.__defaults__) == ((None,), (None,), None)
    assert (INJECT.__annotations__, init.__annotations__, load.__annotations__) == (
        {"target_runtime": "str", "target_skills_dir": "Path", "return": "Path | None"},
        {"templates_dir": "Path | None", "return": "None"}, {"return": "str | None"})
    assert INJECT.__doc__.startswith("向编辑器配置文件追加反馈铁律。\n\n        逻辑：")
    assert init.func_doc.endswith("按模块相对路径推导\n        ")
    for f in FUNCS.values():
        assert f.__kwdefaults__ is f.__closure__ is f.func_closure is None
        assert f._is_coroutine is False and f.__dict__ == {}
        assert f.__globals__ is ri.__dict__ and f.func_globals is ri.__dict__
        assert f.func_code is f.__code__ and f.func_dict is f.__dict__
        assert f.__name__ is f.__name__ and f.__doc__ is f.__doc__  # made once, then reused
    assert re.fullmatch(rf"<{WORD} RuleInjector\.inject at 0x[0-9a-f]+>", repr(INJECT))
    assert INJECT.__reduce__() == "RuleInjector.inject"


def bad(message):
    return TypeError(message)


@pytest.mark.parametrize("attr, value, reads", [
    ("__name__", "renamed", "renamed"), ("func_name", S("x"), S("x")),
    ("__name__", 3, bad("__name__ must be set to a string object")),
    ("func_name", DELETE, bad("__name__ must be set to a string object")),
    ("__qualname__", S("Q.q"), "Q.q"),
    ("__qualname__", None, bad("__qualname__ must be set to a string object")),
    ("__qualname__", DELETE, bad("__qualname__ must be set to a string object")),
    ("__doc__", 42, 42), ("func_doc", DELETE, None), ("__doc__", DELETE, None),
    ("__module__", 7, 7), ("__module__", DELETE, None),
    ("__annotations__", D(a="int"), {"a": "int"}), ("__annotations__", None, {}),
    ("__annotations__", DELETE, {}),
    ("__annotations__", [], bad("__annotations__ must be set to a dict object")),
    ("__dict__", {"k": 1}, {"k": 1}), ("func_dict", 3, TypeError),
    ("__dict__", DELETE, bad("cannot delete __dict__")),
    *[(ro, 1, AttributeError) for ro in ("__globals__", "func_globals", "__closure__",
                                         "func_closure", "__code__", "func_code",
                                         "_is_coroutine")],
    # The defaults rows warn exactly when they store.
    ("__defaults__", ("x",), ("x",)), ("func_defaults", T((1,)), (1,)),
    ("__defaults__", None, None), ("func_defaults", DELETE, None),
    ("__defaults__", 1, bad("__defaults__ must be set to a tuple object")),
    ("func_defaults", [None], bad("__defaults__ must be set to a tuple object")),
    ("__kwdefaults__", {"a": 1}, {"a": 1}), ("__kwdefaults__", D(), {}),
    ("__kwdefaults__", None, None), ("__kwdefaults__", DELETE, None),
    ("__kwdefaults__", (), bad("__kwdefaults__ must be set to a dict object")),
])
def test_assign_and_delete(func, attr, value, reads):
    before, error = getattr(func, attr), None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            delattr(func, attr) if value is DELETE else setattr(func, attr, value)
        except Exception as raised:
            error = raised
    if isinstance(reads, (type, Exception)):
        assert isinstance(error, reads if isinstance(reads, type) else type(reads))
        assert isinstance(reads, type) or str(error) == str(reads)
        assert getattr(func, attr) == before and caught == []
    else:
        assert error is None and getattr(func, attr) == reads
        assert getattr(func, attr) is getattr(func, attr)  # a made-up {} is kept, not remade
        name = "__kwdefaults__" if "kwdefaults" in attr else "__defaults__"
        assert [(w.category, str(w.message), w.filename) for w in caught] == (
            [(RuntimeWarning, WARNS % (WORD, name), __file__)] if "defaults" in attr else [])


@pytest.mark.parametrize("attr, value", [("__defaults__", ("x",)), ("__kwdefaults__", {})])
def test_warning_as_error_fails_and_stores_nothing(func, attr, value):
    before = getattr(func, attr)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="will not currently affect"):
            setattr(func, attr, value)
    assert getattr(func, attr) == before


def test_defaults_do_not_change_binding(monkeypatch):
    monkeypatch.setattr(ri, "get_builtin_templates_dir", lambda: "builtin")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        FUNCS["__init__"].__defaults__ = ("given",)
        try:
            assert RuleInjector().templates_dir == "builtin"
        finally:
            FUNCS["__init__"].__defaults__ = (None,)


def test_renamed_function_keeps_its_binding_messages():
    try:
        INJECT.__name__ = INJECT.__qualname__ = "renamed"
        with pytest.raises(TypeError, match=re.escape("inject() takes exactly 3 positional "
                                                      "arguments (2 given)")):
            RuleInjector().inject("claude")
    finally:
        INJECT.__name__, INJECT.__qualname__ = "inject", "RuleInjector.inject"


@pytest.mark.parametrize("name, text", [
    ("__init__", "(self, templates_dir: 'Path | None' = None) -> 'None'"),
    ("inject", "(self, target_runtime: 'str', target_skills_dir: 'Path') -> 'Path | None'"),
    ("_load_rule_content", "(self) -> 'str | None'"),
])
def test_signature(name, text):
    assert str(inspect.signature(FUNCS[name])) == text
    bound = inspect.signature(getattr(RuleInjector(), name))
    assert list(bound.parameters) == list(inspect.signature(FUNCS[name]).parameters)[1:]


def test_pickle_and_copy_give_the_same_object():
    for f in FUNCS.values():
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(f, protocol)) is f
        assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_generic_call_slot_forwards_keywords_and_releases_them(tmp_path):
    call, inst, value = type(INJECT).__call__, RuleInjector(), object()
    assert call(INJECT, inst, "nope", tmp_path, **{}) is None
    # Keyword values land in their parameters whatever the dictionary's order.
    assert call(INJECT, **{"target_skills_dir": tmp_path, "self": inst, "target_runtime": "x"}) \
        is None
    with pytest.raises(AttributeError):  # the str reached the body as the skills dir
        call(INJECT, inst, target_skills_dir="plain", target_runtime="claude")
    assert_no_leaks(lambda: call(INJECT, inst, "x", target_skills_dir=value), value, repeat=100)
    assert_no_leaks(lambda: call(INJECT, inst, **{"x": value, 1: value}), value, repeat=100)


def test_type_cannot_be_instantiated_or_changed_but_can_be_subclassed():
    kind = type(INJECT)
    assert repr(kind) == f"<class 'kestrix.skills.services.rule_injector.{WORD}'>"
    with pytest.raises(TypeError, match="cannot create"):
        kind()
    with pytest.raises(TypeError, match="immutable type"):
        kind.extra = 1

    class Sub(kind):
        def __new__(cls):
            return object.__new__(cls)

    # So no half-made function can exist; the wording changed within 3.13's releases.
    with pytest.raises(TypeError, match="not safe|cannot create 'Sub' instances"):
        Sub()


def test_weakref_resolves_and_collector_sees_owned_fields():
    for f in FUNCS.values():
        assert weakref.ref(f)() is f
        referents = gc.get_referents(f)
        for owned in (type(f), f.__qualname__, f.__module__, f.__globals__, f.__code__,
                      f.__annotations__, f.__dict__):
            assert any(r is owned for r in referents)


def test_function_dies_with_its_last_reference_and_cycles_are_collected():
    # The class holds the only reference; taking methods out of it (in a child, so the
    # shared module stays whole) lets them die.
    run_python("""
        import gc, weakref
        from kestrix.skills.services import rule_injector as ri
        cls = ri.RuleInjector
        plain = weakref.ref(cls.__dict__["_load_rule_content"])
        del cls._load_rule_content
        assert plain() is None, "function outlived its last reference"
        f = cls.__dict__["inject"]
        f.__dict__["me"] = f
        cyclic = weakref.ref(f)
        del f, cls.inject
        assert cyclic() is not None
        gc.collect()
        assert cyclic() is None, "cycle through __dict__ not collected"
    """)


@pytest.mark.parametrize("name", METHODS)
def test_code_object_lines_and_positions(name):
    first, lines, argcount, varnames, table_size = CODE[name]
    code = FUNCS[name].__code__
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert (code.co_varnames, code.co_nlocals, code.co_flags) == (varnames, len(varnames), 0x3)
    assert (code.co_name, code.co_qualname, code.co_filename) == (name, name, SOURCE_FILE)
    assert (code.co_firstlineno, len(code.co_linetable)) == (first, table_size)
    assert len(code.co_code) == (2 * table_size + 4) // 4 * 4
    ranges = list(code.co_lines())
    # The ranges tile the byte code from start to end, every unit with one of the lines.
    assert ranges[0][0] == 0 and ranges[-1][1] == len(code.co_code)
    assert all(a[1] == b[0] for a, b in zip(ranges, ranges[1:]))
    assert {line for _, _, line in ranges} == lines
    positions = list(code.co_positions())
    assert len(positions) == len(code.co_code) // 2
    for line, end_line, col, end_col in positions:
        assert line == end_line and line in lines and 0 <= col <= end_col


def test_traceback_names_the_code_objects_file_and_a_line_of_it():
    with pytest.raises(AttributeError) as info:
        RuleInjector().inject("claude", "not-a-path")
    code = INJECT.__code__
    assert module_frames(info.value) == [
        ("kestrix.skills.services.rule_injector.RuleInjector.inject", code.co_filename, 68)]
    assert 68 in {line for *_, line in code.co_lines()}


def test_running_the_code_objects_raises_instead_of_aborting():
    done = run_python("""
        import types
        from kestrix.skills.services.rule_injector import RuleInjector
        for method in (RuleInjector.__init__, RuleInjector.inject, RuleInjector._load_rule_content):
            code = method.__code__
            arguments = (None,) * code.co_argcount
            for run in (lambda: types.FunctionType(code, {})(*arguments), lambda: exec(code, {})):
                try:
                    run()
                except Exception as e:
                    print(type(e).__name__)
    """)
    assert done.stdout.split() == ["RuntimeError", "TypeError"] * 3
