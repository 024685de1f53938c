"""Where each agent's configuration file is: the skills folder given, the runtime's own
folder and the variables that move it, or --config-file."""

import os
from pathlib import Path

from kestrix.cli.codes import USAGE
from kestrix.cli.output import CommandError


TYPE_CHECKING = False
if TYPE_CHECKING:
    from kestrix.cli.arguments import Namespace


READ_INSTEAD = {"codex": "AGENTS.override.md"}


def absolute(path: str) -> str:
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


def config_file(args: "Namespace", runtime: str, name: str) -> Path:
    """The configuration file of this run: --config-file, else the one beside SKILLS_DIR,
    else the one beside the runtime's default skills folder."""
    if args.config_file is not None:
        if args.skills_dir is not None:
            raise CommandError(USAGE, "give SKILLS_DIR or --config-file, not both")
        if not args.config_file:
            raise CommandError(USAGE, "--config-file is empty")
        config = Path(absolute(args.config_file))
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
    skills_dir = Path(absolute(given))
    if skills_dir.name != "skills":
        # The file is beside the skills folder: a runtime's own folder given in its place
        # would put the file one level too high, where no agent reads it.
        hint = given.rstrip("/" + os.sep) + "/skills"
        raise CommandError(USAGE, f"SKILLS_DIR is the runtime's folder named skills; did you "
                           f"mean {hint}?", skills_dir)
    return skills_dir.parent / name
