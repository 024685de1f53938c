"""Cross-compiles and links both modules for macOS, arm64 and x86_64, with zig: `make
check-macos`. It shows that the OS layer's portable variant and everything above it build
against macOS's C library and link as macOS extension modules (symbols of the interpreter
left to the loader). It runs nothing: no macOS wheel is shipped until the suite has run on a Mac.

The CPython headers are Debian's (tools/wheels/headers.py), whose pyconfig.h was written for
Linux on the same processor: what an extension's headers read of it (type sizes, build
choices) is the same on macOS, but this is a check of our code, not a build for release.

    python tools/wheels/check_macos.py [--python 3.13]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import build  # noqa: E402
import headers  # noqa: E402

MACOS = {"arm64": ("aarch64-macos", "manylinux2014_aarch64"),
         "x86_64": ("x86_64-macos", "manylinux2014_x86_64")}


def compiler(zig: str) -> Path:
    """zig c++ for a macOS target. When it links a module, it makes a dynamic library where
    CMake asks for a bundle, and leaves out the optimisation level CMake repeats on the link
    line and the header padding it asks of Apple's linker: zig's Mach-O linker crashes on
    each of these here. dlopen, which is how the interpreter loads a module, takes either
    kind of file."""
    path = build.WORK / "zig" / f"{zig}-check" / "c++"
    path.parent.mkdir(parents=True, exist_ok=True)
    text = ('#!/bin/sh\ncase " $* " in *" -bundle "*) linking=1 ;; *) linking= ;; esac\n'
            'for a; do shift; case "$linking$a" in 1-O*|1-Wl,-headerpad*) ;; '
            '1-bundle) set -- "$@" -shared ;; *) set -- "$@" "$a" ;; esac; done\n'
            f'exec "{sys.executable}" -m ziglang c++ -target {zig} "$@"\n')
    if not path.exists() or path.read_text() != text:
        path.write_text(text)
        path.chmod(0o755)
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default="3.13")
    args = parser.parse_args()
    cache = headers.cache_dir()
    os.environ.setdefault("ZIG_GLOBAL_CACHE_DIR", str(cache / "zig"))
    linux_targets = [build.TARGETS[name] for _, name in MACOS.values()]
    includes = headers.prepare(cache, build.WORK / "include", [args.python], linux_targets,
                               build.compiler)
    ninja = Path(sys.executable).with_name("ninja")
    tag = args.python.replace(".", "")
    for arch, (zig, linux) in MACOS.items():
        began = time.monotonic()
        out = build.WORK / "macos" / f"cp{tag}-{arch}"
        shutil.rmtree(out, ignore_errors=True)
        build.run(["cmake", "-S", build.ROOT, "-B", out, "-G", "Ninja",
                   f"-DCMAKE_MAKE_PROGRAM={ninja}", "-DCMAKE_BUILD_TYPE=Release",
                   "-DCMAKE_SYSTEM_NAME=Darwin", f"-DCMAKE_SYSTEM_PROCESSOR={arch}",
                   f"-DCMAKE_CXX_COMPILER={compiler(zig)}",
                   f"-DPython_INCLUDE_DIR={includes[args.python, linux]}",
                   f"-DKESTRIX_EXT_SUFFIX=.cpython-{tag}-darwin.so",
                   "-DCMAKE_BUILD_WITH_INSTALL_RPATH=ON",
                   "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON"], stdout=subprocess.DEVNULL)
        build.run(["cmake", "--build", out, "-j", "2"], stdout=subprocess.DEVNULL)
        modules = sorted(out.glob(f"*.cpython-{tag}-darwin.so"))
        if len(modules) != 2:
            raise SystemExit(f"error: {out}: expected two modules, found {modules}")
        for module in modules:
            kind = module.read_bytes()[:4]
            # Mach-O, 64-bit, in this machine's byte order: CF FA ED FE.
            if kind != b"\xcf\xfa\xed\xfe":
                raise SystemExit(f"error: {module} is not a 64-bit Mach-O file")
            print(f"{arch}: {module.name} linked", flush=True)
        print(f"{arch}: {time.monotonic() - began:.0f} s", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
