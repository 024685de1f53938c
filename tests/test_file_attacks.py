"""Attacks on inject's file work: another user in a shared folder trying the new file of a
private one, links in sticky folders, a link swapped in at a known step, the file replaced or
its folder moved at a known step (by our other writer too)."""

import ctypes
import errno
import os
import pickle
import select
import signal
import stat
import struct
import threading
from contextlib import contextmanager
from pathlib import Path

import pytest

from conftest import (BLOCK, USER_TEXT, V, W, PosixPath, hard_linked, in_child, inject,
                      is_write_open, leftovers, needs_root, outcome, own_file, state)
from kestrix.skills.services._safe_write import replace_file

FILE_EVENTS = ("open", "os.mkdir", "os.rename", "os.remove")
SET_ID = stat.S_ISUID | stat.S_ISGID


def at_step(step, event, args, config) -> bool:
    return event == step or (step == "write-open" and is_write_open(event, args, config))


# --- the new file of a private file, seen by another user -------------------------------------

def _listen(folder, injector, probe, ready, report):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int,
                                   ctypes.c_char_p]
    fan = libc.fanotify_init(0x4 | 0x1, os.O_RDONLY)  # FAN_CLASS_CONTENT | FAN_CLOEXEC
    # FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD: every open in the folder waits for us.
    if fan < 0 or libc.fanotify_mark(fan, 0x1, 0x10000 | 0x08000000, -100, bytes(folder)) < 0:
        return os.write(ready, b"-")

    def allow(fd, result=None):
        if result is not None:
            os.write(report, pickle.dumps(result))
        os.write(fan, struct.pack("=iI", fd, 0x1))  # FAN_ALLOW
        os.close(fd)

    os.write(ready, b"+")
    held = False
    while select.select([fan], [], [], 60)[0]:
        data = os.read(fan, 4096)
        while data:
            size, _, _, _, _, fd, pid = struct.unpack_from("=IBBHQii", data)
            data = data[size:]
            name = os.path.basename(os.readlink(f"/proc/self/fd/{fd}"))
            if not held and pid == injector and name.startswith(".rule_injector."):
                held = True  # the file exists with the mode it was made with
                threading.Thread(target=lambda fd=fd: allow(fd, probe())).start()
            else:
                allow(fd)


@contextmanager
def creation_held(folder: Path, probe):
    """Holds this process's first opening of a `.rule_injector.*` file in `folder` in the
    kernel (fanotify: after the file is made, before open returns, where no audit event
    falls) while probe() runs; the list yielded gets probe()'s result after the block."""
    ready_r, ready_w = os.pipe()
    report_r, report_w = os.pipe()
    injector, found = os.getpid(), []
    if (pid := os.fork()) == 0:
        try:
            _listen(folder, injector, probe, ready_w, report_w)
        finally:
            os._exit(0)
    try:
        if not select.select([ready_r], [], [], 30)[0] or os.read(ready_r, 1) != b"+":
            pytest.skip("no fanotify permission events here")
        yield found
        if select.select([report_r], [], [], 0)[0]:
            found.extend(pickle.loads(os.read(report_r, 1 << 16)))
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        for fd in (ready_r, ready_w, report_r, report_w):
            os.close(fd)


def open_attempts(folder: Path) -> list[int]:
    """errno (0: opened) of opening each temporary file of `folder` to read and to write."""
    found = []
    for name, flags in [(n, f) for n in leftovers(folder) for f in (os.O_RDONLY, os.O_WRONLY)]:
        try:
            os.close(os.open(folder / name, flags | os.O_NONBLOCK))
            found.append(0)
        except OSError as e:
            found.append(e.errno)
    return found


@needs_root
@pytest.mark.parametrize("umask", [0o022, 0o000], ids=["umask-022", "umask-000"])
def test_private_file_text_never_readable_by_another_user(shared_dir, on_audit, umask):
    folder = shared_dir(0o755)
    config = own_file(folder / "CLAUDE.md", b"private notes\n", (0, 0), 0o600)
    as_v = lambda: in_child(lambda: open_attempts(folder), user=(V, V))  # noqa: E731
    at_events = {}
    on_audit(lambda event, args: event in FILE_EVENTS
             and at_events.setdefault(event, []).extend(as_v()))
    old = os.umask(umask)
    try:
        with creation_held(folder, as_v) as at_creation:
            inject(PosixPath, folder / "skills")
    finally:
        os.umask(old)
    assert at_events.get("os.rename"), "the new file was not there to be tried"
    assert set(at_creation + sum(at_events.values(), [])) == {errno.EACCES}
    assert stat.S_IMODE(config.stat().st_mode) == 0o600


