"""Attacks on inject's file work: other users in shared folders, files and links changed at a
known step, our other writer, odd paths and files. Where both routes apply (pathlib's own
type and a subclass of it), their outcomes are compared."""

import ctypes
import errno
import os
import pathlib
import pickle
import resource
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
from contextlib import contextmanager, nullcontext
from pathlib import Path

import pytest

from conftest import OwnMethodsPath, PosixPath, entry_line, leftovers, run_python, small_disk
from kestrix.skills.services import rule_injector as ri
from kestrix.skills.services._safe_write import replace_file

BLOCK = f"\n\n{ri.RULE_MARKER}\n\n{ri._DEFAULT_RULE_CONTENT.strip()}\n".encode()
V, W, G = 4201, 4202, 4300  # the file's owner, a third user, a group both may be in
FILE_EVENTS = ("open", "os.mkdir", "os.rename", "os.remove")
SET_ID = stat.S_ISUID | stat.S_ISGID
ROUTES = pytest.mark.parametrize("path_type", [PosixPath, OwnMethodsPath], ids=["os", "methods"])
needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="other users are simulated as root")


def inject(path_type, skills, templates=None):
    return ri.RuleInjector(path_type(templates or skills.parent / "no-templates")).inject(
        "claude", path_type(skills))


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
    (root / "kestrix-feedback" / "data").mkdir(parents=True)
    (root / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md").write_text(text, encoding="utf-8")
    return root


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
    if not _audit["installed"]:
        sys.addaudithook(_dispatch)
        _audit["installed"] = True
    yield lambda action: _audit.update(action=action, pid=os.getpid())
    _audit["action"] = None


def is_write_open(event, args, path) -> bool:
    return (event == "open" and isinstance(args[0], (str, bytes, os.PathLike))
            and os.fsdecode(args[0]) == str(path) and isinstance(args[2], int)
            and bool(args[2] & (os.O_WRONLY | os.O_RDWR)))


def at_step(step, event, args, config) -> bool:
    return event == step or (step == "write-open" and is_write_open(event, args, config))


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


# --- memory the block is made from -----------------------------------------------------------------

@ROUTES
def test_marker_equal_to_the_last_rule_is_written_as_itself(tmp_path, monkeypatch, path_type):
    for n in range(4):
        a = f"## Règle {n}: signaler chaque échec, même petit. " * 8
        b = f"## Regel {n}: jeden Fehler melden, für alle. " * 9
        inject(path_type, tmp_path / f"one{n}" / "skills", rule_templates(tmp_path / f"a{n}", a))
        monkeypatch.setattr(ri, "RULE_MARKER", "".join(list(a.strip())))  # equal, not the same
        inject(path_type, tmp_path / f"two{n}" / "skills", rule_templates(tmp_path / f"b{n}", b))
        monkeypatch.undo()
        expected = f"\n\n{a.strip()}\n\n{b.strip()}\n".encode()
        assert (tmp_path / f"two{n}" / "CLAUDE.md").read_bytes() == expected


# --- the file changed at a known step ----------------------------------------------------------------

OLD = b"the user's own and rather longer text\n" * 20


def hard_linked(folder: Path, data: bytes) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "CLAUDE.md").write_bytes(data)
    (folder / "second-name.md").unlink(missing_ok=True)
    os.link(folder / "CLAUDE.md", folder / "second-name.md")
    return folder / "CLAUDE.md"


def _other_writer(config):  # our own writer, in another process, gets in first
    in_child(lambda: replace_file(config, b"other text\n"))
    return config, b"other text\n"


def _renamed_over(config):
    (config.parent / "other.md").write_bytes(b"other text\n")
    os.rename(config.parent / "other.md", config)
    return config, b"other text\n"


def _folder_moved(config):
    os.rename(config.parent, config.parent.with_name("moved"))
    return config.parent.with_name("moved") / config.name, OLD


