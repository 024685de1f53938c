"""The record of the rules the `kestrix` command wrote: for each configuration file (by its
absolute path), the SHA-256 of the rule text its block holds, so that a block of a host's own
rule (written with --templates) is known as the command's own after that rule changed.

It lives in $XDG_STATE_HOME/kestrix/rules.json (default ~/.local/state/kestrix/), a file only
its owner can read in a folder only its owner can enter; a folder that another user owns or
can write is not used. The record is knowledge, not state the command depends on: a record
that is missing, unreadable, corrupt or cannot be written loses that knowledge and nothing
else. `notes` gathers why, for --debug.
"""

import errno
import os
import stat

RECORD_NAME = "rules.json"
LOCK_NAME = "rules.lock"
# A record larger than this is not ours to read: some ten thousand files' worth.
MAX_RECORD_BYTES = 4 << 20
_LOCK_WAIT_SECONDS = 2.0
_FLAGS = getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOFOLLOW", 0)


class Unusable(Exception):
    """The record or its folder cannot be used; the message says why."""


def digest(rule: str) -> str:
    """The SHA-256 of a rule as the known rules are hashed: its UTF-8, in LF."""
    from hashlib import sha256

    return sha256(rule.replace("\r\n", "\n").encode()).hexdigest()


def folder() -> str:
    """$XDG_STATE_HOME/kestrix, or ~/.local/state/kestrix; a relative XDG_STATE_HOME is
    ignored, as the XDG base directory rules ask."""
    base = os.environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "kestrix")


def _check_private(path: str, info: os.stat_result, kind: str) -> None:
    uid = os.geteuid() if hasattr(os, "geteuid") else None
    if uid is not None and info.st_uid != uid:
        raise Unusable(f"the record's {kind} belongs to another user ({path})")
    if info.st_mode & 0o022:
        raise Unusable(f"the record's {kind} can be written by other users ({path})")


def _private_folder(make: bool) -> str | None:
    """The record's folder, checked: a real folder (not a link) of ours that nobody else can
    write. With `make`, it is made (0700) when missing; without, None when missing."""
    where = folder()
    try:
        info = os.lstat(where)
    except FileNotFoundError:
        if not make:
            return None
        try:
            os.makedirs(os.path.dirname(where), mode=0o700, exist_ok=True)
            os.mkdir(where, 0o700)
        except FileExistsError:
            pass
        except OSError as e:
            raise Unusable(f"cannot make the record's folder: {e.strerror} ({where})") from e
        info = os.lstat(where)
    if not stat.S_ISDIR(info.st_mode):
        raise Unusable(f"the record's folder is not a folder ({where})")
    _check_private(where, info, "folder")
    return where


def _read(where: str) -> dict[str, str]:
    path = os.path.join(where, RECORD_NAME)
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | _FLAGS)
    except FileNotFoundError:
        return {}
    except OSError as e:
        raise Unusable(f"cannot read the record: {e.strerror} ({path})") from e
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise Unusable(f"the record is not a regular file ({path})")
        _check_private(path, info, "file")
        if info.st_size > MAX_RECORD_BYTES:
            raise Unusable(f"the record is larger than {MAX_RECORD_BYTES} bytes ({path})")
        with open(fd, "rb", closefd=False) as file:
            data = file.read(MAX_RECORD_BYTES + 1)
    finally:
        os.close(fd)
    import json

    try:
        record = json.loads(data)
    except ValueError as e:
        raise Unusable(f"the record is not valid JSON ({path})") from e
    if not isinstance(record, dict) or not all(
            isinstance(k, str) and isinstance(v, str) and len(v) == 64 for k, v in record.items()):
        raise Unusable(f"the record does not hold paths and digests ({path})")
    return record


def recorded(config: str, notes: list[str]) -> str | None:
    """The digest of the rule the command last wrote to `config`, or None."""
    try:
        where = _private_folder(make=False)
        return None if where is None else _read(where).get(config)
    except Unusable as e:
        notes.append(str(e))
        return None


class _Lock:
    """An exclusive lock on the record among the command's runs, so that two runs writing
    the record at once do not lose each other's entries."""

    def __init__(self, where: str) -> None:
        self.fd = -1
        path = os.path.join(where, LOCK_NAME)
        try:
            import fcntl
        except ImportError:
            return
        import time

        try:
            self.fd = os.open(path, os.O_RDWR | os.O_CREAT | _FLAGS, 0o600)
        except OSError as e:
            raise Unusable(f"cannot open the record's lock: {e.strerror} ({path})") from e
        deadline = time.monotonic() + _LOCK_WAIT_SECONDS
        while True:
            try:
                fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except BlockingIOError:
                if time.monotonic() > deadline:
                    os.close(self.fd)
                    raise Unusable(f"another run held the record's lock ({path})") from None
                time.sleep(0.01)
            except OSError as e:
                if e.errno in (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL):
                    return
                os.close(self.fd)
                raise Unusable(f"cannot lock the record: {e.strerror} ({path})") from e

    def release(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)


def record(config: str, rule_digest: str | None, notes: list[str]) -> None:
    """Records `rule_digest` as the rule of `config`'s block (None: no block of ours is
    there any more). Written to a private new file, flushed and renamed over the record."""
    try:
        where = _private_folder(make=rule_digest is not None)
        if where is None:
            return
        lock = _Lock(where)
        try:
            entries = _read(where)
        except Unusable as e:
            notes.append(f"{e}; it is started anew")
            entries = {}
        try:
            if entries.get(config) == rule_digest:
                return
            if rule_digest is None:
                del entries[config]
            else:
                entries[config] = rule_digest
            _write(where, entries)
        finally:
            lock.release()
    except Unusable as e:
        notes.append(str(e))
    except OSError as e:
        notes.append(f"cannot write the record: {e.strerror or e} ({e.filename or folder()})")


def _write(where: str, entries: dict[str, str]) -> None:
    import json

    data = json.dumps(entries, indent=0, sort_keys=True).encode()
    temporary = os.path.join(where, f".{RECORD_NAME}.{os.urandom(8).hex()}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _FLAGS, 0o600)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, os.path.join(where, RECORD_NAME))
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    if hasattr(os, "O_DIRECTORY"):
        dir_fd = os.open(where, os.O_RDONLY | os.O_DIRECTORY | getattr(os, "O_CLOEXEC", 0))
        try:
            os.fsync(dir_fd)
        except OSError:
            pass
        finally:
            os.close(dir_fd)
