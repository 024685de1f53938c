"""Shared fixtures: skills and template trees, subprocess runs, a reference-leak check."""

import gc
import os
import subprocess
import sys
import textwrap
from contextlib import contextmanager
from pathlib import Path

import pytest

from kestrix.skills.services import rule_injector as ri

SOURCE_FILE = "kestrix/skills/services/rule_injector"
PREFIX = "kestrix.skills.services.rule_injector.RuleInjector."
RULE_TEXT = "## Custom rule\n\nAlways report failures."
INJECT = PREFIX + "inject"
PosixPath = type(Path())


class OwnMethodsPath(PosixPath):
    """Not the plain type: the module goes through the path methods."""


@pytest.fixture
def module():
    return ri


@pytest.fixture
def claude_skills(tmp_path: Path) -> Path:
    """A `.claude/skills` folder; CLAUDE.md belongs beside it."""
    skills = tmp_path / "project" / ".claude" / "skills"
    skills.mkdir(parents=True)
    return skills


@pytest.fixture
def templates(tmp_path: Path) -> Path:
    """A templates root whose feedback skill carries a rule file."""
    root = tmp_path / "templates"
    data = root / "kestrix-feedback" / "data"
    data.mkdir(parents=True)
    (data / "FEEDBACK_RULE.md").write_text(f"\n  {RULE_TEXT}  \n\n", encoding="utf-8")
    return root


def module_frames(exc: BaseException) -> list[tuple[str, str, int]]:
    """(function, file, line) of every traceback entry the module added."""
    import traceback

    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == SOURCE_FILE]


def entry_line(error: BaseException) -> int:
    """The line of inject's own traceback entry."""
    (entry,) = [f for f in module_frames(error) if f[0] == INJECT]
    return entry[2]


def leftovers(folder: Path) -> list[str]:
    return sorted(p.name for p in folder.iterdir() if p.name.startswith(".rule_injector."))


@contextmanager
def small_disk(folder: Path, size: str):
    """A tmpfs of `size` mounted on `folder` (root only); unmounted on the way out."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    folder.mkdir(parents=True, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)],
                          capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.strip()}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", str(folder)], timeout=30, check=False)


def run_python(code: str, *, env: dict | None = None, check: bool = True,
               timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of this venv."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env={**os.environ, **(env or {})}, timeout=timeout)
    if check and done.returncode != 0:
        raise AssertionError(f"child failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
    return done


def call_repeatedly(call, times: int) -> None:
    """Calls `call` `times` times, ignoring what it raises."""
    for _ in range(times):
        try:
            call()
        except Exception:
            pass


def assert_no_leaks(call, *objects, repeat: int = 300) -> None:
    """Runs `call` (which may raise) `repeat` times after a warm-up and fails if
    the reference counts of `objects` grew."""
    call_repeatedly(call, 20)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    call_repeatedly(call, repeat)
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    assert after == before, f"reference counts grew: {before} -> {after}"


def assert_no_memory_growth(call, repeat: int = 300, rounds: int = 3,
                            slack_per_call: int = 8) -> None:
    """Runs `call` (which may raise) `rounds` times `repeat` times after a warm-up under
    tracemalloc and fails if the traced memory grew in every round by more than
    `slack_per_call` bytes a call (less than the smallest object). A leak grows every
    round; the interpreter's own caches settle (with PYTHONMALLOC=malloc they wobble)."""
    import tracemalloc

    growth = []
    tracemalloc.start()
    try:
        call_repeatedly(call, 20)
        for _ in range(rounds):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            call_repeatedly(call, repeat)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    assert min(growth) <= repeat * slack_per_call, f"traced memory grew every round: {growth}"


# Hypothesis under instrumentation: no deadlines, fewer examples
# (pytest --hypothesis-profile=sanitizers or =valgrind).
from hypothesis import settings as _hypothesis_settings  # noqa: E402

_hypothesis_settings.register_profile("sanitizers", deadline=None)
_hypothesis_settings.register_profile("valgrind", deadline=None, max_examples=20)
