"""What `inject` does to real configuration files: links, modes, odd file types, full or
read-only disks, audit hooks, and when the path objects' own methods are used instead."""

import errno
import os
import pathlib
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import (RULE_TEXT, OwnMethodsPath, PosixPath, entry_line, leftovers, run_python,
                      small_disk)
from kestrix.skills.services.rule_injector import RULE_MARKER, RuleInjector, _DEFAULT_RULE_CONTENT

BLOCK = f"\n\n{RULE_MARKER}\n\n{_DEFAULT_RULE_CONTENT.strip()}\n".encode()


def inject_error(skills, path_type=PosixPath, templates=None):
    with pytest.raises(OSError) as info:
        RuleInjector(path_type(templates or skills.parent / "none")).inject(
            "claude", path_type(skills))
    return info.value


@pytest.fixture
def project(tmp_path):
    """(skills folder, CLAUDE.md beside it); the folder holding both exists."""
    (tmp_path / ".claude").mkdir()
    return tmp_path / ".claude" / "skills", tmp_path / ".claude" / "CLAUDE.md"


# --- links, modes, owners -------------------------------------------------------------------

def test_symlink_stays_a_link_and_its_target_is_replaced(project, tmp_path):
    skills, config = project
    real = tmp_path / "dotfiles" / "CLAUDE.md"
    real.parent.mkdir()
    real.write_bytes(b"mine\n")
    config.symlink_to(os.path.join("..", "dotfiles", "CLAUDE.md"))
    assert RuleInjector(tmp_path).inject("claude", skills) == config
    assert config.is_symlink() and real.read_bytes() == b"mine\n" + BLOCK
    assert leftovers(real.parent) == [] and leftovers(config.parent) == []


@pytest.mark.parametrize("path_type", [PosixPath, OwnMethodsPath], ids=["os", "methods"])
def test_dangling_symlink_behaves_as_the_path_methods(project, tmp_path, path_type):
    skills, config = project
    config.symlink_to(tmp_path / "elsewhere" / "CLAUDE.md")
    error = inject_error(skills, path_type)
    assert type(error) is FileNotFoundError and error.filename == str(config)
    assert entry_line(error) == 85 and config.is_symlink()
    (tmp_path / "elsewhere").mkdir()  # now the link's folder exists: its target is made
    RuleInjector(tmp_path).inject("claude", path_type(skills))
    assert config.is_symlink() and (tmp_path / "elsewhere" / "CLAUDE.md").read_bytes() == BLOCK


def test_hard_linked_file_is_written_in_place(project, tmp_path):
    skills, config = project
    config.write_bytes(b"shared\r\n")
    other = tmp_path / "other-name.md"
    os.link(config, other)
    inode = config.stat().st_ino
    RuleInjector(tmp_path).inject("claude", skills)
    assert config.stat().st_ino == inode == other.stat().st_ino
    assert other.read_bytes() == b"shared\r\n" + BLOCK.replace(b"\n", b"\r\n")


def test_mode_and_owner_are_kept_and_the_file_is_replaced(project, tmp_path):
    skills, config = project
    config.write_bytes(b"x")
    config.chmod(0o640)
    owner = (1234, 5678) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(config, *owner)
    inode = config.stat().st_ino
    RuleInjector(tmp_path).inject("claude", skills)
    after = config.stat()
    assert stat.S_IMODE(after.st_mode) == 0o640 and (after.st_uid, after.st_gid) == owner
    assert after.st_ino != inode and config.read_bytes() == b"x" + BLOCK


def test_new_file_gets_the_mode_open_would_give(project, tmp_path):
    skills, config = project
    old = os.umask(0o027)
    try:
        RuleInjector(tmp_path).inject("claude", skills)
    finally:
        os.umask(old)
    assert stat.S_IMODE(config.stat().st_mode) == 0o640


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write any file")
def test_read_only_file_stays_refused(project, tmp_path):
    skills, config = project
    config.write_bytes(b"protected")
    config.chmod(0o444)
    error = inject_error(skills)
    assert type(error) is PermissionError and entry_line(error) == 85
    assert config.read_bytes() == b"protected"


def test_a_leftover_temporary_file_is_not_the_configuration(project, tmp_path):
    skills, config = project
    stale = config.parent / ".rule_injector.CLAUDE.md.0123456789abcdef.tmp"
    stale.write_bytes(b"half a block " + RULE_MARKER.encode())
    RuleInjector(tmp_path).inject("claude", skills)
    assert config.read_bytes() == BLOCK and stale.exists()


