"""Which route inject takes: pathlib's own type goes to the OS (audit hooks hear that work,
and the route stays after many changes to pathlib), while a subclass, or pathlib with a
patched or overridden method, goes through the path methods."""

import os
import pathlib
import sys

import pytest

from conftest import BLOCK, PosixPath, entry_line, inject, run_python
from kestrix.skills.services import _safe_write
from kestrix.skills.services.rule_injector import RuleInjector


def test_patched_or_overridden_methods_are_used(project, tmp_path, monkeypatch):
    skills, config = project
    config.write_bytes(b"one\n")
    seen = []
    original = pathlib.Path.read_text

    def spy(self, *args, **kwargs):
        seen.append(self)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(pathlib.Path, "read_text", spy)
    RuleInjector(tmp_path).inject("claude", skills)
    assert seen == [config]
    monkeypatch.undo()  # back to pathlib's own: the module reads by itself again
    config.write_bytes(b"two\n")
    RuleInjector(tmp_path).inject("claude", skills)
    assert seen == [config] and config.read_bytes() == b"two\n" + BLOCK

    class Recording(PosixPath):
        def write_text(self, data, encoding=None):
            seen.append(data)
            return super().write_text(data, encoding=encoding)

    config.write_bytes(b"three\n")
    RuleInjector(tmp_path).inject("claude", Recording(skills))
    assert seen[-1] == "three\n" + BLOCK.decode()


def test_patched_attribute_that_raises_is_met_by_the_methods_route_alone(project, tmp_path,
                                                                        monkeypatch):
    class Raising:
        def __get__(self, instance, owner):
            raise RuntimeError("patched")

    skills, config = project
    told = []
    monkeypatch.setattr(sys, "unraisablehook", told.append)
    monkeypatch.setattr(pathlib.PosixPath, "write_text", Raising(), raising=False)
    with pytest.raises(RuntimeError, match="patched") as info:
        RuleInjector(tmp_path).inject("claude", skills)
    # Looking at the class met it too, and said nothing: the call's own error tells it once.
    assert entry_line(info.value) == 85 and told == [] and not config.exists()


@pytest.mark.parametrize("method", ["read_text", "write_text"])
def test_patched_base_class_methods_are_called(tmp_path, monkeypatch, method):
    config = tmp_path / "p" / "CLAUDE.md"
    config.parent.mkdir()
    config.write_bytes(b"text\n")
    # The deepest of PosixPath's bases that defines it (pathlib._abc.PathBase on 3.13,
    # pathlib.Path on 3.14 and later).
    base = [c for c in PosixPath.__mro__[1:] if method in vars(c)][-1]
    original, calls = getattr(base, method), []

    def spy(self, *args, **kwargs):
        calls.append(self)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(base, method, spy)
    inject(PosixPath, config.parent / "skills")
    assert calls == [config] and config.read_bytes() == b"text\n" + BLOCK


def test_many_changes_of_pathlib_keep_the_route(tmp_path):
    done = run_python(f"""
        import os, pathlib, signal
        from kestrix.skills.services.rule_injector import RuleInjector
        signal.alarm(10)  # bounds the child: a FIFO opened for reading waits for a writer
        root = pathlib.Path({str(tmp_path)!r})
        for number in range(1100):  # each change, once looked up again, takes a version tag
            pathlib.Path.kestrix_probe = number
            pathlib.PosixPath.kestrix_probe
            del pathlib.Path.kestrix_probe
            pathlib.PosixPath.exists
        (root / "a").mkdir()
        (root / "a" / "CLAUDE.md").write_bytes(b"one\\r\\ntwo\\r\\n")
        RuleInjector(root / "none").inject("claude", root / "a" / "skills")
        print(repr((root / "a" / "CLAUDE.md").read_bytes()))
        (root / "b").mkdir()
        os.mkfifo(root / "b" / "CLAUDE.md")
        try:
            RuleInjector(root / "none").inject("claude", root / "b" / "skills")
        except OSError as e:
            print(type(e).__name__)
    """, check=False, timeout=60)
    crlf = b"one\r\ntwo\r\n" + BLOCK.replace(b"\n", b"\r\n")
    assert done.stdout.splitlines() == [repr(crlf), "OSError"]
    assert done.returncode == 0, done.stderr


