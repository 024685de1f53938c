"""Runs the wheels that `make wheels` left in dist/, each under its own C library and processor
where this machine can: `make wheels-check`.

- x86_64 glibc, CPython 3.13: the whole test suite against the wheel installed in a fresh venv
  of this machine's Python 3.13 (with KESTRIX_WHEEL_DIR, so test_wheel.py installs it too).
- x86_64 glibc, 3.14 and 3.15: the same suite under Debian unstable's python3.14/3.15 in the
  amd64 root folder of the cache (chroot), plus the round trip (tools/wheels/roundtrip.py).
- aarch64 glibc, every version: the round trip under Debian's arm64 python3.X in an arm64 root
  folder (chroot through qemu-user-static), made on first use (about 12 minutes here).
- musl: no musl CPython can be had here, so no round trip; musl's own loader links each
  module instead (tools/wheels/musl.py says what that checks).

Test dependencies come from the package index on this machine, into a folder the chroots
see; nothing inside a chroot reaches the network. Prints one summary line per run, with its
time; exits non-zero when a run fails.

    python tools/wheels/check.py [--pythons 3.13 3.14 3.15] [--only suite|aarch64|musl ...]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import headers  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
WORK = ROOT / "build" / "wheels" / "check"
DIST = ROOT / "dist"
TEST_DEPS = ["pytest>=8", "hypothesis>=6", "markdown-it-py>=3", "cmake>=3.21", "ninja"]
RUNTIME_DEPS = ["markdown-it-py>=3"]
INSIDE = "/kestrix"  # where the work tree appears in a chroot

results: list[tuple[str, str, float]] = []


def run(cmd, **kwargs) -> subprocess.CompletedProcess:
    print("+", " ".join(str(c) for c in cmd), flush=True)
    return subprocess.run([str(c) for c in cmd], check=True, **kwargs)


def wheel(version: str, arch: str, libc: str) -> Path:
    tag = "cp" + version.replace(".", "")
    kind = "manylinux" if libc == "gnu" else "musllinux"
    found = sorted(DIST.glob(f"kestrix_rule_injector-*-{tag}-{tag}-{kind}*_{arch}.whl"))
    if len(found) != 1:
        raise SystemExit(f"error: want one {tag} {kind} {arch} wheel in dist/, found {found}")
    return found[0]


def wheelhouse(version: str, platforms: list[str], deps: list[str]) -> Path:
    """The dependencies' wheels for `version` on `platforms`, downloaded here."""
    folder = WORK / "wheelhouse" / f"{version}-{platforms[0]}"
    folder.mkdir(parents=True, exist_ok=True)
    plats = [a for p in platforms for a in ("--platform", p)]
    run([sys.executable, "-m", "pip", "download", "--quiet", "--only-binary=:all:",
         "--python-version", version, *plats, "-d", folder, *deps])
    return folder


def timed(name: str, body) -> None:
    """Runs body(), which may return what to say of its run, and keeps the outcome."""
    began = time.monotonic()
    try:
        said = body()
        outcome = f"passed{f' ({said})' if said else ''}"
    except (subprocess.CalledProcessError, AssertionError, OSError, SystemExit) as error:
        print(f"error: {name}: {error}", file=sys.stderr, flush=True)
        outcome = f"FAILED ({error.output})" if getattr(error, "output", None) else "FAILED"
    results.append((name, outcome, time.monotonic() - began))
    print(f"== {name}: {outcome} ({time.monotonic() - began:.0f} s)", flush=True)


@contextlib.contextmanager
def mounted(root: Path):
    """proc, sys, dev and the work tree inside `root`, unmounted again on the way out."""
    done: list[Path] = []
    try:
        for kind, source, target in (("proc", "proc", "proc"), ("sysfs", "sys", "sys"),
                                     ("rbind", "/dev", "dev"), ("bind", str(ROOT), INSIDE[1:])):
            where = root / target
            where.mkdir(parents=True, exist_ok=True)
            if kind in ("bind", "rbind"):
                run(["mount", f"--{kind}", source, where])
                if kind == "rbind":
                    run(["mount", "--make-rslave", where])
            else:
                run(["mount", "-t", kind, source, where])
            done.append(where)
        yield
    finally:
        for where in reversed(done):
            subprocess.run(["umount", "-R", str(where)], check=False)


def inside(path: Path) -> str:
    return INSIDE + "/" + str(path.relative_to(ROOT))


def suite_here(version: str) -> str:
    """The suite against the 3.13 x86_64 manylinux wheel, in a venv of this machine's 3.13."""
    whl = wheel(version, "x86_64", "gnu")
    venv = WORK / f"venv-{version}-x86_64"
    shutil.rmtree(venv, ignore_errors=True)
    base = subprocess.run([ROOT / "tools" / "find-python", "3.13"], check=True, capture_output=True,
                          text=True).stdout.strip()
    run([base, "-m", "venv", venv])
    py = venv / "bin" / "python"
    run([py, "-m", "pip", "install", "--quiet", whl, *TEST_DEPS])
    run([py, HERE / "roundtrip.py"], cwd=WORK)
    return run_suite([str(py)], ROOT, {"KESTRIX_WHEEL_DIR": str(DIST)})


