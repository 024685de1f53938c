"""The command's reader and writer where the compiled one has no OS route (every system but
Linux and macOS, Windows among them): the same contract as `_safe_write`, through the `os`
module.

What it keeps of the compiled route: a FIFO or device is refused without being opened, so
nothing blocks; a write goes only over the bytes that were read (else ESTALE); the new content
goes to a private file in the same folder, flushed, given the old file's mode (and on POSIX its
owner and group), renamed over the file, and the folder flushed; a file with several hard
links, or one whose owner cannot be given or whose folder refuses the rename, is written in
place and its old bytes put back if that fails. What it does not do: follow links one step at
a time under the protected-links rule, or copy extended attributes (a file that has them is
written in place rather than lose them, where the OS lists them).
"""

import errno
import os
import stat

try:
    import fcntl
except ImportError:  # Windows: no flock
    fcntl = None  # type: ignore[assignment]

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

# Named as the compiled route names them: a person sees one writer.
TEMPORARY_PREFIX = ".rule_injector."
_ATTEMPTS = 8
_READINGS = 4  # reads of a file that keeps changing while it is read; the last one stands
_LOCK_WAIT_SECONDS = 10.0

_READ_FLAGS = (os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
               | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))


def _error(code: int, path: str, text: str | None = None) -> OSError:
    return OSError(code, text or os.strerror(code), path)


def _refuse_unless_regular(mode: int, path: str) -> None:
    if stat.S_ISREG(mode):
        return
    if stat.S_ISDIR(mode):
        raise _error(errno.EISDIR, path)
    if stat.S_ISSOCK(mode):
        raise _error(errno.ENXIO, path)  # what open() says of a socket
    raise _error(errno.EINVAL, path, "Not a regular file")


def _open_regular(path: str) -> "tuple[int, os.stat_result] | None":
    """An open descriptor of the regular file at `path` (links followed) and its status, or
    None when nothing is there. Anything else is refused before it is opened; should the name
    turn into a FIFO in between, the non-blocking open returns at once and fstat refuses it."""
    try:
        _refuse_unless_regular(os.stat(path).st_mode, path)
        fd = os.open(path, _READ_FLAGS)
    except (FileNotFoundError, NotADirectoryError):
        return None
    try:
        info = os.fstat(fd)
        _refuse_unless_regular(info.st_mode, path)
    except BaseException:
        os.close(fd)
        raise
    return fd, info


def _read_all(fd: int, size_hint: int) -> bytes:
    os.lseek(fd, 0, os.SEEK_SET)
    pieces, size = [], 0
    while chunk := os.read(fd, max(size_hint - size, 0) + 65536):
        pieces.append(chunk)
        size += len(chunk)
    return b"".join(pieces)


def _held_still(before: os.stat_result, after: os.stat_result) -> bool:
    return (before.st_size, before.st_mtime_ns, before.st_ctime_ns) == (
        after.st_size, after.st_mtime_ns, after.st_ctime_ns)


def read_file(path: "str | os.PathLike[str]", /) -> bytes | None:
    """The bytes of the regular file at `path`, or None when nothing is there. A file that
    changes while it is read is read again (a few times at most), so that the bytes are the
    file at one moment."""
    name = os.fspath(path)
    opened = _open_regular(name)
    if opened is None:
        return None
    fd, info = opened
    try:
        for _ in range(_READINGS):
            data = _read_all(fd, info.st_size)
            after = os.fstat(fd)
            if len(data) == info.st_size and _held_still(info, after):
                break
            info = after
        return data
    finally:
        os.close(fd)


def _lock(fd: int, path: str) -> None:
    """An exclusive lock among the writers of this route, where the OS has flock."""
    if fcntl is None:
        return
    import time

    deadline = time.monotonic() + _LOCK_WAIT_SECONDS
    pause = 0.001
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            if time.monotonic() >= deadline:
                raise _error(errno.EAGAIN, path, "The file is locked by another writer") from None
            time.sleep(pause)
            pause = min(pause * 2, 0.05)
        except OSError as e:
            if e.errno in (errno.EINVAL, errno.ENOLCK, errno.EOPNOTSUPP):
                return  # a file system without locks is written without them
            raise


def _write_all(fd: int, data: "bytes | memoryview", at: int = 0) -> None:
    view = memoryview(data)
    while view:
        written = os.pwrite(fd, view, at) if hasattr(os, "pwrite") else _seek_write(fd, view, at)
        view, at = view[written:], at + written


def _seek_write(fd: int, view: memoryview, at: int) -> int:
    os.lseek(fd, at, os.SEEK_SET)
    return os.write(fd, view)


def _same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def _sync_folder(folder: str) -> None:
    """Flushes the folder's entry of the renamed file, where the OS lets a folder be opened
    and flushed (not on Windows; some file systems refuse)."""
    if not hasattr(os, "O_DIRECTORY"):
        return
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _has_extended_attributes(fd: int) -> bool:
    try:
        return bool(os.listxattr(fd))  # type: ignore[attr-defined]
    except (AttributeError, OSError):
        return False


