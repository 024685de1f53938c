"""Wall-clock benchmarks: the compiled module against its pure-Python equivalent and the C
floor (bench/floor).

    python bench/run.py --fast            # what `make bench` runs
    python bench/run.py -o results.json   # any other pyperf option works too

pyperf runs every case for each implementation in worker processes, then this script
prints: median time per call, the compiled/pure ratio and its target, and for cases 1-7 the
compiled/C ratio (this machine's jitter makes medians steadier than means); then the
compiled module's own file work against the bare OS calls it needs; then the whole `kestrix
skills status` process against an interpreter that only imports pathlib.
"""

import atexit
import shutil
import sys
import tempfile
from pathlib import Path

import pyperf

import cases

# Largest compiled/pure ratio aimed at, per timed loop. Case 7 has none: the compiled
# module flushes the new file and its folder to disk (two fsyncs) and the pure one does not.
TARGETS = {"1": 0.5, "2": 0.5, "3": 0.5, "4": 0.5, "5": 0.25, "6": 0.25, "8": 1.0, "9": 1.3}


def scratch_dir() -> Path:
    """A private temporary folder, removed when the process ends."""
    path = Path(tempfile.mkdtemp(prefix="rule-injector-bench-"))
    atexit.register(shutil.rmtree, path, True)
    return path


def timer(builder, implementation: str):
    """A pyperf time function that builds its files on first use (in the worker only)."""
    state = {}

    def time_func(loops: int) -> float:
        if "loop" not in state:
            state["loop"] = builder(cases.load(implementation), scratch_dir())
        loop = state["loop"]
        start = pyperf.perf_counter()
        loop(loops)
        return pyperf.perf_counter() - start
    return time_func


def timed_imports(runs: int = 40) -> dict:
    """Median time of the import statement alone, as each of `runs` fresh interpreters
    measured it (the two implementations alternate). pyperf would calibrate loops on the
    short measured time and start hundreds of interpreters per value, so this is plain."""
    import statistics
    import subprocess

    seen = {which: [] for which in cases.TIMED_IMPORT}
    for _ in range(runs):
        for which, statement in cases.TIMED_IMPORT.items():
            done = subprocess.run([sys.executable, "-c", statement], check=True,
                                  capture_output=True, text=True)
            seen[which].append(float(done.stdout))
    return {which: statistics.median(times) for which, times in seen.items()}


def timed_processes(commands: dict, runs: int = 40) -> dict:
    """Median wall time of each command's whole process, start to exit, over `runs` runs
    that alternate between the commands: the machine's load drifts less between neighbours
    than between pyperf's blocks of runs of one command."""
    import statistics
    import subprocess

    seen = {which: [] for which in commands}
    for _ in range(runs):
        for which, command in commands.items():
            start = pyperf.perf_counter()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            seen[which].append(pyperf.perf_counter() - start)
    return {which: statistics.median(times) for which, times in seen.items()}


def format_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds / 1e-9:.0f} ns"


def print_tables(rows, floors, processes) -> None:
    print()
    cases.describe_python()
    missed = cases.print_ratio_table(rows, format_time, 10,
                                     columns=("compiled", "pure", cases.C_FLOOR))
    print(f"\n/pure = compiled time / pure-Python time (the targeted ratio); "
          f"/C = compiled time / the C floor's; {missed} target(s) missed")
    print("case 7's compiled time includes two fsyncs per call (new file, folder); "
          "the pure and C ones have none\n")
    cases.print_ratio_table(floors, format_time, 10, columns=("native", "OS floor"))
    print("\nratio = the compiled module on plain paths / the bare os calls that case needs\n")
    cases.print_ratio_table(processes, format_time, 10, columns=("kestrix", "baseline"))
    print(f"\nratio = the whole kestrix process / {cases.WHOLE_PROCESS_BASELINE}, interleaved runs")


def main() -> None:
    runner = pyperf.Runner()
    args = runner.parse_args()
    if not args.worker:
        cases.check_equivalence(scratch_dir())
        cases.write_pure_byte_code()

    results = {}
    compared = []  # (loop id, label) of the loops compiled and pure both run
    for loop_id, label, builder, implementations, _ in cases.timed_loops():
        for implementation in implementations:
            results[loop_id, implementation] = runner.bench_time_func(
                f"{label} [{implementation}]", timer(builder, implementation))
        if "pure" in implementations:
            compared.append((loop_id, label))
    for which, statement in cases.IMPORT_STATEMENTS.items():
        if which != "baseline":
            results["8", which] = runner.bench_command(
                f"8. {cases.IMPORT_LABEL} [{which}]", [sys.executable, "-c", statement])

    if args.worker or any(result is None for result in results.values()):
        return
    median = {key: result.median() for key, result in results.items()}
    rows = [(label, median[loop_id, "compiled"], median[loop_id, "pure"], TARGETS.get(loop_id),
             median.get((loop_id, cases.C_FLOOR))) for loop_id, label in compared]
    rows.append((f"8. {cases.IMPORT_LABEL}", median["8", "compiled"], median["8", "pure"],
                 TARGETS["8"]))
    alone = timed_imports()
    rows.append((cases.TIMED_IMPORT_LABEL, alone["compiled"], alone["pure"], TARGETS["8"]))
    commands = cases.whole_process_commands(scratch_dir())
    whole = timed_processes(commands)
    processes = [(cases.WHOLE_PROCESS_LABEL, whole["kestrix"], whole["baseline"], TARGETS["9"])]
    print_tables(rows, cases.floor_rows(median), processes)
    print(f"every time per call includes the calling loop itself: "
          f"{format_time(median['0', 'compiled'])} per iteration")


if __name__ == "__main__":
    main()
