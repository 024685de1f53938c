"""The CPython headers of each version for each wheel target, for tools/wheels/build.py.

The headers come from Debian unstable's python3.X-dev, installed into a root folder under the
cache folder ($KESTRIX_CACHE, default /var/cache/kestrix), which tools/debian-root makes
on first use. All of a version's headers are the same on every target but pyconfig.h, which
configure wrote for one system:

- x86_64 glibc: Debian's amd64 pyconfig.h (the installed package).
- aarch64 glibc: Debian's arm64 pyconfig.h, from libpython3.X-dev:arm64 of the same version,
  downloaded (not installed) in the amd64 root folder and unpacked into the cache folder.
- musl: Debian has no musl CPython. The same processor's Debian pyconfig.h is used: of what it
  says, the headers an extension includes read only the type sizes and alignments
  (SIZEOF_*, ALIGNOF_*), build choices that are not the C library's (Py_DEBUG, Py_GIL_DISABLED
  and Py_TRACE_REFS unset; WITH_PYMALLOC, WITH_MIMALLOC; the same in Alpine's build) and
  headers and functions that musl has too (unistd.h, wchar.h, langinfo.h, pthread.h,
  clock_gettime, fork). check_sizes() compiles every SIZEOF_* and ALIGNOF_* against the
  target's own C library and fails the build on any difference.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
APT = ["-o", "Acquire::Check-Valid-Until=false"]

# What each size or alignment in pyconfig.h is of.
TYPES = {
    "DOUBLE": "double", "FLOAT": "float", "FPOS_T": "fpos_t", "INT": "int", "LONG": "long",
    "LONG_DOUBLE": "long double", "LONG_LONG": "long long", "OFF_T": "off_t", "PID_T": "pid_t",
    "PTHREAD_KEY_T": "pthread_key_t", "PTHREAD_T": "pthread_t", "SHORT": "short",
    "SIZE_T": "size_t", "TIME_T": "time_t", "UINTPTR_T": "uintptr_t", "VOID_P": "void*",
    "WCHAR_T": "wchar_t", "_BOOL": "bool", "MAX_ALIGN_T": "max_align_t",
}


def cache_dir() -> Path:
    cache = Path(os.environ.get("KESTRIX_CACHE") or "/var/cache/kestrix")
    cache.mkdir(parents=True, exist_ok=True)
    return cache


def chroot(root: Path, *args: str, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(["chroot", str(root), *args], check=True, **kwargs)


def package_version(root: Path, package: str) -> str:
    return chroot(root, "dpkg-query", "-W", "-f", "${Version}", package,
                  capture_output=True, text=True).stdout.strip()


def arm64_pyconfig(cache: Path, root: Path, version: str) -> Path:
    """Debian's arm64 pyconfig.h for `version`, of the same release as the amd64 headers."""
    package = f"libpython{version}-dev"
    release = package_version(root, package)
    folder = cache / "debian-arm64" / f"{package}_{release}"
    pyconfig = folder / "usr/include/aarch64-linux-gnu" / f"python{version}" / "pyconfig.h"
    if pyconfig.exists():
        return pyconfig
    foreign = chroot(root, "dpkg", "--print-foreign-architectures",
                     capture_output=True, text=True).stdout.split()
    if "arm64" not in foreign:
        chroot(root, "dpkg", "--add-architecture", "arm64")
    chroot(root, "apt-get", *APT, "update", "-qq")
    with tempfile.TemporaryDirectory(dir=root / "tmp") as tmp:
        os.chmod(tmp, 0o777)  # apt downloads as its own user
        inside = "/" + str(Path(tmp).relative_to(root))
        chroot(root, "sh", "-c", f'cd "{inside}" && apt-get {" ".join(APT)} download -q '
               f"{package}:arm64={release}")
        (deb,) = Path(tmp).glob("*.deb")
        staging = folder.with_name(folder.name + ".part")
        shutil.rmtree(staging, ignore_errors=True)
        staging.mkdir(parents=True)
        subprocess.run(["dpkg-deb", "-x", str(deb), str(staging)], check=True)
        shutil.rmtree(folder, ignore_errors=True)
        staging.rename(folder)
    return pyconfig


def check_sizes(cxx: Path, include: Path, where: Path) -> None:
    """Fails unless every SIZEOF_* and ALIGNOF_* in include/pyconfig.h is the target's."""
    checks = []
    for line in (include / "pyconfig.h").read_text().splitlines():
        parts = line.split()
        if len(parts) != 3 or parts[0] != "#define":
            continue
        kind, _, what = parts[1].partition("_")
        if kind not in ("SIZEOF", "ALIGNOF"):
            continue
        if what not in TYPES:
            raise SystemExit(f"error: {include}/pyconfig.h: no type known for {parts[1]}")
        op = "sizeof" if kind == "SIZEOF" else "alignof"
        checks.append(f'static_assert({parts[1]} == {op}({TYPES[what]}), "{parts[1]}");')
    probe = where / "pyconfig_probe.cpp"
    # pyconfig.h first, as Python.h has it: it picks the C library's feature macros.
    probe.write_text('#include "pyconfig.h"\n'
                     "#include <pthread.h>\n#include <stdint.h>\n#include <stdio.h>\n"
                     "#include <sys/types.h>\n#include <time.h>\n#include <wchar.h>\n"
                     "#include <cstddef>\nusing std::max_align_t;\n" + "\n".join(checks) + "\n")
    subprocess.run([str(cxx), "-std=c++20", "-Werror", "-c", "-o", str(probe.with_suffix(".o")),
                    "-I", str(include), str(probe)], check=True)


def prepare(cache: Path, out: Path, versions: list[str], targets, compiler) -> dict:
    """Makes out/cpXY-TARGET/pythonX.Y for each version and target; returns them by
    (version, target name)."""
    root = cache / "sid-x86_64"
    packages = [f"python{v}-dev" for v in versions]
    subprocess.run([str(HERE.parent / "debian-root"), "amd64", str(root), *packages], check=True)
    includes = {}
    for version in versions:
        generic = root / "usr/include" / f"python{version}"
        for target in targets:
            if target.arch == "x86_64":
                pyconfig = (root / "usr/include/x86_64-linux-gnu" / f"python{version}"
                            / "pyconfig.h")
            else:
                pyconfig = arm64_pyconfig(cache, root, version)
            folder = out / f"cp{version.replace('.', '')}-{target.name}"
            include = folder / f"python{version}"
            shutil.rmtree(folder, ignore_errors=True)
            # Debian's pyconfig.h there only picks the processor's file; the target's replaces it.
            shutil.copytree(generic, include, symlinks=False)
            shutil.copyfile(pyconfig, include / "pyconfig.h")
            check_sizes(compiler(target), include, folder)
            includes[version, target.name] = include
    return includes
