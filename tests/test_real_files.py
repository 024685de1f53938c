"""What a successful write keeps of the configuration file: the user's bytes and line ends,
symbolic and hard links, owner, group, mode and set-id bits, extended attributes and ACLs,
whoever writes it and however long its path."""

import os
import shutil
import stat
import subprocess

import pytest

from conftest import (BLOCK, G, V, W, OwnMethodsPath, PosixPath, entry_line, in_child, inject,
                      inject_error, leftovers, needs_root, outcome, own_file)
from kestrix.skills.services._safe_write import replace_file
from kestrix.skills.services.rule_injector import RULE_MARKER, RuleInjector


# --- links --------------------------------------------------------------------------------------

def test_symlink_stays_a_link_and_its_target_is_replaced(project, tmp_path):
    skills, config = project
    real = tmp_path / "dotfiles" / "CLAUDE.md"
    real.parent.mkdir()
    real.write_bytes(b"mine\n")
    config.symlink_to(os.path.join("..", "dotfiles", "CLAUDE.md"))
    assert RuleInjector(tmp_path).inject("claude", skills) == config
    assert config.is_symlink() and real.read_bytes() == b"mine\n" + BLOCK
    assert leftovers(real.parent) == [] and leftovers(config.parent) == []


def test_dangling_symlink_behaves_as_the_path_methods(project, tmp_path, route):
    skills, config = project
    config.symlink_to(tmp_path / "elsewhere" / "CLAUDE.md")
    error = inject_error(skills, route)
    assert type(error) is FileNotFoundError and error.filename == str(config)
    assert entry_line(error) == 85 and config.is_symlink()
    (tmp_path / "elsewhere").mkdir()  # now the link's folder exists: its target is made
    RuleInjector(tmp_path).inject("claude", route(skills))
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


# --- modes, owners, groups, attributes ------------------------------------------------------------

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


def test_new_file_gets_the_mode_open_would_give(project, tmp_path, route):
    skills, config = project
    old = os.umask(0o027)
    try:
        RuleInjector(tmp_path).inject("claude", route(skills))
    finally:
        os.umask(old)
    assert stat.S_IMODE(config.stat().st_mode) == 0o640


def test_a_leftover_temporary_file_is_not_the_configuration(project, tmp_path):
    skills, config = project
    stale = config.parent / ".rule_injector.CLAUDE.md.0123456789abcdef.tmp"
    stale.write_bytes(b"half a block " + RULE_MARKER.encode())
    RuleInjector(tmp_path).inject("claude", skills)
    assert config.read_bytes() == BLOCK and stale.exists()


# Where pathlib writes, the module must too, keeping owner, group, mode and attributes.
@needs_root
@pytest.mark.parametrize("folder_mode, folder_owner, file_mode, groups", [
    (0o1777, (0, 0), 0o666, []), (0o775, (V, G), 0o664, [G])],
    ids=["third-user-in-sticky-folder", "group-member"])
def test_another_users_write_keeps_the_file(shared_dir, route, folder_mode, folder_owner,
                                            file_mode, groups):
    folder = shared_dir(folder_mode, folder_owner)
    config = own_file(folder / "CLAUDE.md", b"V's shared notes\n", (V, G), file_mode)
    before = config.stat()
    result = in_child(lambda: outcome(lambda: inject(route, folder / "skills")), (W, W), groups)
    after = config.stat()
    assert result[0] == "ok" and config.read_bytes() == b"V's shared notes\n" + BLOCK
    # W cannot give a new file to V: keeping the owner means writing this very file.
    assert (after.st_ino, after.st_uid, after.st_gid, after.st_mode) == (
        before.st_ino, V, G, before.st_mode)


@needs_root
@pytest.mark.parametrize("writer, mode", [
    ("inject-os", 0o2664), ("inject-methods", 0o2664), ("replace_file", 0o2664),
    ("inject-os", 0o2775), ("replace_file", 0o2775)],  # pathlib's write in place drops this one
    ids=["inject-os", "inject-methods", "replace_file", "inject-os-group-exec",
         "replace_file-group-exec"])
def test_setgid_file_keeps_its_group_and_mode(shared_dir, writer, mode):
    folder = shared_dir(0o755, (W, W))
    config = own_file(folder / "CLAUDE.md", b"setgid notes\n", (W, G), mode)
    calls = {"inject-os": lambda: inject(PosixPath, folder / "skills"),
             "inject-methods": lambda: inject(OwnMethodsPath, folder / "skills"),
             "replace_file": lambda: replace_file(config, b"setgid notes\n" + BLOCK)}
    assert in_child(lambda: outcome(calls[writer]), (W, W), [G])[0] == "ok"
    assert (config.stat().st_gid, stat.S_IMODE(config.stat().st_mode)) == (G, mode)
    assert config.read_bytes() == b"setgid notes\n" + BLOCK


@needs_root
@pytest.mark.parametrize("kind", ["user-xattr", "acl"])
def test_extended_attributes_and_acls_survive(shared_dir, route, kind):
    folder = shared_dir(0o755)
    config = own_file(folder / "CLAUDE.md", b"shared with V alone\n", (0, 0), 0o600)
    if kind == "user-xattr":
        os.setxattr(config, "user.kestrix.origin", b"handmade")
    elif shutil.which("setfacl") is None:
        pytest.skip("setfacl is not installed")
    else:
        subprocess.run(["setfacl", "-m", f"u:{V}:r", str(config)], check=True, timeout=30)
    before = {name: os.getxattr(config, name) for name in os.listxattr(config)}
    inject(route, folder / "skills")
    assert {name: os.getxattr(config, name) for name in os.listxattr(config)} == before
    if kind == "acl":
        assert in_child(config.read_bytes, (V, V)) == b"shared with V alone\n" + BLOCK


# --- long paths -------------------------------------------------------------------------------------

@pytest.mark.parametrize("old", [b"deep\n", None], ids=["existing", "new"])
def test_configuration_path_just_under_path_max(tmp_path, route, old):
    length = 4080 - len("/CLAUDE.md") - len(str(tmp_path))
    count, rest = divmod(length, 201)  # names of 200 characters, then one of what is left
    if rest < 2:
        count, rest = count - 1, rest + 201
    folder = tmp_path.joinpath(*["d" * 200] * count, "e" * (rest - 1))
    folder.mkdir(parents=True)
    config = folder / "CLAUDE.md"
    if old is not None:
        config.write_bytes(old)
    result = outcome(lambda: inject(route, folder / "skills", tmp_path / "none"))
    assert len(str(config)) == 4080 and result == ("ok", str(config))
    assert config.read_bytes() == (old or b"") + BLOCK
