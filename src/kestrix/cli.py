"""The `kestrix` command: install, update, check and remove the feedback rule of an agent
runtime's configuration file."""

import argparse
import errno
import os
import re
import sys
from contextlib import contextmanager
from pathlib import Path

from kestrix.skills.services import rule_block
from kestrix.skills.services.rule_block import INSTALLED, MODIFIED, NOT_INSTALLED, OUTDATED

# Names for annotations only, quoted where they are used: importing typing (or
# __future__ for unevaluated annotations) is a noticeable part of a run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
    from typing import NoReturn

# Exit codes. The README has the same table; keep them apart so a script can tell
# "not installed" from "could not look".
OK = 0
FAILED = 1  # a file could not be read or written, or anything unexpected
USAGE = 2  # the command line is wrong (argparse's own code)
UNKNOWN_RUNTIME = 3
BLANK_RULE = 4
REFUSED = 5  # update, uninstall: the block was edited; nothing changed
NOT_INSTALLED_CODE = 6  # status
OUTDATED_CODE = 7  # status: the block of an older release's rule
MODIFIED_CODE = 8  # status: the marker without a block install writes
INTERRUPTED = 130  # Ctrl-C
TERMINATED = 143  # SIGTERM, as a shell reports a process it ended

STATUS_CODES = {INSTALLED: OK, OUTDATED: OUTDATED_CODE, MODIFIED: MODIFIED_CODE,
                NOT_INSTALLED: NOT_INSTALLED_CODE}

EXIT_CODES_HELP = """\
exit codes:
  0    done; for status: installed
  1    a file could not be read or written
  2    bad command line
  3    unknown runtime
  4    the rule file is blank
  5    update, uninstall refused: the block was edited (nothing changed)
  6    status: not installed
  7    status: outdated (the rule of an older release)
  8    status: modified (the marker is there, install's block is not)
  130  interrupted (Ctrl-C)
  143  terminated (SIGTERM)"""

# Files an agent is documented to read instead of its configuration file, in the same folder.
READ_INSTEAD = {"codex": "AGENTS.override.md"}


ERROR_PREFIX = "kestrix: error: "


class Terminated(BaseException):
    """SIGTERM, raised where the command is, so that it reports what it did, as for Ctrl-C."""


def _raise_terminated(signum: int, frame: object) -> None:
    raise Terminated


class CommandError(Exception):
    """A failure reported as one line on stderr, with its exit code; `message` is that line
    without its prefix, as JSON carries it."""

    def __init__(self, code: int, what: str, path: object = None) -> None:
        super().__init__(what)
        self.code = code
        self.message = what + ("" if path is None else f" ({path})")
        self.line = ERROR_PREFIX + self.message


# --- output --------------------------------------------------------------------------------

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


def _shown(text: str, stream: object) -> str:
    """`text` as `stream` can encode it: a path's bytes that are not text there (a name that
    is not UTF-8, under a strict UTF-8 stdout) are shown escaped, as \\xff."""
    encoding = getattr(stream, "encoding", None) or "utf-8"
    try:
        text.encode(encoding)
        return text
    except (UnicodeEncodeError, LookupError):
        raw = text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        return raw.encode(encoding, "backslashreplace").decode(encoding)


def _write(text: str) -> None:
    """Writes to stdout. A reader that went away ends the output, not the run: the work is
    done and its exit code stands. Any other failure to write fails the run."""
    global _stdout_gone
    if _stdout_gone or not text:
        return
    try:
        if sys.stdout is None:
            raise CommandError(FAILED, "cannot write the output: stdout is closed")
        sys.stdout.write(_shown(text, sys.stdout))
        sys.stdout.flush()
    except BrokenPipeError:
        _stdout_gone = True
        _mute_stdout()
    except (OSError, ValueError) as e:
        _stdout_gone = True
        _mute_stdout()
        what = " ".join(str(getattr(e, "strerror", None) or e).split())
        raise CommandError(FAILED, f"cannot write the output: {what}") from e


def _complain(line: str) -> None:
    """One line on stderr; there is nowhere left to report a failure to write it."""
    try:
        print(_shown(line, sys.stderr), file=sys.stderr, flush=True)
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


# --- reading the command line ---------------------------------------------------------------


