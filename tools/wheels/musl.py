"""The musl side of `make wheels-check`.

No musl CPython can be had on this machine: Debian and the package index ship none, and the
Debian mirror reached here serves binary packages only, so no CPython source to build one
from. The round trip therefore does not run for the musl wheels. What runs instead is a link
check under musl itself: musl's dynamic loader (Debian's musl package, installed into the root
folder of the wheel's processor; through qemu for aarch64) loads each extension module of the
wheel as `ldd` does and resolves its symbols. Every symbol a module takes from the C library
must resolve there; the only ones allowed to stay unresolved are the interpreter's own
(Py*, _Py*), which nothing but a python process provides.
"""

from __future__ import annotations

import re
import subprocess
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOTS = {"x86_64": ("amd64", "sid-x86_64"), "aarch64": ("arm64", "sid-arm64")}
UNRESOLVED = re.compile(r"^Error relocating [^:]+: (\S+): symbol not found$")


def loader_check(cache: Path, wheel: Path, arch: str) -> None:
    deb_arch, root_name = ROOTS[arch]
    root = cache / root_name
    subprocess.run([str(HERE.parent / "debian-root"), deb_arch, str(root), "musl"], check=True)
    loader = f"/lib/ld-musl-{arch}.so.1"
    with tempfile.TemporaryDirectory(dir=root / "tmp") as tmp:
        with zipfile.ZipFile(wheel) as z:
            modules = [n for n in z.namelist() if n.endswith(".so")]
            z.extractall(tmp, modules)
        assert len(modules) == 2, modules
        for name in modules:
            inside = "/" + str((Path(tmp) / name).relative_to(root))
            done = subprocess.run(["chroot", str(root), loader, "--list", inside],
                                  capture_output=True, text=True)
            lines = (done.stdout + done.stderr).splitlines()
            libc = f"libc.musl-{arch}.so.1 => {loader}"
            assert any(line.strip().startswith(libc) for line in lines), lines
            others = []
            python_symbols = 0
            for line in lines:
                found = UNRESOLVED.match(line)
                if found and found.group(1).startswith(("Py", "_Py")):
                    python_symbols += 1
                elif found or line.startswith("Error"):
                    others.append(line)
            assert not others, others
            print(f"{Path(name).name}: {libc}; every C library symbol resolved, "
                  f"{python_symbols} of the interpreter's left", flush=True)
