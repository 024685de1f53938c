"""The `kestrix` command as people run it: whole processes, against `import pathlib` and
against the module's own inject on the same file.

    python bench/command.py                  # wall clock and peak memory (make bench)
    python bench/command.py --instructions   # the small-file rows in instructions (callgrind)
    python bench/command.py --size 10        # the large-file rows on 10 MB instead of 100

Three tables, each a ratio with its target:
- a 4 KB file that holds today's block: `install`, `update` and `status` against an
  interpreter that only imports pathlib, and `--version` against `status` (interleaved
  runs, medians);
- a 100 MB file of ordinary lines: every action and dry run against the module's own
  inject on the same file in the same run (a process that imports the module and calls
  inject once), with peak memory per file byte (the growth of the process's peak resident
  size over a run on a tiny file);
- files that made the command quadratic once: `status` on 2 MB of marker lines and
  `uninstall --dry-run` on 4 MB of repeating lines, in seconds against 1 s.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cases
from large_files import fill as fill_lines

KESTRIX = str(Path(sys.executable).with_name("kestrix"))
BASELINE = [sys.executable, "-c", "import pathlib"]
LINE = b"- a line of the user's own notes, in plain Markdown, nothing special\n"
SMALL_TARGETS = {"install": 1.5, "update": 1.5, "status": 1.3}
LARGE_RUNTIME_TARGET = {"install": 2.0}  # every other action and dry run: 3.0
LARGE_MEMORY_TARGET = 1.5
LINEAR_TARGET_SECONDS = 1.0


def run(command, env=None) -> tuple[float, int]:
    """Wall time and peak resident size (bytes) of one process."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=env)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    return seconds, usage.ru_maxrss * 1024


def the_block() -> bytes:
    from kestrix.skills.services import rule_injector as ri
    from kestrix.skills.services.rule_block import block

    return block(ri._DEFAULT_RULE_CONTENT.strip(), False)


def fill(path: Path, size: int, line: bytes = LINE, tail: bytes = b"") -> None:
    fill_lines(path, size, tail, line)


def small_files(root: Path, runs: int) -> None:
    skills = root / "small" / ".claude" / "skills"
    skills.parent.mkdir(parents=True)
    fill(skills.parent / "CLAUDE.md", 4096, tail=the_block())
    env = {**os.environ, "XDG_STATE_HOME": str(root / "state")}
    commands = {action: [KESTRIX, "skills", action, "claude", str(skills), "-q"]
                for action in ("install", "update", "status")}
    commands["--version"] = [KESTRIX, "--version"]
    commands["baseline"] = BASELINE
    seen = {which: [] for which in commands}
    for _ in range(runs):
        for which, command in commands.items():  # interleaved: drift hits all alike
            seen[which].append(run(command, env)[0])
    median = {which: statistics.median(times) for which, times in seen.items()}
    rows = [(f"{action}, 4 KB file with the block / import pathlib", median[action],
             median["baseline"], SMALL_TARGETS[action]) for action in SMALL_TARGETS]
    rows.append(("--version / status", median["--version"], median["status"], 1.0))
    print(f"\nwhole processes, medians of {runs} interleaved runs")
    cases.print_ratio_table(rows, lambda s: f"{s * 1e3:.1f} ms", 10, columns=("kestrix", "against"))


LARGE_CASES = {
    # name: (action and options, the file holds the block before the run)
    "install": (["install"], False),
    "install --dry-run": (["install", "--dry-run"], False),
    "status": (["status"], True),
    "update (no-op)": (["update"], True),
    "update --dry-run": (["update", "--dry-run"], True),
    "uninstall": (["uninstall"], True),
    "uninstall --dry-run": (["uninstall", "--dry-run"], True),
}


