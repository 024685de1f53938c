"""Shared fixtures and helpers: the two routes, skills and template trees, scripted path
objects, other users, audit hooks, forked and fresh interpreters, reference-leak checks."""

import gc
import os
import pickle
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
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




def block(rule: str = ri._DEFAULT_RULE_CONTENT.strip()) -> str:
    """What inject appends for `rule` (by default the built-in one)."""
    return f"\n\n{ri.RULE_MARKER}\n\n{rule}\n"


BLOCK = block().encode()


class OwnMethodsPath(PosixPath):
    """Not the plain type: the module goes through the path methods."""


# The two routes: pathlib's own type (the module does the file work with the OS) and a
# subclass (the module calls its methods). A test asking for `route` runs on both; the
# route comes last in the test id, after the test's own parameters.
ROUTES = {"os": PosixPath, "methods": OwnMethodsPath}


@pytest.fixture
def route(request) -> type:
    """The path class of one route."""
    return request.param


@pytest.hookimpl(trylast=True)
def pytest_generate_tests(metafunc):
    if "route" in metafunc.fixturenames:
        metafunc.parametrize("route", list(ROUTES.values()), ids=list(ROUTES), indirect=True)


class S(str):
    """A str subclass, for keyword names and for target_runtime."""


class Boom(Exception):
    pass


class Raises:
    """Raises Boom from whichever protocol the step uses."""

    def __getattr__(self, name):
        raise Boom(name)

    def __bool__(self):
        raise Boom("bool")

    def __format__(self, spec):
        raise Boom("format")

    def __truediv__(self, other):
        raise Boom("div")


class FakePath:
    """A path object whose file holds `text` and whose operations are scripted: `fail`
    names the one that raises Boom; "rewrite" makes writing anything but `text` fail
    like a full disk, so putting the old text back works."""

    def __init__(self, exists=False, text="", fail=None):
        self._exists, self._text, self._fail = exists, text, fail

    def _maybe_fail(self, op):
        if self._fail == op:
            raise Boom(op)

    def __truediv__(self, other):
        self._maybe_fail("div")
        return self

    @property
    def parent(self):
        return self

    def exists(self):
        self._maybe_fail("exists")
        return Raises() if self._fail == "exists-bool" else self._exists

    def read_text(self, encoding):
        self._maybe_fail("read_text")
        return self._text

    def mkdir(self, parents, exist_ok):
        self._maybe_fail("mkdir")

    def write_text(self, data, encoding):
        self._maybe_fail("write_text")
        if self._fail == "rewrite" and data != self._text:
            raise OSError(28, "No space left on device")


@pytest.fixture(autouse=True)
def state_home(tmp_path_factory, monkeypatch) -> Path:
    """The command's record of the rules it wrote goes to a folder of each test's own, never
    to the user's ~/.local/state (kestrix() passes os.environ on)."""
    home = tmp_path_factory.mktemp("state")
    monkeypatch.setenv("XDG_STATE_HOME", str(home))
    return home


@pytest.fixture
def claude_skills(tmp_path: Path) -> Path:
    """A `.claude/skills` folder; CLAUDE.md belongs beside it."""
    skills = tmp_path / "project" / ".claude" / "skills"
    skills.mkdir(parents=True)
    return skills


@pytest.fixture
def project(tmp_path):
    """(skills folder, CLAUDE.md beside it); the folder holding both exists."""
    (tmp_path / ".claude").mkdir()
    return tmp_path / ".claude" / "skills", tmp_path / ".claude" / "CLAUDE.md"


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


def inject(path_type, skills, templates=None):
    """inject("claude", ...) with both paths made of `path_type`."""
    return ri.RuleInjector(path_type(templates or skills.parent / "no-templates")).inject(
        "claude", path_type(skills))


def inject_error(skills, path_type=PosixPath, templates=None) -> OSError:
    """The OSError `inject` raises."""
    with pytest.raises(OSError) as info:
        inject(path_type, skills, templates)
    return info.value


def outcome(call):
    """What a call did, comparable across routes and processes."""
    try:
        return ("ok", str(call()))
    except BaseException as e:
        try:
            line = entry_line(e)
        except ValueError:
            line = None
        return (type(e).__name__, getattr(e, "errno", None), getattr(e, "filename", None), line)


def state(folder: Path) -> list:
    """Every entry of `folder`: name, mode, owner, group and bytes or link text."""
    found = []
    for entry in sorted(folder.iterdir()):
        info = entry.lstat()
        body = (os.readlink(entry) if entry.is_symlink()
                else entry.read_bytes() if stat.S_ISREG(info.st_mode) else None)
        found.append((entry.name, info.st_mode, info.st_uid, info.st_gid, body))
    return found


