"""Importing the module: namespace, sys.modules, globals read at the moment of use,
and the once-per-process rules (checked in fresh interpreters)."""

import builtins
import os
import subprocess
import sys
from pathlib import Path, PurePath

import pytest

from conftest import PREFIX, SOURCE_FILE, module_frames, run_python
from kestrix.skills.services import rule_injector as ri

EXEC = "init kestrix.skills.services.rule_injector"
FULL_NAME = "kestrix.skills.services.rule_injector"


def test_namespace_and_constants():
    assert sys.modules[FULL_NAME] is ri
    own = {k for k in vars(ri) if not (k.startswith("__") and k.endswith("__"))}
    assert own == {"Path", "get_builtin_templates_dir", "RUNTIME_CONFIG_FILES", "RULE_MARKER",
                   "_RULE_SOURCE_RELATIVE", "RuleInjector", "_DEFAULT_RULE_CONTENT"}
    assert ri.__test__ == {} and ri.__builtins__ is builtins
    assert ri.Path is Path
    assert list(ri.RUNTIME_CONFIG_FILES.items()) == [
        ("claude", "CLAUDE.md"), ("openclaw", "AGENTS.md"), ("codex", "AGENTS.md"),
        ("opencode", "AGENTS.md")]
    assert ri._RULE_SOURCE_RELATIVE == PurePath("kestrix-feedback", "data", "FEEDBACK_RULE.md")
    assert str(ri._RULE_SOURCE_RELATIVE) == os.path.join("kestrix-feedback", "data",
                                                         "FEEDBACK_RULE.md")
    rule = ri._DEFAULT_RULE_CONTENT
    assert rule.count("\n") == 22 and rule.endswith("去重）\n") and "\r" not in rule
    assert ri.__doc__.endswith("跨平台路径。\n") and ri.__doc__.count("\n") == 4
    cls = ri.RuleInjector
    assert cls.__module__ == FULL_NAME and cls.__bases__ == (object,) and type(cls) is type
    assert cls.__doc__.endswith("\n    ") and cls.__doc__.startswith("向编辑器配置文件注入")


def test_class_is_ordinary():
    injector = ri.RuleInjector("t")
    injector.extra = 1  # instances carry a __dict__
    assert vars(injector) == {"templates_dir": "t", "extra": 1}


def test_rebound_globals_are_seen_on_the_next_call(monkeypatch, tmp_path):
    injector = ri.RuleInjector(tmp_path)
    monkeypatch.setitem(ri.RUNTIME_CONFIG_FILES, "zed", "ZED.md")
    assert injector.inject("zed", tmp_path / ".zed" / "skills") == tmp_path / ".zed" / "ZED.md"
    monkeypatch.setattr(ri, "RULE_MARKER", "<!-- other -->")
    monkeypatch.setattr(ri, "_DEFAULT_RULE_CONTENT", "  short rule \n")
    target = injector.inject("claude", tmp_path / ".claude" / "skills")
    assert target.read_text(encoding="utf-8") == "\n\n<!-- other -->\n\nshort rule\n"
    monkeypatch.setattr(ri, "RUNTIME_CONFIG_FILES", {})
    assert injector.inject("claude", tmp_path / ".claude" / "skills") is None

    class AnyCase(dict):
        def get(self, key, default=None):
            return super().get(key.lower(), default)

    # A mapping's own `get` decides, even for a dict subclass.
    monkeypatch.setattr(ri, "RUNTIME_CONFIG_FILES", AnyCase(zed="ZED.md"))
    assert injector.inject("ZED", tmp_path / ".zed" / "skills") == tmp_path / ".zed" / "ZED.md"


def test_deleted_global_falls_back_to_builtins(monkeypatch, tmp_path):
    skills = tmp_path / ".claude" / "skills"
    (tmp_path / ".claude").mkdir()
    (tmp_path / ".claude" / "CLAUDE.md").write_text("<!-- in builtins -->")
    monkeypatch.delattr(ri, "RULE_MARKER")
    with pytest.raises(NameError, match=r"^name 'RULE_MARKER' is not defined$") as caught:
        ri.RuleInjector(tmp_path).inject("claude", skills)
    assert module_frames(caught.value) == [(PREFIX + "inject", SOURCE_FILE, 74)]
    monkeypatch.setattr(builtins, "RULE_MARKER", "<!-- in builtins -->", raising=False)
    assert ri.RuleInjector(tmp_path).inject("claude", skills) == skills.parent / "CLAUDE.md"


