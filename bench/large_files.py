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

Then, on a 10 MB file whatever the sizes, one process that calls inject 20 times on a file
that holds the marker (nothing copied between calls): the median of calls 2..20 against the
floor's calls 2..20 in a process of its own, and the first call of each apart.
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
# One process, many calls on the same file that holds the marker: the file as built is read
# again by every call (nothing is copied between them).
REPEATED = "marker present, repeated"
REPEAT_SIZE_MB = 10
REPEAT_CALLS = 20
REPEAT_TARGET = 1.3  # calls 2..REPEAT_CALLS, median per call, against the floor's


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


def repeated_child(implementation: str, size: int, calls: int) -> dict:
    """`calls` calls in this process on one file that holds the marker, each timed: the
    first, and the median of the others."""
    root = Path(tempfile.mkdtemp(prefix="rule-injector-large-"))
    try:
        config, original, call = prepare(root, "marker present", implementation, size)
        shutil.copyfile(original, config)
        os.sync()  # the copy's own write-back must not land in a timed call
        times = []
        for _ in range(calls):
            start = time.perf_counter()
            call()
            times.append(time.perf_counter() - start)
        return {"first": times[0], "later": statistics.median(times[1:])}
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


def repeated_wall_clock() -> None:
    me = [sys.executable, os.path.abspath(__file__), "--repeat"]
    results = {}
    for implementation in ("compiled", "floor"):
        done = subprocess.run(me + [implementation, str(REPEAT_SIZE_MB << 20), str(REPEAT_CALLS)],
                              check=True, capture_output=True, text=True)
        results[implementation] = json.loads(done.stdout)
    print(f"\n{REPEAT_SIZE_MB} MB configuration file that holds the marker, one process calling "
          f"inject {REPEAT_CALLS} times")
    rows = [("first call", results["compiled"]["first"], results["floor"]["first"], None),
            (f"calls 2..{REPEAT_CALLS}, median per call", results["compiled"]["later"],
             results["floor"]["later"], REPEAT_TARGET)]
    cases.print_ratio_table(rows, lambda seconds: f"{seconds * 1e3:.2f} ms", 10,
                            columns=("compiled", "OS floor"))
    print("OS floor: os.open, os.fstat, os.read, os.close of the same file, as often")


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

        print(f"\n{REPEAT_SIZE_MB} MB configuration file that holds the marker, one process "
              f"calling inject {REPEAT_CALLS} times: instructions per call")
        per_call = {}
        for implementation in ("compiled", "floor"):
            args = [REPEATED, implementation, str(REPEAT_SIZE_MB << 20)]
            none, one, every = (count(args + [str(calls)]) for calls in (0, 1, REPEAT_CALLS))
            per_call[implementation] = (one - none, (every - one) / (REPEAT_CALLS - 1))
        rows = [("first call", per_call["compiled"][0], per_call["floor"][0], None),
                (f"calls 2..{REPEAT_CALLS}, per call", per_call["compiled"][1],
                 per_call["floor"][1], None)]
        cases.print_ratio_table(rows, lambda n: f"{n:,.0f}", 14, columns=("compiled", "OS floor"))


def count_child(case: str, implementation: str, size: int, calls: int) -> None:
    """Under callgrind: build, then `calls` calls, each on the file as built (REPEATED: the
    file is put in place once, before them)."""
    root = Path(tempfile.mkdtemp(prefix="rule-injector-large-"))
    repeated = case == REPEATED
    try:
        config, original, call = prepare(root, "marker present" if repeated else case,
                                         implementation, size)
        if repeated:
            shutil.copyfile(original, config)
        for _ in range(calls):
            if not repeated:
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
    parser.add_argument("--repeat", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        case, implementation, size, rounds = args.child
        print(json.dumps(child(case, implementation, int(size), int(rounds))))
    elif args.repeat:
        implementation, size, calls = args.repeat
        print(json.dumps(repeated_child(implementation, int(size), int(calls))))
    elif args.count:
        case, implementation, size, calls = args.count
        count_child(case, implementation, int(size), int(calls))
    elif args.instructions:
        cases.describe_python()
        instructions(args.sizes)
    else:
        cases.describe_python()
        wall_clock(args.sizes, args.rounds)
        repeated_wall_clock()


if __name__ == "__main__":
    main()
