"""Where the packaged skill templates live.

The real host tool ships its own version of this module; this one carries only
what the rule injector imports.
"""

from pathlib import Path


def get_builtin_templates_dir() -> Path:
    """Return the root folder of the skill templates shipped with the package."""
    return Path(__file__).resolve().parent / "templates"
