"""When inject cannot do its work: the error the path methods would give (type, errno, file
name, inject's own traceback line) and every file left as it was. Bad input, what is not a
regular file, full or read-only disks, failing writes and undos, refusing hooks, Ctrl-C."""

import errno
import os
import sys
import signal
import resource
import socket
import subprocess
from contextlib import nullcontext
from pathlib import Path

import pytest

from conftest import (INJECT, PREFIX, ROUTES, SOURCE_FILE, OwnMethodsPath, block, entry_line,
                      in_child, inject, inject_error, is_write_open, leftovers, module_frames,
                      outcome, rule_templates, run_python, small_disk, state)
from kestrix.skills.services.rule_injector import RuleInjector

# --- bad input ------------------------------------------------------------------------------


def _not_utf8(skills):
    (skills.parent / "CLAUDE.md").write_bytes(b"caf\xe9\n")


def _config_is_directory(skills):
    (skills.parent / "CLAUDE.md").mkdir()


class NoMkdir(type(Path())):
    def mkdir(self, *args, **kwargs):
        raise PermissionError(13, "Permission denied", str(self))


class ReadOnlySkills(type(Path())):
    @property
    def parent(self):
        return NoWriteDir(super().parent)


class NoWriteDir(type(Path())):
    def __truediv__(self, other):
        return NoMkdirParent(super().__truediv__(other))


class NoMkdirParent(type(Path())):
    @property
    def parent(self):
        return NoMkdir(super().parent)


@pytest.mark.parametrize(
    "prepare, skills_of, error, line",
    [
        (_not_utf8, lambda s: s, UnicodeDecodeError, 73),
        (_config_is_directory, lambda s: s, IsADirectoryError, 73),
        (None, ReadOnlySkills, PermissionError, 84),
        (None, str, AttributeError, 68),
    ],
    ids=["not-utf8", "config-is-directory", "unwritable-directory", "skills-as-str"],
)
def test_bad_input_raises_and_changes_nothing(claude_skills, prepare, skills_of, error, line):
    if prepare:
        prepare(claude_skills)
    before = {p: (p.read_bytes() if p.is_file() else None) for p in claude_skills.parent.rglob("*")}
    with pytest.raises(error) as caught:
        RuleInjector().inject("claude", skills_of(claude_skills))
    assert module_frames(caught.value) == [(INJECT, SOURCE_FILE, line)]
    after = {p: (p.read_bytes() if p.is_file() else None) for p in claude_skills.parent.rglob("*")}
    assert after == before


def test_config_parent_that_is_a_file_fails_at_mkdir(tmp_path, route):
    (tmp_path / ".claude").write_text("not a folder")
    with pytest.raises(FileExistsError) as caught:
        RuleInjector().inject("claude", route(tmp_path / ".claude" / "skills"))
    assert module_frames(caught.value) == [(INJECT, SOURCE_FILE, 84)]
    assert (tmp_path / ".claude").read_text() == "not a folder"


def test_a_path_that_cannot_be_looked_at_fails_the_existence_test(tmp_path, route):
    skills = tmp_path / ("a" * 300) / "skills"  # a name longer than any file system takes
    error = inject_error(skills, route)
    if sys.version_info >= (3, 14):  # Path.exists() answers False there; mkdir meets it
        assert error.errno == errno.ENAMETOOLONG and entry_line(error) == 84
        assert error.filename == str(skills.parent)
    else:
        assert error.errno == errno.ENAMETOOLONG and entry_line(error) == 72
        assert error.filename == str(skills.parent / "CLAUDE.md")


# --- what is not a regular file, or cannot be written ----------------------------------------

def test_directory_named_like_the_file(project, route):
    skills, config = project
    config.mkdir()
    error = inject_error(skills, route)
    assert type(error) is IsADirectoryError and error.errno == errno.EISDIR
    assert error.filename == str(config) and entry_line(error) == 73


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write any file")
def test_read_only_file_stays_refused(project, tmp_path):
    skills, config = project
    config.write_bytes(b"protected")
    config.chmod(0o444)
    error = inject_error(skills)
    assert type(error) is PermissionError and entry_line(error) == 85
    assert config.read_bytes() == b"protected"