def rule_templates(root: Path, text: str) -> Path:
    """A templates root at `root` whose rule file holds `text`."""
    (root / "kestrix-feedback" / "data").mkdir(parents=True)
    (root / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md").write_text(text, encoding="utf-8")
    return root


USER_TEXT = b"the user's own and rather longer text\n" * 20


def hard_linked(folder: Path, data: bytes) -> Path:
    """folder/CLAUDE.md holding `data`, with a second name folder/second-name.md."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "CLAUDE.md").write_bytes(data)
    (folder / "second-name.md").unlink(missing_ok=True)
    os.link(folder / "CLAUDE.md", folder / "second-name.md")
    return folder / "CLAUDE.md"


# --- other users ------------------------------------------------------------------------------

V, W, G = 4201, 4202, 4300  # the file's owner, a third user, a group both may be in
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="other users are simulated as root")


def in_child(work, user=None, groups=()):
    """work() in a forked child, as `user` (uid, gid) when given: its result comes back
    pickled, what it raised is raised here. The child is killed after 60 s."""
    read_end, write_end = os.pipe()
    if (pid := os.fork()) == 0:
        try:
            if user is not None:
                os.setgroups(list(groups))
                os.setgid(user[1])
                os.setuid(user[0])
            try:
                result = (True, work())
            except BaseException as e:
                result = (False, e)
            os.write(write_end, pickle.dumps(result))
        finally:
            os._exit(0)
    os.close(write_end)
    chunks = []
    try:
        while select.select([read_end], [], [], 60)[0] and (chunk := os.read(read_end, 1 << 16)):
            chunks.append(chunk)
    finally:
        os.close(read_end)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    assert chunks, "the child ran out of time or died"
    ok, value = pickle.loads(b"".join(chunks))
    if not ok:
        raise value
    return value


@pytest.fixture
def shared_dir():
    """Folders under /tmp that other users can enter (tmp_path's cannot); removed after."""
    if os.geteuid() != 0:
        pytest.skip("other users are simulated as root")
    made = []

    def make(mode, owner=(0, 0)):
        made.append(Path(tempfile.mkdtemp(prefix="kestrix-attacks-", dir="/tmp")))
        os.chown(made[-1], *owner)
        os.chmod(made[-1], mode)
        return made[-1]

    yield make
    for folder in made:
        shutil.rmtree(folder, ignore_errors=True)


def own_file(path: Path, data: bytes, owner, mode) -> Path:
    path.write_bytes(data)
    os.chown(path, *owner)
    os.chmod(path, mode)
    return path


# --- audit hooks ------------------------------------------------------------------------------

# One audit hook for the whole session (hooks cannot be removed); each test sets its action,
# which runs only in the process that set it and never inside its own steps.
_audit = {"action": None, "busy": False, "pid": None, "installed": False}


def _dispatch(event, args):
    if _audit["action"] is None or _audit["busy"] or os.getpid() != _audit["pid"]:
        return
    _audit["busy"] = True
    try:
        _audit["action"](event, args)
    finally:
        _audit["busy"] = False


@pytest.fixture
def on_audit():
    """on_audit(action): action(event, args) runs at every audit event of this test."""
    if not _audit["installed"]:
        sys.addaudithook(_dispatch)
        _audit["installed"] = True
    yield lambda action: _audit.update(action=action, pid=os.getpid())
    _audit["action"] = None


def is_write_open(event, args, path) -> bool:
    return (event == "open" and isinstance(args[0], (str, bytes, os.PathLike))
            and os.fsdecode(args[0]) == str(path) and isinstance(args[2], int)
            and bool(args[2] & (os.O_WRONLY | os.O_RDWR)))


@contextmanager
def mounted(onto: Path, *mount_args: str, what: str):
    """`mount *mount_args onto` (root only; the test skips, saying `what`, where it cannot
    be); unmounted on the way out."""
    if os.geteuid() != 0:
        pytest.skip(f"{what} needs root")
    done = subprocess.run(["mount", *mount_args, str(onto)], capture_output=True, text=True,
                          timeout=30)
    if done.returncode != 0:
        pytest.skip(f"cannot mount {what} here: {done.stderr.strip()}")
    try:
        yield onto
    finally:
        subprocess.run(["umount", "-l", str(onto)], timeout=30, check=False)


@contextmanager
def small_disk(folder: Path, size: str):
    """A tmpfs of `size` mounted on `folder` (root only); unmounted on the way out."""
    folder.mkdir(parents=True, exist_ok=True)
    with mounted(folder, "-t", "tmpfs", "-o", f"size={size}", "tmpfs", what="a tmpfs") as disk:
        yield disk


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


# --- system calls at a known step ---------------------------------------------------------------

STRACE = shutil.which("strace")
needs_strace = pytest.mark.skipif(STRACE is None,
                                  reason="strace is not installed (make acl-installed adds it)")
WRITES = ("pwrite64", "write", "pwritev", "pwritev2", "writev")


def strace_command(paths, inject=(), trace_to=None) -> list[str]:
    """strace tracing (and counting, for `inject`'s when=N) only the system calls that name one
    of `paths` or act on a file open on one: the imports of a fresh interpreter never count."""
    command = [STRACE, "-f", "-qq", "-o", trace_to or "/dev/null"]
    for path in paths:
        command += ["-P", str(path)]
    for injection in inject:
        command += ["-e", f"inject={injection}"]
    return command


def traced_python(code: str, paths, inject=(), *, cwd=None, timeout: float = 60,
                  trace_to=None, env=None) -> subprocess.CompletedProcess:
    """`code` in a fresh interpreter (no bytecode written) under strace_command()."""
    if STRACE is None:
        pytest.skip("strace is not installed")
    return subprocess.run([*strace_command(paths, inject, trace_to), sys.executable, "-B", "-c",
                           textwrap.dedent(code)], capture_output=True, text=True, cwd=cwd,
                          errors="replace", env={**os.environ, **(env or {})}, timeout=timeout)


def syscalls_of(code: str, paths, tmp: Path, **kwargs) -> list[tuple[str, int, str]]:
    """The calls `code` makes on `paths`, in order: (name, its count so far, the trace line),
    so that name:when=count picks exactly that call."""
    log = tmp / "trace.log"
    done = traced_python(code, paths, trace_to=str(log), **kwargs)
    assert done.returncode == 0, done.stderr
    seen, calls = {}, []
    for line in log.read_text(errors="replace").splitlines():
        name = line.split(maxsplit=1)[1].split("(", 1)[0] if " " in line else ""
        if name.isidentifier():
            seen[name] = seen.get(name, 0) + 1
            calls.append((name, seen[name], line))
    log.unlink()
    return calls
