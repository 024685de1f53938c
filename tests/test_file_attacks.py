"""Attacks on inject's file work: other users in shared folders, files and links swapped at a
known step, writers of ours at the same file, odd paths and files. Where both routes apply
(pathlib's own type and a subclass of it), their outcomes are compared."""

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
from contextlib import contextmanager
from pathlib import Path

import pytest

from conftest import OwnMethodsPath, PosixPath, entry_line, leftovers, run_python, small_disk
from kestrix.skills.services import rule_injector as ri
from kestrix.skills.services._safe_write import replace_file

BLOCK = f"\n\n{ri.RULE_MARKER}\n\n{ri._DEFAULT_RULE_CONTENT.strip()}\n".encode()
CRLF_BLOCK = BLOCK.replace(b"\n", b"\r\n")
V, W, G = 4201, 4202, 4300  # the file's owner, a third user, a group both may be in
FILE_EVENTS = ("open", "os.mkdir", "os.rename", "os.remove")
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
    """Every entry of `folder`: name, type, owner, mode and bytes or link text."""
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
    """work() in a forked child, as `user` (uid, gid) when given; its result is handed back
    (pickled) and anything it raised is raised here. The child is killed after 60 s."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            if user is not None:
                os.setgroups(list(groups))
                os.setgid(user[1])
                os.setuid(user[0])
            try:
                result = (True, work())
            except BaseException as e:
                result = (False, e)
            with os.fdopen(write_end, "wb") as out:
                out.write(pickle.dumps(result))
        finally:
            os._exit(0)
    os.close(write_end)
    chunks = []
    try:
        while select.select([read_end], [], [], 60)[0]:
            if not (chunk := os.read(read_end, 1 << 16)):
                break
            chunks.append(chunk)
        else:
            os.kill(pid, signal.SIGKILL)
    finally:
        os.close(read_end)
        os.waitpid(pid, 0)
    assert chunks, "the child ran out of time or died"
    ok, value = pickle.loads(b"".join(chunks))
    if not ok:
        raise value
    return value


# One audit hook for the whole session (hooks cannot be removed); a test sets its action.
_audit = {"action": None, "busy": False, "pid": None}


def _dispatch(event, args):
    # Only in the process that set the action, and never inside the action's own steps.
    if _audit["action"] is None or _audit["busy"] or os.getpid() != _audit["pid"]:
        return
    _audit["busy"] = True
    try:
        _audit["action"](event, args)
    finally:
        _audit["busy"] = False


@pytest.fixture
def on_audit():
    if _audit["pid"] is None:
        sys.addaudithook(_dispatch)

    def set_action(action):
        _audit.update(action=action, pid=os.getpid())

    yield set_action
    _audit["action"] = None


def names(arg, path) -> bool:
    return isinstance(arg, (str, bytes, os.PathLike)) and os.fsdecode(arg) == str(path)


def is_write_open(event, args, path) -> bool:
    return (event == "open" and names(args[0], path) and isinstance(args[2], int)
            and bool(args[2] & (os.O_WRONLY | os.O_RDWR)))


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


# --- the new file of a private file, seen by another user ------------------------------------

FAN_CLASS_CONTENT, FAN_CLOEXEC, FAN_MARK_ADD, FAN_ALLOW = 0x4, 0x1, 0x1, 0x1
FAN_OPEN_PERM, FAN_EVENT_ON_CHILD = 0x10000, 0x08000000


def _listen(folder, injector, probe, ready, report):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int,
                                   ctypes.c_char_p]
    fan = libc.fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, os.O_RDONLY)
    if fan < 0 or libc.fanotify_mark(fan, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD,
                                     -100, os.fsencode(folder)) < 0:
        os.write(ready, b"-")
        return

    def allow(fd):
        os.write(fan, struct.pack("=iI", fd, FAN_ALLOW))
        os.close(fd)

    def probe_then_allow(fd):
        os.write(report, pickle.dumps(probe()))
        allow(fd)

    os.write(ready, b"+")
    held = False
    while select.select([fan], [], [], 60)[0]:
        data = os.read(fan, 4096)
        while data:
            size, _, _, _, _, fd, pid = struct.unpack_from("=IBBHQii", data)
            data = data[size:]
            name = os.path.basename(os.readlink(f"/proc/self/fd/{fd}"))
            if not held and pid == injector and name.startswith(".rule_injector."):
                held = True  # the injector waits in open(); the file exists, its mode is set
                threading.Thread(target=probe_then_allow, args=(fd,)).start()
            else:
                allow(fd)


@contextmanager
def creation_held(folder: Path, probe):
    """Holds this process's first opening of a `.rule_injector.*` file in `folder` inside the
    kernel (a fanotify permission event, after the file is made and before open returns: no
    audit event falls there), runs probe() meanwhile, then lets the open finish. The list
    yielded gets probe()'s result once the block is left."""
    ready_r, ready_w = os.pipe()
    report_r, report_w = os.pipe()
    injector = os.getpid()
    pid = os.fork()
    if pid == 0:
        try:
            _listen(folder, injector, probe, ready_w, report_w)
        finally:
            os._exit(0)
    found = []
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
    for name in leftovers(folder):
        for flags in (os.O_RDONLY, os.O_WRONLY):
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