@pytest.mark.parametrize("kind", ["fifo", "link-to-dev-zero", "link-to-dev-null", "rule-fifo"])
def test_fifos_and_devices_are_refused_at_once(tmp_path, kind):
    # In a child with a time limit: a mistake here would block or eat memory.
    done = run_python(f"""
        import os, stat, sys
        from pathlib import Path
        from kestrix.skills.services.rule_injector import RuleInjector
        root = Path({str(tmp_path)!r})
        (root / ".claude").mkdir()
        config = root / ".claude" / "CLAUDE.md"
        templates = root / "templates"
        kind = {kind!r}
        if kind == "fifo":
            os.mkfifo(config)
        elif kind == "rule-fifo":
            (templates / "kestrix-feedback" / "data").mkdir(parents=True)
            os.mkfifo(templates / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md")
        else:
            config.symlink_to("/dev/zero" if kind == "link-to-dev-zero" else "/dev/null")
        try:
            RuleInjector(templates).inject("claude", root / ".claude" / "skills")
        except OSError as e:
            print(type(e).__name__, e.errno, e.filename, e.__traceback__.tb_next is not None)
        if kind == "fifo":
            assert stat.S_ISFIFO(os.lstat(config).st_mode)
        elif kind != "rule-fifo":
            assert config.is_symlink() and stat.S_ISCHR(os.stat("/dev/null").st_mode)
        assert sorted(os.listdir(root / ".claude")) == ([] if kind == "rule-fifo" else ["CLAUDE.md"])
    """)
    name = "FEEDBACK_RULE.md" if kind == "rule-fifo" else "CLAUDE.md"
    kind_, code, filename, _ = done.stdout.split()
    assert (kind_, int(code)) == ("OSError", errno.EINVAL) and filename.endswith(name)


# --- full and read-only disks -----------------------------------------------------------------

def remount(folder: Path, options: str) -> None:
    subprocess.run(["mount", "-o", f"remount,{options}", str(folder)], check=True, timeout=30)


