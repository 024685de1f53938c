"""Instruction counts under callgrind: the compiled module against its pure-Python equivalent
and the C floor.

    python bench/instructions.py                # every case, every implementation
    python bench/instructions.py --keep DIR     # keep the callgrind files for callgrind_annotate
    python bench/instructions.py --only 1 6     # some cases

Each case runs in its own process under `valgrind --tool=callgrind`, once with N calls and
once with none; both warm up first, so their difference divided by N is the cost of one call
without the interpreter's start-up. Case 8 counts whole `python -c "import ..."` runs.
Cases 1-7 also run the C floor (bench/floor), the same work in plain C on the CPython API.
A second table sets the compiled module's own file work against the bare os calls it needs.
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

# Largest compiled/pure ratio aimed at, per timed loop.
# Ratios compiled / pure of the instructions net of the calling loop; case 8's target is
# for the import work alone.
TARGETS = {"1": 0.5, "2": 0.5, "3": 0.5, "4": 0.6, "5": 0.03, "6": 0.06, "7": 0.10, "8": 1.05}
WARM_UP = 50
ENV = {**os.environ, "PYTHONHASHSEED": "0"}  # same dict layouts in every run


def run_case(loop_id: str, implementation: str, n: int) -> None:
    """The child: build the loop's files, warm up, then make `n` calls."""
    builder = cases.builder_of(loop_id)
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


def format_count(count: float) -> str:
    return f"{count:,.0f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--run", nargs=3, metavar=("LOOP", "IMPLEMENTATION", "N"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--keep", type=Path, help="keep the callgrind files in this folder")
    parser.add_argument("--only", type=int, nargs="+", help="case numbers to run")
    args = parser.parse_args()
    if args.run:
        run_case(args.run[0], args.run[1], int(args.run[2]))
        return

    with tempfile.TemporaryDirectory() as root:
        cases.check_equivalence(Path(root))
    cases.write_pure_byte_code()
    wanted = set(args.only or range(1, 9)) | {0}
    me = [sys.executable, os.path.abspath(__file__), "--run"]
    loops = [loop for loop in cases.timed_loops() if int(loop[0].rstrip("sf")) in wanted]
    jobs = []
    for loop_id, _, _, implementations, n in loops:
        for implementation in implementations:
            for calls in (0, n):
                jobs.append(((loop_id, implementation, calls),
                             me + [loop_id, implementation, str(calls)]))
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

    per_call = {(loop_id, i): (totals[loop_id, i, n] - totals[loop_id, i, 0]) / n
                for loop_id, _, _, implementations, n in loops for i in implementations}
    harness = per_call["0", "compiled"]
    # What the call itself costs: the calling loop is the same for both and left out.
    net = {key: count - harness for key, count in per_call.items()}
    rows = [(label, net[loop_id, "compiled"], net[loop_id, "pure"], TARGETS.get(loop_id),
             net.get((loop_id, cases.C_FLOOR)))
            for loop_id, label, _, implementations, _ in loops if "pure" in implementations]
    if 8 in wanted:
        rows.append((f"8. {cases.IMPORT_LABEL}", totals[8, "compiled"], totals[8, "pure"], None))
        # Each less what it imports before its own code runs: the compiled module lives in
        # the kestrix.skills.services package, whose import is neither module's cost.
        rows.append(("   same, less start-up + pathlib + packaging",
                     totals[8, "compiled"] - totals[8, "baseline-compiled"],
                     totals[8, "pure"] - totals[8, "baseline"], TARGETS["8"]))
    cases.describe_python()
    missed = cases.print_ratio_table(rows, format_count, 12,
                                     columns=("compiled", "pure", cases.C_FLOOR))
    print(f"\ninstructions per call net of the calling loop (case 8: per process); "
          f"{missed} target(s) missed\n"
          f"/pure = compiled / pure-Python (the targeted ratio); /C = compiled / the C floor\n")
    floors = [floor for floor in cases.OS_FLOORS if floor in wanted]
    if floors:
        cases.print_ratio_table(cases.floor_rows(net, floors), format_count, 12,
                                columns=("native", "OS floor"))
        print("\nratio = the compiled module on plain paths / the bare os calls that case needs")
    print(f"the calling loop, left out of every per-call figure: {harness:,.0f} per iteration")


if __name__ == "__main__":
    main()
