"""The `kestrix` command: install, check and remove the feedback rule for an agent runtime."""

from __future__ import annotations

import argparse
import json
import os
import sys
import traceback
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import NoReturn

# Exit codes. The README has the same table; keep them apart so a script can tell
# "not installed" from "could not look".
OK = 0
FAILED = 1  # a file could not be read or written, or anything unexpected
USAGE = 2  # the command line is wrong (argparse's own code)
UNKNOWN_RUNTIME = 3
BLANK_RULE = 4
REFUSED = 5  # uninstall: the block is not exactly what install appended
NOT_INSTALLED = 6  # status
OTHER_TEXT = 7  # status: the marker is there, the block around it is not install's
INTERRUPTED = 130

EXIT_CODES_HELP = """\
exit codes:
  0    done; for status: installed
  1    a file could not be read or written
  2    bad command line
  3    unknown runtime
  4    the rule file is blank
  5    uninstall refused: the block was edited or moved (nothing changed)
  6    status: not installed
  7    status: installed with other text
  130  interrupted"""


class CommandError(Exception):
    """A failure reported as one line on stderr, with its exit code."""

    def __init__(self, code: int, what: str, path: object = None) -> None:
        super().__init__(what)
        self.code = code
        self.line = f"kestrix: error: {what}" + ("" if path is None else f" ({path})")


class _Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line with their own exit code."""

    def error(self, message: str) -> NoReturn:
        raise CommandError(USAGE, f"{message}; see '{self.prog} --help'")


@contextmanager
def _reporting(action: str, path: Path) -> Iterator[None]:
    """Turns file errors raised inside into one-line errors about `path`."""
    try:
        yield
    except FileExistsError as e:
        # From mkdir: a file stands where the configuration file's folder should be.
        raise CommandError(FAILED, f"{action}: a file is in the way of a folder",
                           e.filename or path) from e
    except OSError as e:
        raise CommandError(FAILED, f"{action}: {e.strerror or e}", e.filename or path) from e
    except UnicodeDecodeError as e:
        raise CommandError(FAILED, f"{action}: not UTF-8 text", path) from e


class Target:
    """What one command works on: the runtime's configuration file and the rule text."""

    def __init__(self, args: argparse.Namespace) -> None:
        from kestrix.skills.services import rule_injector as ri

        self.module = ri
        if not args.skills_dir:
            raise CommandError(USAGE, "SKILLS_DIR is empty; give the runtime's skills folder")
        # abspath also folds "..", so "kestrix ... .." means the folder the user sees.
        self.skills_dir = Path(os.path.abspath(os.path.expanduser(args.skills_dir)))
        templates = None
        if args.templates is not None:
            if not args.templates:
                raise CommandError(USAGE, "--templates is empty")
            templates = Path(os.path.abspath(os.path.expanduser(args.templates)))
            if not templates.is_dir():
                what = "is not a folder" if templates.exists() else "does not exist"
                raise CommandError(USAGE, f"templates folder {what}", templates)
        self.runtime: str = args.runtime
        config_name = ri.RUNTIME_CONFIG_FILES.get(self.runtime)
        if not config_name:
            known = ", ".join(ri.RUNTIME_CONFIG_FILES)
            raise CommandError(UNKNOWN_RUNTIME,
                               f"unknown runtime {self.runtime!r}; known runtimes: {known}")
        self.injector = ri.RuleInjector(templates)
        self.config = self.skills_dir.parent / config_name
        self.marker = ri.RULE_MARKER.encode()

    @property
    def rule_file(self) -> Path:
        return Path(self.injector.templates_dir) / self.module._RULE_SOURCE_RELATIVE

    def read_config(self) -> bytes | None:
        """The configuration file's bytes, or None when there is no such file."""
        with _reporting("cannot read the configuration file", self.config):
            return self.config.read_bytes() if self.config.exists() else None

    def rule(self, purpose: str) -> str:
        """The rule text install writes today; a blank rule file is an error."""
        with _reporting("cannot read the rule file", self.rule_file):
            rule = self.injector._load_rule_content()
        if not rule:
            raise CommandError(BLANK_RULE, f"the rule file is blank, so {purpose}",
                               self.rule_file)
        return rule

    def marker_lines(self, data: bytes) -> list[int]:
        """1-based numbers of the lines that hold the marker."""
        lines, start = [], data.find(self.marker)
        while start >= 0:
            lines.append(data.count(b"\n", 0, start) + 1)
            start = data.find(self.marker, start + len(self.marker))
        return lines

    def text_before_block(self, data: bytes, rule: str) -> bytes | None:
        """The text install appended the block to, or None when `data` does not end with
        exactly that block (in LF, or in CRLF after text whose first line end is CRLF)
        or also holds the marker before it."""
        block = b"\n\n" + self.marker + b"\n\n" + rule.encode() + b"\n"
        before = None
        if data.endswith(block):
            before = data[: len(data) - len(block)]
        else:
            crlf_block = block.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            if data.endswith(crlf_block):
                before = data[: len(data) - len(crlf_block)]
                first_end = before.find(b"\n")
                if first_end < 1 or before[first_end - 1:first_end] != b"\r":
                    before = None
        # A marker in the text before means install would have skipped this file.
        if before is not None and self.marker in before:
            return None
        return before


def _place(lines: list[int]) -> str:
    if len(lines) == 1:
        return f"line {lines[0]}"
    return "lines " + ", ".join(map(str, lines[:-1])) + f" and {lines[-1]}"