def test_global_reads_follow_shadowing_clearing_and_probe_errors(tmp_path):
    # The module remembers bindings between changes; every change must still be seen.
    done = run_python(f"""
        import builtins
        from pathlib import Path
        from kestrix.skills.services import rule_injector as ri
        injector, skills = ri.RuleInjector(Path({str(tmp_path)!r})), Path({str(tmp_path)!r}) / "s"
        table = ri.RUNTIME_CONFIG_FILES
        def target():
            try:
                found = injector.inject("x", skills)
                return found.name if found else None
            except NameError as e:
                return str(e)
        seen = [target()]                                  # not in the table
        ri.RUNTIME_CONFIG_FILES = {{"x": "A.md"}}; seen.append(target())
        del ri.RUNTIME_CONFIG_FILES; seen.append(target())
        builtins.RUNTIME_CONFIG_FILES = {{"x": "B.md"}}; seen.append(target())
        builtins.RUNTIME_CONFIG_FILES = {{"x": "C.md"}}; seen.append(target())
        ri.RUNTIME_CONFIG_FILES = {{"x": "D.md"}}; seen.append(target())   # shadows builtins
        del builtins.RUNTIME_CONFIG_FILES; seen.append(target())
        del ri.RUNTIME_CONFIG_FILES; seen.append(target())
        ri.RUNTIME_CONFIG_FILES = table; table["x"] = "E.md"; seen.append(target())
        namespace = dict(vars(ri)); vars(ri).clear(); seen.append(target())
        vars(ri).update(namespace); seen.append(target())
        print(seen)
        import atexit  # at teardown the bindings are still read as they are then
        atexit.register(lambda: print("at exit", target(), flush=True))
        atexit.register(lambda: table.pop("x"))

        class Collides(str):
            def __hash__(self):
                return hash("RULE_MARKER")
            def __eq__(self, other):
                raise LookupError("comparison failed")
        # A probe that raises is not a miss: the built-in of that name must not be used.
        builtins.RULE_MARKER = ri.RULE_MARKER
        del ri.RULE_MARKER
        vars(ri)[Collides("zz")] = 1
        (Path({str(tmp_path)!r}) / "C").mkdir()
        (Path({str(tmp_path)!r}) / "C" / "CLAUDE.md").write_text("x")
        try:
            injector.inject("claude", Path({str(tmp_path)!r}) / "C" / "skills")
        except LookupError as e:
            import traceback
            print(e, [f.lineno for f in traceback.extract_tb(e.__traceback__)
                      if f.filename == {SOURCE_FILE!r}])
    """)
    seen, probe, at_exit = done.stdout.splitlines()
    assert at_exit == "at exit None"  # not the E.md remembered before
    missing = "name 'RUNTIME_CONFIG_FILES' is not defined"
    assert eval(seen) == [None, "A.md", missing, "B.md", "C.md", "D.md", "D.md", missing,
                          "E.md", missing, "E.md"]
    assert probe == "comparison failed [74]"


# --- fresh interpreters ------------------------------------------------------

SO_PATH = ri.__file__


@pytest.mark.slow
def test_reimport_gives_the_same_module_without_running_the_body():
    run_python(f"""
        import sys, importlib, _imp
        import {FULL_NAME} as first
        first.RULE_MARKER = "changed"
        del sys.modules["{FULL_NAME}"]
        import {FULL_NAME} as second
        assert second is first and second.RULE_MARKER == "changed"
        assert _imp.exec_dynamic(first) == 0  # running the exec step again does nothing
        """)


@pytest.mark.slow
def test_exec_against_another_module_object_is_refused():
    run_python(f"""
        import importlib.util, _imp
        spec = importlib.util.find_spec("{FULL_NAME}")
        other = _imp.create_dynamic(spec)  # made before the real import, so not the stored one
        import {FULL_NAME} as real
        assert other is not real
        try:
            _imp.exec_dynamic(other)
        except RuntimeError as e:
            assert str(e) == ("Module 'rule_injector' has already been imported. "
                              "Re-initialisation is not supported."), e
        else:
            raise AssertionError("no error")
        """)


MISSING_HOST = f"""
    import sys, traceback, types
    {{prepare}}
    try:
        import {FULL_NAME}
    except ImportError as e:
        tb = [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(e.__traceback__)
              if f.filename == "{SOURCE_FILE}"]
        assert tb == [("{EXEC}", "{SOURCE_FILE}", 11)], tb
        print(type(e).__name__, e)
    else:
        raise AssertionError("import worked")
    assert "{FULL_NAME}" not in sys.modules
    del sys.modules["kestrix.skills.packaging"]
    import {FULL_NAME} as m
    assert m.RuleInjector().templates_dir.name == "templates"
    """


@pytest.mark.slow
@pytest.mark.parametrize("prepare, message", [
    ('sys.modules["kestrix.skills.packaging"] = None',
     "import of kestrix.skills.packaging halted"),
    ('sys.modules["kestrix.skills.packaging"] = types.ModuleType("kestrix.skills.packaging")',
     "cannot import name get_builtin_templates_dir"),
])
def test_missing_host_fails_at_line_11_and_a_retry_works(prepare, message):
    done = run_python(MISSING_HOST.format(prepare=prepare))
    assert message in done.stdout


