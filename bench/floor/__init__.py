"""The C floor (rule_injector_floor.c), compiled on first use with the running interpreter's
own compiler settings (sysconfig's CC, CFLAGS, CCSHARED and LDSHARED, its include folders and
extension suffix) into build/bench-floor/ at the top of the clone. The build is kept under a
hash of the source and the commands, so a later run, or a benchmark's child process, imports
it as it is.
"""

import hashlib
import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig
import tempfile

NAME = "rule_injector_floor"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), NAME + ".c")
CACHE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(SOURCE))), "build",
                     "bench-floor")


def _commands(obj: str, out: str) -> list:
    """The compile and link commands, as the interpreter was built to make extensions."""
    var = sysconfig.get_config_var
    includes = dict.fromkeys([sysconfig.get_path("include"), sysconfig.get_path("platinclude")])
    compile_command = [*shlex.split(var("CC")), *shlex.split(var("CFLAGS") or ""),
                       *shlex.split(var("CCSHARED") or ""),
                       *(f"-I{folder}" for folder in includes), "-c", SOURCE, "-o", obj]
    return [compile_command, [*shlex.split(var("LDSHARED")), obj, "-o", out]]


def built_path() -> str:
    """The extension's file, compiled first when no build of this source is kept."""
    with open(SOURCE, "rb") as f:
        digest = hashlib.sha256(f.read())
    digest.update(repr((_commands("OBJ", "OUT"), sys.version)).encode())
    folder = os.path.join(CACHE, digest.hexdigest()[:16])
    path = os.path.join(folder, NAME + sysconfig.get_config_var("EXT_SUFFIX"))
    if os.path.exists(path):
        return path
    os.makedirs(folder, exist_ok=True)
    # Made under a name of its own and renamed into place: processes started at once never
    # import a half-written file.
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        made = os.path.join(scratch, os.path.basename(path))
        for command in _commands(os.path.join(scratch, NAME + ".o"), made):
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                raise SystemExit(f"the C floor did not build:\n{shlex.join(command)}\n"
                                 f"{done.stdout}{done.stderr}")
        os.replace(made, path)
    return path


def load():
    """The C floor's module, built if need be and imported once per process."""
    if NAME in sys.modules:
        return sys.modules[NAME]
    spec = importlib.util.spec_from_file_location(NAME, built_path())
    module = importlib.util.module_from_spec(spec)
    sys.modules[NAME] = module
    spec.loader.exec_module(module)
    return module
