"""Which reader and writer the `kestrix` command uses, chosen here and nowhere else: the
compiled `_safe_write` wherever it has an OS route (`OS_ROUTE` names it: Linux's, or the
POSIX one macOS takes), the pure-Python `_python_write` on every other system, where the
compiled one would raise ENOSYS."""

import os

# Test seam: KESTRIX_FILE_ROUTE=python makes the command take the Python route where the
# compiled one exists, so that the command's tests can run against both.
ROUTE_VARIABLE = "KESTRIX_FILE_ROUTE"


def files():  # type: ignore[no-untyped-def]
    """The module whose read_file and replace_file the command calls."""
    from kestrix.skills.services import _safe_write

    if _safe_write.OS_ROUTE is not None and os.environ.get(ROUTE_VARIABLE) != "python":
        return _safe_write
    from kestrix.skills.services import _python_write

    return _python_write
