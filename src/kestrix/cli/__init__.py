"""The `kestrix` command: install, update, check and remove the feedback rule of an agent
runtime's configuration file.

Its rooms: codes (exit codes), arguments (the actions; ordinary command lines read plainly),
parser (argparse's parser, for help, errors and the rest), locations (where each agent's file
is), target (one run's file: read, located, written), actions (one function per action),
diff (dry runs), reads_as_text (the Markdown check), output (text, JSON, errors), version
and completion (shell scripts). main() below imports each only when a run needs it, so that
the cost of a run follows its work: --version builds no parser, an ordinary action loads no
argparse, status loads no writer.
"""

import sys

from kestrix.cli.codes import (BLANK_RULE, FAILED, INTERRUPTED, MODIFIED_CODE,
                               NOT_INSTALLED_CODE, OK, OUTDATED_CODE, REFUSED, STATUS_CODES,
                               TERMINATED, UNKNOWN_RUNTIME, USAGE)


__all__ = ["main", "BLANK_RULE", "FAILED", "INTERRUPTED", "MODIFIED_CODE", "NOT_INSTALLED_CODE",
           "OK", "OUTDATED_CODE", "REFUSED", "STATUS_CODES", "TERMINATED", "UNKNOWN_RUNTIME",
           "USAGE"]

# Names for annotations only, quoted where they are used: importing typing (or
# __future__ for unevaluated annotations) is a noticeable part of a run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from kestrix.cli.arguments import Namespace

# Options without values that may stand anywhere; a command line of these and -V is a
# version request.
_FLAGS = {"-V", "--version", "--json", "-q", "--quiet", "--debug"}


def _options_of(argv: list[str]) -> list[str]:
    return argv[: argv.index("--")] if "--" in argv else argv


def main(argv: "Sequence[str] | None" = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    # Known before parsing, so errors while parsing honour them too.
    debug = "--debug" in _options_of(argv)
    as_json = "--json" in _options_of(argv)
    quiet = False
    words = set(_options_of(argv))
    if words & {"-V", "--version"} and words <= _FLAGS:
        # Nothing but the version asked for: no parser to build.
        from kestrix.cli.version import print_version

        try:
            print_version(as_json)
        except Exception as e:  # noqa: BLE001 - a failure to print, told as any other
            from kestrix.cli.output import complain

            complain(f"kestrix: error: {getattr(e, 'message', e)}")
            return FAILED
        return OK
    from kestrix.cli import arguments
    from kestrix.cli.output import (ERROR_PREFIX, CommandError, Result, Terminated, complain,
                                    finish, raise_terminated)

    arguments.ARGV = argv
    result = Result()
    failure: BaseException | None = None
    try:
        if not argv:
            from kestrix.cli.parser import build_parser

            complain(build_parser().format_help().rstrip("\n"))
            return USAGE
        args = arguments.parse(argv)
        if args.command == "completion":
            from kestrix.cli.completion import script
            from kestrix.cli.output import write

            write(script(args.shell))
            return OK
        for name in ("quiet", "json", "debug", "dry_run", "force", "all"):
            if not hasattr(args, name):
                setattr(args, name, False)
        quiet, as_json = args.quiet, args.json
        # A dry run's diff is a text, empty when the real run would change nothing.
        result.fields.update(command=args.command, runtime=args.runtime, dry_run=args.dry_run,
                             diff="" if args.dry_run else None)
        from kestrix.cli import actions

        run: "Callable[[Namespace, Result], int]" = getattr(actions, f"run_{args.command}")
        if args.command != "status":
            import signal

            signal.signal(signal.SIGTERM, raise_terminated)
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
    return finish(result, code, error, as_json, quiet)
