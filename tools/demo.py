"""Runs the rule injector's main job on a scratch folder and shows what it did."""

import shutil
import subprocess
import sys
from pathlib import Path


def host(*args: str) -> str:
    done = subprocess.run([sys.executable, "-m", "kestrix", "skills", "install", *args],
                          check=True, capture_output=True, text=True)
    return done.stdout.strip()


def main() -> int:
    scratch = Path(sys.argv[1] if len(sys.argv) > 1 else "build/demo")
    shutil.rmtree(scratch, ignore_errors=True)
    claude_skills = scratch / ".claude" / "skills"
    codex_skills = scratch / ".codex" / "skills"
    # An existing CLAUDE.md with the user's own text, to show that it is kept.
    claude_skills.parent.mkdir(parents=True)
    (claude_skills.parent / "CLAUDE.md").write_text("# My project\n\nUse tabs.\n", encoding="utf-8")

    for runtime, skills in (("claude", claude_skills), ("codex", codex_skills)):
        path = Path(host(runtime, str(skills)))
        print(f"$ python -m kestrix skills install {runtime} {skills}\n{path}")
        print(f"----- {path} -----\n{path.read_text(encoding='utf-8')}-----\n")

    path = claude_skills.parent / "CLAUDE.md"
    before = path.read_bytes()
    again = host("claude", str(claude_skills))
    print(f"again for claude: {again} ({'unchanged' if path.read_bytes() == before else 'CHANGED'})")
    print(f"unknown runtime:  {host('vscode', str(scratch / '.vscode' / 'skills'))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