def large_files(root: Path, size_mb: int, rounds: int) -> None:
    skills = root / "large" / ".claude" / "skills"
    skills.parent.mkdir(parents=True)
    config = skills.parent / "CLAUDE.md"
    plain, with_block = root / "plain.md", root / "with-block.md"
    fill(plain, size_mb << 20)
    fill(with_block, size_mb << 20, tail=the_block())
    env = {**os.environ, "XDG_STATE_HOME": str(root / "state")}
    inject = [sys.executable, "-c", "import sys, pathlib; from kestrix.skills.services."
              "rule_injector import RuleInjector as R; R().inject('claude', pathlib.Path("
              "sys.argv[1]))", str(skills)]
    tiny = root / "tiny" / ".claude" / "skills"
    tiny.parent.mkdir(parents=True)
    (tiny.parent / "CLAUDE.md").write_bytes(b"# Mine\n")
    floor = min(run([KESTRIX, "skills", "status", "claude", str(tiny)], env)[1]
                for _ in range(3))
    seen = {name: ([], []) for name in ["inject", *LARGE_CASES]}
    for _ in range(rounds):
        for name in seen:
            args, has_block = LARGE_CASES.get(name, ([], False))
            shutil.copyfile(with_block if has_block else plain, config)
            os.sync()  # the copy's write-back must not land in the timed run
            command = inject if name == "inject" else [
                KESTRIX, "skills", args[0], "claude", str(skills), *args[1:], "-q"]
            seconds, peak = run(command, env)
            seen[name][0].append(seconds)
            seen[name][1].append(peak)
    inject_time = statistics.median(seen["inject"][0])
    size = size_mb << 20
    print(f"\n{size_mb} MB file, medians of {rounds} runs, against the module's inject")
    rows = [(f"{name} / inject", statistics.median(seen[name][0]), inject_time,
             LARGE_RUNTIME_TARGET.get(name, 3.0)) for name in LARGE_CASES]
    cases.print_ratio_table(rows, lambda s: f"{s * 1e3:.0f} ms", 10,
                            columns=("kestrix", "inject"))
    print(f"\n{'peak memory per file byte':<48} {'kestrix':>10} {'target':>7}")
    for name in seen:
        per_byte = (max(seen[name][1]) - floor) / size
        verdict = "" if name == "inject" else (
            "ok" if per_byte <= LARGE_MEMORY_TARGET else "MISSED")
        limit = "" if name == "inject" else f"<={LARGE_MEMORY_TARGET:.2f}"
        print(f"{name:<48} {per_byte:>10.2f} {limit:>7} {verdict}".rstrip())


def linear(root: Path) -> None:
    from kestrix.skills.services.rule_block import MARKER

    env = {**os.environ, "XDG_STATE_HOME": str(root / "state")}
    rows = []
    for name, line, size, action in (
            ("status, 2 MB of marker lines", MARKER + b"\n", 2 << 20, ["status"]),
            ("uninstall --dry-run, 4 MB of repeating lines", b"same\n", 4 << 20,
             ["uninstall", "--dry-run"])):
        skills = root / name.split(",")[0] / ".claude" / "skills"
        skills.parent.mkdir(parents=True)
        fill(skills.parent / "CLAUDE.md", size, line, b"" if line.startswith(MARKER)
             else the_block() + b"same\n" * 1000)
        seconds = statistics.median(
            run([KESTRIX, "skills", *action[:1], "claude", str(skills), *action[1:], "-q"],
                env)[0] for _ in range(3))
        rows.append((name, seconds, LINEAR_TARGET_SECONDS))
    print(f"\n{'files that were quadratic once':<48} {'seconds':>10} {'target':>7}")
    for name, seconds, target in rows:
        verdict = "ok" if seconds < target else "MISSED"
        print(f"{name:<48} {seconds:>10.3f} {f'<{target:.0f} s':>7} {verdict}")


def instructions(root: Path) -> None:
    """The small-file rows as instruction counts of whole processes under callgrind."""
    skills = root / "small" / ".claude" / "skills"
    skills.parent.mkdir(parents=True)
    fill(skills.parent / "CLAUDE.md", 4096, tail=the_block())
    env = {**os.environ, "XDG_STATE_HOME": str(root / "state"), "PYTHONHASHSEED": "0"}

    def count(command) -> int:
        out = root / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}",
                        *command], check=True, env=env, stdout=subprocess.DEVNULL)
        total = re.search(r"^(?:summary|totals):\s+(\d+)", out.read_text(), re.MULTILINE)
        return int(total.group(1))

    base = count(BASELINE)
    counts = {action: count([KESTRIX, "skills", action, "claude", str(skills), "-q"])
              for action in SMALL_TARGETS}
    counts["--version"] = count([KESTRIX, "--version"])
    rows = [(f"{action}, 4 KB file with the block / import pathlib", counts[action], base,
             SMALL_TARGETS[action]) for action in SMALL_TARGETS]
    rows.append(("--version / status", counts["--version"], counts["status"], 1.0))
    print("\nwhole processes, instructions (callgrind)")
    cases.print_ratio_table(rows, lambda n: f"{n / 1e6:,.0f} M", 10,
                            columns=("kestrix", "against"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=100, help="the large file's size in MB")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each large-file case")
    parser.add_argument("--runs", type=int, default=30, help="runs of each small-file case")
    parser.add_argument("--instructions", action="store_true")
    args = parser.parse_args()
    root = Path(tempfile.mkdtemp(prefix="kestrix-command-bench-"))
    try:
        cases.describe_python()
        if args.instructions:
            instructions(root)
            return
        small_files(root, args.runs)
        large_files(root, args.size, args.rounds)
        linear(root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
