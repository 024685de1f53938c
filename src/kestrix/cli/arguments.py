"""The command line: the actions, and the plain reading of an ordinary command line of one,
which spares a run argparse (its import and its parser are a tenth of a status run); any
other command line, and help, go to argparse's parser (parser.py)."""

import types

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

    # What a parsed command line is: argparse's namespace, or the plain reading's.
    Namespace = argparse.Namespace | types.SimpleNamespace

ACTIONS = {
    "install": "append the feedback rule to the configuration file, once",
    "update": "install the feedback rule, or replace an older release's",
    "status": "tell whether the feedback rule is installed",
    "uninstall": "remove the feedback rule's block",
}

ARGV: "list[str] | None" = None  # the command line main() was given, for --version

# Options without values that every level takes (absent from the namespace unless given).
_EVERYWHERE = {"-q": "quiet", "--quiet": "quiet", "--json": "json", "--debug": "debug"}
_WITH_VALUE = {"--config-file": "config_file", "--templates": "templates"}


def _switches(action: str) -> dict[str, str]:
    """An action's own options without values (False unless given)."""
    switches = {"--all": "all"} if action == "status" else {"--dry-run": "dry_run"}
    if action in ("update", "uninstall"):
        switches["--force"] = "force"
    return switches


def options_of(argv: list[str]) -> list[str]:
    return argv[: argv.index("--")] if "--" in argv else argv


def action_named(argv: list[str]) -> str | None:
    """The action of `kestrix [options] skills [options] ACTION ...`, if it is one: only
    options without values may stand before it."""
    words = [word for word in options_of(argv) if not word.startswith("-")][:2]
    if len(words) == 2 and words[0] == "skills" and words[1] in ACTIONS:
        return words[1]
    return None


def read_plainly(argv: list[str]) -> "types.SimpleNamespace | None":
    """What argparse's parser makes of `skills ACTION [RUNTIME [SKILLS_DIR]]` with options
    written out in full (the last of a repeated one counts) and the positional words
    together; None for any other command line (help, `--`, `--option=value`, a value that
    begins with "-", words out of place, anything unknown), which argparse then reads."""
    given: dict[str, object] = {}
    group, action, words, words_ended = None, None, [], False
    at = 0
    while at < len(argv):
        word = argv[at]
        if word.startswith("-"):
            words_ended = bool(words)
            name = _EVERYWHERE.get(word)
            if name is None and action is not None:
                name = _switches(action).get(word) or _WITH_VALUE.get(word)
            if name is None:
                return None
            if word in _WITH_VALUE:
                at += 1
                if at == len(argv) or argv[at].startswith("-"):
                    return None
                given[name] = argv[at]
            else:
                given[name] = True
        elif group is None:
            if word != "skills":
                return None
            group = word
        elif action is None:
            if word not in ACTIONS:
                return None
            action = word
        elif words_ended or len(words) == 2:
            return None  # argparse takes positional words only as one run
        else:
            words.append(word)
        at += 1
    if action is None or (not words and action != "status"):
        return None
    switches = {name: False for name in _switches(action).values()}
    return types.SimpleNamespace(**{
        "command": action, "runtime": words[0] if words else None,
        "skills_dir": words[1] if len(words) > 1 else None, "config_file": None,
        "templates": None, **switches, **given})


def parse(argv: list[str]) -> "Namespace":
    """The command line: read plainly where it can be, else by argparse's parser."""
    plain = read_plainly(argv)
    if plain is not None:
        return plain
    from kestrix.cli import parser

    return parser.parse(argv)
