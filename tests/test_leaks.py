"""Reference and memory leaks over every success and failure path of the three methods
(binding and bodies) and of the module's attribute reads and writes. Each path runs a few
hundred times; the reference counts of the objects it touches and the traced memory must
not grow."""

import os
from types import SimpleNamespace

import pytest

from conftest import FakePath, S, assert_no_leaks, assert_no_memory_growth
from kestrix.skills.services import rule_injector as ri
from kestrix.skills.services.rule_injector import RuleInjector

pytestmark = pytest.mark.slow

DELETE = object()  # in a rebind table: remove the global


class Unsure:
    def __bool__(self):
        raise ValueError("no truth value")


class Slotted:
    __slots__ = ()


def no_templates_dir():
    raise ValueError("no templates")


def fresh(text: str) -> str:
    """A new str object, not an interned constant, so its reference count is ours."""
    return "".join(list(text))


@pytest.fixture
def t(tmp_path, templates, monkeypatch):
    skills = tmp_path / "project" / ".claude" / "skills"
    skills.mkdir(parents=True)
    bare = tmp_path / "bare"
    bare.mkdir()
    (tmp_path / "file").write_text("not a folder")
    return SimpleNamespace(
        tmp=tmp_path, skills=skills, config=skills.parent / "CLAUDE.md", bare=bare,
        templates=templates, inj=RuleInjector(bare), ruled=RuleInjector(templates),
        claude=fresh("claude"), vscode=fresh("vscode"), text=fresh("<!-- other -->"),
        sub=S("claude"), slotted=Slotted(), probe=FakePath(True, fresh("old text"), "rewrite"),
        bytes_probe=FakePath(True, b" rule "), mp=monkeypatch)


def with_config(content: bytes, call):
    """A case whose configuration file holds `content` before every call."""
    def build(t):
        def run():
            t.config.write_bytes(content)
            return call(t)
        return run, [t.inj, t.claude, t.skills]
    return build


