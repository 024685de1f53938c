"""Files that are more than a name in one folder: hard links planted in a folder another user
controls, bind mounts, file systems without the renames and links a new file is made with,
and the mode and ACL a new file gets from its folder and its thread."""

import errno
import os
import shutil
import stat
import subprocess
import threading
from contextlib import contextmanager
from pathlib import Path

import pytest

from conftest import (BLOCK, RULE_TEXT, USER_TEXT, V, PosixPath, inject, leftovers, mounted,
                      needs_root, needs_strace, outcome, own_file, state, traced_python)
from kestrix.skills.services._safe_write import replace_file
from kestrix.skills.services.rule_block import block as command_block

# --- hard links in a folder another user controls -------------------------------------------

# The kernel's protected_hardlinks stops a user linking a file they cannot write; root plants
# the link here so the state exists whatever that setting says (and it may be 0 elsewhere).
# V has no entry in the user database (its groups cannot be told: a container's or an NFS
# user's uid); nobody has one, with its group nogroup.
N = (65534, 65534)


def _planted(name, folder_owner, folder_mode, target_owner, target_mode, acl, written):
    return pytest.param(folder_owner, folder_mode, target_owner, target_mode, acl, written,
                        id=name)


@needs_root
@pytest.mark.parametrize("writer", ["inject", "replace_file"])
@pytest.mark.parametrize("folder_owner, folder_mode, target_owner, target_mode, acl, written", [
    _planted("users-folder-roots-file", (V, V), 0o755, (0, 0), 0o644, None, False),
    _planted("users-folder-setuid-file", (V, V), 0o755, (0, 0), 0o4755, None, False),
    _planted("users-folder-users-setgid-root-file", (V, V), 0o755, (V, 0), 0o2775, None, False),
    _planted("users-folder-users-setuid-file", (V, V), 0o755, (V, V), 0o4755, None, False),
    _planted("open-folder-roots-file", (0, 0), 0o777, (0, 0), 0o644, None, False),
    _planted("users-folder-acl-masked", (V, V), 0o755, (0, 0), 0o644, f"u:{V}:rw,m::r", False),
    _planted("listed-users-folder-other-group", N, 0o755, (0, 0), 0o664, None, False),
    # In the file's group, the group's bits apply and not the others': as the kernel says.
    _planted("listed-users-folder-own-group-without-write", N, 0o755, (0, N[1]), 0o646, None,
             False),
    _planted("users-folder-users-file", (V, V), 0o755, (V, V), 0o644, None, True),
    _planted("users-folder-world-writable-file", (V, V), 0o755, (0, 0), 0o666, None, True),
    _planted("users-folder-acl-grants-write", (V, V), 0o755, (0, 0), 0o644, f"u:{V}:rw", True),
    _planted("listed-users-folder-users-file", N, 0o755, N, 0o644, None, True),
    _planted("listed-users-folder-own-group-writes", N, 0o755, (0, N[1]), 0o664, None, True),
    _planted("roots-folder", (0, 0), 0o755, (0, 0), 0o644, None, True),
])
def test_hard_link_planted_by_another_user_is_written_only_where_they_could(
        shared_dir, writer, folder_owner, folder_mode, target_owner, target_mode, acl, written):
    if N[0] in (folder_owner[0], target_owner[0]):
        import pwd
        try:
            if pwd.getpwuid(N[0]).pw_gid != N[1]:
                raise KeyError(N[0])
        except KeyError:
            pytest.skip("no user nobody with group nogroup here")
    folder, elsewhere = shared_dir(folder_mode, folder_owner), shared_dir(0o755)
    target = own_file(elsewhere / "target", b"root's own text\n", target_owner, target_mode)
    if acl is not None:
        if shutil.which("setfacl") is None:
            pytest.skip("setfacl is not installed (make acl-installed adds it)")
        subprocess.run(["setfacl", "-m", acl, str(target)], check=True, timeout=30)
    os.link(target, folder / "CLAUDE.md")
    before, inode = (state(folder), state(elsewhere)), target.stat().st_ino
    call = {"inject": lambda: inject(PosixPath, folder / "skills"),
            "replace_file": lambda: replace_file(folder / "CLAUDE.md", b"root's own text\n" + BLOCK)}
    result = outcome(call[writer])
    if written:
        assert result[0] == "ok" and target.read_bytes() == b"root's own text\n" + BLOCK
        assert target.stat().st_ino == inode and target.stat().st_nlink == 2
    else:
        assert result[:2] == ("PermissionError", errno.EACCES)
        assert (state(folder), state(elsewhere)) == before