def pytest_summary(cmd: list, **kwargs) -> str:
    """Runs pytest (its output shown as it comes); its closing line, or an error with it."""
    print("+", " ".join(str(c) for c in cmd), flush=True)
    with subprocess.Popen([str(c) for c in cmd], stdout=subprocess.PIPE, text=True,
                          **kwargs) as process:
        lines = []
        for line in process.stdout:
            print(line, end="", flush=True)
            lines.append(line.strip())
    summary = next((line for line in reversed(lines) if line), "no output")
    if process.returncode != 0:
        raise subprocess.CalledProcessError(process.returncode, cmd[:3], summary)
    return summary


def run_suite(python: list[str], where: Path | str, env: dict[str, str]) -> str:
    # The package must come from the wheel, not from src/.
    run(python + ["-c", "import kestrix.skills.services.rule_injector as m; "
                  "assert '/site-packages/' in m.__file__, m.__file__; print(m.__file__)"],
        cwd="/")
    return pytest_summary(python + ["-m", "pytest", "-q", "-p", "no:cacheprovider", "tests"],
                          cwd=where, env={**os.environ, **env})


def chroot_python(label: str, root: Path, version: str, whl: Path, house: Path,
                  test: bool) -> None:
    """In `root`: a venv of python`version` with the wheel and the dependencies from the local
    wheelhouse, then the round trip and, with `test`, the suite; each kept as a result."""
    venv = WORK / f"venv-{version}-{root.name}"
    shutil.rmtree(venv, ignore_errors=True)
    venv.parent.mkdir(parents=True, exist_ok=True)
    py = inside(venv / "bin" / "python")
    offline = {"PIP_NO_INDEX": "1", "PIP_FIND_LINKS": inside(house),
               "PIP_CONFIG_FILE": "/dev/null", "HOME": "/root"}
    env = ["env", "-i", "PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8",
           *[f"{k}={v}" for k, v in offline.items()]]
    with mounted(root):
        timed(f"{label}: venv and pip install", lambda: [
            run(["chroot", root, *env, f"python{version}", "-m", "venv", inside(venv)]),
            run(["chroot", root, *env, py, "-m", "pip", "install", "--quiet", inside(whl),
                 *(TEST_DEPS if test else RUNTIME_DEPS)])] and None)
        timed(f"{label}: round trip", lambda: run(
            ["chroot", root, *env, "sh", "-c",
             f"cd /tmp && {py} {INSIDE}/tools/wheels/roundtrip.py"]) and None)
        if test:
            timed(f"{label}: test suite", lambda: pytest_summary(
                ["chroot", root, *env, f"KESTRIX_WHEEL_DIR={inside(DIST)}", "sh", "-c",
                 f"cd /tmp && {py} -c 'import kestrix.skills.services.rule_injector as m; "
                 f"print(m.__file__)' && cd {INSIDE} && "
                 f"{py} -m pytest -q -p no:cacheprovider tests"]))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pythons", nargs="+", default=["3.13", "3.14", "3.15"])
    parser.add_argument("--only", nargs="+", default=["suite", "aarch64", "musl"],
                        choices=["suite", "aarch64", "musl"])
    args = parser.parse_args()
    cache = headers.cache_dir()
    WORK.mkdir(parents=True, exist_ok=True)

    if "suite" in args.only:
        root = cache / "sid-x86_64"
        for version in args.pythons:
            label = f"cp{version.replace('.', '')} manylinux2014 x86_64"
            if version == "3.13":
                timed(f"{label}: round trip and test suite (this machine)",
                      lambda v=version: suite_here(v))
                continue
            run([HERE.parent / "debian-root", "amd64", root, f"python{version}-venv",
                 f"python{version}-dev", "g++", "acl"])
            house = wheelhouse(version, ["manylinux_2_17_x86_64", "linux_x86_64"], TEST_DEPS)
            chroot_python(f"{label} (Debian sid)", root, version, wheel(version, "x86_64", "gnu"),
                          house, test=True)

    if "aarch64" in args.only:
        root = cache / "sid-arm64"
        timed("arm64 root folder", lambda: run(
            [HERE.parent / "debian-root", "arm64", root,
             *[f"python{v}-venv" for v in args.pythons]]) and None)
        for version in args.pythons:
            house = wheelhouse(version, ["manylinux_2_17_aarch64"], RUNTIME_DEPS)
            chroot_python(f"cp{version.replace('.', '')} manylinux2014 aarch64 (Debian sid, qemu)",
                          root, version, wheel(version, "aarch64", "gnu"), house, test=False)

    if "musl" in args.only:
        import musl  # noqa: PLC0415

        for version in args.pythons:
            for arch in ("x86_64", "aarch64"):
                timed(f"cp{version.replace('.', '')} musllinux_1_2 {arch}: musl loader check "
                      "(no musl CPython here: round trip not run)",
                      lambda v=version, a=arch: musl.loader_check(cache, wheel(v, a, "musl"), a))

    print("\nwheels-check:")
    for name, outcome, seconds in results:
        print(f"  {name}: {outcome} ({seconds:.0f} s)")
    return 1 if any(outcome.startswith("FAILED") for _, outcome, _ in results) else 0


if __name__ == "__main__":
    sys.exit(main())
