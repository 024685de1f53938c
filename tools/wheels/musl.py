"""The musl side of `make wheels-check`: a musl CPython to run the round trip with."""

from __future__ import annotations

from pathlib import Path


def python(cache: Path, version: str, arch: str) -> Path | None:
    """A musl CPython `version` for `arch`, or None when there is none here."""
    candidate = cache / "musl-python" / f"{version}-{arch}" / "bin" / f"python{version}"
    return candidate if candidate.exists() else None


def round_trip(python: Path, wheel: Path, work: Path) -> None:
    raise NotImplementedError
