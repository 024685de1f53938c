"""One run's configuration file: reading it, telling its state, writing it, and what the
run reports about it."""

import errno
import os
from contextlib import contextmanager
from pathlib import Path

from kestrix.cli.codes import BLANK_RULE, FAILED, OK, REFUSED, UNKNOWN_RUNTIME, USAGE
from kestrix.cli.locations import READ_INSTEAD, absolute, config_file
from kestrix.cli.output import CommandError, Result, Terminated
from kestrix.skills.services import rule_block
from kestrix.skills.services.rule_block import INSTALLED, MODIFIED, NOT_INSTALLED

# Names for annotations only, quoted where they are used: importing typing (or
# __future__ for unevaluated annotations) is a noticeable part of a run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import NoReturn

    from kestrix.cli.arguments import Namespace


@contextmanager
def reporting(action: str, path: Path) -> "Iterator[None]":
    """Turns file errors raised inside into one-line errors about `path`."""
    try:
        yield
    except OSError as e:
        raise CommandError(FAILED, f"{action}: {e.strerror or e}", e.filename or path) from e
    except UnicodeDecodeError as e:
        raise CommandError(FAILED, f"{action}: not UTF-8 text", path) from e


def place(lines: list[int]) -> str:
    if len(lines) == 1:
        return f"line {lines[0]}"
    return "lines " + ", ".join(map(str, lines[:-1])) + f" and {lines[-1]}"


_UTF8_PIECE = 1 << 20


def _check_utf8(data: bytes) -> None:
    """Raises UnicodeDecodeError unless `data` is UTF-8, a megabyte at a time: decoding the
    whole file at once would hold a text of up to four times its size. A piece of ASCII
    alone, as most of a Markdown file is, is only looked at (about seven times faster than
    decoding it), unless it must finish a character the piece before began."""
    import codecs

    decoder = codecs.getincrementaldecoder("utf-8")()
    for at in range(0, len(data), _UTF8_PIECE):
        piece = data[at:at + _UTF8_PIECE]
        if not piece.isascii() or decoder.getstate()[0]:
            decoder.decode(piece)
    decoder.decode(b"", True)


class Target:
    """What one command works on: the runtime's configuration file and the rule text."""

    def __init__(self, args: "Namespace", result: Result, *,
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
            templates = Path(absolute(args.templates))
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
        self.config = config_file(args, self.runtime, str(config_name))
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

        with reporting("cannot read the configuration file", self.config):
            data = files().read_file(self.config)
            if data is not None and not data.isascii():
                _check_utf8(data)
        self.result.fields["exists"] = data is not None
        self.data = data
        return data

    def rule(self, purpose: str) -> str:
        """The rule text install writes today; a blank rule file is an error."""
        with reporting("cannot read the rule file", self.rule_file):
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
            located = rule_block.locate(data, self.today, self.recorded, lines)
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
            raise CommandError(REFUSED, f"the marker appears on {place(lines)}; nothing was "
                               "changed (remove the extra ones by hand)", self.config)
        raise CommandError(REFUSED, f"the text around the marker on {place(lines)} is not a "
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
        with reporting("cannot install the rule", self.config):
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
            # The new content as views of the old bytes around the new block: no copy of the
            # file is made, only of what follows the block when a block goes in its place.
            view = memoryview(data)
            head, tail = view[:start], (insert + view[end:] if insert else view[end:])
            size = start + len(tail)
            self.intended = lambda now: (len(now) == size and now.startswith(head)
                                         and now.startswith(tail, start))
            self.written_rule = rule
            _replace(self, (head, tail), data, action)
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
        from kestrix.cli.diff import unified_diff

        diff = unified_diff(str(self.config), old, start, end, insert)
        self.result.fields["diff"] = diff
        self.result.text.append(diff)

    def check_reads_as_text(self, data: bytes, end: int, rule: str) -> None:
        """Warns when the text before the block (data[:end]) leaves a code fence or an HTML
        block open that runs on into the block: an agent would read the rule as code."""
        from kestrix.cli.reads_as_text import warning

        found = warning(data, end, rule, self.config)
        if found:
            self.result.warnings.append(found)


def _replace(target: Target, new: "tuple[memoryview, bytes | memoryview]", old: bytes,
             action: str) -> None:
    """Every write of the command but inject's: the module's crash-safe replacement of the
    file's content with new[0] + new[1]."""
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