def blank_rule(t):
    (t.templates / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md").write_text("  \n")
    return lambda: t.ruled.inject(t.claude, t.skills), [t.ruled, t.claude, t.skills]


def subclass_rule(t):
    class Own(RuleInjector):
        def _load_rule_content(self, text=t.text):
            return text
    injector = Own(t.bare)
    return lambda: (injector.inject(t.claude, t.skills), t.config.unlink()), [injector, t.text]


def inject_claude(t):
    return t.inj.inject(t.claude, t.skills)


# (id, exception expected or None, globals to rebind, build(t) -> (call, objects))
CASES = [
    # __init__
    ("init-given", None, {}, lambda t: (lambda: RuleInjector(t.bare), [t.bare])),
    ("init-keyword", None, {}, lambda t: (lambda: RuleInjector(templates_dir=t.bare), [t.bare])),
    ("init-builtin-dir", None, {}, lambda t: (RuleInjector, [ri.get_builtin_templates_dir])),
    ("init-too-many", TypeError, {}, lambda t: (lambda: RuleInjector(t.bare, t.bare), [t.bare])),
    ("init-unknown-keyword", TypeError, {},
     lambda t: (lambda: RuleInjector(nope=t.bare), [t.bare])),
    ("init-repeated-keyword", TypeError, {},
     lambda t: (lambda: RuleInjector(t.bare, templates_dir=t.bare), [t.bare])),
    ("init-attribute-refused", AttributeError, {},
     lambda t: (lambda: RuleInjector.__init__(t.slotted, t.bare), [t.slotted, t.bare])),
    ("init-builtin-dir-raises", ValueError, {"get_builtin_templates_dir": no_templates_dir},
     lambda t: (RuleInjector, [no_templates_dir])),
    ("init-builtin-dir-missing", NameError, {"get_builtin_templates_dir": DELETE},
     lambda t: (RuleInjector, [])),
    # inject: results
    ("inject-unknown-runtime", None, {},
     lambda t: (lambda: t.inj.inject(t.vscode, t.skills), [t.inj, t.vscode, t.skills])),
    ("inject-keywords", None, {},
     lambda t: (lambda: t.inj.inject(target_skills_dir=t.skills, target_runtime=t.vscode),
                [t.inj, t.vscode, t.skills])),
    ("inject-through-class", None, {},
     lambda t: (lambda: RuleInjector.inject(t.inj, t.vscode, t.skills), [t.inj, t.vscode])),
    ("inject-marker-present", None, {}, with_config(ri.RULE_MARKER.encode(), inject_claude)),
    ("inject-appends", None, {}, with_config(b"old\r\ntext", inject_claude)),
    ("inject-new-file", None, {},
     lambda t: (lambda: (t.ruled.inject(t.claude, t.skills), t.config.unlink()),
                [t.ruled, t.claude, t.skills])),
    ("inject-blank-rule", None, {}, blank_rule),
    ("inject-subclass-rule", None, {}, subclass_rule),
    # inject: binding and the runtime's type
    ("inject-missing-argument", TypeError, {},
     lambda t: (lambda: t.inj.inject(t.claude), [t.inj, t.claude])),
    ("inject-unknown-keyword", TypeError, {},
     lambda t: (lambda: t.inj.inject(t.claude, t.skills, nope=t.bare), [t.inj, t.bare])),
    ("inject-repeated-keyword", TypeError, {},
     lambda t: (lambda: t.inj.inject(t.claude, target_runtime=t.claude), [t.inj, t.claude])),
    ("inject-through-class-no-arguments", TypeError, {},
     lambda t: (lambda: RuleInjector.inject(), [])),
    ("inject-runtime-none", TypeError, {},
     lambda t: (lambda: t.inj.inject(None, t.skills), [t.inj, t.skills])),
    ("inject-runtime-subclass", TypeError, {},
     lambda t: (lambda: t.inj.inject(t.sub, t.skills), [t.inj, t.sub])),
    # inject: failing steps
    ("inject-skills-without-parent", AttributeError, {},
     lambda t: (lambda: t.inj.inject(t.claude, t.vscode), [t.inj, t.vscode])),
    ("inject-table-without-get", AttributeError, {"RUNTIME_CONFIG_FILES": 5},
     lambda t: (lambda: t.inj.inject(t.claude, t.skills), [t.inj, t.claude])),
    ("inject-truth-test-fails", ValueError, {"RUNTIME_CONFIG_FILES": {"claude": Unsure()}},
     lambda t: (lambda: t.inj.inject(t.claude, t.skills), [t.inj, t.claude])),
    ("inject-not-utf8", UnicodeDecodeError, {}, with_config(b"ok \xff", inject_claude)),
    ("inject-marker-missing", NameError, {"RULE_MARKER": DELETE},
     with_config(b"text", inject_claude)),
    ("inject-mkdir-fails", OSError, {},
     lambda t: (lambda: t.inj.inject(t.claude, t.tmp / "file" / "skills"), [t.inj])),
    ("inject-rewrite-fails-and-restores", OSError, {},
     lambda t: (lambda: t.inj.inject(t.claude, t.probe), [t.inj, t.probe, t.probe._text])),
    ("inject-rule-not-str", TypeError, {},
     lambda t: (lambda: RuleInjector(t.bytes_probe).inject(t.claude, t.skills),
                [t.claude, t.bytes_probe])),
    # _load_rule_content
    ("load-from-file", None, {}, lambda t: (t.ruled._load_rule_content, [t.ruled, t.templates])),
    ("load-builtin", None, {}, lambda t: (t.inj._load_rule_content, [t.inj])),
    ("load-extra-argument", TypeError, {},
     lambda t: (lambda: t.inj._load_rule_content(t.bare), [t.inj, t.bare])),
    ("load-no-templates-attribute", AttributeError, {},
     lambda t: (lambda: RuleInjector._load_rule_content(t.slotted), [t.slotted])),
    ("load-bad-division", TypeError, {},
     lambda t: (RuleInjector(t.slotted)._load_rule_content, [t.slotted])),
    ("load-not-str", TypeError, {},
     lambda t: (RuleInjector(t.bytes_probe)._load_rule_content, [t.bytes_probe])),
    ("load-default-missing", NameError, {"_DEFAULT_RULE_CONTENT": DELETE},
     lambda t: (t.inj._load_rule_content, [t.inj])),
    # module attributes
    ("module-read", None, {}, lambda t: (lambda: ri.RULE_MARKER, [ri, ri.RULE_MARKER])),
    ("module-read-missing", AttributeError, {}, lambda t: (lambda: ri.no_such_name, [ri])),
    ("module-rebind", None, {"RULE_MARKER": ri.RULE_MARKER},
     lambda t: (lambda: setattr(ri, "RULE_MARKER", t.text), [ri, t.text])),
    ("module-add-and-delete", None, {},
     lambda t: (lambda: (setattr(ri, "extra", t.text), delattr(ri, "extra")), [ri, t.text])),
]


@pytest.mark.parametrize("check", ["refcounts", "traced-memory"])
@pytest.mark.parametrize("expected, rebinds, build", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_path_keeps_nothing(t, expected, rebinds, build, check):
    if check == "traced-memory" and os.environ.get("PYTHONMALLOC", "").startswith("malloc"):
        pytest.skip("with PYTHONMALLOC=malloc the interpreter's own file opening grows "
                    "traced memory for a while; the reference counts are still checked")
    for name, value in rebinds.items():
        if value is DELETE:
            t.mp.delattr(ri, name)
        else:
            t.mp.setattr(ri, name, value)
    call, objects = build(t)
    if expected is None:
        call()
    else:
        with pytest.raises(expected):
            call()
    if check == "refcounts":
        assert_no_leaks(call, RuleInjector, *vars(RuleInjector).values(), *objects)
    else:
        assert_no_memory_growth(call)
