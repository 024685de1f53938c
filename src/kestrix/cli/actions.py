"""The actions: install, update, uninstall and status (with --all), each a function
run_<action> that main() looks up when it runs."""

from kestrix.cli.codes import FAILED, OK, STATUS_CODES, USAGE
from kestrix.cli.locations import DEFAULT_RUNTIMES
from kestrix.cli.output import CommandError, Result
from kestrix.cli.target import Target, place
from kestrix.skills.services import rule_block
from kestrix.skills.services.rule_block import INSTALLED, MODIFIED, NOT_INSTALLED, OUTDATED

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kestrix.cli.arguments import Namespace


def run_install(args: "Namespace", result: Result) -> int:
    target = Target(args, result, needs_folder=True)
    target.read()
    rule = target.rule("there is nothing to install")
    located = target.locate(target.data, rule)
    if located.state == NOT_INSTALLED:
        return target.append(rule)
    # inject leaves every file that holds the marker alone; say which state it is in.
    where = place(located.marker_lines)
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


def run_update(args: "Namespace", result: Result) -> int:
    target = Target(args, result, needs_folder=True)
    target.read()
    rule = target.rule("there is nothing to install")
    located = target.locate(target.data, rule)
    if target.data is None or located.state == NOT_INSTALLED:
        return target.append(rule)
    data = target.data
    if located.state == INSTALLED:
        result.say(f"already up to date, marker on {place(located.marker_lines)} "
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


def run_uninstall(args: "Namespace", result: Result) -> int:
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


def run_status(args: "Namespace", result: Result) -> int:
    if args.all:
        return _status_all(args, result)
    if args.runtime is None:
        raise CommandError(USAGE, "the following arguments are required: RUNTIME (or --all); "
                           "see 'kestrix skills status --help'")
    target = Target(args, result)
    data = target.read()
    located = target.locate(data, purpose="its block cannot be checked")
    where = place(located.marker_lines) if located.marker_lines else ""
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


def _status_all(args: "Namespace", result: Result) -> int:
    """status of every runtime with a default folder: one line each, and in JSON one object
    each under "results". 0 when every file could be looked at, 1 otherwise."""
    if args.runtime is not None or args.skills_dir is not None or args.config_file is not None:
        raise CommandError(USAGE, "--all takes no RUNTIME, SKILLS_DIR or --config-file")
    results, code = [], OK
    for runtime in DEFAULT_RUNTIMES:
        one = Result()
        one.fields.update(command="status", runtime=runtime)
        try:
            one.fields["exit_code"] = run_status(type(args)(**{
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