def _help_width() -> int:
    """The width argparse gives its help, found as shutil finds it: COLUMNS, else the
    terminal's, else 80 columns."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
    return (columns or 80) - 2


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """argparse's formatter with its width given: the parser makes one for every argument
    it is given, on every run, and would import shutil (a tenth of a run) to size it."""

    def __init__(self, prog: str) -> None:
        super().__init__(prog, width=_help_width())


class _Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line with their own exit code, which
    takes no abbreviated options and prints through the command's own output."""

    def __init__(self, *args: object, **kwargs: object) -> None:
        kwargs.setdefault("allow_abbrev", False)
        kwargs.setdefault("formatter_class", _Formatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> "NoReturn":
        raise CommandError(USAGE, f"{message}; see '{self.prog} --help'")

    def _print_message(self, message: str, file: object = None) -> None:
        if file is sys.stdout:
            _write(message)
        elif message:
            _complain(message.rstrip("\n"))


class _Version(argparse.Action):
    """--version: the installed distribution's version, looked up only when asked for."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: object, values: object,
                 option_string: str | None = None) -> None:
        _print_version("--json" in _options_of(sys.argv[1:] if _argv is None else _argv))
        parser.exit()


def _version() -> str:
    """The version the build wrote into the package; a source tree that was never built
    asks the installed distribution's metadata."""
    try:
        from kestrix._version import version

        return version
    except ImportError:
        from importlib.metadata import PackageNotFoundError, version as installed

        try:
            return installed("kestrix-rule-injector")
        except PackageNotFoundError:
            return "(not installed as a distribution)"


def _print_version(as_json: bool) -> None:
    number = _version()
    _write(f'{{"version": "{number}"}}\n' if as_json else f"kestrix {number}\n")


@contextmanager
def _reporting(action: str, path: Path) -> "Iterator[None]":
    """Turns file errors raised inside into one-line errors about `path`."""
    try:
        yield
    except OSError as e:
        raise CommandError(FAILED, f"{action}: {e.strerror or e}", e.filename or path) from e
    except UnicodeDecodeError as e:
        raise CommandError(FAILED, f"{action}: not UTF-8 text", path) from e


def _place(lines: list[int]) -> str:
    if len(lines) == 1:
        return f"line {lines[0]}"
    return "lines " + ", ".join(map(str, lines[:-1])) + f" and {lines[-1]}"


# --- where each agent's file is ------------------------------------------------------------


def _absolute(path: str) -> str:
    # abspath also folds "..", so "kestrix ... .." means the folder the user sees.
    return os.path.abspath(os.path.expanduser(path))


def _from_env(name: str) -> str | None:
    """An environment variable that names a folder: unset and empty are the same."""
    return os.environ.get(name) or None


def default_skills_dir(runtime: str) -> str | None:
    """The skills folder a runtime reads when none is given, or None (openclaw's is wherever
    its AGENTS.md is). Each honours the variable its agent documents for moving it."""
    if runtime == "claude":
        base = _from_env("CLAUDE_CONFIG_DIR")
        return os.path.join(base, "skills") if base else "~/.claude/skills"
    if runtime == "codex":
        base = _from_env("CODEX_HOME")
        return os.path.join(base, "skills") if base else "~/.codex/skills"
    if runtime == "opencode":
        base = _from_env("XDG_CONFIG_HOME")
        if base is None or not os.path.isabs(base):  # the XDG rules ignore a relative one
            base = "~/.config"
        return os.path.join(base, "opencode", "skills")
    return None


DEFAULT_RUNTIMES = ("claude", "codex", "opencode")  # status --all: the ones with a default


def _config_file(args: argparse.Namespace, runtime: str, name: str) -> Path:
    """The configuration file of this run: --config-file, else the one beside SKILLS_DIR,
    else the one beside the runtime's default skills folder."""
    if args.config_file is not None:
        if args.skills_dir is not None:
            raise CommandError(USAGE, "give SKILLS_DIR or --config-file, not both")
        if not args.config_file:
            raise CommandError(USAGE, "--config-file is empty")
        config = Path(_absolute(args.config_file))
        if config.name != name:
            raise CommandError(USAGE, f"{runtime} reads a file named {name}; --config-file "
                               "names another", config)
        return config
    given = args.skills_dir
    if given is None:
        given = default_skills_dir(runtime)
        if given is None:
            raise CommandError(USAGE, f"{runtime} has no default skills folder; give SKILLS_DIR "
                               f"(the skills folder beside its {name}) or --config-file")
    skills_dir = Path(_absolute(given))
    if skills_dir.name != "skills":
        # The file is beside the skills folder: a runtime's own folder given in its place
        # would put the file one level too high, where no agent reads it.
        hint = given.rstrip("/" + os.sep) + "/skills"
        raise CommandError(USAGE, f"SKILLS_DIR is the runtime's folder named skills; did you "
                           f"mean {hint}?", skills_dir)
    return skills_dir.parent / name


# --- the configuration file -------------------------------------------------------------------

_UTF8_PIECE = 1 << 20


def _check_utf8(data: bytes) -> None:
    """Raises UnicodeDecodeError unless `data` is UTF-8, a megabyte at a time: decoding the
    whole file at once would hold a text of up to four times its size."""
    import codecs

    decoder = codecs.getincrementaldecoder("utf-8")()
    view = memoryview(data)
    for at in range(0, len(data), _UTF8_PIECE):
        decoder.decode(view[at:at + _UTF8_PIECE])
    decoder.decode(b"", True)



class Target:
    """What one command works on: the runtime's configuration file and the rule text."""

    def __init__(self, args: argparse.Namespace, result: Result, *,
                 needs_folder: bool = False) -> None:
        from kestrix.skills.services import rule_injector as ri

        self.args, self.result = args, result
        result.target = self
        self.module = ri
        # While a write may have happened: a test of the file's bytes that tells whether they
        # are what the command wrote, and the rule, to tell the state they are in.
        self.intended: "Callable[[bytes], bool] | None" = None
        self.written_rule = ""
        self.today = ""  # the rule, once read
        self.notes: list[str] = []  # what --debug says about the record of written rules
        self.data: bytes | None = None  # the file's bytes, once read
        if args.skills_dir == "":
            raise CommandError(USAGE, "SKILLS_DIR is empty; give the runtime's skills folder")
        templates = None
        if args.templates is not None:
            if not args.templates:
                raise CommandError(USAGE, "--templates is empty")
            templates = Path(_absolute(args.templates))
            # Without its rule file the module would quietly fall back to the built-in rule.
            rule_file = templates / ri._RULE_SOURCE_RELATIVE
            if not os.path.exists(rule_file):
                raise CommandError(USAGE, "no rule file in the templates folder", rule_file)
        self.runtime: str = args.runtime
        config_name = ri.RUNTIME_CONFIG_FILES.get(self.runtime)
        if not config_name:
            known = ", ".join(ri.RUNTIME_CONFIG_FILES)
            raise CommandError(UNKNOWN_RUNTIME,
                               f"unknown runtime {self.runtime!r}; known runtimes: {known}")
        self.config = _config_file(args, self.runtime, str(config_name))
        # inject takes the skills folder and writes beside it; the folder itself may be missing.
        self.skills_dir = self.config.parent / "skills"
        result.fields["config_file"] = str(self.config)
        instead = READ_INSTEAD.get(self.runtime)
        other = self.config.with_name(instead) if instead else None
        if other is not None and os.path.exists(other):
            result.fields["read_instead"] = str(other)
            if args.command != "status":  # status says so on stdout
                result.warnings.append(f"kestrix: warning: {self.runtime} reads {other} "
                                       "instead of this file")
        folder = self.config.parent
        if needs_folder and not os.path.isdir(folder):
            # inject would make the folder: a mistyped path would get a configuration file.
            what = "is not a folder" if os.path.exists(folder) else "does not exist"
            raise CommandError(USAGE, f"the configuration file's folder {what}", folder)
        self.injector = ri.RuleInjector(templates)

    @property
    def rule_file(self) -> Path:
        return Path(self.injector.templates_dir) / self.module._RULE_SOURCE_RELATIVE

    def read(self) -> bytes | None:
        """The configuration file's bytes, or None when there is none. The module's reader
        refuses FIFOs, sockets and devices without blocking; a file install would refuse
        (not UTF-8) is refused here too, so every command fails where install fails."""
        from kestrix.skills.services.file_route import files

        with _reporting("cannot read the configuration file", self.config):
            data = files().read_file(self.config)
            if data is not None and not data.isascii():
                _check_utf8(data)
        self.result.fields["exists"] = data is not None
        self.data = data
        return data

    def rule(self, purpose: str) -> str:
        """The rule text install writes today; a blank rule file is an error."""
        with _reporting("cannot read the rule file", self.rule_file):
            rule = self.injector._load_rule_content()
        if not rule:
            raise CommandError(BLANK_RULE, f"the rule file is blank, so {purpose}",
                               self.rule_file)
        return rule

    def locate(self, data: bytes | None, rule: str | None = None,
               purpose: str = "its block cannot be recognised") -> rule_block.Located:
        """The file's state; the rule is read only when the marker is there."""
        lines = [] if data is None else rule_block.marker_lines(data)
        if data is None or not lines:
            located = rule_block.Located(NOT_INSTALLED, lines)
        else:
            self.today = self.rule(purpose) if rule is None else rule
            located = rule_block.locate(data, self.today, self.recorded)
        self.result.fields["state"] = located.state
        self.result.fields["marker_lines"] = located.marker_lines
        return located

    def recorded(self) -> str | None:
        """The digest of the rule the command last wrote to this file, if it knows it."""
        from kestrix.skills.services import rule_record

        return rule_record.recorded(str(self.config), self.notes)

    def changed(self, state_after: str, rule: str | None) -> None:
        """Records that the file was written, the state it was left in and the rule its
        block now holds (None: no block)."""
        from kestrix.skills.services import rule_record

        self.result.fields["changed"] = True
        self.result.fields["state_after"] = state_after
        rule_record.record(str(self.config), None if rule is None else rule_record.digest(rule),
                           self.notes)

    def refuse(self, located: rule_block.Located) -> "NoReturn":
        lines = located.marker_lines
        if len(lines) > 1:
            raise CommandError(REFUSED, f"the marker appears on {_place(lines)}; nothing was "
                               "changed (remove the extra ones by hand)", self.config)
        raise CommandError(REFUSED, f"the text around the marker on {_place(lines)} is not a "
                           "block install writes (edited or line ends mixed); nothing was "
                           "changed (--force takes everything from the marker to the end of "
                           "the file)", self.config)

    def append(self, rule: str) -> int:
        """Installs into a file without the marker, through the module's inject. The file's
        bytes are let go before inject reads them again, so that the two are not held at
        once: callers keep no reference to them."""
        before, self.data = self.data or b"", None
        added = rule_block.block(rule, rule_block.crlf_after(before))
        self.check_reads_as_text(before, len(before), rule)
        if self.args.dry_run:
            self.show_diff(before, len(before), len(before), added)
            return OK
        size = len(before)
        del before
        # The file as install leaves it: what it held (without the marker) and the block.
        self.intended = lambda now: (len(now) == size + len(added) and now.endswith(added)
                                     and now.find(rule_block.MARKER, 0, size) < 0)
        self.written_rule = rule
        with _reporting("cannot install the rule", self.config):
            written = self.injector.inject(self.runtime, self.skills_dir)
        if written is None:
            raise CommandError(BLANK_RULE, "the rule file is blank, so there is nothing "
                               "to install", self.rule_file)
        self.changed(INSTALLED, rule)
        self.result.say(f"installed the feedback rule ({written})")
        return OK

    def rewrite(self, data: bytes, start: int, end: int, insert: bytes, action: str, done: str,
                state_after: str, rule: str, located: rule_block.Located) -> int:
        """Replaces data[start:end] with `insert`, through the crash-safe replacement."""
        beyond = ""
        if located.state == MODIFIED:  # --force: from the marker to the end of the file
            lines = rule_block.lines_beyond(data, rule)
            self.result.fields["lines_after_block"] = lines
            if lines:
                beyond = f" and the {lines} line{'s' if lines > 1 else ''} after it"
        if self.args.dry_run:
            self.show_diff(data, start, end, insert)
            if beyond:
                self.result.warnings.append(
                    f"kestrix: warning: --force takes the edited block{beyond} ({self.config})")
        else:
            view = memoryview(data)
            new = b"".join((view[:start], insert, view[end:]))  # the one copy of the file
            del view
            self.intended = lambda now: now == new
            self.written_rule = rule
            _replace(self, new, data, action)
            self.changed(state_after, rule if state_after == INSTALLED else None)
            self.result.say(f"{done}{beyond} ({self.config})")
        return OK

    def settle(self) -> str:
        """After a failure that may have come after the write (Ctrl-C, SIGTERM, anything
        unexpected): reads the file again, so that the report says what it now holds.
        Returns the words for the error line."""
        fields = self.result.fields
        if self.intended is None:
            return "nothing was changed"
        try:
            from kestrix.skills.services.file_route import files

            now = files().read_file(self.config)
        except (OSError, KeyboardInterrupt, Terminated):
            fields["changed"] = fields["state_after"] = None
            return "the file could not be read again to tell whether it was changed"
        fields["changed"] = now is not None and self.intended(now)
        fields["state_after"] = rule_block.locate(now or b"", self.written_rule).state
        return "the file was changed" if fields["changed"] else "nothing was changed"

    def show_diff(self, old: bytes, start: int, end: int, insert: bytes) -> None:
        diff = _unified_diff(str(self.config), old, start, end, insert)
        self.result.fields["diff"] = diff
        self.result.text.append(diff)

    def check_reads_as_text(self, data: bytes, end: int, rule: str) -> None:
        """Warns when the text before the block (data[:end]) leaves a code fence or an HTML
        block open that runs on into the block: an agent would read the rule as code, not as
        a rule. Only a text with a line that could open one is parsed at all."""
        if not _could_open_a_block(data, end):
            return
        try:
            from markdown_it import MarkdownIt
        except ImportError:
            self.result.warnings.append("kestrix: warning: cannot check that the rule reads "
                                        "as Markdown text: markdown-it-py is not installed")
            return
        text = data[:end] + rule_block.block(rule, rule_block.crlf_after(data, end))
        # The parser's own line ends: CR LF and a lone CR end a line as LF does. Counted on
        # the whole text, since a CR that ends the text before pairs with the block's LF.
        normal = text.decode().replace("\r\n", "\n").replace("\r", "\n")
        from_marker = len(rule_block.MARKER) + len("\n\n") + len(rule) + len("\n")
        marker = normal.count("\n", 0, len(normal) - from_marker)  # the marker's line, from 0
        parser = MarkdownIt("commonmark")
        parser.disable("inline")  # blocks are all it looks at
        for token in parser.parse(normal):
            # A block of the text before that ends past the marker's line holds the rule.
            if token.level == 0 and token.map and token.map[0] < marker < token.map[1] - 1:
                kind = {"fence": "code fence", "code_block": "code block"}.get(
                    token.type, "HTML block")
                self.result.warnings.append(
                    f"kestrix: warning: the {kind} opened on line {token.map[0] + 1} runs on "
                    f"into the feedback rule, so an agent reads the rule as code; close it "
                    f"before the marker ({self.config})")
                return


# What follows the "<" of an HTML block that runs on past a blank line, as the two line ends
# before the marker are: CommonMark's kinds 1 to 5 (<pre>, <script>, <style>, <textarea>,
# comments, <?...?>, declarations, CDATA). Kinds 6 and 7 (<div>, any tag) end at a blank line.
_HTML_OPENER = re.compile(rb"<(?:(?i:pre|script|style|textarea)(?:[ \t>\r\n]|\Z)|!--|\?|"
                          rb"![A-Za-z]|!\[CDATA\[)")


def _could_open_a_block(data: bytes, end: int) -> bool:
    """Whether data[:end] has a line that could open a code fence or such an HTML block: its
    opening characters at most three spaces in. Found with bytes.find, a scan at C speed;
    only such a text is parsed."""
    for needle in (b"```", b"~~~", b"<"):
        at = data.find(needle, 0, end)
        while at >= 0:
            indent = at
            while indent > 0 and at - indent < 4 and data[indent - 1] == 0x20:
                indent -= 1
            if at - indent <= 3 and (indent == 0 or data[indent - 1] in b"\r\n") and (
                    needle != b"<" or _HTML_OPENER.match(data, at)):
                return True
            at = data.find(needle, at + 1, end)
    return False


def _replace(target: Target, new: bytes, old: bytes, action: str) -> None:
    """Every write of the command but inject's: the module's crash-safe replacement."""
    from kestrix.skills.services.file_route import files

    try:
        # Only over what was read: an edit made since then wins, and nothing is written.
        files().replace_file(target.config, new, expected=old)
    except OSError as e:
        if e.errno == errno.ESTALE:
            raise CommandError(FAILED, "the file changed while it was being updated; nothing "
                               "was changed", target.config) from e
        raise CommandError(FAILED, f"{action}: {e.strerror or e}", e.filename or target.config
                           ) from e


def _unified_diff(path: str, old: bytes, start: int, end: int, insert: bytes) -> str:
    """The unified diff of putting `insert` in place of old[start:end], labelled a/PATH and
    b/PATH: one hunk, built from the lines around that range (with three lines of context),
    never by comparing whole files. A last line without a line end is flagged as diff and
    patch expect."""
    first = old.rfind(b"\n", 0, start) + 1  # the start of the line the change begins in
    last = old.find(b"\n", end)  # the end of the line it ends in
    last = len(old) if last < 0 else last + 1
    removed = _lines(old, first, last)
    added = _lines(b"".join((old[first:start], insert, old[end:last])), 0, None)
    # Lines the change leaves as they were, at either end, are context, not change.
    while removed and added and removed[0] == added[0]:
        first += len(removed.pop(0))
        added.pop(0)
    while removed and added and removed[-1] == added[-1]:
        last -= len(removed.pop())
        added.pop()
    if not removed and not added:
        return ""
    context_start = first
    for _ in range(3):
        if context_start == 0:
            break
        context_start = old.rfind(b"\n", 0, context_start - 1) + 1
    context_end = last
    for _ in range(3):
        if context_end >= len(old):
            break
        line_end = old.find(b"\n", context_end)
        context_end = len(old) if line_end < 0 else line_end + 1
    before, after = _lines(old, context_start, first), _lines(old, last, context_end)
    line = old.count(b"\n", 0, context_start)  # lines before the hunk
    old_count = len(before) + len(removed) + len(after)
    new_count = len(before) + len(added) + len(after)
    label = path if path.startswith("/") else "/" + path
    out = [f"--- a{label}\n+++ b{label}\n"
           f"@@ -{_hunk_range(line, old_count)} +{_hunk_range(line, new_count)} @@\n"]
    for sign, lines in ((" ", before), ("-", removed), ("+", added), (" ", after)):
        for text in lines:
            shown = text.decode("utf-8", "surrogateescape")
            out.append(sign + shown if shown.endswith("\n") else
                       f"{sign}{shown}\n\\ No newline at end of file\n")
    return "".join(out)


def _lines(data: bytes, start: int, end: int | None) -> list[bytes]:
    """The lines of data[start:end], each with its LF; only LF ends a line here."""
    part = data[start:end]
    lines = part.split(b"\n")
    return [line + b"\n" for line in lines[:-1]] + ([lines[-1]] if lines[-1] else [])


def _hunk_range(before: int, count: int) -> str:
    """A hunk's range as diff writes it: its first line (1-based), and its length unless 1;
    an empty range names the line before it."""
    if count == 1:
        return str(before + 1)
    return f"{before + 1 if count else before},{count}"


# --- the actions ---------------------------------------------------------------------------


def run_install(args: argparse.Namespace, result: Result) -> int:
    target = Target(args, result, needs_folder=True)
    target.read()
    rule = target.rule("there is nothing to install")
    located = target.locate(target.data, rule)
    if located.state == NOT_INSTALLED:
        return target.append(rule)
    # inject leaves every file that holds the marker alone; say which state it is in.
    where = _place(located.marker_lines)
    if located.state == INSTALLED:
        result.say(f"already installed, marker on {where} ({target.config})")
        target.check_reads_as_text(target.data or b"", located.start or 0, rule)
    elif located.state == OUTDATED:
        result.say(f"not changed: the rule of an older release is installed, marker on "
                   f"{where}; 'kestrix skills update' replaces it ({target.config})")
    else:
        result.say(f"not changed: the marker is on {where} but install's block is not there "
                   f"(see 'kestrix skills status') ({target.config})")
    return OK


def run_update(args: argparse.Namespace, result: Result) -> int:
    target = Target(args, result, needs_folder=True)
    target.read()
    rule = target.rule("there is nothing to install")
    located = target.locate(target.data, rule)
    if target.data is None or located.state == NOT_INSTALLED:
        return target.append(rule)
    data = target.data
    if located.state == INSTALLED:
        result.say(f"already up to date, marker on {_place(located.marker_lines)} "
                   f"({target.config})")
        target.check_reads_as_text(data, located.start or 0, rule)
        return OK
    if located.state == MODIFIED and not (args.force and located.start is not None):
        target.refuse(located)
    start = located.start or 0
    end = located.end if located.state == OUTDATED else len(data)
    block = rule_block.block(rule, rule_block.crlf_after(data, start))
    target.check_reads_as_text(data, start, rule)
    return target.rewrite(data, start, end, block, "cannot update the rule",
                          "updated the feedback rule", INSTALLED, rule, located)


def run_uninstall(args: argparse.Namespace, result: Result) -> int:
    target = Target(args, result)
    data = target.read()
    located = target.locate(data)
    if data is None or located.state == NOT_INSTALLED:
        why = "no configuration file" if data is None else "no feedback rule marker"
        result.say(f"nothing to remove: {why} ({target.config})")
        return OK
    if located.state == MODIFIED and not (args.force and located.start is not None):
        target.refuse(located)
    return target.rewrite(data, located.start or 0, located.end, b"", "cannot remove the rule",
                          "removed the feedback rule", NOT_INSTALLED, target.today, located)


def run_status(args: argparse.Namespace, result: Result) -> int:
    if args.all:
        return _status_all(args, result)
    if args.runtime is None:
        raise CommandError(USAGE, "the following arguments are required: RUNTIME (or --all); "
                           "see 'kestrix skills status --help'")
    target = Target(args, result)
    data = target.read()
    located = target.locate(data, purpose="its block cannot be checked")
    where = _place(located.marker_lines) if located.marker_lines else ""
    if located.state == INSTALLED:
        text = f"installed, marker on {where}"
    elif located.state == OUTDATED:
        text = (f"outdated: the rule of an older release is installed, marker on {where}; "
                "'kestrix skills update' replaces it")
    elif located.state == MODIFIED:
        why = ("the marker appears more than once" if len(located.marker_lines) > 1 else
               "the text around it is not a block install writes (edited by hand, line ends "
               "mixed, or only a mention of the marker)")
        text = f"modified: marker on {where}, but {why}"
    else:
        text = "not installed: " + ("no configuration file" if data is None
                                    else "no feedback rule marker")
    result.say(f"{text} ({target.config})")
    if result.fields["read_instead"] is not None:
        result.say(f"note: {target.runtime} reads {result.fields['read_instead']} instead of "
                   "this file")
    return STATUS_CODES[located.state]


def _status_all(args: argparse.Namespace, result: Result) -> int:
    """status of every runtime with a default folder: one line each, and in JSON one object
    each under "results". 0 when every file could be looked at, 1 otherwise."""
    if args.runtime is not None or args.skills_dir is not None or args.config_file is not None:
        raise CommandError(USAGE, "--all takes no RUNTIME, SKILLS_DIR or --config-file")
    results, code = [], OK
    for runtime in DEFAULT_RUNTIMES:
        one = Result()
        one.fields.update(command="status", runtime=runtime)
        try:
            one.fields["exit_code"] = run_status(argparse.Namespace(**{
                **vars(args), "runtime": runtime, "all": False}), one)
        except CommandError as e:
            code = FAILED
            one.fields.update(exit_code=e.code, error=e.message)
            one.text.append(f"error: {e.message}\n")
        one.fields["state_after"] = one.fields["state"]
        results.append(one.fields)
        result.text += [f"{runtime}: {line}" for line in one.text]
        result.warnings += one.warnings
        if one.target is not None and args.debug:
            result.warnings += [f"kestrix: debug: {note}" for note in one.target.notes]
    result.fields = {"command": "status", "results": results}
    return code


# --- the parser and the run --------------------------------------------------------------------


def _runtimes_help() -> str:
    from kestrix.skills.services import rule_injector as ri

    by_file: dict[str, list[str]] = {}
    for runtime, name in ri.RUNTIME_CONFIG_FILES.items():
        by_file.setdefault(str(name), []).append(str(runtime))
    return "; ".join(f"{', '.join(runtimes)} ({name})" for name, runtimes in by_file.items())


# Each action runs as the function run_<action>, looked up when it runs.
ACTIONS = {
    "install": "append the feedback rule to the configuration file, once",
    "update": "install the feedback rule, or replace an older release's",
    "status": "tell whether the feedback rule is installed",
    "uninstall": "remove the feedback rule's block",
}


def _add_global_options(parser: argparse.ArgumentParser) -> None:
    """The options every level takes, so they may stand before the subcommand too. They
    have no defaults, or a lower level would overwrite what a higher one was given."""
    parser.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS,
                        help="print nothing but errors and warnings")
    parser.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="print one JSON object, errors included (even with -q)")
    parser.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="show tracebacks of errors")


