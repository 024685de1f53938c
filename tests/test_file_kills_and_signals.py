"""Writers stopped at a known system call: killed at every call of an in-place rewrite (the
file holds the old or the new bytes once it is next read, never a mix), interrupted before and
after the point of no return, terminated while the new file is being filled."""

import json
import os
import subprocess
import sys
from contextlib import nullcontext
from pathlib import Path

import pytest

from conftest import (BLOCK, USER_TEXT, OwnMethodsPath, PosixPath, block, hard_linked, inject,
                      leftovers, needs_strace, outcome, small_disk, syscalls_of, traced_python)
from kestrix.skills.services._safe_write import read_file
from kestrix.skills.services import _safe_write

JOURNAL = ".rule_injector.CLAUDE.md.journal"
AFTER = b"\n<!-- another tool's notes, after the block -->\nkeep me\n"

# In-place rewrites that are not appends: the file is shorter afterwards, so the new bytes are
# written over the old ones and the end is cut off.
REWRITES = {
    "uninstall-like": (USER_TEXT + BLOCK + AFTER, USER_TEXT + AFTER),
    "update-like": (USER_TEXT + block("an older and longer rule. " * 200).encode() + AFTER,
                    USER_TEXT + BLOCK + AFTER),
}

REWRITE = """
    from kestrix.skills.services._safe_write import replace_file
    replace_file({config!r}, {new!r})
"""

MAX_KILLS = 100  # per rewrite: two rewrites stay within 200 children


def _status(config: Path) -> None:
    kestrix = Path(sys.executable).with_name("kestrix")
    done = subprocess.run([str(kestrix), "skills", "status", "claude", str(config.parent / "skills"),
                           "--json"], capture_output=True, text=True, timeout=60)
    assert "exit_code" in json.loads(done.stdout), done.stderr


# Each reads the file first; then the file is compared with what it may hold.
READERS = [
    ("read_file", lambda config: read_file(config)),
    ("inject-os", lambda config: inject(PosixPath, config.parent / "skills")),
    ("inject-methods", lambda config: inject(OwnMethodsPath, config.parent / "skills")),
    ("command-status", _status),
]


@pytest.mark.slow
@needs_strace
@pytest.mark.parametrize("rewrite", list(REWRITES))
def test_killed_in_place_rewrite_is_put_back_by_the_next_read(tmp_path, rewrite):
    old, new = REWRITES[rewrite]
    folder = tmp_path / "p"
    (folder / "skills").mkdir(parents=True)
    config = hard_linked(folder, old)  # two links: the rewrite goes into the file itself
    code = REWRITE.format(config=str(config), new=new)
    paths = ["CLAUDE.md", config, JOURNAL, folder / JOURNAL]
    calls = syscalls_of(code, paths, tmp_path, cwd=folder)
    assert config.read_bytes() == new
    step = max(1, -(-len(calls) // MAX_KILLS))
    chosen = calls[::step] + ([calls[-1]] if (len(calls) - 1) % step else [])
    killed, seen = 0, []
    for number, (name, when, line) in enumerate(chosen):
        hard_linked(folder, old)
        done = traced_python(code, paths, [f"{name}:signal=KILL:when={when}"], cwd=folder,
                             timeout=60)
        killed += done.returncode == -9
        reader_name, reader = READERS[number % len(READERS)]
        read = outcome(lambda: reader(config))
        data = config.read_bytes()
        allowed = {old, new} | ({new + BLOCK} if reader_name.startswith("inject")
                                and BLOCK.strip() not in new else set())
        assert data in allowed and read[0] == "ok", \
            f"killed at {line!r}, read by {reader_name} ({read}): a mix"
        assert (folder / "second-name.md").read_bytes() == data
        assert leftovers(folder) == [], f"killed at {line!r}, read by {reader_name}"
        seen.append(data == new)
    assert killed >= len(chosen) - 1, "the kills did not land"
    print(f"{len(calls)} calls, {len(chosen)} kills, new bytes after {sum(seen)}")


# --- signals before and after the point of no return ------------------------------------------

SIGNALLED = """
    import json, traceback
    from pathlib import Path
    from kestrix.skills.services.rule_injector import RuleInjector
    folder = Path({folder!r})
    try:
        RuleInjector(folder / "none").inject("claude", folder / "skills")
        for _ in range(1000):  # a pending handler runs here at the latest
            pass
        print(json.dumps({{"interrupted": False}}))
    except KeyboardInterrupt as e:
        # The module gives every failure of its own an entry; a handler run by the
        # interpreter once the call has returned has none.
        files = [frame.filename for frame in traceback.extract_tb(e.__traceback__)]
        print(json.dumps({{"interrupted": True,
                          "by_the_call": "kestrix/skills/services/rule_injector" in files}}))
"""


@needs_strace
@pytest.mark.parametrize("size, at, written", [
    (20 << 20, "pwrite64:signal=INT:when=1", False),
    (len(USER_TEXT), "renameat,renameat2:signal=INT:when=1", True),
], ids=["between-pieces-of-the-new-file", "at-the-rename"])
def test_interrupt_before_or_after_the_point_of_no_return(tmp_path, size, at, written):
    folder = tmp_path / "p"
    folder.mkdir()
    config = folder / "CLAUDE.md"
    old = (USER_TEXT * (size // len(USER_TEXT) + 1))[:size]
    config.write_bytes(old)
    inode = config.stat().st_ino
    try:
        done = traced_python(SIGNALLED.format(folder=str(folder)), [], [at], cwd=folder,
                             timeout=120)
        assert done.returncode == 0, done.stderr
        result = json.loads(done.stdout)
        assert result == {"interrupted": True, "by_the_call": not written}
        assert config.read_bytes() == (old + BLOCK if written else old)
        assert (config.stat().st_ino == inode) != written and leftovers(folder) == []
    finally:
        config.unlink(missing_ok=True)


@needs_strace
@pytest.mark.parametrize("at", ["pwrite64", "fsync"], ids=["filling", "flushing"])
@pytest.mark.parametrize("signal_name", ["KILL", "TERM"])
@pytest.mark.parametrize("disk", ["ext4", "tmpfs"])
def test_killed_rewrite_leaves_no_copy_of_the_users_text(tmp_path, disk, signal_name, at):
    if signal_name == "KILL" and _safe_write.OS_ROUTE != "linux":
        pytest.skip("only a new file made with no name outlives nothing of itself on SIGKILL")
    with small_disk(tmp_path / "disk", "1m") if disk == "tmpfs" else nullcontext() as mounted:
        folder = mounted or tmp_path
        config = folder / "CLAUDE.md"
        config.write_bytes(USER_TEXT)
        done = traced_python(SIGNALLED.format(folder=str(folder)), [],
                             [f"{at}:signal={signal_name}:when=1"], cwd=folder, timeout=60)
        assert done.returncode < 0, done.stdout + done.stderr
        assert config.read_bytes() in (USER_TEXT, USER_TEXT + BLOCK)
        assert sorted(os.listdir(folder)) == ["CLAUDE.md"]