# --- links in sticky shared folders, followed by root and others -------------------------------

@needs_root
@pytest.mark.parametrize("folder_owner, link_owner, injector, setuid, followed", [
    (0, V, 0, True, False),   # a user's link steers root into a set-uid program
    (0, V, 0, False, False),
    (0, W, V, False, False),
    (V, W, 0, False, False),
    (0, 0, V, False, True),   # the folder owner's link
    (0, V, V, False, True),   # one's own link
    (V, V, W, False, True),
], ids=["root-to-setuid", "root-via-users-link", "user-via-others-link",
        "root-via-others-link-in-users-folder", "folder-owners-link", "own-link",
        "users-link-in-users-folder"])
def test_links_in_sticky_folders_follow_the_protected_symlinks_rule(
        shared_dir, folder_owner, link_owner, injector, setuid, followed):
    folder = shared_dir(0o1777, (folder_owner, folder_owner))
    elsewhere = shared_dir(0o777)
    target = own_file(elsewhere / "target", b"#!/bin/sh\n", (0, 0), 0o4755 if setuid else 0o666)
    config = folder / "CLAUDE.md"
    config.symlink_to(target)
    os.lchown(config, link_owner, link_owner)
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
    before = state(elsewhere)

    def swap():  # V may replace its own file in the sticky folder
        os.symlink(tool, folder / "swap")
        os.rename(folder / "swap", config)

    swapped, exposed = [], []

    def at_step(event, args):
        # After the swap, at every step: a root set-id file V could run is already too late.
        exposed.extend(e for e in state(folder) if e[2] == 0 and e[1] & (stat.S_ISUID | stat.S_ISGID))
        if not swapped and (event == step or step == "write-open" and is_write_open(event, args, config)):
            swapped.append(in_child(swap, user=(V, V)))

    on_audit(at_step)
    outcome(lambda: inject(PosixPath, folder / "skills"))
    on_audit(None)
    at_step(None, None)
    assert swapped and state(elsewhere) == before and exposed == []


# --- memory the block is made from ---------------------------------------------------------------

@ROUTES
def test_marker_equal_to_the_last_rule_is_written_as_itself(tmp_path, monkeypatch, path_type):
    for number in range(4):
        a = f"## Règle {number}: signaler chaque échec, même petit. " * 8
        b = f"## Regel {number}: jeden Fehler melden, für alle. " * 9
        first, second = tmp_path / f"one{number}" / "skills", tmp_path / f"two{number}" / "skills"
        inject(path_type, first, rule_templates(tmp_path / f"a{number}", a))
        monkeypatch.setattr(ri, "RULE_MARKER", "".join(list(a.strip())))
        inject(path_type, second, rule_templates(tmp_path / f"b{number}", b))
        monkeypatch.undo()
        expected = f"\n\n{a.strip()}\n\n{b.strip()}\n".encode()
        assert (second.parent / "CLAUDE.md").read_bytes() == expected


# --- hard links and our other writer ---------------------------------------------------------------

def hard_linked(folder: Path, data: bytes) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "CLAUDE.md").write_bytes(data)
    (folder / "second-name.md").unlink(missing_ok=True)
    os.link(folder / "CLAUDE.md", folder / "second-name.md")
    return folder / "CLAUDE.md"