# --- what is not a regular file ---------------------------------------------------------------

@pytest.mark.parametrize("path_type", [PosixPath, OwnMethodsPath], ids=["os", "methods"])
def test_directory_named_like_the_file(project, path_type):
    skills, config = project
    config.mkdir()
    error = inject_error(skills, path_type)
    assert type(error) is IsADirectoryError and error.errno == errno.EISDIR
    assert error.filename == str(config) and entry_line(error) == 73


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


@pytest.mark.parametrize("path_type", [PosixPath, OwnMethodsPath], ids=["os", "methods"])
def test_full_disk_leaves_an_existing_file_as_it_was(tmp_path, path_type):
    with small_disk(tmp_path / "disk", "64k") as disk:
        skills, config = disk / "skills", disk / "CLAUDE.md"
        # 63 KB of LF text: nothing more fits, neither a second copy nor the block in place
        # (a rewrite in place that is put back in text mode returns LF line ends).
        old = b"user text\n" * (63 * 1024 // 10)
        config.write_bytes(old)
        error = inject_error(skills, path_type, templates=tmp_path)
        assert error.errno == errno.ENOSPC and entry_line(error) == 85
        assert config.read_bytes() == old and leftovers(disk) == []


@pytest.mark.parametrize("path_type", [PosixPath, OwnMethodsPath], ids=["os", "methods"])
def test_full_disk_leaves_no_half_new_file(tmp_path, path_type):
    templates = tmp_path / "templates"
    (templates / "kestrix-feedback" / "data").mkdir(parents=True)
    rule = "rule " * 40000  # 200 KB, more than the disk holds
    (templates / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md").write_text(rule)
    with small_disk(tmp_path / "disk", "64k") as disk:
        skills, config = disk / "skills", disk / "CLAUDE.md"
        error = inject_error(skills, path_type, templates=templates)
        assert error.errno == errno.ENOSPC and entry_line(error) == 85
        assert not config.exists() and leftovers(disk) == []
        remount(disk, "size=1m")
        RuleInjector(path_type(templates)).inject("claude", path_type(skills))
        assert config.read_bytes() == f"\n\n{RULE_MARKER}\n\n{rule.strip()}\n".encode()


@pytest.mark.parametrize("path_type", [PosixPath, OwnMethodsPath], ids=["os", "methods"])
def test_read_only_file_system(tmp_path, path_type):
    with small_disk(tmp_path / "disk", "64k") as disk:
        skills, config = disk / "skills", disk / "CLAUDE.md"
        config.write_bytes(b"frozen\n")
        remount(disk, "ro")
        error = inject_error(skills, path_type, templates=tmp_path)
        assert error.errno == errno.EROFS and error.filename == str(config)
        assert entry_line(error) == 85 and config.read_bytes() == b"frozen\n"


# --- who does the work ------------------------------------------------------------------------

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


def test_audit_hooks_see_the_file_work_and_can_stop_it(tmp_path):
    done = run_python(f"""
        import os, sys
        from pathlib import Path
        from kestrix.skills.services.rule_injector import RuleInjector
        root = Path({str(tmp_path)!r})
        skills = root / ".claude" / "skills"
        seen, deny = [], set()
        def hook(event, args):
            if event in ("open", "os.mkdir", "os.rename", "os.remove"):
                seen.append((event, os.path.basename(args[0])))
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
    assert ("os.mkdir", ".claude") in events and events[-1] == ("os.rename", events[-2][1])
    assert events[-2][0] == "open" and events[-2][1].startswith(".rule_injector.CLAUDE.md.")
    assert refused == "denied by hook True"
    assert after.endswith("b'keep' ['CLAUDE.md']")
    assert "('os.remove', '.rule_injector.CLAUDE.md." in after  # the new file, cleaned up


# --- the same reader and replacement, for the host command ---------------------------------

def test_safe_write_replaces_linked_files_like_inject(tmp_path):
    from kestrix.skills.services._safe_write import replace_file

    real = tmp_path / "real.md"
    real.write_bytes(b"old text that is longer\n")
    link = tmp_path / "CLAUDE.md"
    link.symlink_to(real.name)
    replace_file(link, b"new\n")  # through the link, a new file renamed over the target
    assert link.is_symlink() and real.read_bytes() == b"new\n"
    os.link(real, tmp_path / "second-name.md")
    inode = real.stat().st_ino
    replace_file(str(link), memoryview(b"shrunk"))  # hard-linked: written in place
    assert real.stat().st_ino == inode and (tmp_path / "second-name.md").read_bytes() == b"shrunk"
    with pytest.raises(OSError) as info:
        replace_file(tmp_path, b"x")
    assert info.value.errno == errno.EISDIR and info.value.filename == str(tmp_path)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("links, expected, outcome", [
    (1, b"as read\n", b"new"), (2, b"as read\n", b"new"),
    (1, b"what someone else wrote", errno.ESTALE), (2, b"", errno.ESTALE),
    (1, None, b"new")])
def test_safe_write_writes_only_over_what_was_read(tmp_path, links, expected, outcome):
    from kestrix.skills.services._safe_write import read_file, replace_file

    config = tmp_path / "CLAUDE.md"
    config.write_bytes(b"as read\n")
    if links == 2:
        os.link(config, tmp_path / "other-name.md")
    assert read_file(config) == b"as read\n" and read_file(tmp_path / "missing") is None
    if isinstance(outcome, bytes):
        replace_file(config, b"new", expected=expected)
    else:
        with pytest.raises(OSError) as info:
            replace_file(config, b"new", expected=expected)
        assert info.value.errno == outcome and info.value.filename == str(config)
    assert config.read_bytes() == (outcome if isinstance(outcome, bytes) else b"as read\n")
    assert leftovers(tmp_path) == []


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
    assert any("could not be put back" in note for note in info.value.__notes__)


# --- the same paths, made the cheaper way -----------------------------------------------------

@pytest.mark.parametrize("skills, filename", [
    ("skills", "CLAUDE.md"), (".", "CLAUDE.md"), ("a/..", "CLAUDE.md"), ("a/b/skills", "AGENTS.md"),
    ("a/skills", "sub/X.md"), ("a/skills", ".."), ("a/skills", pathlib.PurePosixPath("Y.md"))])
def test_config_path_is_the_one_parent_and_slash_give(tmp_path, monkeypatch, skills, filename):
    from kestrix.skills.services import rule_injector as ri

    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(ri.RUNTIME_CONFIG_FILES, "x", filename)
    expected = PosixPath(skills).parent / filename
    (tmp_path / "a").mkdir()
    if not expected.is_dir():
        expected.parent.mkdir(parents=True, exist_ok=True)
        expected.write_text(RULE_MARKER)
    outcomes = []
    for path_type in (PosixPath, OwnMethodsPath):
        try:
            found = RuleInjector(tmp_path).inject("x", path_type(skills))
            outcomes.append((type(found), str(found)))
        except OSError as e:
            outcomes.append((type(e), e.filename))
    assert outcomes[0] == (PosixPath, str(expected)) or outcomes[0][0] is IsADirectoryError
    assert outcomes[0][1:] == outcomes[1][1:]


@pytest.mark.parametrize("templates, relative", [
    (".", None), ("/", None), ("t", "."), ("t", "ABS"), ("t", None)])
def test_rule_file_is_the_one_slash_gives(tmp_path, monkeypatch, templates, relative):
    from kestrix.skills.services import rule_injector as ri

    monkeypatch.chdir(tmp_path)
    rule = tmp_path / "t" / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md"
    rule.parent.mkdir(parents=True)
    rule.write_text(f"  {RULE_TEXT}\n")
    (tmp_path / "kestrix-feedback").symlink_to(tmp_path / "t" / "kestrix-feedback")
    if relative == "ABS":
        relative = str(rule)
    outcomes = []
    for path_type in (PosixPath, OwnMethodsPath):
        if relative is not None:
            monkeypatch.setattr(ri, "_RULE_SOURCE_RELATIVE", path_type(relative))
        try:
            outcomes.append(RuleInjector(path_type(templates))._load_rule_content())
        except OSError as e:
            outcomes.append((type(e), e.filename))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0] in (RULE_TEXT, _DEFAULT_RULE_CONTENT.strip()) or outcomes[0][0] is IsADirectoryError


@pytest.mark.parametrize("path_type", [PosixPath, OwnMethodsPath], ids=["os", "methods"])
def test_a_path_that_cannot_be_looked_at_fails_the_existence_test(tmp_path, path_type):
    skills = tmp_path / ("a" * 300) / "skills"  # a name longer than any file system takes
    error = inject_error(skills, path_type)
    assert error.errno == errno.ENAMETOOLONG and entry_line(error) == 72
    assert error.filename == str(skills.parent / "CLAUDE.md")
