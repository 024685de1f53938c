"""Install-inject-uninstall round trip of an installed kestrix wheel, run by the Python it is
installed for (on the wheel's own C library and processor):

    python roundtrip.py [KESTRIX]

imports the extension module, has RuleInjector append the rule to a CLAUDE.md that has text of
its own, checks the block is there once (also after a second inject), then runs the command's
`skills status` and `skills uninstall` and checks the file has its old bytes again. KESTRIX is
the command to run (default: the `kestrix` script beside this Python; `-m` runs
`python -m kestrix`). Prints what it ran on; exits non-zero on any difference.
"""

import os
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

from kestrix.skills.services import _safe_write, rule_injector
from kestrix.skills.services.rule_injector import RuleInjector

ORIGINAL = "# My notes\n\nKeep these lines as they are: ✓\n".encode()


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "-m":
        kestrix = [sys.executable, "-m", "kestrix"]
    else:
        kestrix = [sys.argv[1] if len(sys.argv) > 1 else
                   os.path.join(os.path.dirname(sys.executable), "kestrix")]
    libc = " ".join(platform.libc_ver()) or "no glibc"
    print(f"Python {platform.python_version()} on {platform.machine()} ({libc})")
    print(f"module: {rule_injector.__file__}")
    print(f"module: {_safe_write.__file__}")
    with tempfile.TemporaryDirectory() as tmp:
        skills = Path(tmp) / "home" / ".claude" / "skills"
        skills.mkdir(parents=True)
        config = skills.parent / "CLAUDE.md"
        config.write_bytes(ORIGINAL)

        for _ in range(2):
            where = RuleInjector().inject("claude", skills)
            assert where == config, where
            data = config.read_bytes()
            assert data.startswith(ORIGINAL), data[:200]
            assert data.count(rule_injector.RULE_MARKER.encode()) == 1, data
        print(f"inject: the block is in {config} once, after the old bytes")

        for action, expected in (("status", "installed, marker on"),
                                 ("uninstall", "removed the feedback rule")):
            done = subprocess.run(kestrix + ["skills", action, "claude", str(skills)],
                                  capture_output=True, text=True, timeout=120)
            assert done.returncode == 0 and done.stdout.startswith(expected), done
            print(f"kestrix skills {action}: {done.stdout.strip()}")
        assert config.read_bytes() == ORIGINAL, config.read_bytes()
        print("uninstall: the file has its old bytes again")
    print("round trip ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