# --- bind mounts and renames that are refused -------------------------------------------------

def bind_mounted(source: Path, onto: Path):
    """`source` mounted over the file `onto` (root only); unmounted on the way out."""
    return mounted(onto, "--bind", str(source), what="a bind mount")


def _command(*args):
    import sys
    kestrix = Path(sys.executable).with_name("kestrix")
    return subprocess.run([str(kestrix), *map(str, args)], capture_output=True, text=True,
                          timeout=60)


@pytest.mark.parametrize("writer", ["inject", "replace_file", "command-install",
                                    "command-uninstall"])
def test_bind_mounted_file_is_written_in_place(tmp_path, templates, writer):
    folder = tmp_path / "p"
    (folder / "skills").mkdir(parents=True)
    source = tmp_path / "dotfiles" / "CLAUDE.md"
    source.parent.mkdir()
    installed = USER_TEXT + command_block(RULE_TEXT, False)
    source.write_bytes(installed if writer == "command-uninstall" else USER_TEXT)
    (folder / "CLAUDE.md").write_bytes(b"hidden under the mount\n")
    with bind_mounted(source, folder / "CLAUDE.md") as config:
        inode = source.stat().st_ino
        args = ("claude", folder / "skills", "--templates", templates, "-q")
        call, expected = {
            "inject": (lambda: inject(PosixPath, folder / "skills"), USER_TEXT + BLOCK),
            "replace_file": (lambda: replace_file(config, USER_TEXT + b"more\n"),
                             USER_TEXT + b"more\n"),
            "command-install": (lambda: _command("skills", "install", *args), installed),
            "command-uninstall": (lambda: _command("skills", "uninstall", *args), USER_TEXT),
        }[writer]
        result = outcome(call)
        assert result[0] == "ok", result
        if writer.startswith("command"):
            assert "returncode=0," in result[1], result[1]
        assert config.read_bytes() == source.read_bytes() == expected
        assert source.stat().st_ino == inode and leftovers(folder) == []


RENAMING = """
    from pathlib import Path
    from kestrix.skills.services.rule_injector import RuleInjector
    from kestrix.skills.services._safe_write import replace_file
    folder = Path({folder!r})
    if {writer!r} == "inject":
        RuleInjector(folder / "none").inject("claude", folder / "skills")
    else:
        replace_file(folder / "CLAUDE.md", Path(folder / "CLAUDE.md").read_bytes() + b"more\\n")
"""


@needs_strace
@pytest.mark.parametrize("writer", ["inject", "replace_file"])
@pytest.mark.parametrize("error", ["EBUSY", "EXDEV", "EINVAL"])
def test_refused_rename_writes_the_file_in_place(tmp_path, writer, error):
    folder = tmp_path / "p"
    folder.mkdir()
    config = folder / "CLAUDE.md"
    config.write_bytes(USER_TEXT)
    inode = config.stat().st_ino
    done = traced_python(RENAMING.format(folder=str(folder), writer=writer), ["CLAUDE.md", config],
                         [f"renameat,renameat2,rename:error={error}"], cwd=folder)
    assert done.returncode == 0, done.stderr
    assert config.read_bytes() == USER_TEXT + (BLOCK if writer == "inject" else b"more\n")
    assert config.stat().st_ino == inode and leftovers(folder) == []


NEW_FILE = """
    import os, sys
    from pathlib import Path
    from kestrix.skills.services.rule_injector import RuleInjector
    folder = Path({folder!r})
    config = str(folder / "CLAUDE.md")
    seen = []
    def appear(event, args):  # a file appears at the last step before the new one is named
        last_step = (event in ("os.rename", "os.link") and os.fsdecode(args[1]) == config) or (
            event == "open" and isinstance(args[2], int) and args[2] & os.O_EXCL
            and os.fsdecode(args[0]) == config)
        if last_step and not seen:
            seen.append(event)
            if {appears!r}:
                Path(config).write_bytes(b"theirs\\n")
    sys.addaudithook(appear)
    RuleInjector(folder / "none").inject("claude", folder / "skills")
    print(len(seen))
"""


