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
UNKNOWN = "vscode"


def load(implementation: str):
    """The module object of one implementation."""
    import importlib

    return importlib.import_module(COMPILED_MODULE if implementation == "compiled"
                                   else PURE_MODULE)


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

# Case 8 runs in fresh interpreters: the statement each one executes, after putting bench/
# on sys.path for both (so both pay for it). The baseline imports what both modules import.
IMPORT_PRELUDE = f"import sys; sys.path.insert(0, {BENCH_DIR!r}); "
IMPORT_STATEMENTS = {
    "compiled": IMPORT_PRELUDE + f"import {COMPILED_MODULE}",
    "pure": IMPORT_PRELUDE + f"import {PURE_MODULE}",
    "baseline": IMPORT_PRELUDE + "import pathlib, kestrix.skills.packaging",
}
IMPORT_LABEL = "import in a fresh interpreter"

# The import statement alone, timed inside a fresh interpreter that has already loaded
# what both modules import: the module's own loading cost, without start-up and exit.
TIMED_IMPORT = {
    which: IMPORT_PRELUDE + "import pathlib, kestrix.skills.packaging, time; "
    f"start = time.perf_counter(); import {module}; print(time.perf_counter() - start)"
    for which, module in (("compiled", COMPILED_MODULE), ("pure", PURE_MODULE))
}
TIMED_IMPORT_LABEL = "   the import statement alone, deps loaded"


def check_equivalence(root: Path) -> None:
    """Fails unless both implementations give the same results and file bytes for the
    calls the cases make (so the timings compare like with like)."""
    seen = {}
    for implementation in IMPLEMENTATIONS:
        module = load(implementation)
        injector, _, skills = _tree(module, root / implementation)
        results = [injector.inject(UNKNOWN, skills), injector._load_rule_content()]
        written = injector.inject("claude", skills)
        again = injector.inject("claude", skills)
        results += [written == again == skills.parent / "CLAUDE.md",
                    written.read_bytes(), vars(module.RuleInjector(templates_dir="t"))]
        seen[implementation] = results
    if seen["compiled"] != seen["pure"]:
        raise SystemExit(f"implementations differ:\n{seen['compiled']!r}\n{seen['pure']!r}")


def print_ratio_table(rows, fmt, width: int) -> int:
    """Prints (label, compiled, pure, target) rows with the ratio compiled / pure and
    whether each target is met; returns how many were missed."""
    import platform
    import sys

    print(f"Python {platform.python_version()} ({sys.implementation.name}, "
          f"{platform.python_compiler()}), {sys.executable}")
    header = f"{'case':<48} {'compiled':>{width}} {'pure':>{width}} {'ratio':>6} {'target':>7}"
    print(header)
    print("-" * len(header))
    missed = 0
    for label, compiled, pure, target in rows:
        ratio = compiled / pure
        verdict = "" if target is None else ("ok" if ratio <= target else "MISSED")
        missed += verdict == "MISSED"
        limit = "" if target is None else f"<={target:.1f}"
        print(f"{label:<48} {fmt(compiled):>{width}} {fmt(pure):>{width}} {ratio:>6.2f} "
              f"{limit:>5} {verdict}")
    return missed