def test_another_writer_first_at_the_write_open_leaves_no_nul_bytes(tmp_path, on_audit):
    config = hard_linked(tmp_path / "p", b"the user's own and rather longer text\n" * 20)
    replaced = []

    def at_write_open(event, args):
        if not replaced and is_write_open(event, args, config):
            replaced.append(in_child(lambda: replace_file(config, b"other text\n")))

    on_audit(at_write_open)
    outcome(lambda: inject(PosixPath, config.parent / "skills"))
    data = config.read_bytes()
    assert replaced and b"\0" not in data
    assert data in (b"other text\n", b"other text\n" + BLOCK)


RACER = textwrap.dedent("""
    import sys
    from kestrix.cli import main
    print("ready", flush=True)
    sys.stdin.readline()
    sys.exit(main(["skills", sys.argv[1], "claude", sys.argv[2], "-q"]))
""")


@pytest.mark.slow
def test_install_racing_uninstall_on_a_hard_linked_file(tmp_path):
    old = b"# Notes\n\nkept as they are\n" * 40
    config = hard_linked(tmp_path / "p", old)
    skills = str(config.parent / "skills")
    subprocess.run([sys.executable, "-c", RACER, "install", skills], input="go\n", text=True,
                   check=True, timeout=60, capture_output=True)
    installed = config.read_bytes()
    for _ in range(30):
        hard_linked(config.parent, old)
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
                if r.poll() is None:
                    r.kill()
                r.wait(timeout=60)
                r.stdin.close()
                r.stdout.close()
        data = config.read_bytes()
        assert b"\0" not in data and data in (old, installed)


# --- where pathlib writes, the module must too -------------------------------------------------------

@needs_root
@ROUTES
def test_third_user_appends_to_a_writable_file_in_a_sticky_folder(shared_dir, path_type):
    folder = shared_dir(0o1777)
    config = own_file(folder / "CLAUDE.md", b"V's shared notes\n", (V, V), 0o666)
    inode = config.stat().st_ino
    result = in_child(lambda: outcome(lambda: inject(path_type, folder / "skills")), (W, W))
    assert result[0] == "ok" and (config.stat().st_uid, config.stat().st_ino) == (V, inode)
    assert config.read_bytes() == b"V's shared notes\n" + BLOCK


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
    assert result == ("ok", str(config))
    assert len(str(config)) == 4080 and config.read_bytes() == (old or b"") + BLOCK


# --- owner, group, mode and extended attributes ----------------------------------------------------

@needs_root
@ROUTES
def test_group_member_keeps_the_files_owner_and_group(shared_dir, path_type):
    folder = shared_dir(0o775, (V, G))
    config = own_file(folder / "CLAUDE.md", b"team notes\n", (V, G), 0o664)
    result = in_child(lambda: outcome(lambda: inject(path_type, folder / "skills")), (W, W), [G])
    after = config.stat()
    assert result[0] == "ok" and config.read_bytes() == b"team notes\n" + BLOCK
    assert (after.st_uid, after.st_gid, stat.S_IMODE(after.st_mode)) == (V, G, 0o664)


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
    after = config.stat()
    assert (after.st_gid, stat.S_IMODE(after.st_mode)) == (G, mode)
    assert config.read_bytes() == b"setgid notes\n" + BLOCK


@needs_root
@ROUTES
@pytest.mark.parametrize("kind", ["user-xattr", "acl"])
def test_extended_attributes_and_acls_survive(shared_dir, path_type, kind):
    folder = shared_dir(0o755)
    config = own_file(folder / "CLAUDE.md", b"shared with V alone\n", (0, 0), 0o600)
    if kind == "acl":
        if shutil.which("setfacl") is None:
            pytest.skip("setfacl is not installed")
        subprocess.run(["setfacl", "-m", f"u:{V}:r", str(config)], check=True, timeout=30)
    else:
        os.setxattr(config, "user.kestrix.origin", b"handmade")
    before = {name: os.getxattr(config, name) for name in os.listxattr(config)}
    inject(path_type, folder / "skills")
    assert {name: os.getxattr(config, name) for name in os.listxattr(config)} == before
    if kind == "acl":
        assert in_child(config.read_bytes, (V, V)) == b"shared with V alone\n" + BLOCK


# --- the route stays what it is --------------------------------------------------------------------

