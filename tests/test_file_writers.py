"""Other programs at the file while we write it: lease holders, programs holding classic locks,
children that inherited our descriptors, programs appending or editing at a known step, an
install that gets in first, and a clock that runs ahead of the file system's."""

import errno
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from contextlib import contextmanager, nullcontext
from pathlib import Path

import pytest

from conftest import (BLOCK, USER_TEXT, WRITES, PosixPath, hard_linked, in_child, inject,
                      is_write_open, leftovers, needs_strace, outcome, strace_command,
                      syscalls_of)
from kestrix.skills.services import _safe_write
from kestrix.skills.services import rule_injector as ri
from kestrix.skills.services._safe_write import read_file, replace_file

# --- leases and classic locks held by another program -------------------------------------------

HOLDER = """
    import fcntl, os, signal, sys, time
    signal.alarm(90)  # never outlives the test
    path, kind, lets_go = sys.argv[1], sys.argv[2], sys.argv[3] == "lets-go"
    F_SETLEASE = getattr(fcntl, "F_SETLEASE", 1024)
    fd = os.open(path, os.O_RDWR if kind == "lock" else os.O_RDONLY)
    def broken(signum, frame):  # the kernel asks the holder to let go
        os.write(1, b"broken\\n")  # not print: it may come while "held" is printed
        if lets_go:
            fcntl.fcntl(fd, F_SETLEASE, fcntl.F_UNLCK)
    signal.signal(signal.SIGIO, broken)
    if kind == "lock":
        fcntl.lockf(fd, fcntl.LOCK_EX)
    else:
        fcntl.fcntl(fd, F_SETLEASE, fcntl.F_RDLCK if kind == "read" else fcntl.F_WRLCK)
    print("held", flush=True)
    while True:
        time.sleep(1)
"""


@contextmanager
def held_by_another_program(config: Path, kind: str, lets_go: bool = True):
    """A process holding a lease ("read", "write") or a classic lock ("lock") on `config`;
    yields a function that says whether it was asked to let go."""
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(HOLDER), str(config), kind,
                               "lets-go" if lets_go else "holds-on"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if not select.select([holder.stdout], [], [], 30)[0] or holder.stdout.readline() != "held\n":
            holder.kill()
            pytest.skip(f"cannot take a {kind} lease here: {holder.communicate(timeout=30)[1]}")
        yield lambda wait: bool(select.select([holder.stdout], [], [], wait)[0]) and \
            holder.stdout.readline() == "broken\n"
    finally:
        holder.kill()
        holder.communicate(timeout=30)


@contextmanager
def lease_break_time(seconds: int):
    """The kernel's wait for a lease holder, lowered for the test and put back."""
    knob = Path("/proc/sys/fs/lease-break-time")
    if os.geteuid() != 0 or not knob.exists():
        pytest.skip("changing lease-break-time needs root")
    old = knob.read_text()
    knob.write_text(f"{seconds}\n")
    try:
        yield
    finally:
        knob.write_text(old)


def _status(config: Path) -> str:
    kestrix = Path(sys.executable).with_name("kestrix")
    done = subprocess.run([str(kestrix), "skills", "status", "claude",
                           str(config.parent / "skills"), "--json"],
                          capture_output=True, text=True, timeout=120)
    report = json.loads(done.stdout)
    if report["error"] is not None:  # every object has the key; null when none
        raise OSError(report["error"])
    return report["state"]


CALLS = {
    "inject": (lambda c: inject(PosixPath, c.parent / "skills"), USER_TEXT + BLOCK),
    "replace_file": (lambda c: replace_file(c, b"new text\n"), b"new text\n"),
    "read_file": (lambda c: read_file(c), USER_TEXT),
    "command-status": (_status, USER_TEXT),
}


@pytest.mark.parametrize("lease, call, lets_go, breaks", [
    ("read", "inject", True, True), ("read", "replace_file", True, True),
    ("read", "read_file", True, False), ("write", "inject", True, True),
    ("write", "replace_file", True, True), ("write", "read_file", True, True),
    ("write", "command-status", True, True), ("write", "inject", False, True),
], ids=["read-inject", "read-replace_file", "read-read_file", "write-inject",
        "write-replace_file", "write-read_file", "write-command-status",
        "write-holder-never-lets-go"])
def test_lease_holders_are_waited_for(tmp_path, lease, call, lets_go, breaks):
    if os.geteuid() != 0:
        pytest.skip("the holder must own the file or be root")
    folder = tmp_path / "p"
    (folder / "skills").mkdir(parents=True)
    config = folder / "CLAUDE.md"
    config.write_bytes(USER_TEXT)
    work, expected = CALLS[call]
    with nullcontext() if lets_go else lease_break_time(2), \
            held_by_another_program(config, lease, lets_go) as was_broken:
        result = outcome(lambda: work(config))
        assert result[0] == "ok", result
        assert config.read_bytes() == expected
        # A break is told at once; the one case without a break is given a second.
        assert was_broken(5 if breaks else 1) == breaks
    assert leftovers(folder) == []


