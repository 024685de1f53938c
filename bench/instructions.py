"""Instruction counts under callgrind: the compiled module against its pure-Python equivalent.

    python bench/instructions.py                # every case, both implementations
    python bench/instructions.py --keep DIR     # keep the callgrind files for callgrind_annotate
    python bench/instructions.py --only 1 6     # some cases

Each case runs in its own process under `valgrind --tool=callgrind`, once with N calls and
once with none; both warm up first, so their difference divided by N is the cost of one call
without the interpreter's start-up. Case 8 counts whole `python -c "import ..."` runs.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import cases

TARGETS = {1: 0.5, 2: 0.5, 3: 0.5, 4: 0.5, 5: 1.0, 6: 1.0, 7: 1.0, 8: 1.0}
WARM_UP = 50
ENV = {**os.environ, "PYTHONHASHSEED": "0"}  # same dict layouts in every run


def run_case(number: int, implementation: str, n: int) -> None:
    """The child: build the case, warm up, then make `n` calls."""
    (builder,) = [c[2] for c in [cases.EMPTY_LOOP, *cases.CASES] if c[0] == number]
    with tempfile.TemporaryDirectory(prefix="rule-injector-callgrind-") as root:
        loop = builder(cases.load(implementation), Path(root))
        loop(WARM_UP)
        loop(n)


def count(command: list[str], out_file: Path) -> int:
    """Instructions executed by `command` under callgrind."""
    subprocess.run(["valgrind", "--tool=callgrind", "--quiet",
                    f"--callgrind-out-file={out_file}", *command],
                   check=True, env=ENV, stdout=subprocess.DEVNULL)
    text = out_file.read_text()
    match = re.search(r"^(?:summary|totals):\s+(\d+)", text, re.MULTILINE)
    if match is None:
        raise SystemExit(f"no instruction total in {out_file}")
    return int(match.group(1))


def measure(jobs, out_dir: Path) -> dict:
    """Runs the (key, command) jobs two at a time; returns {key: instructions}."""
    def one(job):
        key, command = job
        name = "-".join(str(part) for part in key)
        return key, count(command, out_dir / f"callgrind.{name}.out")

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        return dict(pool.map(one, jobs))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--run", nargs=3, metavar=("CASE", "IMPLEMENTATION", "N"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--keep", type=Path, help="keep the callgrind files in this folder")
    parser.add_argument("--only", type=int, nargs="+", help="case numbers to run")
    args = parser.parse_args()
    if args.run:
        run_case(int(args.run[0]), args.run[1], int(args.run[2]))
        return

    with tempfile.TemporaryDirectory() as root:
        cases.check_equivalence(Path(root))
    cases.load("pure")  # byte code for case 8
    wanted = set(args.only or range(1, 9))
    me = [sys.executable, os.path.abspath(__file__), "--run"]
    bare = cases.EMPTY_LOOP
    jobs = [((0, "compiled", calls), me + ["0", "compiled", str(calls)]) for calls in (0, bare[3])]
    for number, _, _, n in cases.CASES:
        if number in wanted:
            for implementation in cases.IMPLEMENTATIONS:
                for calls in (0, n):
                    jobs.append(((number, implementation, calls),
                                 me + [str(number), implementation, str(calls)]))
    if 8 in wanted:
        for which, statement in cases.IMPORT_STATEMENTS.items():
            jobs.append(((8, which), [sys.executable, "-c", statement]))

    out_dir = args.keep or Path(tempfile.mkdtemp(prefix="rule-injector-callgrind-"))
    out_dir.mkdir(parents=True, exist_ok=True)
    try:
        totals = measure(jobs, out_dir)
    finally:
        if args.keep is None:
            for f in out_dir.iterdir():
                f.unlink()
            out_dir.rmdir()

    rows = []
    for number, label, _, n in cases.CASES:
        if number in wanted:
            per_call = {i: (totals[number, i, n] - totals[number, i, 0]) / n
                        for i in cases.IMPLEMENTATIONS}
            rows.append((f"{number}. {label}", per_call["compiled"], per_call["pure"],
                         TARGETS[number]))
    if 8 in wanted:
        rows.append((f"8. {cases.IMPORT_LABEL}", totals[8, "compiled"], totals[8, "pure"],
                     TARGETS[8]))
        base = totals[8, "baseline"]
        rows.append(("   same, less start-up + pathlib + packaging",
                     totals[8, "compiled"] - base, totals[8, "pure"] - base, None))
    missed = cases.print_ratio_table(rows, lambda count: f"{count:,.0f}", 12)
    loop = (totals[0, "compiled", bare[3]] - totals[0, "compiled", 0]) / bare[3]
    print(f"\ninstructions per call (case 8: per process); ratio = compiled / pure-Python; "
          f"{missed} target(s) missed")
    print(f"every per-call figure includes the calling loop itself: {loop:,.0f} per iteration")


if __name__ == "__main__":
    main()
