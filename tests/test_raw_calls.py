"""getrandom and renameat2 go to the kernel through syscall() (support/os/platform.cpp), so the
wheels run on glibc 2.17 and musl. A kernel without them (ENOSYS) or a file system without the
rename's flag (EINVAL) still gets its new file, through the fallbacks: a temporary name from the
clock and a hard link. A preloaded syscall() fails the call and counts it; the preload also
refuses O_TMPFILE, as such file systems do, so that the new file is a named one."""

import errno
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from kestrix.skills.services import _safe_write

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

/* KESTRIX_FAIL="NUMBER ERRNO": that call fails with that errno, and each one is counted by a
   byte appended to the file KESTRIX_SEEN. */
long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
    va_end(ap);
    const char* fail = getenv("KESTRIX_FAIL");
    long which = 0, error = 0;
    if (fail != NULL && sscanf(fail, "%ld %ld", &which, &error) == 2 && which == number) {
        int fd = open(getenv("KESTRIX_SEEN"), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            (void)!write(fd, "x", 1);
            close(fd);
        }
        errno = (int)error;
        return -1;
    }
    long (*real)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int openat(int folder, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int mode = va_arg(ap, int);
    va_end(ap);
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int (*real)(int, const char*, int, ...) = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
    return real(folder, path, flags, mode);
}
"""

# The host command's writer: a str path goes straight to the OS layer, whatever pathlib is.
SCRIPT = """
    import os, sys
    from kestrix.skills.services._safe_write import read_file, replace_file
    os.environ["KESTRIX_FAIL"] = sys.argv[2]
    replace_file(sys.argv[1], b"new file\\n")
    print(read_file(sys.argv[1]))
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the preloaded syscall()")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", folder / "shim.so",
                    folder / "shim.c", "-ldl"], check=True)
    # This processor's call numbers, from the C library's header.
    text = subprocess.run([compiler, "-E", "-dM", "-include", "sys/syscall.h", "-x", "c",
                           "/dev/null"], capture_output=True, text=True, check=True).stdout
    numbers = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in ("__NR_getrandom", "__NR_renameat2"):
            numbers[parts[1][len("__NR_"):]] = int(parts[2])
    return folder / "shim.so", numbers


@pytest.mark.skipif(_safe_write.OS_ROUTE != "linux",
                    reason="only the Linux OS layer reaches these calls through syscall()")
@pytest.mark.parametrize("call, error", [("renameat2", "ENOSYS"), ("renameat2", "EINVAL"),
                                         ("getrandom", "ENOSYS")])
def test_new_file_without_the_call(shim, tmp_path, call, error):
    folder = tmp_path / "folder"
    folder.mkdir()
    config = folder / "CLAUDE.md"
    seen = tmp_path / "seen"
    library, numbers = shim
    # After the sanitizer's runtime when make test-asan has preloaded it; valgrind's own
    # libraries are left out, as the child does not run under valgrind.
    preloaded = [name for name in os.environ.get("LD_PRELOAD", "").replace(":", " ").split()
                 if "vgpreload" not in name]
    env = dict(os.environ, KESTRIX_SEEN=str(seen), LD_PRELOAD=" ".join([*preloaded, str(library)]))
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(SCRIPT), config,
         f"{numbers[call]} {getattr(errno, error)}"],
        capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "b'new file\\n'\n", "")
    # The module asked the kernel through syscall(), once, and went on without it.
    assert seen.read_bytes() == b"x"
    # No temporary file left beside it.
    assert os.listdir(folder) == ["CLAUDE.md"]