@pytest.mark.slow
@pytest.mark.parametrize("call", ["inject", "replace_file"])
def test_a_classic_lock_held_longer_than_the_wait_is_named_as_such(tmp_path, call):
    if _safe_write.OS_ROUTE != "linux":
        pytest.skip("flock locks neither meet classic locks nor tell their holder")
    folder = tmp_path / "p"
    folder.mkdir()
    config = folder / "CLAUDE.md"
    config.write_bytes(USER_TEXT)
    with held_by_another_program(config, "lock"):
        with pytest.raises(OSError) as info:
            CALLS[call][0](config)
    assert "in use by another program" in str(info.value)
    assert config.read_bytes() == USER_TEXT and leftovers(folder) == []


@pytest.mark.parametrize("links, call", [(1, "inject"), (2, "rewrite")],
                         ids=["new-file-then-rename", "in-place-rewrite"])
def test_a_child_forked_during_a_write_holds_no_lock(tmp_path, on_audit, links, call):
    """A child forked at a known step keeps copies of our descriptors; a later write of the
    same file must not wait for it."""
    config = hard_linked(tmp_path / "p", USER_TEXT + BLOCK + b"after\n")
    if links == 1:
        (config.parent / "second-name.md").unlink()
        config.write_bytes(USER_TEXT)
    children, writing = [], []

    def fork_once(event, args):
        # The first file step after the write's own "open": the file is open and locked.
        if is_write_open(event, args, config):
            writing.append(event)
        elif writing and not children and event in ("open", "os.link", "os.rename"):
            if (pid := os.fork()) == 0:
                try:
                    signal.alarm(60)
                    time.sleep(60)
                finally:
                    os._exit(0)
            children.append(pid)
            if links == 1:  # the old file, which our lock is on, keeps a name
                os.link(config, config.with_name("kept.md"))

    on_audit(fork_once)
    try:
        if call == "inject":
            inject(PosixPath, config.parent / "skills")
        else:
            replace_file(config, USER_TEXT + b"after\n")
        on_audit(None)
        assert children, "no audited step after the write's open to fork at"
        assert os.waitpid(children[0], os.WNOHANG) == (0, 0)  # still holding its copies
        later = config.with_name("kept.md") if links == 1 else config
        assert outcome(lambda: replace_file(later, b"later\n"))[0] == "ok"
        assert later.read_bytes() == b"later\n"
    finally:
        for pid in children:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)


# --- another program appending or editing at a known step ------------------------------------

THEIRS = b"appended by another program\n"
APPEND = """
    from pathlib import Path
    from kestrix.skills.services.rule_injector import RuleInjector
    folder = Path({folder!r})
    RuleInjector(folder / "none").inject("claude", folder / "skills")
"""