def test_full_disk_leaves_an_existing_file_as_it_was(tmp_path, route):
    with small_disk(tmp_path / "disk", "64k") as disk:
        skills, config = disk / "skills", disk / "CLAUDE.md"
        # 63 KB of LF text: nothing more fits, neither a second copy nor the block in place
        # (a rewrite in place that is put back in text mode returns LF line ends).
        old = b"user text\n" * (63 * 1024 // 10)
        config.write_bytes(old)
        error = inject_error(skills, route, templates=tmp_path)
        assert error.errno == errno.ENOSPC and entry_line(error) == 85
        assert config.read_bytes() == old and leftovers(disk) == []


def test_full_disk_leaves_no_half_new_file(tmp_path, route):
    rule = "rule " * 40000  # 200 KB, more than the disk holds
    templates = rule_templates(tmp_path / "templates", rule)
    with small_disk(tmp_path / "disk", "64k") as disk:
        skills, config = disk / "skills", disk / "CLAUDE.md"
        error = inject_error(skills, route, templates=templates)
        assert error.errno == errno.ENOSPC and entry_line(error) == 85
        assert not config.exists() and leftovers(disk) == []
        remount(disk, "size=1m")
        RuleInjector(route(templates)).inject("claude", route(skills))
        assert config.read_bytes() == block(rule.strip()).encode()


def test_read_only_file_system(tmp_path, route):
    with small_disk(tmp_path / "disk", "64k") as disk:
        skills, config = disk / "skills", disk / "CLAUDE.md"
        config.write_bytes(b"frozen\n")
        remount(disk, "ro")
        error = inject_error(skills, route, templates=tmp_path)
        assert error.errno == errno.EROFS and error.filename == str(config)
        assert entry_line(error) == 85 and config.read_bytes() == b"frozen\n"


# --- errors as pathlib gives them ----------------------------------------------------------------

def _socket(folder, path_type):
    with socket.socket(socket.AF_UNIX) as s:  # by a relative name, short enough for AF_UNIX
        s.bind(os.path.relpath(folder / "CLAUDE.md"))
    return outcome(lambda: inject(path_type, folder / "skills"))


def _link(target_text, make_file):
    def case(folder, path_type):
        if make_file:
            (folder / "real.md").write_bytes(b"real\n")
        (folder / "CLAUDE.md").symlink_to(target_text)
        return outcome(lambda: inject(path_type, folder / "skills"))
    return case


def _file_too_large(folder, path_type):
    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
        resource.setrlimit(resource.RLIMIT_FSIZE, (120, hard))
        return outcome(lambda: inject(path_type, folder / "skills"))
    (folder / "CLAUDE.md").write_bytes(b"x" * 99 + b"\n")
    return in_child(limited)


def _disk_full(folder, path_type):
    templates = rule_templates(folder.parent / f"t-{path_type.__name__}", "rule " * 40000)
    return outcome(lambda: inject(path_type, folder / "skills", templates))


@pytest.mark.parametrize("case", [_socket, _link("missing/", False), _link("real.md/", True),
                                  _file_too_large, _disk_full],
                         ids=["socket", "link-to-missing-folder", "link-through-a-file",
                              "file-too-large", "disk-full"])
def test_errors_are_those_of_the_path_methods(tmp_path, monkeypatch, case):
    folder = tmp_path / "p"
    folder.mkdir()
    monkeypatch.chdir(tmp_path)
    results = []
    with small_disk(folder, "64k") if case is _disk_full else nullcontext():
        for path_type in ROUTES.values():
            for entry in folder.iterdir():
                entry.unlink()
            results.append((case(folder, path_type), state(folder)))
    assert results[0] == results[1]
    if case is _socket:
        assert results[0][0] == ("OSError", errno.ENXIO, str(folder / "CLAUDE.md"), 73)


# --- a write that fails half-way, and its undo ---------------------------------------------------

class BrokenWrite(type(Path())):
    """Truncates the real file, then fails, like a full disk; later writes work."""

    failures = 1

    def write_text(self, data, encoding=None, errors=None, newline=None):
        if BrokenWrite.failures:
            BrokenWrite.failures -= 1
            with open(self, "w", encoding="utf-8") as f:
                f.write(data[:3])
            raise OSError(28, "No space left on device")
        return super().write_text(data, encoding=encoding, errors=errors, newline=newline)


class SkillsDir(type(Path())):
    @property
    def parent(self):
        return BrokenWrite(super().parent)


def test_failed_rewrite_restores_the_users_text(claude_skills):
    config = claude_skills.parent / "CLAUDE.md"
    config.write_text("my own notes, keep them\n", encoding="utf-8")
    BrokenWrite.failures = 1
    with pytest.raises(OSError) as caught:
        RuleInjector().inject("claude", SkillsDir(claude_skills))
    assert caught.value.errno == 28
    assert config.read_text(encoding="utf-8") == "my own notes, keep them\n"
    assert module_frames(caught.value) == [(PREFIX + "inject", SOURCE_FILE, 85)]


def test_failed_restore_keeps_the_original_error(claude_skills):
    config = claude_skills.parent / "CLAUDE.md"
    config.write_text("notes\n", encoding="utf-8")
    BrokenWrite.failures = 2
    with pytest.raises(OSError) as caught:
        RuleInjector().inject("claude", SkillsDir(claude_skills))
    assert caught.value.errno == 28 and caught.value.__context__ is None
    assert module_frames(caught.value) == [(PREFIX + "inject", SOURCE_FILE, 85)]


def test_failed_undo_is_told_not_hidden(project, tmp_path):
    skills, config = project
    config.write_bytes(b"mine\r\n")

    class Failing(OwnMethodsPath):
        def write_text(self, data, encoding=None):
            raise OSError(errno.EIO, "disk gone")

        def read_text(self, encoding=None):
            if getattr(type(self), "broken", False):
                return "something else"
            type(self).broken = True  # the first read is inject's own; later ones see damage
            return super().read_text(encoding=encoding)

    with pytest.raises(OSError) as info:
        RuleInjector(tmp_path).inject("claude", Failing(skills))
    assert info.value.errno == errno.EIO and entry_line(info.value) == 85
    notes = info.value.__notes__
    assert any("could not be put back" in note for note in notes)
    # ... and why: the undo's own error, which cannot propagate in the write's place.
    assert any(note.startswith("Putting it back failed with OSError(5, 'disk gone')") for note in notes)


# --- an audit hook refusing the write --------------------------------------------------------------

class Refused(Exception):
    pass


@pytest.mark.parametrize("refusals", [1, 99], ids=["first-write-open", "every-write-open"])
@pytest.mark.parametrize("old", [None, b"kept\r\nas is\r\n"], ids=["new", "crlf"])
def test_hook_refusing_the_write_open_changes_nothing(tmp_path, on_audit, route, refusals, old):
    config = tmp_path / "p" / "CLAUDE.md"
    config.parent.mkdir()
    if old is not None:
        config.write_bytes(old)
    refused = []

    def refuse(event, args):
        if len(refused) < refusals and is_write_open(event, args, config):
            refused.append(event)
            raise Refused("no writing")

    on_audit(refuse)
    with pytest.raises(Refused) as info:
        inject(route, config.parent / "skills")
    assert entry_line(info.value) == 85 and leftovers(config.parent) == []
    assert (config.read_bytes() if config.exists() else None) == old


# --- Ctrl-C during a large file ------------------------------------------------------------------------

@pytest.mark.slow
@pytest.mark.parametrize("step, line", [("read", 73), ("temporary", 85)])
def test_interrupt_during_a_large_file_stops_at_once(tmp_path, step, line):
    config = tmp_path / "p" / "CLAUDE.md"
    try:
        done = run_python(f"""
            import os, signal, sys
            from pathlib import Path
            from conftest import entry_line, leftovers
            from kestrix.skills.services.rule_injector import RuleInjector
            config = Path({str(config)!r})
            config.parent.mkdir()
            with open(config, "wb") as f:  # 512 MiB of text lines
                for _ in range(512):
                    f.write((b"x" * 1023 + b"\\n") * 1024)
            def interrupt(signum, frame):
                raise KeyboardInterrupt
            signal.signal(signal.SIGALRM, interrupt)
            seen = {{}}
            sys.addaudithook(seen.__setitem__)  # C code only: the handler cannot run inside it
            def arm(event, args):
                if "armed" in seen or event != "open" or not isinstance(args[0], (str, bytes)):
                    return
                name = os.path.basename(os.fsdecode(args[0]))
                # The new file's open is told with no mode (made unnamed, or named .rule_*).
                if name == "CLAUDE.md" if {step!r} == "read" else args[1] is None:
                    seen["armed"] = signal.setitimer(signal.ITIMER_REAL, 0.002)
            sys.addaudithook(arm)
            before = os.stat(config)
            try:
                RuleInjector(config.parent / "none").inject("claude", config.parent / "skills")
                print("finished")
            except KeyboardInterrupt as e:
                print(entry_line(e))
            after = os.stat(config)
            keys = ("st_ino", "st_size", "st_mtime_ns")
            same = [getattr(before, k) for k in keys] == [getattr(after, k) for k in keys]
            print(same, leftovers(config.parent), "os.rename" in seen)
        """, env={"PYTHONPATH": str(Path(__file__).parent)}, timeout=300)
    finally:
        for stray in config.parent.iterdir() if config.parent.exists() else []:
            stray.unlink()  # half a gigabyte: not left for pytest's kept folders
    assert done.stdout.splitlines() == [str(line), "True [] False"]
