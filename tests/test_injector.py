"""RuleInjector on real files: the block, idempotence, templates, bad input."""

import os
from pathlib import Path

import pytest

from conftest import PREFIX, RULE_TEXT, SOURCE_FILE, module_frames
from kestrix.skills.services.rule_injector import (
    RULE_MARKER,
    RuleInjector,
    _DEFAULT_RULE_CONTENT,
)

BUILTIN = _DEFAULT_RULE_CONTENT.strip()


def block(rule: str = BUILTIN) -> str:
    return f"\n\n{RULE_MARKER}\n\n{rule}\n"


@pytest.mark.parametrize(
    "existing",
    [None, "abc", "abc\n", "# Title\r\n\r\nbody\n", ""],
    ids=["new-file", "no-final-lf", "final-lf", "crlf", "empty-file"],
)
def test_block_is_appended_after_the_old_text(tmp_path, existing):
    skills = tmp_path / ".claude" / "skills"
    config = tmp_path / ".claude" / "CLAUDE.md"
    if existing is not None:
        config.parent.mkdir(parents=True)
        config.write_bytes(existing.encode())
    result = RuleInjector(tmp_path / "no-templates").inject("claude", skills)
    assert result == config
    # Text mode reads CRLF back as LF; what was there stays in front of the block.
    old = (existing or "").replace("\r\n", "\n")
    assert config.read_text(encoding="utf-8") == old + block()
    assert not skills.exists()  # only the configuration file's folder is made


def test_missing_parent_folders_are_created(tmp_path):
    skills = tmp_path / "a" / "b" / ".codex" / "skills"
    result = RuleInjector(tmp_path).inject("codex", skills)
    assert result == tmp_path / "a" / "b" / ".codex" / "AGENTS.md"
    assert result.read_text(encoding="utf-8") == block()


@pytest.mark.parametrize("runtime, name", [("claude", "CLAUDE.md"), ("openclaw", "AGENTS.md"),
                                           ("codex", "AGENTS.md"), ("opencode", "AGENTS.md")])
def test_config_file_sits_beside_the_skills_folder(tmp_path, runtime, name):
    result = RuleInjector(tmp_path).inject(runtime, Path("rel") / "skills")
    try:
        assert result == Path("rel") / name and not result.is_absolute()
    finally:
        if result is not None and result.exists():
            result.unlink()
            result.parent.rmdir()


def test_second_call_writes_nothing(claude_skills):
    injector = RuleInjector()
    first = injector.inject("claude", claude_skills)
    stamp = first.stat().st_mtime_ns
    content = first.read_bytes()
    os.utime(first, ns=(stamp - 10**9, stamp - 10**9))
    again = RuleInjector().inject("claude", claude_skills)
    assert again == first
    assert first.read_bytes() == content
    assert first.stat().st_mtime_ns == stamp - 10**9


class CountingInjector(RuleInjector):
    loads = 0

    def _load_rule_content(self):
        type(self).loads += 1
        return super()._load_rule_content()


@pytest.mark.parametrize("text", [RULE_MARKER, f"before {RULE_MARKER} after", f"x\n{RULE_MARKER}"])
def test_marker_anywhere_leaves_file_alone(claude_skills, text):
    config = claude_skills.parent / "CLAUDE.md"
    config.write_text(text, encoding="utf-8")
    CountingInjector.loads = 0
    assert CountingInjector().inject("claude", claude_skills) == config
    assert config.read_text(encoding="utf-8") == text
    assert CountingInjector.loads == 0


@pytest.mark.parametrize("runtime", ["Claude", "vscode", "", "claude "])
def test_unknown_runtime_is_skipped(tmp_path, runtime):
    CountingInjector.loads = 0
    assert CountingInjector().inject(runtime, tmp_path / "missing" / "skills") is None
    assert list(tmp_path.iterdir()) == []
    assert CountingInjector.loads == 0


def test_template_rule_file_is_preferred_and_stripped(templates, claude_skills):
    injector = RuleInjector(templates)
    assert injector._load_rule_content() == RULE_TEXT
    config = injector.inject("claude", claude_skills)
    assert config.read_text(encoding="utf-8") == block(RULE_TEXT)


