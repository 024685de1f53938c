"""A tiny host command: `python -m kestrix skills install RUNTIME SKILLS_DIR`.

It installs nothing but the feedback rule, which is what the rule injector does.
"""

import argparse
import sys
from pathlib import Path


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="kestrix")
    commands = parser.add_subparsers(dest="group", required=True)
    skills = commands.add_parser("skills").add_subparsers(dest="command", required=True)
    install = skills.add_parser("install", help="add the feedback rule for a runtime")
    install.add_argument("runtime", help='agent runtime, e.g. "claude" or "codex"')
    install.add_argument("skills_dir", type=Path, help="the runtime's skills directory")
    install.add_argument("--templates", type=Path, default=None, help="skill templates root")
    args = parser.parse_args(argv)

    from kestrix.skills.services.rule_injector import RuleInjector

    config_path = RuleInjector(args.templates).inject(args.runtime, args.skills_dir)
    if config_path is None:
        print(f"skipped: no configuration file for runtime {args.runtime!r}")
    else:
        print(config_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
