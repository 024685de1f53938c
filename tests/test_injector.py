"""What inject writes and returns, and what _load_rule_content gives, on ordinary inputs: the
block, idempotence, the runtime table, templates, paths. The same on both routes."""

import os
import pathlib
from pathlib import Path

import pytest

from conftest import RULE_TEXT, ROUTES, PosixPath, block, inject, rule_templates
from kestrix.skills.services import rule_injector as ri
from kestrix.skills.services.rule_injector import (
    RULE_MARKER,
    RuleInjector,
    _DEFAULT_RULE_CONTENT,
)

BUILTIN = _DEFAULT_RULE_CONTENT.strip()


@pytest.mark.parametrize(
    "existing",
    [None, "abc", "abc\n", "# Title\r\n\r\nbody\n", ""],
    ids=["new-file", "no-final-lf", "final-lf", "crlf", "empty-file"],
)
def test_block_is_appended_after_the_old_text(tmp_path, route, existing):
    skills = route(tmp_path) / ".claude" / "skills"
    config = tmp_path / ".claude" / "CLAUDE.md"
    if existing is not None:
        config.parent.mkdir(parents=True)
        config.write_bytes(existing.encode())
    result = RuleInjector(route(tmp_path / "no-templates")).inject("claude", skills)
    assert result == config
    # Text mode reads CRLF back as LF; what was there stays in front of the block.
    old = (existing or "").replace("\r\n", "\n")
    assert config.read_text(encoding="utf-8") == old + block()
    assert not skills.exists()  # only the configuration file's folder is made


def test_missing_parent_folders_are_created(tmp_path, route):
    skills = route(tmp_path) / "a" / "b" / ".codex" / "skills"
    result = RuleInjector(route(tmp_path)).inject("codex", skills)
    assert result == tmp_path / "a" / "b" / ".codex" / "AGENTS.md"
    assert result.read_text(encoding="utf-8") == block()


@pytest.mark.parametrize("runtime, name", [("claude", "CLAUDE.md"), ("openclaw", "AGENTS.md"),
                                           ("codex", "AGENTS.md"), ("opencode", "AGENTS.md")])
def test_config_file_sits_beside_the_skills_folder(tmp_path, route, runtime, name):
    result = RuleInjector(route(tmp_path)).inject(runtime, route("rel") / "skills")
    try:
        assert result == Path("rel") / name and not result.is_absolute()
    finally:
        if result is not None and result.exists():
            result.unlink()
            result.parent.rmdir()


def test_second_call_writes_nothing(claude_skills, route):
    injector = RuleInjector()
    first = injector.inject("claude", route(claude_skills))
    stamp = first.stat().st_mtime_ns
    content = first.read_bytes()
    os.utime(first, ns=(stamp - 10**9, stamp - 10**9))
    again = RuleInjector().inject("claude", route(claude_skills))
    assert again == first
    assert first.read_bytes() == content
    assert first.stat().st_mtime_ns == stamp - 10**9


class CountingInjector(RuleInjector):
    loads = 0

    def _load_rule_content(self):
        type(self).loads += 1
        return super()._load_rule_content()


@pytest.mark.parametrize("text", [RULE_MARKER, f"before {RULE_MARKER} after", f"x\n{RULE_MARKER}"])
def test_marker_anywhere_leaves_file_alone(claude_skills, route, text):
    config = claude_skills.parent / "CLAUDE.md"
    config.write_text(text, encoding="utf-8")
    CountingInjector.loads = 0
    assert CountingInjector().inject("claude", route(claude_skills)) == config
    assert config.read_text(encoding="utf-8") == text
    assert CountingInjector.loads == 0


@pytest.mark.parametrize("runtime", ["Claude", "vscode", "", "claude "])
def test_unknown_runtime_is_skipped(tmp_path, runtime):
    CountingInjector.loads = 0
    assert CountingInjector().inject(runtime, tmp_path / "missing" / "skills") is None
    assert list(tmp_path.iterdir()) == []
    assert CountingInjector.loads == 0


def test_template_rule_file_is_preferred_and_stripped(templates, claude_skills, route):
    injector = RuleInjector(route(templates))
    assert injector._load_rule_content() == RULE_TEXT
    config = injector.inject("claude", route(claude_skills))
    assert config.read_text(encoding="utf-8") == block(RULE_TEXT)


