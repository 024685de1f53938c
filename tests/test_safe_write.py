"""The host command's reader and writer (_safe_write): the same replacement as inject's for
linked files, and a write only over the bytes that were read."""

import errno
import os

import pytest

from conftest import leftovers
from kestrix.skills.services._safe_write import read_file, replace_file


def test_safe_write_replaces_linked_files_like_inject(tmp_path):
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
