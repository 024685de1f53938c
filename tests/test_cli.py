"""The `kestrix` command end to end: install, status, uninstall and their errors."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import RULE_TEXT
from kestrix import cli
from kestrix.skills.services import rule_injector as ri

MARKER = ri.RULE_MARKER.encode()
LF_BLOCK = b"\n\n" + MARKER + b"\n\n" + RULE_TEXT.encode() + b"\n"
CRLF_BLOCK = LF_BLOCK.replace(b"\n", b"\r\n")
OTHER_RULE_BLOCK = b"\n\n" + MARKER + b"\n\n" + ri._DEFAULT_RULE_CONTENT.strip().encode() + b"\n"


def kestrix(*args, cwd=None, env=None, entry=(str(Path(sys.executable).with_name("kestrix")),)):
    return subprocess.run([*entry, *map(str, args)], capture_output=True, text=True, cwd=cwd,
                          env={**os.environ, **(env or {})}, timeout=60)


def assert_one_error_line(done, code, fragment):
    assert (done.returncode, done.stdout) == (code, "")
    assert done.stderr.startswith("kestrix: error: ") and done.stderr.count("\n") == 1
    assert fragment in done.stderr and "Traceback" not in done.stderr


def status(*args):
    done = kestrix("skills", "status", "claude", *args, "--json")
    report = json.loads(done.stdout)
    assert report["exit_code"] == done.returncode
    return report


@pytest.mark.parametrize("original", [None, b"", b"# Mine\n\nUse tabs.\n", b"abc",
                                      b"# Mine\r\n\r\nUse tabs.\r\n", b"# Mine\r\nno final"])
def test_install_then_uninstall_gives_back_the_bytes(claude_skills, templates, original):
    config, args = claude_skills.parent / "CLAUDE.md", (claude_skills, "--templates", templates)
    if original is not None:
        config.write_bytes(original)
    assert kestrix("skills", "install", "claude", *args).stdout.startswith("installed the")
    block = CRLF_BLOCK if original and b"\r\n" in original else LF_BLOCK
    assert config.read_bytes() == (original or b"") + block
    assert kestrix("skills", "install", "claude", *args).stdout.startswith("already installed")
    assert status(*args)["state"] == "installed"
    assert kestrix("skills", "uninstall", "claude", *args, "-q").stdout == ""
    assert config.read_bytes() == (original or b"")  # a file that held only the block stays
    assert status(*args) | {"config_file": 0} == {
        "runtime": "claude", "config_file": 0, "exists": True, "marker_lines": [],
        "state": "not_installed", "exit_code": cli.NOT_INSTALLED}


@pytest.mark.parametrize("before, after, state, lines", [
    (b"# Mine\r\n\r\nUse tabs.\r\n", CRLF_BLOCK, "installed", [6]),
    (b"# Mine\r\nno final line end", CRLF_BLOCK, "installed", [4]),
    (b"# Mine\r\n", LF_BLOCK, "installed", [4]),
    (b"# Mine", LF_BLOCK, "installed", [3]),
    (None, b"", "not_installed", []),
    (b"mine\r\n", b"", "not_installed", []),
    (b"", LF_BLOCK.replace(b"Always", b"Never"), "other_text", [3]),
    (b"top\n", LF_BLOCK + b"a line added later\n", "other_text", [4]),
    (b"# Mine\nsecond\r\n", CRLF_BLOCK, "other_text", [5]),
    (b"# Mine", CRLF_BLOCK, "other_text", [3]),
    (b"", CRLF_BLOCK, "other_text", [3]),
    (b"see " + MARKER + b"\n", LF_BLOCK, "other_text", [1, 4]),
    (b"", OTHER_RULE_BLOCK, "other_text", [3]),
], ids=["crlf", "crlf-no-final", "crlf-text-lf-block", "no-line-end", "no-file", "no-marker",
        "edited", "moved", "crlf-after-lf", "crlf-after-no-line-end", "crlf-alone",
        "marker-twice", "other-rule"])
def test_status_and_uninstall_on_files_as_found(claude_skills, templates, before, after, state,
                                                lines):
    config, args = claude_skills.parent / "CLAUDE.md", (claude_skills, "--templates", templates)
    if before is not None:
        config.write_bytes(before + after)
    report = status(*args)
    assert (report["state"], report["marker_lines"]) == (state, lines)
    done = kestrix("skills", "uninstall", "claude", *args)
    if state == "other_text":
        assert_one_error_line(done, cli.REFUSED, "nothing was changed")
        assert f"line{'s' if len(lines) > 1 else ''} {lines[0]}" in done.stderr
        assert config.read_bytes() == before + after
    else:
        assert done.returncode == 0 and done.stdout.startswith(
            "removed" if lines else "nothing to remove")
        assert config.exists() == (before is not None)
        assert before is None or config.read_bytes() == before


SKILLS = "project/.claude/skills"
TEMPLATES = ("--templates", "templates")


@pytest.mark.parametrize("args, config, rule, code, fragment", [
    (("install", "CLAUDE", SKILLS), None, None, cli.UNKNOWN_RUNTIME,
     "unknown runtime 'CLAUDE'; known runtimes: claude, openclaw, codex, opencode"),
    (("uninstall", "vscode", SKILLS), None, None, cli.UNKNOWN_RUNTIME, "runtime 'vscode'"),
    (("install", "claude", ""), None, None, cli.USAGE, "SKILLS_DIR is empty"),
    (("install", "claude", SKILLS, "--templates", "no"), None, None, cli.USAGE,
     "templates folder does not exist ("),
    (("status", "claude", SKILLS, "--templates", SKILLS + "/f"), None, None, cli.USAGE,
     "templates folder is not a folder ("),
    (("install", "claude", SKILLS, *TEMPLATES), None, " \n", cli.BLANK_RULE,
     "the rule file is blank, so there is nothing to install ("),
    (("status", "claude", SKILLS, *TEMPLATES), LF_BLOCK, "", cli.BLANK_RULE, "rule file is blank"),
    (("install", "claude", SKILLS + "/f/skills"), None, None, cli.FAILED,
     "cannot install the rule: a file is in the way of a folder ("),
    (("uninstall", "claude", SKILLS), "dir", None, cli.FAILED, "Is a directory ("),
    (("install", "claude", SKILLS), b"\xff\xfe", None, cli.FAILED, "not UTF-8 text ("),
    (("install", "claude", SKILLS, *TEMPLATES), None, b"\xff", cli.FAILED,
     "cannot read the rule file: not UTF-8 text ("),
    (("install", "claude"), None, None, cli.USAGE,
     "the following arguments are required: SKILLS_DIR; see 'kestrix skills install --help'"),
    (("status", "claude", SKILLS, "--jsn"), None, None, cli.USAGE, "unrecognized arguments"),
    ((), None, None, cli.USAGE, "required: ACTION"),
])
def test_errors_are_one_line_with_their_exit_code(claude_skills, templates, args, config, rule,
                                                  code, fragment):
    (claude_skills / "f").write_text("")
    if config == "dir":
        (claude_skills.parent / "CLAUDE.md").mkdir()
    elif config is not None:
        (claude_skills.parent / "CLAUDE.md").write_bytes(config)
    if rule is not None:
        rule_file = templates / "kestrix-feedback" / "data" / "FEEDBACK_RULE.md"
        rule_file.write_bytes(rule.encode() if isinstance(rule, str) else rule)
    done = kestrix("skills", *args, cwd=claude_skills.parents[2])
    assert_one_error_line(done, code, fragment)
    assert "group" not in done.stderr and "dest" not in done.stderr


def test_paths_entry_points_and_debug(tmp_path):
    done = kestrix("skills", "install", "codex", "~/p/.codex/skills", env={"HOME": str(tmp_path)})
    assert done.stdout == f"installed the feedback rule ({tmp_path}/p/.codex/AGENTS.md)\n"
    done = kestrix("skills", "status", "codex", "../.codex/skills", cwd=tmp_path / "p/.codex",
                   entry=(sys.executable, "-m", "kestrix"))
    assert (done.returncode, done.stdout) == (0, f"installed ({tmp_path}/p/.codex/AGENTS.md)\n")
    done = kestrix("skills", "status", "codex", "s", "--templates", "no", "--debug", cwd=tmp_path)
    assert done.returncode == cli.USAGE and done.stderr.startswith("Traceback")
    assert done.stderr.splitlines()[-1].startswith("kestrix: error: templates folder")


# Runs the command with one function replaced by one that raises.
PATCHED = """import sys, kestrix.cli, kestrix.skills.services._safe_write as sw
def fail(*args): raise {error}
{target} = fail
sys.exit(kestrix.cli.main(sys.argv[1:]))"""


@pytest.mark.parametrize("command, target, error, code, stderr", [
    ("status", "kestrix.cli.run_status", "KeyboardInterrupt", 130, "kestrix: interrupted"),
    ("uninstall", "sw.replace_file", "PermissionError(13, 'Permission denied', str(args[0]))",
     cli.FAILED, "kestrix: error: cannot remove the rule: Permission denied ({config})"),
])
def test_interrupt_and_write_failure(claude_skills, templates, command, target, error, code,
                                     stderr):
    config = claude_skills.parent / "CLAUDE.md"
    config.write_bytes(b"mine\n" + LF_BLOCK)
    done = kestrix("skills", command, "claude", claude_skills, "--templates", templates,
                   entry=(sys.executable, "-c", PATCHED.format(error=error, target=target)))
    assert (done.returncode, done.stderr) == (code, stderr.format(config=config) + "\n")
    assert config.read_bytes() == b"mine\n" + LF_BLOCK


def test_help_lists_the_runtimes_of_the_module_table(monkeypatch, capsys):
    monkeypatch.setattr(ri, "RUNTIME_CONFIG_FILES", {"zed": "ZED.md", "aider": "ZED.md"})
    with pytest.raises(SystemExit):
        cli.main(["skills", "status", "--help"])
    assert "agent runtime: zed, aider (ZED.md)" in " ".join(capsys.readouterr().out.split())