def _new_file_mode() -> int:
    # The umask can only be read by setting it: set a stricter one for the instant between,
    # so that a file another thread makes meanwhile is, if anything, more private.
    mask = os.umask(0o077)
    os.umask(mask)
    return 0o666 & ~mask


def _through_new_file(target: str, data: "bytes | memoryview", old: "os.stat_result | None",
                      still_there: "Callable[[], None]", shown: str) -> bool:
    """Writes `data` to a private new file beside `target` and renames it over; False when
    the new file cannot be the old one in every respect or the folder refuses the rename
    (nothing was changed then). `still_there()` is asked right before the rename."""
    folder, base = os.path.split(target)
    temporary = os.path.join(folder, f"{TEMPORARY_PREFIX}{base}.{os.urandom(8).hex()}.tmp")
    flags = (os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0)
             | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))
    try:
        fd = os.open(temporary, flags, 0o600)
    except OSError as e:
        # A folder we may not write: refused, as the compiled route refuses it (it could not
        # keep its journal of an in-place rewrite there either).
        raise OSError(e.errno, e.strerror, shown) from None  # the file's name, not ours
    renamed = False
    try:
        try:
            if old is not None and hasattr(os, "fchown") and (
                    (old.st_uid, old.st_gid) != (os.fstat(fd).st_uid, os.fstat(fd).st_gid)):
                try:
                    os.fchown(fd, old.st_uid, old.st_gid)
                except PermissionError:
                    return False  # another owner: the file is written in place instead
            _write_all(fd, data)
            os.fsync(fd)
            mode = stat.S_IMODE(old.st_mode) if old is not None else _new_file_mode()
            if hasattr(os, "fchmod"):
                os.fchmod(fd, mode)
            else:
                os.chmod(temporary, mode)
        finally:
            os.close(fd)
        still_there()
        try:
            os.replace(temporary, target)
        except PermissionError as e:
            if old is None:
                raise OSError(e.errno, e.strerror, shown) from None
            return False  # the folder refuses (a sticky folder, a file held open on Windows)
        renamed = True
        _sync_folder(folder or os.curdir)
        return True
    finally:
        if not renamed:
            try:
                os.unlink(temporary)
            except OSError:
                pass


class _Changed(Exception):
    """The file changed between reading and writing: read it again and start over."""


def _writable(target: str, info: os.stat_result, path: str) -> int:
    """The file `info` describes, opened again for writing: a file we may not write is not
    ours to replace either, as the compiled route has it, even in a folder of ours. Must be
    the same file."""
    flags = (os.O_RDWR | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
             | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))
    try:
        fd = os.open(target, flags)
    except FileNotFoundError:
        raise _Changed from None
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    if not _same_file(os.fstat(fd), info):
        os.close(fd)
        raise _Changed
    return fd


def _rewrite(fd: int, path: str, data: "bytes | memoryview", old: bytes) -> None:
    try:
        _write_all(fd, data)
        os.ftruncate(fd, len(data))
        os.fsync(fd)
    except BaseException as failure:
        try:
            _write_all(fd, old)
            os.ftruncate(fd, len(old))
            os.fsync(fd)
        except OSError as undo:
            failure.add_note(f"putting the old text of {path} back failed too: {undo}")
        raise


def replace_file(path: "str | os.PathLike[str]", data: object, /,
                 expected: object = None) -> None:
    """Replaces the content of the file at `path` with `data` (a bytes-like object, or a
    pair of them whose concatenation is the content), only while it holds `expected` (when
    given); otherwise OSError(ESTALE)."""
    name = os.fspath(path)
    if isinstance(data, tuple):
        if len(data) != 2:
            raise TypeError("replace_file() data must be a bytes-like object or a pair of them")
        data = b"".join(data)  # this route writes one piece
    new = memoryview(data).cast("B")  # type: ignore[arg-type]
    wanted = None if expected is None else bytes(memoryview(expected))  # type: ignore[arg-type]
    for _ in range(_ATTEMPTS):
        opened = _open_regular(name)
        if opened is None:
            if wanted is not None:
                raise _error(errno.ESTALE, name, "The file changed since it was read")
            target = os.path.realpath(name)
            try:
                def absent() -> None:
                    if os.path.lexists(target):
                        raise _Changed
                _through_new_file(target, new, None, absent, name)
                return
            except _Changed:
                continue
        read_fd, info = opened
        target = os.path.realpath(name)
        try:
            fd = _writable(target, info, name)
        except _Changed:
            continue
        finally:
            os.close(read_fd)
        try:
            _lock(fd, name)
            current = _read_all(fd, info.st_size)
            if wanted is not None and current != wanted:
                raise _error(errno.ESTALE, name, "The file changed since it was read")

            def unchanged() -> None:
                try:
                    now = os.stat(target)
                except FileNotFoundError:
                    raise _Changed from None
                if not _same_file(now, info) or _read_all(fd, now.st_size) != current:
                    raise _Changed

            try:
                unchanged()
                if info.st_nlink == 1 and not _has_extended_attributes(fd) and \
                        _through_new_file(target, new, info, unchanged, name):
                    return
                _rewrite(fd, name, new, current)
                return
            except _Changed:
                continue
        finally:
            os.close(fd)
    raise _error(errno.EAGAIN, name, "The file kept changing while it was written")
