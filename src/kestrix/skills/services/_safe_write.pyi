from os import PathLike

from _typeshed import ReadableBuffer

NATIVE: bool

def read_file(path: str | PathLike[str], /) -> bytes | None: ...
def replace_file(
    path: str | PathLike[str], data: ReadableBuffer, /, expected: ReadableBuffer | None = None
) -> None: ...
