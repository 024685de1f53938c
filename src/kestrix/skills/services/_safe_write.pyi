from os import PathLike

from _typeshed import ReadableBuffer

def replace_file(path: str | PathLike[str], data: ReadableBuffer, /) -> None: ...