# --- links in sticky shared folders --------------------------------------------------------------

@needs_root
@pytest.mark.parametrize("folder_owner, link_owner, injector, setuid, followed", [
    (0, V, 0, True, False), (0, V, 0, False, False), (0, W, V, False, False),
    (V, W, 0, False, False), (0, 0, V, False, True), (0, V, V, False, True),
    (V, V, W, False, True),
], ids=["root-via-users-link-to-setuid-file", "root-via-users-link", "user-via-others-link",
        "root-via-others-link-in-users-folder", "folder-owners-link", "own-link",
        "folder-owners-link-in-users-folder"])
def test_links_in_sticky_folders_follow_the_protected_symlinks_rule(
        shared_dir, folder_owner, link_owner, injector, setuid, followed):
    folder, elsewhere = shared_dir(0o1777, (folder_owner, folder_owner)), shared_dir(0o777)
    target = own_file(elsewhere / "target", b"#!/bin/sh\n", (0, 0), 0o4755 if setuid else 0o666)
    (folder / "CLAUDE.md").symlink_to(target)
    os.lchown(folder / "CLAUDE.md", link_owner, link_owner)
    before = state(folder), state(elsewhere)
    user = None if injector == 0 else (injector, injector)
    result = in_child(lambda: outcome(lambda: inject(PosixPath, folder / "skills")), user)
    if followed:
        assert result[0] == "ok" and target.read_bytes() == b"#!/bin/sh\n" + BLOCK
    else:
        assert result[:2] == ("PermissionError", errno.EACCES) and result[3] == 73
        assert (state(folder), state(elsewhere)) == before


@needs_root
@pytest.mark.parametrize("step, links", [("write-open", 1), ("write-open", 2), ("os.rename", 1)],
                         ids=["write-open", "write-open-hard-linked-setuid-file", "os.rename"])
def test_owner_swapping_in_a_link_gains_no_root_setuid_file(shared_dir, on_audit, step, links):
    folder, elsewhere = shared_dir(0o1777), shared_dir(0o755)
    tool = own_file(elsewhere / "tool", b"#!/bin/sh\n", (0, 0), 0o4755)
    if links == 2:
        os.link(tool, elsewhere / "tool-too")
    config = own_file(folder / "CLAUDE.md", b"V's notes\n", (V, V), 0o644)
    before, swapped, exposed = state(elsewhere), [], []

    def swap():  # V may replace its own file in the sticky folder
        os.symlink(tool, folder / "swap")
        os.rename(folder / "swap", config)

    def watch(event, args):
        # At every step: a root set-id file in the folder can be run by V at once.
        exposed.extend(e for e in state(folder) if e[2] == 0 and e[1] & SET_ID)
        if not swapped and at_step(step, event, args, config):
            swapped.append(in_child(swap, user=(V, V)))

    on_audit(watch)
    outcome(lambda: inject(PosixPath, folder / "skills"))
    watch(None, None)
    assert swapped and state(elsewhere) == before and exposed == []


# --- the file changed at a known step ----------------------------------------------------------------

def _other_writer(config):  # our own writer, in another process, gets in first
    in_child(lambda: replace_file(config, b"other text\n"))
    return config, b"other text\n"


def _renamed_over(config):
    (config.parent / "other.md").write_bytes(b"other text\n")
    os.rename(config.parent / "other.md", config)
    return config, b"other text\n"


def _folder_moved(config):
    os.rename(config.parent, config.parent.with_name("moved"))
    return config.parent.with_name("moved") / config.name, USER_TEXT


@pytest.mark.parametrize("step, change, links", [
    ("write-open", _other_writer, 2), ("write-open", _renamed_over, 1),
    ("os.rename", _folder_moved, 1)], ids=["hard-linked-file-replaced-by-our-other-writer",
                                           "other-file-renamed-over", "folder-moved"])
def test_file_changed_at_a_known_step_keeps_the_new_text(tmp_path, on_audit, step, change, links):
    config = hard_linked(tmp_path / "p", USER_TEXT)
    if links == 1:
        (config.parent / "second-name.md").unlink()
    changed = []
    on_audit(lambda event, args: not changed and at_step(step, event, args, config)
             and changed.append(change(config)))
    outcome(lambda: inject(PosixPath, config.parent / "skills"))
    ((where, text),) = changed
    data = where.read_bytes()
    assert b"\0" not in data and data in (text, text + BLOCK)
    assert [leftovers(p) for p in {config.parent, where.parent} if p.exists()] == [[]]