@pytest.mark.parametrize("step, change, links", [
    ("write-open", _other_writer, 2), ("write-open", _renamed_over, 1),
    ("os.rename", _folder_moved, 1)], ids=["hard-linked-file-replaced-by-our-other-writer",
                                           "other-file-renamed-over", "folder-moved"])
def test_file_changed_at_a_known_step_keeps_the_new_text(tmp_path, on_audit, step, change, links):
    config = hard_linked(tmp_path / "p", OLD)
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


RACER = textwrap.dedent("""
    import sys
    from kestrix.cli import main
    print("ready", flush=True)
    sys.stdin.readline()
    sys.exit(main(["skills", sys.argv[1], "claude", sys.argv[2], "-q"]))
""")


@pytest.mark.slow
def test_install_racing_uninstall_on_a_hard_linked_file(tmp_path):
    config = hard_linked(tmp_path / "p", OLD)
    (config.parent / "skills").mkdir()  # the command installs only beside a skills folder
    skills = str(config.parent / "skills")
    subprocess.run([sys.executable, "-c", RACER, "install", skills], input="go\n", text=True,
                   check=True, timeout=60, capture_output=True)
    installed = config.read_bytes()
    for _ in range(30):
        hard_linked(config.parent, OLD)
        racers = [subprocess.Popen([sys.executable, "-c", RACER, action, skills], text=True,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                  for action in ("install", "uninstall")]
        try:
            assert [r.stdout.readline() for r in racers] == ["ready\n"] * 2
            for r in racers:
                r.stdin.write("go\n")
                r.stdin.flush()
            assert [r.wait(timeout=60) for r in racers] in ([0, 0], [0, 5])
        finally:
            for r in racers:
                r.kill()
                r.communicate(timeout=60)
        data = config.read_bytes()
        assert b"\0" not in data and data in (OLD, installed)


# --- where pathlib writes, the module must too; owner, group, mode and attributes kept --------------

@needs_root
@ROUTES
@pytest.mark.parametrize("folder_mode, folder_owner, file_mode, groups", [
    (0o1777, (0, 0), 0o666, []), (0o775, (V, G), 0o664, [G])],
    ids=["third-user-in-sticky-folder", "group-member"])
def test_another_users_write_keeps_the_file(shared_dir, path_type, folder_mode, folder_owner,
                                            file_mode, groups):
    folder = shared_dir(folder_mode, folder_owner)
    config = own_file(folder / "CLAUDE.md", b"V's shared notes\n", (V, G), file_mode)
    before = config.stat()
    result = in_child(lambda: outcome(lambda: inject(path_type, folder / "skills")), (W, W), groups)
    after = config.stat()
    assert result[0] == "ok" and config.read_bytes() == b"V's shared notes\n" + BLOCK
    # W cannot give a new file to V: keeping the owner means writing this very file.
    assert (after.st_ino, after.st_uid, after.st_gid, after.st_mode) == (
        before.st_ino, V, G, before.st_mode)


@ROUTES
@pytest.mark.parametrize("old", [b"deep\n", None], ids=["existing", "new"])
def test_configuration_path_just_under_path_max(tmp_path, path_type, old):
    length = 4080 - len("/CLAUDE.md") - len(str(tmp_path))
    count, rest = divmod(length, 201)  # names of 200 characters, then one of what is left
    if rest < 2:
        count, rest = count - 1, rest + 201
    folder = tmp_path.joinpath(*["d" * 200] * count, "e" * (rest - 1))
    folder.mkdir(parents=True)
    config = folder / "CLAUDE.md"
    if old is not None:
        config.write_bytes(old)
    result = outcome(lambda: inject(path_type, folder / "skills", tmp_path / "none"))
    assert len(str(config)) == 4080 and result == ("ok", str(config))
    assert config.read_bytes() == (old or b"") + BLOCK


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
@ROUTES
@pytest.mark.parametrize("kind", ["user-xattr", "acl"])
def test_extended_attributes_and_acls_survive(shared_dir, path_type, kind):
    folder = shared_dir(0o755)
    config = own_file(folder / "CLAUDE.md", b"shared with V alone\n", (0, 0), 0o600)
    if kind == "user-xattr":
        os.setxattr(config, "user.kestrix.origin", b"handmade")
    elif shutil.which("setfacl") is None:
        pytest.skip("setfacl is not installed")
    else:
        subprocess.run(["setfacl", "-m", f"u:{V}:r", str(config)], check=True, timeout=30)
    before = {name: os.getxattr(config, name) for name in os.listxattr(config)}
    inject(path_type, folder / "skills")
    assert {name: os.getxattr(config, name) for name in os.listxattr(config)} == before
    if kind == "acl":
        assert in_child(config.read_bytes, (V, V)) == b"shared with V alone\n" + BLOCK


# --- the route stays what it is; patches and audit hooks are heard -----------------------------------

def test_many_changes_of_pathlib_keep_the_route(tmp_path):
    done = run_python(f"""
        import os, pathlib, signal
        from kestrix.skills.services.rule_injector import RuleInjector
        signal.alarm(10)  # bounds the child: a FIFO opened for reading waits for a writer
        root = pathlib.Path({str(tmp_path)!r})
        for number in range(1100):  # each change, once looked up again, takes a version tag
            pathlib.Path.kestrix_probe = number
            pathlib.PosixPath.kestrix_probe
            del pathlib.Path.kestrix_probe
            pathlib.PosixPath.exists
        (root / "a").mkdir()
        (root / "a" / "CLAUDE.md").write_bytes(b"one\\r\\ntwo\\r\\n")
        RuleInjector(root / "none").inject("claude", root / "a" / "skills")
        print(repr((root / "a" / "CLAUDE.md").read_bytes()))
        (root / "b").mkdir()
        os.mkfifo(root / "b" / "CLAUDE.md")
        try:
            RuleInjector(root / "none").inject("claude", root / "b" / "skills")
        except OSError as e:
            print(type(e).__name__)
    """, check=False, timeout=60)
    crlf = b"one\r\ntwo\r\n" + BLOCK.replace(b"\n", b"\r\n")
    assert done.stdout.splitlines() == [repr(crlf), "OSError"]
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("method", ["read_text", "write_text"])
def test_patched_base_class_methods_are_called(tmp_path, monkeypatch, method):
    config = tmp_path / "p" / "CLAUDE.md"
    config.parent.mkdir()
    config.write_bytes(b"text\n")
    original, calls = getattr(pathlib._abc.PathBase, method), []

    def spy(self, *args, **kwargs):
        calls.append(self)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(pathlib._abc.PathBase, method, spy)
    inject(PosixPath, config.parent / "skills")
    assert calls == [config] and config.read_bytes() == b"text\n" + BLOCK


class Refused(Exception):
    pass


@ROUTES
@pytest.mark.parametrize("refusals", [1, 99], ids=["first-write-open", "every-write-open"])
@pytest.mark.parametrize("old", [None, b"kept\r\nas is\r\n"], ids=["new", "crlf"])
def test_hook_refusing_the_write_open_changes_nothing(tmp_path, on_audit, path_type, refusals, old):
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
        inject(path_type, config.parent / "skills")
    assert entry_line(info.value) == 85 and leftovers(config.parent) == []
    assert (config.read_bytes() if config.exists() else None) == old


# --- errors as pathlib gives them ----------------------------------------------------------------------

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
        for path_type in (PosixPath, OwnMethodsPath):
            for entry in folder.iterdir():
                entry.unlink()
            results.append((case(folder, path_type), state(folder)))
    assert results[0] == results[1]
    if case is _socket:
        assert results[0][0] == ("OSError", errno.ENXIO, str(folder / "CLAUDE.md"), 73)


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
                if name == "CLAUDE.md" if {step!r} == "read" else name.startswith(".rule_"):
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
