"""Shows the kestrix command installing, checking, updating and removing the rule on a
scratch folder."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

KESTRIX = Path(sys.executable).with_name("kestrix")


STATE: dict[str, str] = {}  # the record of written rules goes to the scratch folder too


def kestrix(*args: str) -> None:
    print(f"$ kestrix {' '.join(args)}")
    done = subprocess.run([str(KESTRIX), *args], capture_output=True, text=True,
                          env={**os.environ, **STATE})
    print(done.stdout + done.stderr + f"(exit {done.returncode})\n")


def main() -> int:
    scratch = Path(sys.argv[1] if len(sys.argv) > 1 else "build/demo").absolute()
    shutil.rmtree(scratch, ignore_errors=True)
    STATE["XDG_STATE_HOME"] = str(scratch / "state")
    skills = scratch / ".claude" / "skills"
    config = skills.parent / "CLAUDE.md"
    # An existing CLAUDE.md with the user's own text, to show that it is kept.
    skills.mkdir(parents=True)
    config.write_text("# My project\n\nUse tabs.\n", encoding="utf-8")
    before = config.read_bytes()

    kestrix("skills", "status", "claude", str(skills))
    kestrix("skills", "install", "claude", str(skills))
    print(f"----- {config} -----\n{config.read_text(encoding='utf-8')}-----\n")
    kestrix("skills", "install", "claude", str(skills))
    kestrix("skills", "status", "claude", str(skills), "--json")
    # Another tool appends its own section after the rule; it stays through every step.
    with config.open("a", encoding="utf-8") as file:
        file.write("\n## Another tool\n\nIts own text.\n")
    # A release with another rule: the block installed above is now an older release's.
    templates = scratch / "templates"
    (templates / "kestrix-feedback" / "data").mkdir(parents=True)
    (templates / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md").write_text(
        "## Feedback\n\nReport every failed kestrix call.\n", encoding="utf-8")
    newer = ("--templates", str(templates))
    kestrix("skills", "status", "claude", str(skills), *newer)
    kestrix("skills", "update", "claude", str(skills), *newer, "--dry-run")
    kestrix("skills", "update", "claude", str(skills), *newer)
    kestrix("skills", "uninstall", "claude", str(skills), *newer)
    print(f"----- {config} -----\n{config.read_text(encoding='utf-8')}-----\n")
    kept = config.read_bytes() == before + b"\n## Another tool\n\nIts own text.\n"
    print(f"{config} is {'back as it was, plus the other tool' if kept else 'CHANGED'}\n")
    kestrix("skills", "install", "CLAUDE", str(skills))
    return 0


if __name__ == "__main__":
    sys.exit(main())