@contextmanager
def vfat_disk(folder: Path):
    """A small vfat file system on a loop device at `folder` (root, dosfstools, vfat)."""
    if os.geteuid() != 0 or shutil.which("mkfs.vfat") is None:
        pytest.skip("a vfat disk needs root and mkfs.vfat (dosfstools)")
    image = folder.with_name(folder.name + ".img")
    with open(image, "wb") as f:
        f.truncate(8 << 20)
    subprocess.run(["mkfs.vfat", str(image)], check=True, capture_output=True, timeout=30)
    folder.mkdir()
    with mounted(folder, "-o", "loop", str(image), what="vfat") as disk:
        yield disk


@needs_strace
@pytest.mark.parametrize("appears", [False, True], ids=["no-file", "file-appears-meanwhile"])
@pytest.mark.parametrize("disk", ["vfat", "ext4"])
def test_new_file_without_noreplace_rename_or_hard_links(tmp_path, disk, appears):
    """Both are taken away (renameat2 says EINVAL, linkat EPERM, as on vfat): the new file
    is still made, with O_EXCL on its own name, and never replaces one that appeared."""
    with vfat_disk(tmp_path / "vfat") if disk == "vfat" else _plain(tmp_path / "p") as folder:
        done = traced_python(NEW_FILE.format(folder=str(folder), appears=appears),
                             ["CLAUDE.md", folder / "CLAUDE.md"],
                             ["renameat2:error=EINVAL", "linkat,link:error=EPERM"], cwd=folder)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["1"], "the new file was named without an audited step"
        assert (folder / "CLAUDE.md").read_bytes() == (b"theirs\n" if appears else b"") + BLOCK
        assert leftovers(folder) == []


@contextmanager
def _plain(folder: Path):
    folder.mkdir()
    yield folder


# --- what a new file gets from its folder and its thread -------------------------------------

def _acl_of(path: Path) -> list[str]:
    done = subprocess.run(["getfacl", "-cp", str(path)], capture_output=True, text=True,
                          check=True, timeout=30)
    return sorted(line for line in done.stdout.splitlines() if line)


@needs_root
def test_new_file_in_a_folder_with_a_default_acl_gets_what_open_gives(tmp_path, route):
    if shutil.which("setfacl") is None:
        pytest.skip("setfacl is not installed (make acl-installed adds it)")
    folder = tmp_path / "shared"
    folder.mkdir()
    subprocess.run(["setfacl", "-d", "-m", "u:nobody:rw,m::rw,o::-", str(folder)], check=True,
                   timeout=30)
    os.close(os.open(folder / "reference.md", os.O_CREAT | os.O_WRONLY, 0o666))
    inject(route, folder / "skills")
    made, reference = folder / "CLAUDE.md", folder / "reference.md"
    assert made.read_bytes() == BLOCK
    assert stat.S_IMODE(made.stat().st_mode) == stat.S_IMODE(reference.stat().st_mode)
    assert _acl_of(made) == _acl_of(reference)


def test_new_file_follows_the_calling_threads_umask(tmp_path, route):
    if not hasattr(os, "unshare"):
        pytest.skip("os.unshare is not available")
    folder = tmp_path / "p"
    folder.mkdir()
    found = []

    def work():  # this thread's umask alone: CLONE_FS gives it its own
        try:
            os.unshare(os.CLONE_FS)
            os.umask(0o077)
            found.append(outcome(lambda: inject(route, folder / "skills")))
        except OSError as e:
            found.append(("unshare", e.errno))

    process_umask = os.umask(0o022)
    try:
        thread = threading.Thread(target=work)
        thread.start()
        thread.join(timeout=60)
        assert os.umask(0o022) == 0o022  # the process's own stayed as it was
    finally:
        os.umask(process_umask)
    if found and found[0][0] == "unshare":
        pytest.skip(f"unshare(CLONE_FS) refused: {os.strerror(found[0][1])}")
    assert found and found[0][0] == "ok"
    assert stat.S_IMODE((folder / "CLAUDE.md").stat().st_mode) == 0o600