def test_blank_template_writes_nothing(templates, claude_skills):
    (templates / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md").write_text(" \n\t\n")
    assert RuleInjector(templates).inject("claude", claude_skills) is None
    assert list(claude_skills.parent.iterdir()) == [claude_skills]


def test_missing_template_uses_builtin_text(tmp_path):
    injector = RuleInjector(tmp_path)
    assert injector._load_rule_content() == BUILTIN
    assert BUILTIN.startswith("## ") and BUILTIN.endswith("去重）")


def test_templates_dir_as_plain_string(templates):
    assert RuleInjector(str(templates))._load_rule_content() == RULE_TEXT
    injector = RuleInjector(os.fspath(templates))
    assert injector.templates_dir == str(templates)


def test_builtin_templates_dir_is_asked_once_in_the_constructor(monkeypatch, templates,
                                                                 claude_skills):
    from kestrix.skills.services import rule_injector as ri

    calls = []
    monkeypatch.setattr(ri, "get_builtin_templates_dir", lambda: calls.append(1) or templates)
    injector = RuleInjector()
    assert calls == [1] and injector.templates_dir is templates
    injector.inject("claude", claude_skills)
    injector._load_rule_content()
    assert calls == [1]


@pytest.mark.parametrize("rule, expected", [("Another rule", "Another rule"), ("", None),
                                            (None, None)])
def test_subclass_supplies_the_rule(claude_skills, rule, expected):
    class Custom(RuleInjector):
        def _load_rule_content(self):
            return rule

    config = claude_skills.parent / "CLAUDE.md"
    result = Custom().inject("claude", claude_skills)
    if expected is None:
        assert result is None and not config.exists()
    else:
        assert result == config and config.read_text(encoding="utf-8") == block(expected)


class BrokenWrite(type(Path())):
    """Truncates the real file, then fails, like a full disk; later writes work."""

    failures = 1

    def write_text(self, data, encoding=None, errors=None, newline=None):
        if BrokenWrite.failures:
            BrokenWrite.failures -= 1
            with open(self, "w", encoding="utf-8") as f:
                f.write(data[:3])
            raise OSError(28, "No space left on device")
        return super().write_text(data, encoding=encoding, errors=errors, newline=newline)


class SkillsDir(type(Path())):
    @property
    def parent(self):
        return BrokenWrite(super().parent)


def test_failed_rewrite_restores_the_users_text(claude_skills):
    config = claude_skills.parent / "CLAUDE.md"
    config.write_text("my own notes, keep them\n", encoding="utf-8")
    BrokenWrite.failures = 1
    with pytest.raises(OSError) as caught:
        RuleInjector().inject("claude", SkillsDir(claude_skills))
    assert caught.value.errno == 28
    assert config.read_text(encoding="utf-8") == "my own notes, keep them\n"
    assert module_frames(caught.value) == [(PREFIX + "inject", SOURCE_FILE, 85)]


def test_failed_restore_keeps_the_original_error(claude_skills):
    config = claude_skills.parent / "CLAUDE.md"
    config.write_text("notes\n", encoding="utf-8")
    BrokenWrite.failures = 2
    with pytest.raises(OSError) as caught:
        RuleInjector().inject("claude", SkillsDir(claude_skills))
    assert caught.value.errno == 28 and caught.value.__context__ is None
    assert module_frames(caught.value) == [(PREFIX + "inject", SOURCE_FILE, 85)]


def _not_utf8(skills):
    (skills.parent / "CLAUDE.md").write_bytes(b"caf\xe9\n")


def _config_is_directory(skills):
    (skills.parent / "CLAUDE.md").mkdir()


class NoMkdir(type(Path())):
    def mkdir(self, *args, **kwargs):
        raise PermissionError(13, "Permission denied", str(self))


class ReadOnlySkills(type(Path())):
    @property
    def parent(self):
        return NoWriteDir(super().parent)


class NoWriteDir(type(Path())):
    def __truediv__(self, other):
        return NoMkdirParent(super().__truediv__(other))


class NoMkdirParent(type(Path())):
    @property
    def parent(self):
        return NoMkdir(super().parent)


@pytest.mark.parametrize(
    "prepare, skills_of, error, line",
    [
        (_not_utf8, lambda s: s, UnicodeDecodeError, 73),
        (_config_is_directory, lambda s: s, IsADirectoryError, 73),
        (None, ReadOnlySkills, PermissionError, 84),
        (None, str, AttributeError, 68),
    ],
    ids=["not-utf8", "config-is-directory", "unwritable-directory", "skills-as-str"],
)
def test_bad_input_raises_and_changes_nothing(claude_skills, prepare, skills_of, error, line):
    if prepare:
        prepare(claude_skills)
    before = {p: (p.read_bytes() if p.is_file() else None) for p in claude_skills.parent.rglob("*")}
    with pytest.raises(error) as caught:
        RuleInjector().inject("claude", skills_of(claude_skills))
    assert module_frames(caught.value) == [(PREFIX + "inject", SOURCE_FILE, line)]
    after = {p: (p.read_bytes() if p.is_file() else None) for p in claude_skills.parent.rglob("*")}
    assert after == before


def test_config_parent_that_is_a_file_fails_at_mkdir(tmp_path):
    (tmp_path / ".claude").write_text("not a folder")
    with pytest.raises(FileExistsError) as caught:
        RuleInjector().inject("claude", tmp_path / ".claude" / "skills")
    assert module_frames(caught.value) == [(PREFIX + "inject", SOURCE_FILE, 84)]
    assert (tmp_path / ".claude").read_text() == "not a folder"