def _run_with_window(code: str, paths, injection: str, folder: Path, act) -> subprocess.CompletedProcess:
    """Runs `code` under strace with `injection` (a delay after a chosen call); act() runs once the
    delayed call is seen, while the writer waits."""
    child = subprocess.Popen([*strace_command(paths, [injection], "/dev/stderr"), sys.executable, "-B",
                              "-c", textwrap.dedent(code)], cwd=folder, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = []
    try:
        while select.select([child.stderr], [], [], 30)[0]:
            line = child.stderr.readline()
            seen.append(line)
            if not line or "(DELAYED)" in line:
                break
        assert seen and "(DELAYED)" in seen[-1], "".join(seen)
        act()
        out, err = child.communicate(timeout=60)
        return subprocess.CompletedProcess(child.args, child.returncode, out, "".join(seen) + err)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()


def _append_theirs(config: Path) -> None:
    with open(config, "ab") as f:
        f.write(THEIRS)


@pytest.mark.slow  # a window of 3 s that the test must act in: too short under valgrind
@needs_strace
@pytest.mark.parametrize("fails", [False, True], ids=["append", "failed-append"])
def test_bytes_another_program_appends_during_an_in_place_append_are_kept(tmp_path, fails):
    folder = tmp_path / "p"
    config = hard_linked(folder, USER_TEXT)
    code = APPEND.format(folder=str(folder))
    paths = ["CLAUDE.md", config]
    calls = syscalls_of(code, paths, tmp_path, cwd=folder)
    first_write = next(i for i, c in enumerate(calls) if c[0] in WRITES)
    hard_linked(folder, USER_TEXT)
    # Their append lands after our last look at the file and before our write, or after our
    # write failed (a full disk) and before we clean up.
    name, when, _ = calls[first_write if fails else first_write - 1]
    injection = f"{name}:when={when}:delay_exit=3000000" + (":error=ENOSPC" if fails else "")
    done = _run_with_window(code, paths, injection, folder, lambda: _append_theirs(config))
    if fails:
        assert done.returncode == 1 and "No space left on device" in done.stderr
        assert config.read_bytes() == USER_TEXT + THEIRS
    else:
        assert done.returncode == 0, done.stderr
        assert config.read_bytes() == USER_TEXT + THEIRS + BLOCK
    assert leftovers(folder) == []


@pytest.mark.parametrize("writer", ["inject", "replace_file"])
def test_edit_in_place_while_the_new_file_is_flushed_is_kept(tmp_path, on_audit, writer):
    folder = tmp_path / "p"
    folder.mkdir()
    config = folder / "CLAUDE.md"
    config.write_bytes(USER_TEXT)
    edited = b"E" + USER_TEXT[1:]  # same size, same file
    done = []

    def edit(event, args):
        if not done and event == "os.rename":
            with open(config, "r+b") as f:
                f.write(b"E")
            done.append(os.stat(config).st_ino)

    on_audit(edit)
    result = outcome(lambda: inject(PosixPath, folder / "skills") if writer == "inject"
                     else replace_file(config, USER_TEXT + b"more\n", expected=USER_TEXT))
    assert done, "no rename was announced"
    if writer == "inject":
        assert result[0] == "ok" and config.read_bytes() == edited + BLOCK
    else:  # the command's writes go only over what they read
        assert result[:2] == ("OSError", errno.ESTALE) and config.read_bytes() == edited
    assert leftovers(folder) == []


# --- the block written twice ----------------------------------------------------------------------

class Marker(str):
    pass


@pytest.mark.parametrize("existing", [USER_TEXT, None], ids=["existing-file", "new-file"])
@pytest.mark.parametrize("marker", [Marker(ri.RULE_MARKER), ri.RULE_MARKER + "\n"],
                         ids=["str-subclass", "ends-in-line-feed"])
def test_an_install_that_gets_in_first_leaves_one_block(tmp_path, on_audit, monkeypatch, marker,
                                                        existing):
    monkeypatch.setattr(ri, "RULE_MARKER", marker)
    folder = tmp_path / "p"
    folder.mkdir()
    config = folder / "CLAUDE.md"
    if existing is not None:
        config.write_bytes(existing)
    first = []

    def install_first(event, args):
        if not first and is_write_open(event, args, config):
            first.append(in_child(lambda: str(inject(PosixPath, folder / "skills"))))

    on_audit(install_first)
    inject(PosixPath, folder / "skills")
    assert first == [str(config)]
    data = config.read_bytes()
    marker_bytes = str(marker).encode()
    the_block = f"\n\n{marker}\n\n{ri._DEFAULT_RULE_CONTENT.strip()}\n".encode()
    assert data.count(marker_bytes) == 1 and data == (existing or b"") + the_block


# --- a clock ahead of the file system's ------------------------------------------------------------

SAME_SECOND = """
    import os, sys
    from pathlib import Path
    from kestrix.skills.services.rule_injector import RuleInjector
    folder = Path({folder!r})
    config = folder / "CLAUDE.md"
    state = {{"armed": False}}
    def change(event, args):  # between our read and our write: same size, same second
        if state["armed"] and event == "open" and isinstance(args[2], int) and \\
                args[2] & (os.O_WRONLY | os.O_RDWR) and os.fsdecode(args[0]) == str(config):
            state["armed"] = False
            before = os.stat(config)
            with open(config, "r+b") as f:
                f.write(b"Z")
            os.utime(config, ns=(before.st_atime_ns, before.st_mtime_ns))
    sys.addaudithook(change)
    lost = 0
    for _ in range(20):
        config.write_bytes(b"a" + b"x" * 200 + b"\\n")
        state["armed"] = True
        RuleInjector(folder / "none").inject("claude", folder / "skills")
        lost += not config.read_bytes().startswith(b"Z")
    print(lost)
"""


def test_a_clock_ahead_of_the_file_systems_loses_no_change(tmp_path):
    faketime = shutil.which("faketime")
    if faketime is None:
        pytest.skip("faketime is not installed (make acl-installed adds it)")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("libfaketime and the AddressSanitizer runtime both wrap the clock and hang")
    folder = tmp_path / "p"
    folder.mkdir()
    done = subprocess.run([faketime, "-f", "+5s", sys.executable, "-B", "-c",
                           textwrap.dedent(SAME_SECOND.format(folder=str(folder)))],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0"]
    assert (folder / "CLAUDE.md").read_bytes().startswith(b"Z")