def _say(args: argparse.Namespace, text: str) -> None:
    if not args.quiet:
        print(text)


def run_install(args: argparse.Namespace) -> int:
    target = Target(args)
    data = target.read_config()
    if data is not None:
        with _reporting("cannot read the configuration file", target.config):
            data.decode()
    with _reporting("cannot install the rule", target.config):
        try:
            result = target.injector.inject(target.runtime, target.skills_dir)
        except UnicodeDecodeError as e:
            # The configuration file decoded above, so the rule file is the one.
            raise CommandError(FAILED, "cannot read the rule file: not UTF-8 text",
                               target.rule_file) from e
    if result is None:
        # The runtime is known, so inject skipped because the rule text is blank.
        raise CommandError(BLANK_RULE, "the rule file is blank, so there is nothing to install",
                           target.rule_file)
    already = data is not None and target.marker in data
    _say(args, f"{'already installed' if already else 'installed the feedback rule'} ({result})")
    return OK


def run_status(args: argparse.Namespace) -> int:
    target = Target(args)
    data = target.read_config()
    lines = [] if data is None else target.marker_lines(data)
    if data is None:
        code, text = NOT_INSTALLED, "not installed: no configuration file"
    elif not lines:
        code, text = NOT_INSTALLED, "not installed: no feedback rule marker"
    elif target.text_before_block(data, target.rule("its block cannot be checked")) is None:
        code, text = OTHER_TEXT, (f"installed with other text: the text around the marker on "
                                  f"{_place(lines)} is not what install writes now")
    else:
        code, text = OK, "installed"
    if args.json:
        state = {OK: "installed", NOT_INSTALLED: "not_installed", OTHER_TEXT: "other_text"}
        print(json.dumps({"runtime": target.runtime, "config_file": str(target.config),
                          "exists": data is not None, "marker_lines": lines,
                          "state": state[code], "exit_code": code}))
    else:
        _say(args, f"{text} ({target.config})")
    return code


def run_uninstall(args: argparse.Namespace) -> int:
    target = Target(args)
    data = target.read_config()
    lines = [] if data is None else target.marker_lines(data)
    if data is None or not lines:
        why = "no configuration file" if data is None else "no feedback rule marker"
        _say(args, f"nothing to remove: {why} ({target.config})")
        return OK
    before = target.text_before_block(data, target.rule("its block cannot be recognised"))
    if before is None:
        raise CommandError(REFUSED, f"the text around the marker on {_place(lines)} is not what "
                           "install wrote (edited, moved or another rule); nothing was changed",
                           target.config)
    # The compiled module's atomic replacement, the same one install writes through.
    from kestrix.skills.services._safe_write import replace_file

    with _reporting("cannot remove the rule", target.config):
        replace_file(target.config, before)
    _say(args, f"removed the feedback rule ({target.config})")
    return OK


def _runtimes_help() -> str:
    from kestrix.skills.services import rule_injector as ri

    by_file: dict[str, list[str]] = {}
    for runtime, name in ri.RUNTIME_CONFIG_FILES.items():
        by_file.setdefault(str(name), []).append(str(runtime))
    return "; ".join(f"{', '.join(runtimes)} ({name})" for name, runtimes in by_file.items())


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="kestrix", description="Install skills for AI coding agents.")
    groups = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    skills = groups.add_parser("skills", help="skills of an agent runtime",
                               description="Skills of an agent runtime.")
    commands = skills.add_subparsers(title="actions", metavar="ACTION", required=True)

    common = _Parser(add_help=False)
    common.add_argument("runtime", metavar="RUNTIME",
                        help=f"agent runtime: {_runtimes_help()}".replace("%", "%%"))
    common.add_argument("skills_dir", metavar="SKILLS_DIR",
                        help="the runtime's skills folder; the configuration file is beside it")
    common.add_argument("--templates", metavar="DIR",
                        help="skill templates root holding the rule file "
                             "(default: the templates shipped with the package)")
    common.add_argument("-q", "--quiet", action="store_true",
                        help="print nothing but errors")
    common.add_argument("--debug", action="store_true", help="show tracebacks of errors")

    actions: list[tuple[str, Callable[[argparse.Namespace], int], str]] = [
        ("install", run_install, "append the feedback rule to the configuration file, once"),
        ("status", run_status, "tell whether the feedback rule is installed"),
        ("uninstall", run_uninstall, "remove the feedback rule that install appended"),
    ]
    for name, run, text in actions:
        command = commands.add_parser(name, parents=[common], help=text, description=text + ".",
                                      epilog=EXIT_CODES_HELP,
                                      formatter_class=argparse.RawDescriptionHelpFormatter)
        command.set_defaults(run=run, json=False)
        if name == "status":
            command.add_argument("--json", action="store_true",
                                 help="print one JSON object (even with --quiet)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    # Known before parsing, so errors while parsing honour it too.
    debug = "--debug" in argv
    try:
        args = build_parser().parse_args(argv)
        code: int = args.run(args)
        return code
    except KeyboardInterrupt:
        if debug:
            traceback.print_exc()
        print("kestrix: interrupted", file=sys.stderr)
        return INTERRUPTED
    except CommandError as e:
        if debug:
            traceback.print_exc()
        print(e.line, file=sys.stderr)
        return e.code
    except Exception as e:
        if debug:
            traceback.print_exc()
        what = " ".join(f"{type(e).__name__}: {e}".split())
        print(f"kestrix: error: {what}", file=sys.stderr)
        return FAILED
