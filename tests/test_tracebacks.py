"""Each failing statement adds one traceback entry: qualified name, file, line."""

from pathlib import Path

import pytest

from conftest import PREFIX, SOURCE_FILE, Boom, FakePath, Raises, module_frames
from kestrix.skills.services import rule_injector as ri
from kestrix.skills.services.rule_injector import RuleInjector

INIT, INJECT, LOAD = PREFIX + "__init__", PREFIX + "inject", PREFIX + "_load_rule_content"


def _injector(templates=None, load=None):
    injector = RuleInjector(templates if templates is not None else Path("/nonexistent"))
    if load is not None:
        injector._load_rule_content = load
    return injector


def _raise_boom():
    raise Boom()


CASES = {
    # inject
    "table-missing-get": (lambda mp: mp.setattr(ri, "RUNTIME_CONFIG_FILES", None),
                          lambda: _injector().inject("claude", FakePath()), [(INJECT, 63)]),
    "name-not-truthy": (lambda mp: mp.setitem(ri.RUNTIME_CONFIG_FILES, "claude", Raises()),
                        lambda: _injector().inject("claude", FakePath()), [(INJECT, 64)]),
    "parent-fails": (None, lambda: _injector().inject("claude", Raises()), [(INJECT, 68)]),
    "join-fails": (None, lambda: _injector().inject("claude", FakePath(fail="div")),
                   [(INJECT, 68)]),
    "exists-fails": (None, lambda: _injector().inject("claude", FakePath(fail="exists")),
                     [(INJECT, 72)]),
    "exists-not-truthy": (None, lambda: _injector().inject("claude", FakePath(fail="exists-bool")),
                          [(INJECT, 72)]),
    "read-fails": (None, lambda: _injector().inject("claude", FakePath(True, fail="read_text")),
                   [(INJECT, 73)]),
    "contains-fails": (None, lambda: _injector().inject("claude", FakePath(True, text=5)),
                       [(INJECT, 74)]),
    "load-fails": (None, lambda: _injector(load=_raise_boom).inject("claude", FakePath()),
                   [(INJECT, 78)]),
    "load-fails-inside": (None, lambda: _injector(templates=5).inject("claude", FakePath()),
                          [(INJECT, 78), (LOAD, 93)]),
    "rule-not-truthy": (None, lambda: _injector(load=Raises).inject("claude", FakePath()),
                        [(INJECT, 79)]),
    "marker-not-formattable": (lambda mp: mp.setattr(ri, "RULE_MARKER", Raises()),
                               lambda: _injector().inject("claude", FakePath()), [(INJECT, 83)]),
    "mkdir-fails": (None, lambda: _injector().inject("claude", FakePath(fail="mkdir")),
                    [(INJECT, 84)]),
    "write-fails": (None, lambda: _injector().inject("claude", FakePath(fail="write_text")),
                    [(INJECT, 85)]),
    # __init__
    "store-given-fails": (None, lambda: RuleInjector.__init__(object(), "t"), [(INIT, 43)]),
    "builtin-dir-fails": (lambda mp: mp.setattr(ri, "get_builtin_templates_dir", _raise_boom),
                          RuleInjector, [(INIT, 45)]),
    "builtin-dir-missing": (lambda mp: mp.delattr(ri, "get_builtin_templates_dir"),
                            RuleInjector, [(INIT, 45)]),
    # _load_rule_content
    "templates-not-divisible": (None, lambda: _injector(templates=5)._load_rule_content(),
                                [(LOAD, 93)]),
    "relative-missing": (lambda mp: mp.delattr(ri, "_RULE_SOURCE_RELATIVE"),
                         lambda: _injector()._load_rule_content(), [(LOAD, 93)]),
    "rule-exists-fails": (None, lambda: _injector(FakePath(fail="exists"))._load_rule_content(),
                          [(LOAD, 94)]),
    "rule-read-fails": (None,
                        lambda: _injector(FakePath(True, fail="read_text"))._load_rule_content(),
                        [(LOAD, 95)]),
    "rule-strip-wrong-type": (None, lambda: _injector(FakePath(True, b" x "))._load_rule_content(),
                              [(LOAD, 95)]),
    "default-wrong-type": (lambda mp: mp.setattr(ri, "_DEFAULT_RULE_CONTENT", b"rule"),
                           lambda: _injector()._load_rule_content(), [(LOAD, 98)]),
    "default-missing": (lambda mp: mp.delattr(ri, "_DEFAULT_RULE_CONTENT"),
                        lambda: _injector()._load_rule_content(), [(LOAD, 98)]),
}


@pytest.mark.parametrize("prepare, call, expected", CASES.values(), ids=CASES.keys())
def test_failing_step_reports_its_line(monkeypatch, prepare, call, expected):
    if prepare:
        prepare(monkeypatch)
    with pytest.raises(Exception) as caught:
        call()
    assert module_frames(caught.value) == [(name, SOURCE_FILE, line) for name, line in expected]


@pytest.mark.parametrize("value, type_name", [(b" rule ", "bytes"), (42, "int")])
def test_result_check_message(monkeypatch, value, type_name):
    class Text:
        def strip(self):
            return value

    monkeypatch.setattr(ri, "_DEFAULT_RULE_CONTENT", Text())
    with pytest.raises(TypeError, match=f"^Expected str, got {type_name}$"):
        _injector()._load_rule_content()


def test_errors_propagate_unchanged(monkeypatch):
    error = Boom("original")

    def fail():
        raise error

    monkeypatch.setattr(ri, "get_builtin_templates_dir", fail)
    with pytest.raises(Boom) as caught:
        RuleInjector()
    assert caught.value is error and caught.value.args == ("original",)


def test_repeated_failures_reuse_one_code_object(monkeypatch):
    monkeypatch.setattr(ri, "get_builtin_templates_dir", _raise_boom)
    codes = []
    for _ in range(3):
        with pytest.raises(Boom) as caught:
            RuleInjector()
        tb = caught.value.__traceback__
        while tb.tb_frame.f_code.co_filename != SOURCE_FILE:
            tb = tb.tb_next
        codes.append(tb.tb_frame.f_code)
        assert module_frames(caught.value) == [(INIT, SOURCE_FILE, 45)]
    assert codes[0] is codes[1] is codes[2]
    assert (codes[0].co_name, codes[0].co_firstlineno) == (INIT, 45)
