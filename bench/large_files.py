"""Large configuration files: the compiled module against the pure-Python one and the OS
floor, in wall clock, peak memory and instructions.

    python bench/large_files.py                  # wall clock and peak memory (make bench)
    python bench/large_files.py --instructions   # instructions under callgrind
    python bench/large_files.py --sizes 1 100    # other sizes, in MB

Two cases, each on a file of SIZE MB of ordinary Markdown lines:
- "marker present": the file already carries the marker, so inject only reads and tests
  it. Floor: open, read the whole file, close.
- "rewrite": the file has no marker, so inject appends the block. Floor: what any safe
  rewrite of that many bytes costs: write a new file, fsync it, rename it over, fsync the
  folder. The file was last changed a few seconds before, as a user's file has been.
- "rewrite, just changed": the same on a file written a moment before the
  call, for which the compiled module compares the bytes again under its lock.

Each measurement runs in a child process of its own, which builds its file in pieces (so
building it adds nothing to the peak), makes one call to warm the page cache and then times
ROUNDS calls; peak memory is the growth of the child's peak resident size over that call.
"""

import argparse
import json
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cases

CASES = ("marker present", "rewrite", "rewrite, just changed")
# The largest ratio to the OS floor aimed at, and the largest peak memory per file byte, for
# the 100 MB file.
FLOOR_TARGET = {"marker present": 1.5, "rewrite": 1.5}
MEMORY_TARGET = {"marker present": 1.1}
TARGET_SIZE_MB = 100
# A file last changed this long before it is read has settled: its timestamps alone tell
# the writer whether it changed since (see the module's write step). Users' files have.
SETTLE_SECONDS = 2.2
LINE = b"- a line of the user's own notes, in plain Markdown, nothing special\n"