def test_audit_hooks_see_the_file_work_and_can_stop_it(tmp_path):
    done = run_python(f"""
        import os, sys
        from pathlib import Path
        from kestrix.skills.services.rule_injector import RuleInjector
        root = Path({str(tmp_path)!r})
        skills = root / ".claude" / "skills"
        seen, deny = [], set()
        def hook(event, args):
            if event in ("open", "os.mkdir", "os.rename", "os.remove", "os.link"):
                named = args[1] if event == "os.link" else args[0]
                seen.append((event, os.path.basename(named)))
                if event in deny:
                    raise PermissionError("denied by hook")
        sys.addaudithook(hook)
        RuleInjector(root).inject("claude", skills)
        print(seen)
        config = skills.parent / "CLAUDE.md"
        config.write_bytes(b"keep")
        seen.clear(); deny.add("os.rename")
        try:
            RuleInjector(root).inject("claude", skills)
        except PermissionError as e:
            print(e, e.__traceback__.tb_next is not None)
        print(seen, config.read_bytes(), sorted(os.listdir(skills.parent)))
    """)
    first, refused, after = done.stdout.splitlines()
    events = eval(first)
    assert ("os.mkdir", ".claude") in events
    if _safe_write.OS_ROUTE == "linux":
        # Made with no name in its folder (nothing of it outlives a kill), then linked as
        # CLAUDE.md, which never replaces a file that appeared meanwhile.
        assert events[-2:] == [("open", ".claude"), ("os.link", "CLAUDE.md")]
    else:  # a named new file, renamed without replacing
        assert events[-1] == ("os.rename", events[-2][1])
        assert events[-2][0] == "open" and events[-2][1].startswith(".rule_injector.CLAUDE.md.")
    assert refused == "denied by hook True"
    assert after.endswith("b'keep' ['CLAUDE.md']")
    assert "('os.remove', '.rule_injector.CLAUDE.md." in after  # the new file, cleaned up


# However the caller came by it, a path of pathlib's own type is worked on with the OS (the
# one route that keeps a CRLF file's line ends). On a Python whose pathlib the module does
# not recognise, every call would quietly take the path methods: this fails there.
@pytest.mark.parametrize("make", [
    lambda root: pathlib.Path(root) / "p" / "skills",
    lambda root: pathlib.PosixPath(root, "p", "skills"),
    lambda root: pathlib.Path(root).joinpath("p", "x").with_name("skills"),
    lambda root: (pathlib.Path(root) / "p" / "skills" / "deeper").parent,
], ids=["divided", "constructed", "joined-renamed", "parent"])
def test_plain_paths_take_the_native_route(tmp_path, make):
    skills = make(tmp_path)
    config = skills.parent / "CLAUDE.md"
    config.parent.mkdir()
    config.write_bytes(b"one\r\n")
    assert RuleInjector(pathlib.Path(tmp_path) / "none").inject("claude", skills) == config
    assert config.read_bytes() == b"one\r\n" + BLOCK.replace(b"\n", b"\r\n"), (
        f"the native route is off for pathlib.{type(skills).__name__} on Python "
        f"{sys.version.split()[0]}")


def test_the_os_layer_is_the_one_this_platform_should_have():
    # Linux builds use Linux's own calls (unnamed new files, open-file-description locks,
    # ACLs read for the hard-link rule); only a build made to test the portable variant
    # (make test-portable) or another system may use the weaker POSIX one.
    expected = os.environ.get("KESTRIX_OS_ROUTE") or ("linux" if sys.platform == "linux"
                                                      else "posix")
    assert _safe_write.OS_ROUTE == expected