def test_many_changes_of_pathlib_keep_the_route(tmp_path):
    done = run_python(f"""
        import os, pathlib, signal
        from kestrix.skills.services.rule_injector import RuleInjector
        signal.alarm(10)  # a FIFO opened for reading waits for a writer: end the child then
        root = pathlib.Path({str(tmp_path)!r})
        for number in range(1100):  # each change, once looked up again, uses up a version tag
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
    assert done.stdout.splitlines() == [repr(b"one\r\ntwo\r\n" + CRLF_BLOCK), "OSError"]
    assert done.returncode == 0, done.stderr


# --- patches and audit hooks ----------------------------------------------------------------------

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
    on_audit(None)
    assert entry_line(info.value) == 85 and leftovers(config.parent) == []
    assert (config.read_bytes() if config.exists() else None) == old


def test_folder_moved_at_the_rename_leaves_no_temporary(tmp_path, on_audit):
    folder, moved = tmp_path / "project", tmp_path / "moved"
    config = folder / "CLAUDE.md"
    folder.mkdir()
    config.write_bytes(b"mine\n")
    on_audit(lambda event, args: event == "os.rename" and not moved.exists()
             and os.rename(folder, moved))
    outcome(lambda: inject(PosixPath, folder / "skills"))
    on_audit(None)
    assert moved.exists() and [leftovers(p) for p in (folder, moved) if p.exists()] == [[]]
    assert (moved / "CLAUDE.md").read_bytes() in (b"mine\n", b"mine\n" + BLOCK)


def test_file_renamed_over_at_the_write_open_keeps_its_text(tmp_path, on_audit):
    config = tmp_path / "p" / "CLAUDE.md"
    config.parent.mkdir()
    config.write_bytes(b"first text\n")
    (config.parent / "other.md").write_bytes(b"other text\n")
    swapped = []

    def swap(event, args):
        if not swapped and is_write_open(event, args, config):
            swapped.append(os.rename(config.parent / "other.md", config))

    on_audit(swap)
    outcome(lambda: inject(PosixPath, config.parent / "skills"))
    on_audit(None)
    data = config.read_bytes()
    assert swapped and data.startswith(b"other text\n") and b"first text" not in data
    assert leftovers(config.parent) == []


# --- errors as pathlib gives them -------------------------------------------------------------------

def _socket(folder, path_type):
    with socket.socket(socket.AF_UNIX) as s:  # bound by a name short enough for AF_UNIX
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
        resource.setrlimit(resource.RLIMIT_FSIZE, (120, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
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
    with small_disk(folder, "64k") if case is _disk_full else _nothing():
        results = []
        for path_type in (PosixPath, OwnMethodsPath):
            for entry in folder.iterdir():
                entry.unlink()
            results.append((case(folder, path_type), state(folder)))
    assert results[0] == results[1]
    if case is _socket:
        assert results[0][0] == ("OSError", errno.ENXIO, str(folder / "CLAUDE.md"), 73)


@contextmanager
def _nothing():
    yield


# --- Ctrl-C during a large file ---------------------------------------------------------------------

@pytest.mark.slow
@pytest.mark.parametrize("step", ["read", "temporary"])
def test_interrupt_during_a_large_file_stops_at_once(tmp_path, step):
    config = tmp_path / "p" / "CLAUDE.md"
    try:
        done = run_python(f"""
            import os, signal, sys
            from pathlib import Path
            from conftest import entry_line, leftovers
            from kestrix.skills.services.rule_injector import RuleInjector
            config = Path({str(config)!r})
            config.parent.mkdir()
            with open(config, "wb") as f:
                for _ in range(512):
                    f.write((b"x" * 1023 + b"\\n") * 1024)
            def interrupt(signum, frame):
                raise KeyboardInterrupt
            signal.signal(signal.SIGALRM, interrupt)
            seen = {{}}
            sys.addaudithook(seen.__setitem__)  # a C call: no Python code, no handler runs
            def arm(event, args):
                if "armed" in seen or event != "open":
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
            same = [getattr(s, k) for s in (before, after) for k in ("st_ino", "st_size", "st_mtime_ns")]
            print(same[:3] == same[3:], leftovers(config.parent), "os.rename" in seen)
        """, env={"PYTHONPATH": str(Path(__file__).parent)}, timeout=300)
    finally:
        config.unlink(missing_ok=True)
        for name in leftovers(config.parent) if config.parent.exists() else []:
            (config.parent / name).unlink()
    line, after = done.stdout.splitlines()
    assert (line, after) == ({"read": "73", "temporary": "85"}[step], "True [] False")