@pytest.mark.slow
def test_failed_import_under_short_name_leaves_no_full_name_entry():
    run_python(f"""
        import sys, importlib.util
        sys.modules["kestrix.skills.packaging"] = None
        spec = importlib.util.spec_from_file_location("rule_injector", {SO_PATH!r})
        short = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(short)
        except ImportError:
            pass
        else:
            raise AssertionError("import worked")
        assert "{FULL_NAME}" not in sys.modules
        del sys.modules["kestrix.skills.packaging"]
        short = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(short)
        assert sys.modules["{FULL_NAME}"] is short and short.__name__ == "rule_injector"
        """)


@pytest.mark.slow
def test_second_interpreter_is_refused_and_the_first_keeps_working(tmp_path):
    out = tmp_path / "sub.txt"
    sub_code = (f"try:\n    import {FULL_NAME}\n"
                f"except ImportError as e:\n    open({str(out)!r}, 'w').write(str(e))\n")
    run_python(f"""
        import _interpreters
        import {FULL_NAME} as m
        sub = _interpreters.create("legacy")
        _interpreters.run_string(sub, {sub_code!r})
        _interpreters.destroy(sub)
        assert m.RuleInjector("x").inject("vscode", None) is None
        """)
    assert out.read_text() == ("Interpreter change detected - this module can only be loaded "
                               "into one interpreter per process.")


@pytest.fixture(scope="session")
def other_version_build(tmp_path_factory):
    """The module built to claim it was compiled for 3.12."""
    root = Path(__file__).resolve().parent.parent
    build = tmp_path_factory.mktemp("seam")
    cmake = [os.path.join(os.path.dirname(sys.executable), "cmake")]
    if not os.path.exists(cmake[0]):
        cmake = ["cmake"]
    subprocess.run(cmake + ["-S", str(root), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                            f"-DPython_EXECUTABLE={sys.executable}",
                            "-DRULE_INJECTOR_COMPILED_MINOR=12"],
                   check=True, capture_output=True)
    subprocess.run(cmake + ["--build", str(build), "-j2"], check=True, capture_output=True)
    (so,) = build.glob("rule_injector*.so")
    return so


LOAD_SEAM = f"""
    import sys, warnings, importlib.util
    spec = importlib.util.spec_from_file_location("{FULL_NAME}", {{so!r}})
    m = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = m
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("{{action}}")
        spec.loader.exec_module(m)
    assert [str(w.message) for w in seen] == [
        "compile time Python version 3.12 of module '{FULL_NAME}' does not match "
        "runtime version 3.{sys.version_info.minor}"], seen
    assert seen[0].category is RuntimeWarning
    assert m.RuleInjector("t").templates_dir == "t"
    """


@pytest.mark.slow
def test_version_mismatch_warns_once_then_imports(other_version_build):
    run_python(LOAD_SEAM.format(so=str(other_version_build), action="always"))


@pytest.mark.slow
def test_version_mismatch_as_error_fails_the_import(other_version_build):
    done = run_python(LOAD_SEAM.format(so=str(other_version_build), action="error"), check=False)
    assert done.returncode != 0
    assert "RuntimeWarning: compile time Python version 3.12" in done.stderr


# The process-wide state keeps the module for the life of the process, but the shutdown
# releases it with the modules nothing else holds (one collection, the namespace whole)
# rather than in the later clearing of the modules still alive, which sets the namespace's
# names to None one by one and costs a process that merely imported the module about a
# millisecond. A method run by a finalizer in that collection finds the module as it is: whole,
# or released (NameError), never a crash.
def test_shutdown_releases_the_module_with_its_namespace_whole(tmp_path):
    done = run_python(f"""
        import pathlib
        from kestrix.skills.services import rule_injector as ri

        namespace = vars(ri)
        skills = pathlib.Path({str(tmp_path)!r}) / ".claude" / "skills"

        class Watcher:
            def __del__(self):
                whole = namespace.get("_DEFAULT_RULE_CONTENT") is not None
                try:
                    outcome = type(ri.RuleInjector().inject("claude", skills)).__name__
                except NameError:
                    outcome = "NameError"
                print("whole" if whole else "wiped", outcome, flush=True)

        ri.zz_watcher = Watcher()  # cleared last if the namespace is cleared name by name
        del ri
    """)
    assert done.stdout.split()[0] == "whole", done.stdout
    assert done.stdout.split()[1] in ("PosixPath", "NameError"), done.stdout
    assert done.stderr == ""
