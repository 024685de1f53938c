"""The benchmark cases, shared by the wall-clock run (run.py) and the instruction counts
(instructions.py).

A case builds its files under `root` for one implementation and returns `loop(n)`, which
makes the call `n` times. Everything a loop needs is bound as a default argument, so both
implementations pay the same (fast-local) price for reaching it.
"""

import os
import sys
from pathlib import Path

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)

COMPILED_MODULE = "kestrix.skills.services.rule_injector"
PURE_MODULE = "pure_rule_injector"
IMPLEMENTATIONS = ("compiled", "pure")
# The C floor (bench/floor): the same work in the plainest C on the CPython API, run on the
# cases of CASES with plain paths only.
C_FLOOR = "C"
UNKNOWN = "vscode"


def write_pure_byte_code() -> None:
    """Case 8 imports the pure module from its cached byte code, as an installed module is;
    written here even where PYTHONDONTWRITEBYTECODE is set."""
    import py_compile

    py_compile.compile(os.path.join(BENCH_DIR, PURE_MODULE + ".py"), doraise=True)


def load(implementation: str):
    """The module object of one implementation (the OS floors build their files with the
    compiled one)."""
    import importlib

    if implementation == C_FLOOR:
        import floor

        return floor.load()
    return importlib.import_module(PURE_MODULE if implementation == "pure" else COMPILED_MODULE)


class SubclassPath(type(Path())):
    """A trivial subclass of the concrete path type: the compiled module does the file work
    of plain paths itself, and goes through the methods of any other path object."""


def with_subclass_paths(builder):
    """The case with every path object made of SubclassPath."""
    def build(module, root):
        return builder(module, SubclassPath(root))
    return build


def _tree(module, root: Path):
    """An injector over a templates root without a rule file, and a `.claude/skills` folder."""
    templates = root / "templates"
    templates.mkdir(parents=True, exist_ok=True)
    skills = root / "project" / ".claude" / "skills"
    skills.mkdir(parents=True, exist_ok=True)
    return module.RuleInjector(templates), templates, skills


def unknown_positional(module, root):
    injector, _, skills = _tree(module, root)

    # The method is looked up on every call, as a host does.
    def loop(n, injector=injector, skills=skills):
        for _ in range(n):
            injector.inject(UNKNOWN, skills)
    return loop


def unknown_keywords(module, root):
    injector, _, skills = _tree(module, root)

    def loop(n, injector=injector, skills=skills):
        for _ in range(n):
            injector.inject(target_runtime=UNKNOWN, target_skills_dir=skills)
    return loop


def unknown_through_class(module, root):
    injector, _, skills = _tree(module, root)

    def loop(n, cls=module.RuleInjector, injector=injector, skills=skills):
        for _ in range(n):
            cls.inject(injector, UNKNOWN, skills)
    return loop


def construct(module, root):
    _, templates, _ = _tree(module, root)

    def loop(n, cls=module.RuleInjector, templates=templates):
        for _ in range(n):
            cls(templates_dir=templates)
    return loop


def builtin_rule(module, root):
    injector, _, _ = _tree(module, root)

    def loop(n, injector=injector):
        for _ in range(n):
            injector._load_rule_content()
    return loop


def marker_present(module, root):
    injector, _, skills = _tree(module, root)
    config = skills.parent / "CLAUDE.md"
    config.write_text("# Project notes\n\n" + module.RULE_MARKER + "\n\nrule\n", encoding="utf-8")

    def loop(n, injector=injector, skills=skills):
        for _ in range(n):
            injector.inject("claude", skills)
    return loop


def write_new_file(module, root):
    injector, _, skills = _tree(module, root)
    config = str(skills.parent / "CLAUDE.md")

    def loop(n, injector=injector, skills=skills, unlink=os.unlink, config=config):
        for _ in range(n):
            injector.inject("claude", skills)
            unlink(config)
    return loop


