"""Type stubs for the compiled `rule_injector` extension."""

from pathlib import Path as Path

from kestrix.skills.packaging import get_builtin_templates_dir as get_builtin_templates_dir

RUNTIME_CONFIG_FILES: dict[str, str]
RULE_MARKER: str
_RULE_SOURCE_RELATIVE: Path
_DEFAULT_RULE_CONTENT: str
__test__: dict[str, object]

class RuleInjector:
    templates_dir: Path
    def __init__(self, templates_dir: Path | None = None) -> None: ...
    def inject(self, target_runtime: str, target_skills_dir: Path) -> Path | None: ...
    def _load_rule_content(self) -> str | None: ...