def fill(path: Path, size: int, tail: bytes = b"", line: bytes = LINE) -> None:
    """`size` bytes of `line` repeated and then `tail`, written a megabyte at a time."""
    block = line * max(1, (1 << 20) // len(line))
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(block[:left])
            left -= len(block)
        f.write(tail)


def floor_read(path: str):
    def call():
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            os.read(fd, os.fstat(fd).st_size + 1)
        finally:
            os.close(fd)
    return call


def floor_rewrite(path: str, data_path: str):
    folder = os.path.dirname(path)

    def call():
        with open(data_path, "rb") as f:
            data = f.read()  # the floor's own input, read before the clock starts
        start = time.perf_counter()
        temporary = path + ".new"
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(temporary, path)
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        os.fsync(fd)
        os.close(fd)
        return time.perf_counter() - start
    return call


def prepare(root: Path, case: str, implementation: str, size: int):
    """The case's files under `root`: (the configuration file, its original content's file,
    the call to time)."""
    skills = root / ".claude" / "skills"
    skills.mkdir(parents=True)
    config = skills.parent / "CLAUDE.md"
    module = cases.load("compiled" if implementation == "floor" else implementation)
    marker = module.RULE_MARKER.encode()
    original = root / "original.md"
    fill(original, size, b"\n" + marker + b"\n" if case == "marker present" else b"")
    if implementation == "floor":
        call = floor_read(str(config)) if case == "marker present" else floor_rewrite(
            str(config), str(original))
    else:
        injector = module.RuleInjector(root / "templates")

        def call():
            injector.inject("claude", skills)
    return config, original, call


def child(case: str, implementation: str, size: int, rounds: int) -> dict:
    """One measurement, in this process; returns seconds (median) and peak growth."""
    root = Path(tempfile.mkdtemp(prefix="rule-injector-large-"))
    try:
        config, original, call = prepare(root, case, implementation, size)

        def reset():
            if case.startswith("rewrite") or not config.exists():
                shutil.copyfile(original, config)
                os.sync()  # the copy's own write-back must not land in the timed call
                if case == "rewrite":
                    time.sleep(SETTLE_SECONDS)

        times, peak = [], 0
        for number in range(rounds + 1):
            reset()
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            start = time.perf_counter()
            inner = call()
            seconds = inner if isinstance(inner, float) else time.perf_counter() - start
            after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            if number == 0:
                peak = (after - before) * 1024  # the first call sets the high-water mark
            else:
                times.append(seconds)
        return {"seconds": statistics.median(times), "peak": peak, "size": config.stat().st_size}
    finally:
        shutil.rmtree(root, ignore_errors=True)


def measure(size_mb: int, rounds: int) -> dict:
    results = {}
    me = [sys.executable, os.path.abspath(__file__)]
    for case in CASES:
        for implementation in ("compiled", "pure", "floor"):
            done = subprocess.run(me + ["--child", case, implementation, str(size_mb << 20),
                                        str(rounds)], check=True, capture_output=True, text=True)
            results[case, implementation] = json.loads(done.stdout)
    return results


def format_time(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms"


def wall_clock(sizes, rounds: int) -> None:
    for size_mb in sizes:
        results = measure(size_mb, rounds)
        print(f"\n{size_mb} MB configuration file, median of {rounds} calls")
        rows = []
        for case in CASES:
            compiled = results[case, "compiled"]["seconds"]
            rows.append((f"{case}: compiled / pure", compiled, results[case, "pure"]["seconds"], None))
            target = FLOOR_TARGET.get(case) if size_mb == TARGET_SIZE_MB else None
            rows.append((f"{case}: compiled / OS floor", compiled, results[case, "floor"]["seconds"],
                         target))
        cases.print_ratio_table(rows, format_time, 10, columns=("first", "second"))
        print(f"\n{'peak memory per file byte':<48} {'compiled':>10} {'pure':>10} {'floor':>10} {'target':>7}")
        for case in CASES:
            size = results[case, "compiled"]["size"]
            per_byte = {i: results[case, i]["peak"] / size for i in ("compiled", "pure", "floor")}
            target = MEMORY_TARGET.get(case) if size_mb == TARGET_SIZE_MB else None
            verdict = "" if target is None else ("ok" if per_byte["compiled"] <= target else "MISSED")
            limit = "" if target is None else f"<={target:.2f}"
            print(f"{case:<48} {per_byte['compiled']:>10.2f} {per_byte['pure']:>10.2f} "
                  f"{per_byte['floor']:>10.2f} {limit:>7} {verdict}".rstrip())


def instructions(sizes) -> None:
    """Instructions of one call, as the difference of a child making two calls and one making
    one: the first call pays what only a first call pays, in both."""
    me = [sys.executable, os.path.abspath(__file__), "--count"]
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    with tempfile.TemporaryDirectory(prefix="rule-injector-callgrind-") as out:
        def count(args) -> int:
            out_file = Path(out) / ("callgrind." + "-".join(args).replace(" ", "_") + ".out")
            subprocess.run(["valgrind", "--tool=callgrind", "--quiet",
                            f"--callgrind-out-file={out_file}", *me, *args],
                           check=True, env=env, stdout=subprocess.DEVNULL)
            total = re.search(r"^(?:summary|totals):\s+(\d+)", out_file.read_text(), re.MULTILINE)
            return int(total.group(1))

        for size_mb in sizes:
            print(f"\n{size_mb} MB configuration file, instructions of one call")
            rows = []
            for case in CASES[:2]:
                net = {}
                for implementation in ("compiled", "pure", "floor"):
                    args = [case, implementation, str(size_mb << 20)]
                    net[implementation] = count(args + ["2"]) - count(args + ["1"])
                rows.append((f"{case}: compiled / pure", net["compiled"], net["pure"], None))
                rows.append((f"{case}: compiled / OS floor", net["compiled"], net["floor"], None))
            cases.print_ratio_table(rows, lambda n: f"{n:,.0f}", 14, columns=("first", "second"))


def count_child(case: str, implementation: str, size: int, calls: int) -> None:
    """Under callgrind: build, then `calls` calls, each on the file as built."""
    root = Path(tempfile.mkdtemp(prefix="rule-injector-large-"))
    try:
        config, original, call = prepare(root, case, implementation, size)
        for _ in range(calls):
            shutil.copyfile(original, config)
            if case == "rewrite":
                time.sleep(SETTLE_SECONDS)
            call()
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100], help="file sizes in MB")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--count", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        case, implementation, size, rounds = args.child
        print(json.dumps(child(case, implementation, int(size), int(rounds))))
    elif args.count:
        case, implementation, size, calls = args.count
        count_child(case, implementation, int(size), int(calls))
    elif args.instructions:
        cases.describe_python()
        instructions(args.sizes)
    else:
        cases.describe_python()
        wall_clock(args.sizes, args.rounds)


if __name__ == "__main__":
    main()
