"""argparse's parser of `kestrix [options] skills ACTION ...` and its options, built for the
one action a command line names: for help, usage errors and every command line that
arguments.read_plainly leaves to it."""

import argparse
import os
import sys

from kestrix.cli import arguments
from kestrix.cli.arguments import ACTIONS, options_of
from kestrix.cli.codes import EXIT_CODES_HELP, USAGE
from kestrix.cli.locations import DEFAULT_RUNTIMES
from kestrix.cli.output import CommandError, complain, write

# Names for annotations only, quoted where they are used: importing typing (or
# __future__ for unevaluated annotations) is a noticeable part of a run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn


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
            write(message)
        elif message:
            complain(message.rstrip("\n"))


class Version(argparse.Action):
    """--version: the installed distribution's version, looked up only when asked for."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: object, values: object,
                 option_string: str | None = None) -> None:
        from kestrix.cli.version import print_version

        argv = sys.argv[1:] if arguments.ARGV is None else arguments.ARGV
        print_version("--json" in options_of(argv))
        parser.exit()


def _runtimes_help() -> str:
    from kestrix.skills.services import rule_injector as ri

    by_file: dict[str, list[str]] = {}
    for runtime, name in ri.RUNTIME_CONFIG_FILES.items():
        by_file.setdefault(str(name), []).append(str(runtime))
    return "; ".join(f"{', '.join(runtimes)} ({name})" for name, runtimes in by_file.items())


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
    parser.add_argument("-V", "--version", action=Version)
    groups = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    skills = groups.add_parser("skills", help="skills of an agent runtime",
                               description="Skills of an agent runtime.")
    _add_global_options(skills)
    commands = skills.add_subparsers(title="actions", metavar="ACTION", required=True)
    completion = groups.add_parser(
        "completion", help="print a shell completion script",
        description="Print a script that completes kestrix's actions, runtimes, options and "
                    "folders: eval \"$(kestrix completion bash)\" in ~/.bashrc, the same with "
                    "zsh in ~/.zshrc, or kestrix completion fish | source in fish's config.")
    completion.add_argument("shell", choices=("bash", "zsh", "fish"), metavar="SHELL",
                            help="bash, zsh or fish")
    completion.set_defaults(command="completion")

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
                                  "beside it (default: the runtime's own folder, such as "
                                  "~/.claude/skills)")
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


def parse(argv: list[str]) -> argparse.Namespace:
    """The command line read by the parser of the action it names. The command speaks
    English, and argparse looks up a translation of every text it makes, searching the
    locale folders each time (a twentieth of a status run) for catalogues CPython does not
    ship: for this parse only, its texts are taken as they are."""
    translate = getattr(argparse, "_", None)  # a release without it keeps its own way
    if translate is not None:
        argparse._ = _as_written  # type: ignore[attr-defined]
    try:
        return build_parser(arguments.action_named(argv)).parse_args(argv)
    finally:
        if translate is not None:
            argparse._ = translate  # type: ignore[attr-defined]


def _as_written(text: str) -> str:
    return text
