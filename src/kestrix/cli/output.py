"""What the command prints: its result (text or one JSON object), warnings and one-line
errors, and how a failure to print is told."""

import os
import sys

from kestrix.cli.codes import FAILED

# Names for annotations only, quoted where they are used: importing typing (or
# __future__ for unevaluated annotations) is a noticeable part of a run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from kestrix.cli.target import Target


ERROR_PREFIX = "kestrix: error: "


class Terminated(BaseException):
    """SIGTERM, raised where the command is, so that it reports what it did, as for Ctrl-C."""


def raise_terminated(signum: int, frame: object) -> None:
    raise Terminated


class CommandError(Exception):
    """A failure reported as one line on stderr, with its exit code; `message` is that line
    without its prefix, as JSON carries it."""

    def __init__(self, code: int, what: str, path: object = None) -> None:
        super().__init__(what)
        self.code = code
        self.message = what + ("" if path is None else f" ({path})")
        self.line = ERROR_PREFIX + self.message


_stdout_gone = False


def _mute_stdout() -> None:
    """Points stdout's descriptor at the null device, so that the interpreter's last flush
    of what is still buffered neither fails again nor reports it."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError, AttributeError):
        pass


def shown(text: str, stream: object) -> str:
    """`text` as `stream` can encode it: a path's bytes that are not text there (a name that
    is not UTF-8, under a strict UTF-8 stdout) are shown escaped, as \\xff."""
    encoding = getattr(stream, "encoding", None) or "utf-8"
    try:
        text.encode(encoding)
        return text
    except (UnicodeEncodeError, LookupError):
        raw = text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        return raw.encode(encoding, "backslashreplace").decode(encoding)


def write(text: str) -> None:
    """Writes to stdout. A reader that went away ends the output, not the run: the work is
    done and its exit code stands. Any other failure to write fails the run."""
    global _stdout_gone
    if _stdout_gone or not text:
        return
    try:
        if sys.stdout is None:
            raise CommandError(FAILED, "cannot write the output: stdout is closed")
        sys.stdout.write(shown(text, sys.stdout))
        sys.stdout.flush()
    except BrokenPipeError:
        _stdout_gone = True
        _mute_stdout()
    except (OSError, ValueError) as e:
        _stdout_gone = True
        _mute_stdout()
        what = " ".join(str(getattr(e, "strerror", None) or e).split())
        raise CommandError(FAILED, f"cannot write the output: {what}") from e


def complain(line: str) -> None:
    """One line on stderr; there is nowhere left to report a failure to write it."""
    try:
        print(shown(line, sys.stderr), file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass


class Result:
    """What a run reports: the JSON object's fields, the text for stdout, the warnings.
    Every action's object has the same keys: `state` is the file's state before the action,
    `state_after` its state when the command ends (the same when nothing was written)."""

    def __init__(self) -> None:
        self.fields: dict[str, object] = {
            "command": None, "runtime": None, "config_file": None, "exists": None,
            "marker_lines": [], "state": None, "state_after": None, "changed": False,
            "dry_run": False, "lines_after_block": None, "read_instead": None, "diff": None,
            "exit_code": None, "error": None}
        self.text: list[str] = []
        self.warnings: list[str] = []
        self.target: "Target | None" = None

    def say(self, line: str) -> None:
        self.text.append(line + "\n")


def finish(result: Result, code: int, error: str | None, as_json: bool, quiet: bool) -> int:
    """Prints the run's output; a failure to print is the run's last error."""
    try:
        if as_json:
            import json

            write(json.dumps(result.fields) + "\n")
        elif not quiet:
            write("".join(result.text))
    except CommandError as e:
        if error is None:  # a failure of the work itself keeps its own code and line
            error, code = e.line, e.code
            if result.target is not None and result.fields.get("changed"):
                error += f"; the file was changed all the same ({result.target.config})"
    for warning in result.warnings:
        complain(warning)
    if error is not None:
        complain(error)
    return code