def build_parser(only: str | None = None) -> argparse.ArgumentParser:
    """The command's parser; with `only`, the one action the command line names (making
    every action's parser is a tenth of a run)."""
    parser = _Parser(prog="kestrix", description="Install skills for AI coding agents.")
    _add_global_options(parser)
    parser.add_argument("-V", "--version", action=_Version)
    groups = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    skills = groups.add_parser("skills", help="skills of an agent runtime",
                               description="Skills of an agent runtime.")
    _add_global_options(skills)
    commands = skills.add_subparsers(title="actions", metavar="ACTION", required=True)

    for name, text in ACTIONS.items():
        if only is not None and name != only:
            continue
        command = commands.add_parser(name, help=text, description=text + ".",
                                      epilog=EXIT_CODES_HELP)
        command.set_defaults(command=name)
        command.add_argument("runtime", metavar="RUNTIME", nargs="?" if name == "status" else None,
                             help=f"agent runtime: {_runtimes_help()}".replace("%", "%%"))
        command.add_argument("skills_dir", metavar="SKILLS_DIR", nargs="?",
                             help="the runtime's skills folder; the configuration file is "
                                  "beside it (default: the runtime's own, see --help of "
                                  "kestrix)")
        command.add_argument("--config-file", metavar="PATH",
                             help="the configuration file itself (a project's CLAUDE.md, a "
                                  "nested AGENTS.md), instead of SKILLS_DIR")
        command.add_argument("--templates", metavar="DIR",
                             help="skill templates root holding kestrix-feedback/data/"
                                  "FEEDBACK_RULE.md (default: the rule shipped with the "
                                  "package)")
        _add_global_options(command)
        if name == "status":
            command.add_argument("--all", action="store_true",
                                 help="every runtime with a default folder, one line each "
                                      f"({', '.join(DEFAULT_RUNTIMES)}); no RUNTIME")
        else:
            command.add_argument("--dry-run", action="store_true",
                                 help="print the change as a unified diff; write nothing")
        if name in ("update", "uninstall"):
            command.add_argument("--force", action="store_true",
                                 help="also take an edited block whose marker appears once: "
                                      "everything from the marker to the end of the file")
    return parser