# The returned path of a plain path is made directly, as with_name would make it: the same
# slots with equal values, and none of pathlib's Python code run. On a Python whose pathlib
# keeps its parts elsewhere the module falls back to with_name itself, and this fails. (In a
# child: a profiler, once set, leaves the interpreter allocating for a while after.)
@pytest.mark.parametrize("text, direct", [
    ("{root}/p/.claude/skills", True),
    ("{root}//p/./.claude//skills/", True),
    ("/{root}/p/.claude/skills", True),  # exactly two leading slashes: a root of its own
    ("p/.claude/skills", True),
    ("skills", True),
    ("{root}/p,.claude,skills", True),  # several raw texts, joined as posixpath joins them
    ("{root}/p,/{root}/p/.claude,skills", True),
    ("{root}/p/.claude/skills parsed", True),  # its parts read (and kept) before the call
    ("{root}//p/./.claude//skills/ named", True),  # its text made (and kept) before the call
    ("skills named", True),
    ("{root}/p/.claude/skills subclass", False),  # a str subclass among the raw texts
])
def test_the_returned_path_is_made_as_with_name_makes_it(tmp_path, text, direct):
    text, _, how = text.format(root=tmp_path).partition(" ")
    done = run_python(f"""
        import os, pathlib, sys
        from kestrix.skills.services.rule_injector import RuleInjector

        os.chdir({str(tmp_path)!r})
        class Text(str):
            pass

        def fresh():
            parts = {text.split(",")!r}
            return pathlib.Path(*(Text(p) for p in parts) if {how!r} == "subclass" else parts)

        def slots(path):
            names = {{n for cls in type(path).__mro__ for n in getattr(cls, "__slots__", ())}}
            return {{n: getattr(path, n) for n in sorted(names) if hasattr(path, n)}}

        fresh().mkdir(parents=True, exist_ok=True)  # mkdir reads the parts of its path
        skills = fresh()
        if {how!r} == "parsed":
            skills.name  # reading it keeps the parsed parts on the path
        if {how!r} == "named":
            str(skills)  # and this its text as well
        called = set()
        folder = os.path.dirname(pathlib.__file__)
        sys.setprofile(lambda frame, event, arg: event == "call" and
                       frame.f_code.co_filename.startswith(folder) and
                       called.add(frame.f_code.co_name))
        made = RuleInjector("none").inject("claude", skills)
        sys.setprofile(None)
        expected = fresh().with_name("CLAUDE.md")
        assert (type(made), str(made), hash(made), made) == (
            type(expected), str(expected), hash(expected), expected)
        assert slots(made) == slots(expected), (slots(made), slots(expected))
        print("with_name" in called, sorted(called))
    """)
    assert done.stdout.startswith(str(not direct)), done.stdout


# A process that reads the same large file again and again keeps the memory of the last large
# read rather than having the system make and zero every page of it on every call: kept ready
# up to 16 MB, above that with its pages marked for the system to take back under memory
# pressure. This fails on any change that loses the reuse, and, for the larger file, where the
# system cannot be told to take the pages back lazily (the mapping is then let go of).
@pytest.mark.parametrize("megabytes", [10, 20])
def test_a_large_file_read_again_reuses_the_memory_of_the_last_read(tmp_path, megabytes):
    import resource

    skills = pathlib.Path(tmp_path) / ".claude" / "skills"
    config = skills.parent / "CLAUDE.md"
    config.parent.mkdir(parents=True)
    config.write_bytes(b"x" * (megabytes << 20) + b"\n\n" + BLOCK)
    injector = RuleInjector(tmp_path)
    assert injector.inject("claude", skills) == config  # the first read maps the memory
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(3):
        assert injector.inject("claude", skills) == config
    made = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    assert made < (megabytes << 20) // 4096 // 4, f"{made} pages made for 3 reads of {megabytes} MB"