def test_blank_template_writes_nothing(templates, claude_skills, route):
    (templates / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md").write_text(" \n\t\n")
    assert RuleInjector(route(templates)).inject("claude", route(claude_skills)) is None
    assert list(claude_skills.parent.iterdir()) == [claude_skills]


def test_missing_template_uses_builtin_text(tmp_path, route):
    injector = RuleInjector(route(tmp_path))
    assert injector._load_rule_content() == BUILTIN
    assert BUILTIN.startswith("## ") and BUILTIN.endswith("去重）")


def test_templates_dir_as_plain_string(templates):
    assert RuleInjector(str(templates))._load_rule_content() == RULE_TEXT
    injector = RuleInjector(os.fspath(templates))
    assert injector.templates_dir == str(templates)


def test_builtin_templates_dir_is_asked_once_in_the_constructor(monkeypatch, templates,
                                                                 claude_skills):
    calls = []
    monkeypatch.setattr(ri, "get_builtin_templates_dir", lambda: calls.append(1) or templates)
    injector = RuleInjector()
    assert calls == [1] and injector.templates_dir is templates
    injector.inject("claude", claude_skills)
    injector._load_rule_content()
    assert calls == [1]


@pytest.mark.parametrize("rule, expected", [("Another rule", "Another rule"), ("", None),
                                            (None, None)])
def test_subclass_supplies_the_rule(claude_skills, route, rule, expected):
    class Custom(RuleInjector):
        def _load_rule_content(self):
            return rule

    config = claude_skills.parent / "CLAUDE.md"
    result = Custom().inject("claude", route(claude_skills))
    if expected is None:
        assert result is None and not config.exists()
    else:
        assert result == config and config.read_text(encoding="utf-8") == block(expected)


def test_marker_equal_to_the_last_rule_is_written_as_itself(tmp_path, monkeypatch, route):
    for n in range(4):
        a = f"## Règle {n}: signaler chaque échec, même petit. " * 8
        b = f"## Regel {n}: jeden Fehler melden, für alle. " * 9
        inject(route, tmp_path / f"one{n}" / "skills", rule_templates(tmp_path / f"a{n}", a))
        monkeypatch.setattr(ri, "RULE_MARKER", "".join(list(a.strip())))  # equal, not the same
        inject(route, tmp_path / f"two{n}" / "skills", rule_templates(tmp_path / f"b{n}", b))
        monkeypatch.undo()
        expected = f"\n\n{a.strip()}\n\n{b.strip()}\n".encode()
        assert (tmp_path / f"two{n}" / "CLAUDE.md").read_bytes() == expected


# --- the paths: those parent and slash give, on either route --------------------------------

@pytest.mark.parametrize("skills, filename", [
    ("skills", "CLAUDE.md"), (".", "CLAUDE.md"), ("a/..", "CLAUDE.md"), ("a/b/skills", "AGENTS.md"),
    ("a/skills", "sub/X.md"), ("a/skills", ".."), ("a/skills", pathlib.PurePosixPath("Y.md"))])
def test_config_path_is_the_one_parent_and_slash_give(tmp_path, monkeypatch, skills, filename):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(ri.RUNTIME_CONFIG_FILES, "x", filename)
    expected = PosixPath(skills).parent / filename
    (tmp_path / "a").mkdir()
    if not expected.is_dir():
        expected.parent.mkdir(parents=True, exist_ok=True)
        expected.write_text(RULE_MARKER)
    outcomes = []
    for path_type in ROUTES.values():
        try:
            found = RuleInjector(tmp_path).inject("x", path_type(skills))
            outcomes.append((type(found), str(found)))
        except OSError as e:
            outcomes.append((type(e), e.filename))
    assert outcomes[0] == (PosixPath, str(expected)) or outcomes[0][0] is IsADirectoryError
    assert outcomes[0][1:] == outcomes[1][1:]


@pytest.mark.parametrize("templates, relative", [
    (".", None), ("/", None), ("t", "."), ("t", "ABS"), ("t", None)])
def test_rule_file_is_the_one_slash_gives(tmp_path, monkeypatch, templates, relative):
    monkeypatch.chdir(tmp_path)
    rule = tmp_path / "t" / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md"
    rule.parent.mkdir(parents=True)
    rule.write_text(f"  {RULE_TEXT}\n")
    (tmp_path / "kestrix-feedback").symlink_to(tmp_path / "t" / "kestrix-feedback")
    if relative == "ABS":
        relative = str(rule)
    outcomes = []
    for path_type in ROUTES.values():
        if relative is not None:
            monkeypatch.setattr(ri, "_RULE_SOURCE_RELATIVE", path_type(relative))
        try:
            outcomes.append(RuleInjector(path_type(templates))._load_rule_content())
        except OSError as e:
            outcomes.append((type(e), e.filename))
    assert outcomes[0] == outcomes[1]
    assert outcomes[0] in (RULE_TEXT, BUILTIN) or outcomes[0][0] is IsADirectoryError