def _options_of(argv: list[str]) -> list[str]:
    return argv[: argv.index("--")] if "--" in argv else argv


def _action_named(argv: list[str]) -> str | None:
    """The action of `kestrix [options] skills [options] ACTION ...`, if it is one: only
    options without values may stand before it."""
    words = [word for word in _options_of(argv) if not word.startswith("-")][:2]
    if len(words) == 2 and words[0] == "skills" and words[1] in ACTIONS:
        return words[1]
    return None


_argv: "list[str] | None" = None  # the command line main() was given, for --version


def main(argv: "Sequence[str] | None" = None) -> int:
    global _argv
    argv = _argv = list(sys.argv[1:] if argv is None else argv)
    # Known before parsing, so errors while parsing honour them too.
    debug = "--debug" in _options_of(argv)
    as_json = "--json" in _options_of(argv)
    quiet = False
    result = Result()
    failure: BaseException | None = None
    try:
        if not argv:
            _complain(build_parser().format_help().rstrip("\n"))
            return USAGE
        words = set(_options_of(argv))
        if words & {"-V", "--version"} and words <= {"-V", "--version", "--json", "-q",
                                                     "--quiet", "--debug"}:
            # Nothing but the version asked for: no parser to build.
            _print_version(as_json)
            return OK
        args = build_parser(_action_named(argv)).parse_args(argv)
        for name in ("quiet", "json", "debug", "dry_run", "force", "all"):
            if not hasattr(args, name):
                setattr(args, name, False)
        quiet, as_json = args.quiet, args.json
        # A dry run's diff is a text, empty when the real run would change nothing.
        result.fields.update(command=args.command, runtime=args.runtime, dry_run=args.dry_run,
                             diff="" if args.dry_run else None)
        run: "Callable[[argparse.Namespace, Result], int]" = globals()[f"run_{args.command}"]
        if args.command != "status":
            import signal

            signal.signal(signal.SIGTERM, _raise_terminated)
        code = run(args, result)
        error = None
    except (KeyboardInterrupt, Terminated) as e:
        failure = e
        code, what = ((INTERRUPTED, "interrupted") if isinstance(e, KeyboardInterrupt) else
                      (TERMINATED, "terminated"))
        target = result.target
        if target is not None:
            what = f"{what}; {target.settle()} ({target.config})"
        error = "kestrix: " + what
        result.fields["error"] = what
    except CommandError as e:
        failure, code, error = e, e.code, e.line
        result.fields["error"] = e.message
    except Exception as e:
        failure = e
        what = " ".join(f"{type(e).__name__}: {e}".split())
        if result.target is not None:
            what = f"{what}; {result.target.settle()} ({result.target.config})"
        code, error = FAILED, ERROR_PREFIX + what
        result.fields["error"] = what
    if failure is not None and debug:
        import traceback

        traceback.print_exception(failure)
    if debug and result.target is not None:
        result.warnings += [f"kestrix: debug: {note}" for note in result.target.notes]
    if "results" not in result.fields:  # status --all: each result has its own
        if result.fields["changed"] is False and result.fields["state_after"] is None:
            result.fields["state_after"] = result.fields["state"]
        result.fields["exit_code"] = code
    return _finish(result, code, error, as_json, quiet)


def _finish(result: Result, code: int, error: str | None, as_json: bool, quiet: bool) -> int:
    """Prints the run's output; a failure to print is the run's last error."""
    try:
        if as_json:
            import json

            _write(json.dumps(result.fields) + "\n")
        elif not quiet:
            _write("".join(result.text))
    except CommandError as e:
        if error is None:  # a failure of the work itself keeps its own code and line
            error, code = e.line, e.code
            if result.target is not None and result.fields.get("changed"):
                error += f"; the file was changed all the same ({result.target.config})"
    for warning in result.warnings:
        _complain(warning)
    if error is not None:
        _complain(error)
    return code
