"""kestrix --version: the version the build wrote, printed without building a parser."""


def number() -> str:
    """The version the build wrote into the package; a source tree that was never built
    asks the installed distribution's metadata."""
    try:
        from kestrix._version import version

        return version
    except ImportError:
        from importlib.metadata import PackageNotFoundError, version as installed

        try:
            return installed("kestrix-rule-injector")
        except PackageNotFoundError:
            return "(not installed as a distribution)"


def print_version(as_json: bool) -> None:
    from kestrix.cli.output import write

    number_ = number()
    write(f'{{"version": "{number_}"}}\n' if as_json else f"kestrix {number_}\n")