def builtin_rule_floor(module, root):
    """The OS work of case 5: os.stat failing on the missing rule file."""
    _, templates, _ = _tree(module, root)
    rule_file = os.fspath(templates / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md")

    def loop(n, stat=os.stat, missing=FileNotFoundError, rule_file=rule_file):
        for _ in range(n):
            try:
                stat(rule_file)
            except missing:
                pass
    return loop


def marker_present_floor(module, root):
    """The OS work of case 6: stat, open, read the whole file, close."""
    marker_present(module, root)
    config = os.fspath(root / "project" / ".claude" / "CLAUDE.md")
    size = os.stat(config).st_size + 1  # one read reaches the end

    def loop(n, stat=os.stat, open=os.open, read=os.read, close=os.close, config=config,
             flags=os.O_RDONLY | os.O_CLOEXEC, size=size):
        for _ in range(n):
            stat(config)
            fd = open(config, flags)
            read(fd, size)
            close(fd)
    return loop


def empty_loop(module, root):
    """The loop the cases run in, without a call: included in every case's time."""
    def loop(n):
        for _ in range(n):
            pass
    return loop


EMPTY_LOOP = (0, "the bare loop, per iteration", empty_loop, 20000)

# (number, label, builder, iterations for the instruction count)
CASES = [
    (1, "inject, unknown runtime, positional", unknown_positional, 20000),
    (2, "inject, unknown runtime, keywords", unknown_keywords, 20000),
    (3, "inject through the class, self explicit", unknown_through_class, 20000),
    (4, "RuleInjector(templates_dir=...)", construct, 20000),
    (5, "_load_rule_content, no template file", builtin_rule, 2000),
    (6, "inject, file already has the marker", marker_present, 1000),
    (7, "inject, writes a new file", write_new_file, 500),
]

# Cases also run with paths of a SubclassPath (id "<n>s"), and the OS floors of cases
# (id "<n>f", timed once, as "floor"): (label, builder).
SUBCLASS_CASES = (5, 6, 7)
SUBCLASS_LABEL = "same, paths of a trivial PosixPath subclass"
OS_FLOORS = {
    5: ("OS floor: os.stat failing", builtin_rule_floor),
    6: ("OS floor: os.stat, os.open, os.read, os.close", marker_present_floor),
}
FLOOR = "floor"


def timed_loops():
    """Every loop the runners time, in table order, as (id, label, builder, implementations,
    iterations for the instruction count); the id of one of the eight cases is its number."""
    number, label, builder, n = EMPTY_LOOP
    yield str(number), f"{number}. {label}", builder, ("compiled",), n
    for number, label, builder, n in CASES:
        yield str(number), f"{number}. {label}", builder, IMPLEMENTATIONS + (C_FLOOR,), n
        if number in SUBCLASS_CASES:
            yield (f"{number}s", f"{number}s. {SUBCLASS_LABEL}", with_subclass_paths(builder),
                   IMPLEMENTATIONS, n)
        if number in OS_FLOORS:
            floor_label, floor_builder = OS_FLOORS[number]
            yield f"{number}f", f"{number}f. {floor_label}", floor_builder, (FLOOR,), n


def builder_of(loop_id: str):
    """The builder of one timed loop."""
    (builder,) = [loop[2] for loop in timed_loops() if loop[0] == loop_id]
    return builder


# Case 8 runs in fresh interpreters: the statement each one executes, after putting bench/
# on sys.path for both (so both pay for it). The baseline imports what both modules import.
IMPORT_PRELUDE = f"import sys; sys.path.insert(0, {BENCH_DIR!r}); "
IMPORT_STATEMENTS = {
    "compiled": IMPORT_PRELUDE + f"import {COMPILED_MODULE}",
    "pure": IMPORT_PRELUDE + f"import {PURE_MODULE}",
    "baseline": IMPORT_PRELUDE + "import pathlib, kestrix.skills.packaging",
    "baseline-compiled": IMPORT_PRELUDE + "import pathlib, kestrix.skills.packaging, "
                         "kestrix.skills.services",
}
IMPORT_LABEL = "import in a fresh interpreter"

# The import statement alone, timed inside a fresh interpreter that has already loaded
# what both modules import (and the package the compiled one lives in): the module's own
# loading cost, without start-up and exit.
TIMED_IMPORT = {
    which: IMPORT_PRELUDE + "import pathlib, kestrix.skills.packaging, kestrix.skills.services, "
    "time; "
    f"start = time.perf_counter(); import {module}; print(time.perf_counter() - start)"
    for which, module in (("compiled", COMPILED_MODULE), ("pure", PURE_MODULE))
}
TIMED_IMPORT_LABEL = "   the import statement alone, deps loaded"


# Case 9 times whole processes: `kestrix skills status` on a file that holds the block,
# against an interpreter that only imports pathlib (what any Python command pays to start).
WHOLE_PROCESS_LABEL = "9. kestrix skills status, whole process"
WHOLE_PROCESS_BASELINE = "python -c 'import pathlib'"


def whole_process_commands(root: Path) -> dict:
    """The two command lines of case 9, with the status command's file installed and the
    package's byte code current, as pip leaves it (where PYTHONDONTWRITEBYTECODE is set, a
    module edited since the install would be compiled on every run)."""
    import compileall

    import kestrix

    compileall.compile_dir(os.path.dirname(kestrix.__file__), quiet=1)
    skills = root / "whole-process" / ".claude" / "skills"
    skills.mkdir(parents=True)
    load("compiled").RuleInjector().inject("claude", skills)
    kestrix = Path(sys.executable).with_name("kestrix")
    return {"kestrix": [str(kestrix), "skills", "status", "claude", str(skills)],
            "baseline": [sys.executable, "-c", "import pathlib"]}


# The configuration file as each check starts it: missing (case 7), without the marker, and
# case 6's file that holds it; on each, inject is called twice.
START_FILES = (None, "# Project notes\n", "# Project notes\n\n{marker}\n\nrule\n")

# Where the C floor may part from the compiled module by design (see its source), each run
# on both and reported, not failed on: (label, the file's starting bytes, the skills
# folder given as a str).
FLOOR_PROBES = (
    ("a CRLF file without the marker", b"# Project notes\r\n", False),
    ("the marker in a file that is not UTF-8", b"\xff\n\n{marker}\n", False),
    ("the skills folder given as a str", None, True),
)


def check_equivalence(root: Path) -> None:
    """Fails unless the implementations give the same results and file bytes for the calls
    the cases make: compiled and pure on plain and on SubclassPath paths, the C floor on
    plain paths, its str results compared as str (so the timings compare like with like);
    and unless the compiled module reads the file itself for plain paths only (so the rows
    measure the route they name). Then prints where the C floor and the compiled module
    part beyond the cases' files."""
    seen, returned = {}, {}
    for implementation in IMPLEMENTATIONS + (C_FLOOR,):
        module = load(implementation)
        for path_type in (Path,) if implementation == C_FLOOR else (Path, SubclassPath):
            injector, _, skills = _tree(module, path_type(root, implementation, path_type.__name__))
            config = skills.parent / "CLAUDE.md"
            results = [injector.inject(UNKNOWN, skills), injector._load_rule_content(),
                       vars(module.RuleInjector(templates_dir="t"))]
            types = set()
            for start in START_FILES:
                if start is None:
                    config.unlink(missing_ok=True)
                else:
                    config.write_text(start.format(marker=module.RULE_MARKER), encoding="utf-8")
                for _ in range(2):
                    result = injector.inject("claude", skills)
                    types.add(type(result))
                    results.append((str(result) == str(config), config.read_bytes()))
            seen[implementation, path_type], returned[implementation, path_type] = results, types
            if implementation == "compiled":
                called = pathlib_functions_called(lambda: injector.inject("claude", skills))
                if ("read_text" in called) != (path_type is SubclassPath):
                    raise SystemExit(f"{path_type.__name__} paths took the wrong route: "
                                     f"pathlib functions called {sorted(called)}")
    pairs = [("pure", path_type) for path_type in (Path, SubclassPath)] + [(C_FLOOR, Path)]
    for other, path_type in pairs:
        ours, theirs = seen["compiled", path_type], seen[other, path_type]
        if ours != theirs or (other != C_FLOOR and returned["compiled", path_type]
                              != returned[other, path_type]):
            raise SystemExit(f"compiled and {other} differ on {path_type.__name__} paths:\n"
                             f"{ours!r} {returned['compiled', path_type]}\n"
                             f"{theirs!r} {returned[other, path_type]}")
    names = {which: "/".join(sorted(t.__name__ for t in returned[which, Path]))
             for which in ("compiled", C_FLOOR)}
    print("the C floor against the compiled module, beyond the cases' files (not timed):")
    print(f"  returns {names[C_FLOOR]} where the compiled module returns {names['compiled']}")
    for number, (label, start, as_str) in enumerate(FLOOR_PROBES):
        outcomes = [_probe(load(which), root / "probes" / str(number) / which, start, as_str)
                    for which in ("compiled", C_FLOOR)]
        print(f"  {label}: {_difference(*outcomes)}")


def _probe(module, root: Path, start, as_str: bool):
    """(what inject did, the file's bytes after) for one of FLOOR_PROBES."""
    injector, _, skills = _tree(module, root)
    config = skills.parent / "CLAUDE.md"
    if start is not None:
        config.write_bytes(start.replace(b"{marker}", module.RULE_MARKER.encode()))
    try:
        result = injector.inject("claude", str(skills) if as_str else skills)
    except Exception as error:
        did = f"raises {type(error).__name__}"
    else:
        did = "returns the file's path" if str(result) == str(config) else f"returns {result!r}"
    return did, config.read_bytes() if config.exists() else b""


def _difference(compiled, floor) -> str:
    if compiled[0] != floor[0]:
        return f"compiled {compiled[0]}, C {floor[0]}"
    ours, theirs = compiled[1], floor[1]
    if ours == theirs:
        return "same"
    at = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b),
              min(len(ours), len(theirs)))
    return f"file bytes part at byte {at}: compiled {ours[at:at + 12]!r}, C {theirs[at:at + 12]!r}"


