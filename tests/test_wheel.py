"""The manylinux wheel installs into a fresh environment and its command works there."""

import os
import platform
import subprocess
import sys
import zipfile
from fnmatch import fnmatch
from pathlib import Path

import pytest

WHEEL_DIR = os.environ.get("KESTRIX_WHEEL_DIR")


@pytest.mark.slow
@pytest.mark.skipif(not WHEEL_DIR, reason="make test sets KESTRIX_WHEEL_DIR after make wheel")
def test_wheel_installs_and_runs_outside_the_source_tree(tmp_path):
    # This Python's and this processor's manylinux wheel: make wheel's one, or the one of
    # make wheels' twelve that runs here.
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    pattern = f"kestrix_rule_injector-*-{tag}-{tag}-manylinux*_{platform.machine()}.whl"
    wheels = list(Path(WHEEL_DIR).glob(pattern))
    assert len(wheels) == 1, wheels
    names = zipfile.ZipFile(wheels[0]).namelist()
    assert [n for n in names if fnmatch(n, "kestrix/skills/services/rule_injector*.so")]
    assert "kestrix/py.typed" in names

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv], check=True)
    # With its dependencies from the package index, as a user installs it.
    subprocess.run([sys.executable, "-m", "pip", "--python", venv / "bin" / "python", "install",
                    "--quiet", wheels[0]], check=True, timeout=300)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
    skills = tmp_path / "home" / ".claude" / "skills"

    def run(*args):
        return subprocess.run([venv / "bin" / "kestrix", "skills", *args, "claude", skills],
                              capture_output=True, text=True, cwd=tmp_path, env=env, timeout=60)

    skills.mkdir(parents=True)
    done = run("install")
    config = skills.parent / "CLAUDE.md"
    # No stderr: the Markdown check after the install found its parser and had nothing to say.
    assert (done.returncode, done.stdout, done.stderr) == (
        0, f"installed the feedback rule ({config})\n", "")
    assert "<!-- KESTRIX_RULE:feedback_auto_submit -->" in config.read_text(encoding="utf-8")
    assert run("status").returncode == 0
    where = subprocess.run([venv / "bin" / "python", "-c", "import kestrix; print(kestrix.__file__)"],
                           capture_output=True, text=True, cwd=tmp_path, env=env, check=True)
    assert Path(where.stdout.strip()).is_relative_to(venv)


# The modules link the C library alone: anything of the C++ runtime (a guarded static, an
# exception) would load only where another module happened to bring that runtime in first,
# and fail to import everywhere else (a musl system, a bare interpreter).
@pytest.mark.skipif(sys.platform != "linux", reason="reads ELF symbol tables")
def test_the_modules_need_nothing_of_the_cpp_runtime():
    import shutil

    from kestrix.skills.services import _safe_write, rule_injector

    if shutil.which("nm") is None:
        pytest.skip("nm (binutils) is not installed")
    for module in (rule_injector, _safe_write):
        symbols = subprocess.run(["nm", "-D", "--undefined-only", module.__file__],
                                 capture_output=True, text=True, check=True).stdout
        assert not [line for line in symbols.splitlines()
                    if "GLIBCXX" in line or "CXXABI" in line], (module.__name__, symbols)
