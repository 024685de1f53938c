"""Which reader and writer the `kestrix` command uses, chosen here and nowhere else: the
compiled `_safe_write` where its OS route is built (Linux), the portable `_portable_write`
on every other system, where the compiled one would raise ENOSYS."""

import os

# Test seam: KESTRIX_FILE_ROUTE=portable makes the command take the portable route where the
# native one exists, so that the command's tests can run against both on Linux.
ROUTE_VARIABLE = "KESTRIX_FILE_ROUTE"


def files():  # type: ignore[no-untyped-def]
    """The module whose read_file and replace_file the command calls."""
    from kestrix.skills.services import _safe_write

    if _safe_write.NATIVE and os.environ.get(ROUTE_VARIABLE) != "portable":
        return _safe_write
    from kestrix.skills.services import _portable_write

    return _portable_write