def pathlib_functions_called(call) -> set:
    """The names of the Python functions from pathlib's modules that `call()` runs."""
    import pathlib

    folder = os.path.dirname(pathlib.__file__)
    called = set()

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(folder):
            called.add(frame.f_code.co_name)
    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return called


def describe_python() -> None:
    """One line naming the interpreter that ran the tables."""
    import platform

    print(f"Python {platform.python_version()} ({sys.implementation.name}, "
          f"{platform.python_compiler()}), {sys.executable}")


def print_ratio_table(rows, fmt, width: int, columns=("compiled", "pure")) -> int:
    """Prints (label, first, second, target) rows with the ratio first / second and
    whether each target is met; returns how many were missed. With a third column named,
    each row has a fifth value (None where it has none), shown with first / third before
    the targeted ratio."""
    first, second, *third = columns
    header = f"{'case':<48} {first:>{width}} {second:>{width}}"
    if third:
        header += f" {third[0]:>{width}} {'/' + third[0]:>6} {'/' + second:>6}"
    else:
        header += f" {'ratio':>6}"
    header += f" {'target':>7}"
    print(header)
    print("-" * len(header))
    missed = 0
    for label, first_value, second_value, target, *extra in rows:
        ratio = first_value / second_value
        verdict = "" if target is None else ("ok" if ratio <= target else "MISSED")
        missed += verdict == "MISSED"
        limit = "" if target is None else f"<={target:.2f}"
        line = f"{label:<48} {fmt(first_value):>{width}} {fmt(second_value):>{width}}"
        if third:
            other = extra[0] if extra else None
            line += (f" {'-':>{width}} {'-':>6}" if other is None else
                     f" {fmt(other):>{width}} {first_value / other:>6.2f}")
        print(f"{line} {ratio:>6.2f} {limit:>7} {verdict}".rstrip())
    return missed


def floor_rows(per_call, numbers=tuple(OS_FLOORS)) -> list:
    """(label, native route, OS floor, None) rows of the cases `numbers`, from
    {(loop id, implementation): value}."""
    labels = {number: label for number, label, _, _ in CASES}
    return [(f"{number}. {labels[number]}", per_call[str(number), "compiled"],
             per_call[f"{number}f", FLOOR], None) for number in numbers]
