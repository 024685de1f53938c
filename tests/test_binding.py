"""Argument binding of RuleInjector's methods: exact messages, CPython's own binding as
the reference, and reference counts on the failing paths."""

import pytest
from hypothesis import assume, given, settings, strategies as st

from conftest import PREFIX, SOURCE_FILE, S, assert_no_leaks, module_frames, run_python
from kestrix.skills.services import rule_injector as ri
from kestrix.skills.services.rule_injector import RuleInjector

try:  # passes a keyword-names tuple through untouched, non-str names included
    from _testcapi import pyobject_vectorcall
except ImportError:
    pyobject_vectorcall = None

LINES = {"__init__": 36, "inject": 47, "_load_rule_content": 88}
INJ = RuleInjector("templates")


class BadEq(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("compare")


def counted(n, given):
    return f"takes {n} positional argument{'' if n.endswith(' 1') else 's'} ({given} given)"


BIND_ERRORS = [  # (method, call, message after "method()")
    ("__init__", lambda: RuleInjector(1, 2), counted("at most 2", 3)),
    ("__init__", lambda: RuleInjector.__init__(), counted("at least 1", 0)),
    ("__init__", lambda: RuleInjector.__init__(templates_dir=1), counted("at least 1", 0)),
    ("__init__", lambda: RuleInjector.__init__(1, 2, 3, x=1), counted("at most 2", 3)),
    ("__init__", lambda: RuleInjector(None, templates_dir=None),
     "got multiple values for keyword argument 'templates_dir'"),
    ("__init__", lambda: RuleInjector(self=1), "got multiple values for keyword argument 'self'"),
    ("__init__", lambda: RuleInjector(template_dir=1),
     "got an unexpected keyword argument 'template_dir'"),
    ("inject", lambda: INJ.inject("claude"), counted("exactly 3", 2)),
    ("inject", lambda: INJ.inject(), counted("exactly 3", 1)),
    ("inject", lambda: INJ.inject(1, 2, 3), counted("exactly 3", 4)),
    ("inject", lambda: INJ.inject(1, 2, 3, bogus=1), counted("exactly 3", 4)),
    ("inject", lambda: INJ.inject(target_skills_dir=1), counted("exactly 3", 1)),
    ("inject", lambda: INJ.inject(target_runtime="claude"), counted("exactly 3", 2)),
    ("inject", lambda: RuleInjector.inject(target_runtime="a", target_skills_dir=1),
     counted("exactly 3", 0)),
    ("inject", lambda: INJ.inject("a", 1, target_skills_dir=2, target_runtime="b"),
     "got multiple values for keyword argument 'target_skills_dir'"),
    ("inject", lambda: INJ.inject("a", **{S("target_runtime"): "b"}),
     "got multiple values for keyword argument 'target_runtime'"),
    ("inject", lambda: INJ.inject("a", **{S("target"): 1}),
     "got an unexpected keyword argument 'target'"),
    ("_load_rule_content", lambda: INJ._load_rule_content(1), counted("exactly 1", 2)),
    ("_load_rule_content", lambda: RuleInjector._load_rule_content(), counted("exactly 1", 0)),
    ("_load_rule_content", lambda: RuleInjector._load_rule_content(self=1, slf=2),
     "got an unexpected keyword argument 'slf'"),
]
if pyobject_vectorcall is not None:
    BIND_ERRORS += [
        ("inject", lambda: pyobject_vectorcall(RuleInjector.inject, (INJ, "a", 1), (b"x",)),
         "keywords must be strings"),
        ("inject", lambda: pyobject_vectorcall(RuleInjector.inject, (INJ,), ()),
         counted("exactly 3", 1)),
        ("inject", lambda: pyobject_vectorcall(RuleInjector.inject, (INJ, "a", 1, 2),
                                               ("target_skills_dir", "target_skills_dir")),
         "got multiple values for keyword argument 'target_skills_dir'"),
    ]


@pytest.mark.parametrize("method, call, message", BIND_ERRORS)
def test_binding_error_message_and_one_traceback_entry(method, call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"{method}() {message}"
    assert module_frames(info.value) == [(PREFIX + method, SOURCE_FILE, LINES[method])]


def test_failing_keyword_comparison_propagates_with_traceback_entry():
    with pytest.raises(LookupError, match="compare") as info:
        INJ.inject("a", **{BadEq("target_skills_dir"): 1})
    assert [f[0] for f in module_frames(info.value)] == [PREFIX + "inject"]


def test_non_str_keyword_through_the_generic_call_slot():
    # The call slot refuses the dict before binding sees it, so the text has no method name.
    with pytest.raises(TypeError) as info:
        RuleInjector.inject.__call__(INJ, "a", **{1: 2})
    assert str(info.value) == "keywords must be strings"


SUBCLASS_NOTE = ("Parameters annotated with a built-in type accept only that exact type, not "
                 "its subclasses, which is stricter than PEP 484 requires. Pass an exact str "
                 "instead, e.g. str(runtime).")


@pytest.mark.parametrize("runtime, type_name, notes", [(None, "NoneType", []), (3, "int", []),
                                                       (S("claude"), "S", [SUBCLASS_NOTE])])
def test_target_runtime_must_be_exactly_str(runtime, type_name, notes):
    with pytest.raises(TypeError) as info:
        INJ.inject(runtime, object())
    assert str(info.value) == ("Argument 'target_runtime' has incorrect type "
                               f"(expected str, got {type_name})")
    assert getattr(info.value, "__notes__", []) == notes
    assert module_frames(info.value) == []


def test_calls_that_bind():
    out = object()
    assert RuleInjector(templates_dir=out).templates_dir is out
    assert RuleInjector(**{S("templates_dir"): out}).templates_dir is out
    assert RuleInjector.inject(self=None, target_runtime="zzz", target_skills_dir=out) is None
    assert RuleInjector.inject(**{S("self"): 1, "target_runtime": "zzz",
                                  S("target_skills_dir"): 2}) is None
    with pytest.raises(AttributeError, match="'int' object has no attribute 'parent'"):
        RuleInjector.inject(self=None, target_skills_dir=7, target_runtime="claude")


# --- CPython's binding of plain functions as the reference -----------------------------

class Reached(Exception):
    """The body touched a probe: (probe, attribute[, value])."""


class Probe:
    def __init__(self, tag):
        object.__setattr__(self, "tag", tag)

    def __repr__(self):
        return f"Probe({object.__getattribute__(self, 'tag')})"

    def __getattribute__(self, name):
        if name == "parent":  # as a skills dir, let inject go on until it asks self
            return Folder(self)
        raise Reached(self, name)

    def __setattr__(self, name, value):
        raise Reached(self, name, value)


class Folder:
    def __init__(self, skills_dir):
        self.skills_dir = skills_dir

    def __truediv__(self, name):
        LOG["target_skills_dir"] = self.skills_dir
        return self

    def exists(self):
        return False


class Table:
    def get(self, runtime):
        LOG["target_runtime"] = runtime
        return "CFG.md"


LOG = {}
DEFAULT = object()


def ref_init(self, templates_dir=None): return locals()
def ref_inject(self, target_runtime, target_skills_dir): return locals()
def ref_load(self): return locals()


REFS = {"__init__": ref_init, "inject": ref_inject, "_load_rule_content": ref_load}
NEAR = ["slf", "Self", "ſelf", "templates_dirs", "target_runtim", "x"]
FORMS = {"interned": lambda n: n, "copy": lambda n: n.encode().decode(), "subclass": S,
         "bytes": lambda n: n.encode(), "int": len}
FORM_DRAW = st.sampled_from(["interned"] * 3 + ["copy"] * 2 + ["subclass"] * 2 + ["bytes", "int"])
SELDOM = st.sampled_from([False] * 3 + [True])


def vcall(func, pos, names, vals, empty):
    if pyobject_vectorcall is not None:
        return pyobject_vectorcall(func, (*pos, *vals), tuple(names) if names or empty else None)
    kwargs = dict(zip(names, vals))  # a dict can hold neither repeats nor non-str names
    assume(len(kwargs) == len(names) and all(isinstance(n, str) for n in names))
    return func(*pos, **kwargs)


def observe(method, pos, names, vals, empty):
    """What the body saw: {parameter: value}, or the TypeError text binding raised."""
    LOG.clear()
    try:
        vcall(getattr(RuleInjector, method), pos, names, vals, empty)
    except TypeError as e:
        return str(e)
    except Reached as r:
        probe, attr, *value = r.args
        seen = {"self": probe, **LOG}
        if method == "__init__":
            seen["templates_dir"] = None if value[0] is DEFAULT else value[0]
        return seen
    raise AssertionError("the body ran without touching a probe")


@settings(max_examples=500, deadline=None)
@given(method=st.sampled_from(sorted(REFS)), data=st.data(), empty=st.booleans(),
       runtime_is_str=st.booleans())
def test_binds_like_cpython(method, data, empty, runtime_is_str):
    # A call that fits, then disturbed by names already given, repeated or misspelt.
    params = list(REFS[method].__code__.co_varnames)
    npos = data.draw(st.integers(0, len(params)) | st.integers(0, 5), label="npos")
    names = params[npos:]
    if names and data.draw(SELDOM):
        names.remove(data.draw(st.sampled_from(names)))
    if data.draw(SELDOM):
        names.append(data.draw(st.sampled_from(params + NEAR)))
    names = [FORMS[data.draw(FORM_DRAW)](n) for n in data.draw(st.permutations(names))]
    args = [Probe(i) for i in range(npos + len(names))]
    try:
        expected = vcall(REFS[method], args[:npos], names, args[npos:], empty)
    except TypeError:
        message = observe(method, args[:npos], names, args[npos:], empty)
        assert isinstance(message, str) and message.startswith(method + "()"), message
        return
    if method == "inject" and runtime_is_str:
        i = next(i for i, a in enumerate(args) if a is expected["target_runtime"])
        args[i] = expected["target_runtime"] = f"zzz{i}"
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(ri, "get_builtin_templates_dir", lambda: DEFAULT)
        mp.setattr(ri, "RUNTIME_CONFIG_FILES", Table())
        seen = observe(method, args[:npos], names, args[npos:], empty)
    if method == "inject" and not runtime_is_str:
        assert seen == ("Argument 'target_runtime' has incorrect type "
                        "(expected str, got Probe)")
    else:
        assert isinstance(seen, dict) and seen.keys() == expected.keys(), seen
        assert all(seen[k] is expected[k] for k in expected), (seen, expected)


# --- reference counts -------------------------------------------------------------------

a, b, c = object(), object(), object()
BAD_NAME, SUB_NAME, NOT_STR = BadEq("target_skills_dir"), S("target_runtime"), b"key"
LEAKY = [
    (lambda: RuleInjector.__init__(a, b, c), (a, b, c)),
    (lambda: RuleInjector.__init__(a, b, c, templates_dir=a), (a, b, c)),
    (lambda: RuleInjector.inject(a, target_skills_dir=b), (a, b)),
    (lambda: RuleInjector.inject(a, target_skills_dir=b, target_runtime=c, self=a), (a, b, c)),
    (lambda: RuleInjector.inject(a, target_skills_dir=b, nope=c), (a, b, c)),
    (lambda: RuleInjector.inject(a, target_skills_dir=b, **{SUB_NAME: c, "self": a}),
     (a, b, c, SUB_NAME)),
    (lambda: RuleInjector.inject(a, b, **{BAD_NAME: c}), (a, b, c, BAD_NAME)),
    (lambda: RuleInjector.inject(a, SUB_NAME, b), (a, b, SUB_NAME)),
]
if pyobject_vectorcall is not None:
    LEAKY.append((lambda: pyobject_vectorcall(RuleInjector.inject, (a, b, c),
                                              ("target_runtime", NOT_STR)), (a, b, c, NOT_STR)))


@pytest.mark.slow
@pytest.mark.parametrize("call, objects", LEAKY)
def test_failing_binding_releases_everything(call, objects):
    assert_no_leaks(call, *objects, repeat=10_000)


def test_the_early_return_allocates_nothing(tmp_path):
    import tracemalloc
    from itertools import repeat

    injector, skills = ri.RuleInjector(tmp_path), tmp_path / ".x" / "skills"
    calls = [lambda: injector.inject("vscode", skills),
             lambda: injector.inject(target_runtime="vscode", target_skills_dir=skills),
             lambda: ri.RuleInjector.inject(injector, "vscode", skills)]
    tracemalloc.start()
    try:
        for call in calls:
            for _ in repeat(None, 50):  # let the interpreter settle its own caches
                call()
            loop = repeat(None, 1000)
            before = tracemalloc.get_traced_memory()[0]
            tracemalloc.reset_peak()
            for _ in loop:
                assert call() is None
            assert tracemalloc.get_traced_memory() == (before, before)  # not even for a while
    finally:
        tracemalloc.stop()


def test_construction_follows_every_change_to_the_class(monkeypatch, tmp_path):
    from kestrix.skills.packaging import get_builtin_templates_dir

    cls = ri.RuleInjector
    assert cls(tmp_path).templates_dir == tmp_path
    assert cls().templates_dir == get_builtin_templates_dir()

    class Own(cls):
        def __init__(self, value):
            self.value = value

    assert Own(1).value == 1 and not hasattr(Own(1), "templates_dir")
    seen = []
    monkeypatch.setattr(cls, "__init__", lambda self, *a, **k: seen.append((a, k)))
    cls(1, k=2)
    assert seen == [((1,), {"k": 2})] and not hasattr(cls(), "templates_dir")
    monkeypatch.setattr(cls, "__init__", lambda self: 5)
    with pytest.raises(TypeError, match=r"^__init__\(\) should return None, not 'int'$"):
        cls()
    monkeypatch.undo()
    assert cls(templates_dir=tmp_path).templates_dir == tmp_path  # its own again
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 2 positional arguments "
                                        r"\(9 given\)$") as caught:
        cls(*range(8))  # more than the short way takes: the generic path, same message
    assert module_frames(caught.value) == [(PREFIX + "__init__", SOURCE_FILE, 36)]
    assert type(cls()) is cls and cls(None).templates_dir == get_builtin_templates_dir()
    # In a child: a class that had its own __new__ keeps a __new__ slot once it is deleted.
    done = run_python("""
        from kestrix.skills.services.rule_injector import RuleInjector
        RuleInjector.__new__ = staticmethod(lambda c, *a, **k: "made")
        print(RuleInjector(1))
    """)
    assert done.stdout == "made\n"
