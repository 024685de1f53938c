from os import PathLike

from typing import Literal

from _typeshed import ReadableBuffer

OS_ROUTE: Literal["linux", "posix"] | None

def read_file(path: str | PathLike[str], /) -> bytes | None: ...
def replace_file(
    path: str | PathLike[str],
    data: ReadableBuffer | tuple[ReadableBuffer, ReadableBuffer],
    /,
    expected: ReadableBuffer | None = None,
) -> None: ...
