"""The `kestrix` command end to end: the states of a file, what each action does to it,
dry runs, JSON, output and argument errors."""

import errno
import json
import hashlib
import os
import pty
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, strategies as st

from conftest import RULE_TEXT
from kestrix import cli
from kestrix.cli import arguments, parser
from kestrix.cli.arguments import ACTIONS
from kestrix.cli.diff import unified_diff
from kestrix.skills.services import rule_injector as ri
from kestrix.skills.services.file_route import ROUTE_VARIABLE
from kestrix.skills.services.rule_block import MARKER, block

LF_BLOCK, CRLF_BLOCK = block(RULE_TEXT, False), block(RULE_TEXT, True)
BOM = b"\xef\xbb\xbf"
OTHER_TOOL = b"\n<!-- other tool -->\nkeep me\n"


KESTRIX_SCRIPT = Path(sys.executable).with_name("kestrix")


def kestrix(*args, cwd=None, env=None, entry=(str(Path(sys.executable).with_name("kestrix")),),
            timeout=60, **run):
    return subprocess.run([*entry, *map(str, args)], capture_output="stdout" not in run,
                          text=True, cwd=cwd, env={**os.environ, **(env or {})},
                          timeout=timeout, **run)


@pytest.fixture(autouse=True)
def home(tmp_path_factory, monkeypatch):
    """A HOME of each test's own, and none of the variables that move an agent's folder:
    a run without SKILLS_DIR never reaches the real ~/.claude."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("HOME", str(home))
    for name in ("CLAUDE_CONFIG_DIR", "CODEX_HOME", "XDG_CONFIG_HOME"):
        monkeypatch.delenv(name, raising=False)
    return home


@pytest.fixture(params=["native", "python"])
def file_route(request, monkeypatch):
    """Runs a test of the command once on each reader and writer: the Python route, which
    other systems take, is forced through its test seam (kestrix() passes os.environ on)."""
    monkeypatch.delenv(ROUTE_VARIABLE, raising=False)
    if request.param == "python":
        monkeypatch.setenv(ROUTE_VARIABLE, "python")
    return request.param


def assert_one_error_line(done, code, fragment, stdout=""):
    assert (done.returncode, done.stdout) == (code, stdout)
    assert done.stderr.startswith("kestrix: error: ") and done.stderr.count("\n") == 1
    assert fragment in done.stderr and "Traceback" not in done.stderr


def status(*args):
    done = kestrix("skills", "status", "claude", *args, "--json")
    report = json.loads(done.stdout)
    assert report["exit_code"] == done.returncode
    return report


def read(path):
    return path.read_bytes() if path.exists() else None


@pytest.mark.parametrize("original", [None, b"", b"# Mine\n\nUse tabs.\n", b"abc",
                                      b"# Mine\r\n\r\nUse tabs.\r\n", b"# Mine\r\nno final"])
def test_install_then_uninstall_gives_back_the_bytes(claude_skills, templates, original,
                                                     file_route):
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
        "command": "status", "runtime": "claude", "config_file": 0, "exists": True,
        "marker_lines": [], "state": "not_installed", "state_after": "not_installed",
        "changed": False, "dry_run": False, "lines_after_block": None, "read_instead": None,
        "diff": None, "exit_code": cli.NOT_INSTALLED_CODE, "error": None}


# Files as found: (text before, block, text after, state, marker lines). "builtin" is the
# block that install writes without --templates; with --templates holding another rule, it
# is the rule of an older release.
FILES = {
    "lf": (b"# Mine\n\nUse tabs.\n", LF_BLOCK, b"", "installed", [6]),
    "crlf": (b"# Mine\r\n\r\nUse tabs.\r\n", CRLF_BLOCK, b"", "installed", [6]),
    "crlf-no-final-line-end": (b"# Mine\r\nno final", CRLF_BLOCK, b"", "installed", [4]),
    "no-line-end": (b"# Mine", LF_BLOCK, b"", "installed", [3]),
    "block-alone": (b"", LF_BLOCK, b"", "installed", [3]),
    "bom": (BOM + b"# Mine\r\n", CRLF_BLOCK, b"", "installed", [4]),
    "other-tool-after": (b"# Mine\n", LF_BLOCK, OTHER_TOOL, "installed", [4]),
    "outdated": (b"# Mine\r\n", "builtin", b"<!-- other tool -->\r\n", "outdated", [4]),
    "outdated-alone": (b"", "builtin", b"", "outdated", [3]),
    "quoted": (b"```\n" + MARKER + b"\n```\n", b"", b"", "modified", [2]),
    "edited": (b"# Mine\n", LF_BLOCK.replace(b"Always", b"Never"), b"tail\n", "modified", [4]),
    "twice": (b"see " + MARKER + b"\n", LF_BLOCK, b"", "modified", [1, 4]),
    "crlf-block-after-lf": (b"# Mine\nsecond\r\n", CRLF_BLOCK, b"", "modified", [5]),
    "crlf-block-after-no-line-end": (b"# Mine", CRLF_BLOCK, b"", "modified", [3]),
    "lf-block-after-crlf": (b"# Mine\r\n", LF_BLOCK, b"", "modified", [4]),
    "not-installed-crlf": (b"# Mine\r\n", b"", b"", "not_installed", []),
    "empty": (b"", b"", b"", "not_installed", []),
    "missing": (None, b"", b"", "not_installed", []),
    # UTF-8 is checked a megabyte at a time: a character may span two pieces
    "character-across-megabytes": (b"a" * ((1 << 20) - 1) + "é\n".encode(), LF_BLOCK, b"",
                                   "installed", [4]),
}
SAME = "same"
CHANGES = [
    ("not-installed-crlf", "install", 0, b"# Mine\r\n" + CRLF_BLOCK),
    ("empty", "install", 0, LF_BLOCK),
    ("missing", "install", 0, LF_BLOCK),
    ("lf", "install", 0, SAME),
    ("outdated", "install", 0, SAME),
    ("quoted", "install", 0, SAME),
    ("outdated", "update", 0, b"# Mine\r\n" + CRLF_BLOCK + b"<!-- other tool -->\r\n"),
    ("outdated-alone", "update", 0, LF_BLOCK),
    ("not-installed-crlf", "update", 0, b"# Mine\r\n" + CRLF_BLOCK),
    ("other-tool-after", "update", 0, SAME),
    ("edited", "update", cli.REFUSED, SAME),
    ("quoted", "update", cli.REFUSED, SAME),
    ("edited", "update --force", 0, b"# Mine\n" + LF_BLOCK),
    ("twice", "update --force", cli.REFUSED, SAME),
    ("lf", "uninstall", 0, b"# Mine\n\nUse tabs.\n"),
    ("crlf", "uninstall", 0, b"# Mine\r\n\r\nUse tabs.\r\n"),
    ("crlf-no-final-line-end", "uninstall", 0, b"# Mine\r\nno final"),
    ("block-alone", "uninstall", 0, b""),
    ("bom", "uninstall", 0, BOM + b"# Mine\r\n"),
    ("other-tool-after", "uninstall", 0, b"# Mine\n" + OTHER_TOOL),
    ("outdated", "uninstall", 0, b"# Mine\r\n<!-- other tool -->\r\n"),
    ("crlf-block-after-lf", "uninstall", cli.REFUSED, SAME),
    ("twice", "uninstall", cli.REFUSED, SAME),
    ("quoted", "uninstall", cli.REFUSED, SAME),
    ("edited", "uninstall --force", 0, b"# Mine\n"),
    ("lf-block-after-crlf", "uninstall --force", 0, b"# Mine\r\n"),
    ("crlf-block-after-lf", "uninstall --force", 0, b"# Mine\nsecond\r\n"),
    ("twice", "uninstall --force", cli.REFUSED, SAME),
    ("missing", "uninstall", 0, SAME),
    ("not-installed-crlf", "uninstall", 0, SAME),
]
STATUS = [(name, "status", cli.STATUS_CODES[found[3]], SAME) for name, found in FILES.items()]


def place(found, skills):
    """Writes the file as found beside `skills`; its bytes, or None for no file."""
    before, middle, after = found[:3]
    config = skills.parent / "CLAUDE.md"
    if before is None:
        return None
    config.write_bytes(before)
    if middle == "builtin":
        assert kestrix("skills", "install", "claude", skills, "-q").returncode == 0
        middle = b""
    config.write_bytes(config.read_bytes() + middle + after)
    return config.read_bytes()


@pytest.mark.parametrize("name, command, code, after", STATUS + CHANGES,
                         ids=[f"{r[1]}-{r[0]}" for r in STATUS + CHANGES])
def test_files_as_found(claude_skills, templates, name, command, code, after, file_route):
    config = claude_skills.parent / "CLAUDE.md"
    found = place(FILES[name], claude_skills)
    want = found if after == SAME else after
    run = ("skills", *command.split(), "claude", claude_skills, "--templates", templates, "--json")
    if command != "status":
        done = kestrix(*run, "--dry-run")
        report = json.loads(done.stdout)
        assert (done.returncode, report["exit_code"], report["changed"]) == (code, code, False)
        assert read(config) == found and bool(report["diff"]) == (want != found)
        assert report["state_after"] == report["state"]  # a dry run leaves the file as it was
        if report["diff"]:
            # The diff is a real patch: applied to the file, it gives the real run's bytes.
            patch = config.parent / "dry-run.diff"
            patch.write_text(report["diff"], encoding="utf-8", newline="")
            subprocess.run(["git", "apply", "-p1", patch], cwd="/", check=True, timeout=30)
            assert read(config) == want
            patch.unlink()
            config.unlink()
            place(FILES[name], claude_skills)
    done = kestrix(*run)
    report = json.loads(done.stdout)
    assert (done.returncode, report["exit_code"]) == (code, code)
    assert (report["state"], report["marker_lines"]) == FILES[name][3:]
    assert report["changed"] == (want != found)
    assert (report["error"] is not None, report["diff"]) == (code == cli.REFUSED, None)
    assert report["state_after"] == (report["state"] if want == found else
                                     "not_installed" if command.startswith("uninstall") else
                                     "installed")
    assert read(config) == want


@pytest.mark.parametrize("before, opens_on", [
    (b"# Mine\n\n```sh\nmake\n", 3),
    (b"~~~\r\ncode\r\n", 1),
    (b"<pre>\nkeep\n", 1),
    (b"text\n\n<script>\nx = 1;", 3),
    (b"```\ncode\n```\n", None),
    (b"<div>\nshort\n", None),
    (b"<!-- a comment the marker closes\n", None),
])
def test_a_rule_that_reads_as_code_is_warned_about(claude_skills, templates, before, opens_on):
    config = claude_skills.parent / "CLAUDE.md"
    config.write_bytes(before)
    for action in ("update", "install"):  # update's dry run first, then the real install
        done = kestrix("skills", action, "claude", claude_skills, "--templates", templates,
                       *(["--dry-run"] if action == "update" else []))
        assert done.returncode == 0
        warning = "" if opens_on is None else (
            f"kestrix: warning: the {'HTML block' if b'<' in before else 'code fence'} opened "
            f"on line {opens_on} runs on into the feedback rule, so an agent reads the rule as "
            f"code; close it before the marker ({config})\n")
        assert done.stderr == warning
    assert config.read_bytes()[: len(before)] == before and MARKER in config.read_bytes()


SKILLS = "project/.claude/skills"
TEMPLATES = ("--templates", "templates")
RULE_FILE = "kestrix-feedback/data/FEEDBACK_RULE.md"


@pytest.mark.parametrize("args, config, rule, code, fragment", [
    (("install", "CLAUDE", SKILLS), None, None, cli.UNKNOWN_RUNTIME,
     "unknown runtime 'CLAUDE'; known runtimes: claude, openclaw, codex, opencode"),
    (("uninstall", "vscode", SKILLS), None, None, cli.UNKNOWN_RUNTIME, "runtime 'vscode'"),
    (("install", "claude", ""), None, None, cli.USAGE, "SKILLS_DIR is empty"),
    (("install", "claude", SKILLS, "--templates", "no"), None, None, cli.USAGE,
     f"no rule file in the templates folder ({{tmp}}/no/{RULE_FILE})"),
    (("status", "claude", SKILLS, "--templates", SKILLS), None, None, cli.USAGE,
     f"no rule file in the templates folder ({{tmp}}/{SKILLS}/{RULE_FILE})"),
    (("install", "claude", SKILLS, *TEMPLATES), None, " \n", cli.BLANK_RULE,
     "the rule file is blank, so there is nothing to install ("),
    (("status", "claude", SKILLS, *TEMPLATES), LF_BLOCK, "", cli.BLANK_RULE, "rule file is blank"),
    (("install", "claude", "project/.claud/skills"), None, None, cli.USAGE,
     "the configuration file's folder does not exist ({tmp}/project/.claud)"),
    (("update", "claude", SKILLS + "/f/skills"), None, None, cli.USAGE,
     "the configuration file's folder is not a folder ({tmp}/project/.claude/skills/f)"),
    (("install", "claude", "project/.claude/"), None, None, cli.USAGE,
     "SKILLS_DIR is the runtime's folder named skills; did you mean project/.claude/skills? "
     "({tmp}/project/.claude)"),
    (("install", "openclaw"), None, None, cli.USAGE, "openclaw has no default skills folder; "
     "give SKILLS_DIR (the skills folder beside its AGENTS.md) or --config-file"),
    (("install", "claude", "--config-file", "project/AGENTS.md"), None, None, cli.USAGE,
     "claude reads a file named CLAUDE.md; --config-file names another ({tmp}/project/AGENTS.md)"),
    (("install", "claude", SKILLS, "--config-file", "CLAUDE.md"), None, None, cli.USAGE,
     "give SKILLS_DIR or --config-file, not both"),
    (("status",), None, None, cli.USAGE, "required: RUNTIME (or --all)"),
    (("uninstall", "claude", SKILLS), "dir", None, cli.FAILED, "Is a directory ("),
    (("install", "claude", SKILLS), b"\xff\xfe", None, cli.FAILED, "not UTF-8 text ("),
    (("status", "claude", SKILLS), b"# \xe9t\xe9\n" + LF_BLOCK, None, cli.FAILED,
     "cannot read the configuration file: not UTF-8 text ("),
    # a character begun at the end of one megabyte, and its end a megabyte of ASCII later
    (("status", "claude", SKILLS), b"a" * ((1 << 20) - 1) + b"\xc3" + b"a" * (1 << 20) +
     b"\xa9\n", None, cli.FAILED, "cannot read the configuration file: not UTF-8 text ("),
    (("install", "claude", SKILLS, *TEMPLATES), None, b"\xff", cli.FAILED,
     "cannot read the rule file: not UTF-8 text ("),
    (("install",), None, None, cli.USAGE,
     "the following arguments are required: RUNTIME; see 'kestrix skills install --help'"),
    (("status", "claude", SKILLS, "--jso"), None, None, cli.USAGE, "unrecognized arguments"),
    (("uninstall", "claude", SKILLS, "--dry"), None, None, cli.USAGE, "unrecognized arguments"),
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
        rule_file = templates / RULE_FILE
        rule_file.write_bytes(rule.encode() if isinstance(rule, str) else rule)
    tree = {p: p.is_file() and p.read_bytes() for p in claude_skills.parents[2].rglob("*")}
    done = kestrix("skills", *args, "--json", cwd=claude_skills.parents[2])
    report = json.loads(done.stdout)
    assert_one_error_line(done, code, fragment.format(tmp=claude_skills.parents[2]), done.stdout)
    assert (report["exit_code"], "kestrix: error: " + report["error"], report["changed"]) == (
        code, done.stderr.rstrip("\n"), False)
    assert list(report) == KEYS and report["state_after"] == report["state"]
    assert "group" not in done.stderr and "dest" not in done.stderr
    assert {p: p.is_file() and p.read_bytes() for p in claude_skills.parents[2].rglob("*")} == tree


@pytest.mark.parametrize("kind, command", [
    ("fifo", "status"), ("fifo", "install"), ("fifo", "update"), ("fifo", "uninstall"),
    ("socket", "status"), ("link-to-dev-null", "status"), ("link-to-dev-null", "update"),
])
def test_fifos_sockets_and_devices_are_refused_without_blocking(
        claude_skills, kind, command, file_route):
    config = claude_skills.parent / "CLAUDE.md"
    if kind == "fifo":
        os.mkfifo(config)
    elif kind == "socket":
        server = socket.socket(socket.AF_UNIX)
        server.bind(str(config))
    else:
        config.symlink_to("/dev/null")
    try:
        done = kestrix("skills", command, "claude", claude_skills, timeout=20)
    finally:
        if kind == "socket":
            server.close()
    # A socket is refused as open() refuses it; the others before they are opened.
    reason = "No such device or address" if kind == "socket" else "Not a regular file"
    assert_one_error_line(done, cli.FAILED, f"{reason} ({config})")
    assert config.is_symlink() == (kind == "link-to-dev-null")


@pytest.mark.parametrize("stdout, command, code, stderr", [
    ("closed-pipe", "install", 0, ""),
    ("closed-pipe", "status", cli.NOT_INSTALLED_CODE, ""),
    ("closed-pipe", "uninstall --json", 0, ""),
    ("/dev/full", "install", cli.FAILED, "kestrix: error: cannot write the output: No space "
     "left on device; the file was changed all the same ({config})\n"),
])
def test_output_failures(claude_skills, stdout, command, code, stderr):
    config = claude_skills.parent / "CLAUDE.md"
    if stdout == "closed-pipe":
        # A reader that went away, as with `kestrix ... | head -n 0`.
        reader, out = os.pipe()
        os.close(reader)
    else:
        out = os.open(stdout, os.O_WRONLY)
    try:
        done = kestrix("skills", *command.split(), "claude", claude_skills, stdout=out,
                       stderr=subprocess.PIPE)
    finally:
        os.close(out)
    assert (done.returncode, done.stderr) == (code, stderr.format(config=config))
    assert config.exists() == command.startswith("install")  # the work was done all the same


def test_codex_reads_its_override_file_instead(tmp_path):
    skills = tmp_path / ".codex" / "skills"
    skills.mkdir(parents=True)
    override = skills.parent / "AGENTS.override.md"
    override.write_text("# Mine\n")
    done = kestrix("skills", "status", "codex", skills)
    assert done.stdout.splitlines()[1] == f"note: codex reads {override} instead of this file"
    assert json.loads(kestrix("skills", "status", "codex", skills, "--json").stdout)[
        "read_instead"] == str(override)
    # The others read AGENTS.md itself.
    assert kestrix("skills", "status", "opencode", skills).stdout.count("\n") == 1


# Every action's JSON object has these keys, in this order.
KEYS = ["command", "runtime", "config_file", "exists", "marker_lines", "state", "state_after",
        "changed", "dry_run", "lines_after_block", "read_instead", "diff", "exit_code", "error"]


@pytest.mark.parametrize("args", [("install",), ("install", "--dry-run"), ("update",),
                                  ("update", "--dry-run"), ("status",), ("uninstall",),
                                  ("uninstall", "--dry-run")])
def test_every_action_has_one_json_shape(tmp_path, args):
    skills = tmp_path / ".codex" / "skills"
    skills.mkdir(parents=True)
    (skills.parent / "AGENTS.override.md").write_text("# Mine\n")
    done = kestrix("skills", args[0], "codex", skills, *args[1:], "--json")
    report = json.loads(done.stdout)
    assert list(report) == KEYS and report["error"] is None
    assert report["read_instead"] == str(skills.parent / "AGENTS.override.md")
    # A dry run's diff is a text (empty: nothing to remove), null otherwise.
    assert (report["diff"] is None) == ("--dry-run" not in args)
    # Outside status, codex's other file is a warning: the rule went where codex does not look.
    assert ("instead of this file" in done.stderr) == (args[0] != "status")


def test_command_line_forms(tmp_path):
    version = kestrix("--version").stdout
    assert version.startswith("kestrix 0.") and kestrix("-V").stdout == version
    for args in (("--json", "--version"), ("-V", "--json")):
        assert json.loads(kestrix(*args).stdout) == {"version": version.split()[1]}
    bare = kestrix()
    assert (bare.returncode, bare.stdout) == (cli.USAGE, "")
    assert bare.stderr.startswith("usage: kestrix") and "COMMAND" in bare.stderr
    (tmp_path / "skills").mkdir()
    done = kestrix("--json", "-q", "skills", "--debug", "install", "claude", tmp_path / "skills")
    assert json.loads(done.stdout)["changed"] and done.stderr == ""


@st.composite
def command_lines(draw):
    flag = st.sampled_from(["-q", "--quiet", "--json", "--debug"])
    piece = st.one_of(
        st.sampled_from(["claude", "dir", ""]).map(lambda word: [word]),
        st.sampled_from(["-q", "--json", "--all", "--dry-run", "--force"]).map(lambda o: [o]),
        st.tuples(st.sampled_from(["--templates", "--config-file"]),
                  st.sampled_from(["t", "-q", ""])).map(list),
        st.sampled_from(["--templates=t", "-x", "-h", "--", "-V", "-1"]).map(lambda o: [o]))
    action = draw(st.sampled_from([*ACTIONS, "completion", "statu"]))
    rest = draw(st.lists(piece, max_size=5))
    return [*draw(st.lists(flag, max_size=2)), "skills", action, *sum(rest, [])]


@given(command_lines())
def test_a_plain_reading_of_the_command_line_is_argparses(argv):
    # Ordinary command lines skip argparse; whatever they are read as, argparse reads them
    # so too (and never refuses one).
    plain = arguments.read_plainly(argv)
    if plain is not None:
        assert vars(parser.parse(argv)) == vars(plain)


@pytest.mark.parametrize("line, plain", [
    ("skills status claude dir -q", True), ("--json skills install claude --dry-run", True),
    ("skills --debug update codex --config-file a/AGENTS.md --force --templates t", True),
    ("skills status --all --json", True), ("skills uninstall --quiet claude dir", True),
    ("skills install --templates t --templates u claude", True),
    # argparse refuses these (a positional word after an option, a value that is an option)
    ("skills status claude -q dir", False), ("skills install claude --templates -q", False),
    ("skills install claude --help", False), ("skills install --force claude", False)])
def test_ordinary_command_lines_are_read_plainly(line, plain):
    argv = line.split()
    read = arguments.read_plainly(argv)
    assert (read is not None) == plain
    if plain:
        assert vars(parser.parse(argv)) == vars(read)


@pytest.mark.parametrize("args", [("skills", "status", "claude", "{skills}", "-q"),
                                  ("skills", "install", "claude", "{skills}", "-q"),
                                  ("skills", "update", "claude", "{skills}", "-q"),
                                  ("--version",)])
def test_runs_load_only_what_they_need(claude_skills, args):
    # Start-up is most of a run: the modules of other actions, errors and annotations stay
    # unloaded, and so does the Markdown parser when no line could open a block.
    code = ("import sys, kestrix.cli as c; c.main(sys.argv[2:]); print(sorted({m for m in "
            "sys.modules} & {'json', 'difflib', 'traceback', 'typing', 'hashlib', 'markdown_it', "
            "'shutil', '__future__', 'importlib.metadata', 'signal', 'codecs', 'argparse'}))")
    config = claude_skills.parent / "CLAUDE.md"
    config.write_bytes(b"# Mine <b>\n" + block(ri._DEFAULT_RULE_CONTENT.strip(), False))
    args = [arg.format(skills=claude_skills) for arg in args]
    done = kestrix(claude_skills, *args, entry=(sys.executable, "-c", code))
    # install and update load signal to hear SIGTERM; codecs is loaded by the interpreter.
    writes = "install" in args or "update" in args
    assert done.stdout.splitlines()[-1] == ("['codecs', 'signal']" if writes else "['codecs']")


# A process's peak resident size starts from its parent's (the kernel carries it across fork
# and exec): the command runs as the child of a small interpreter, which reports its peak.
PEAK_OF_CHILD = ("import os, subprocess, sys; child = subprocess.Popen(sys.argv[1:]); "
                 "_, status, usage = os.wait4(child.pid, 0); print(usage.ru_maxrss * 1024); "
                 "sys.exit(os.waitstatus_to_exitcode(status))")


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator keeps freed memory resident")
@pytest.mark.parametrize("action, with_block", [("status", True), ("install", False),
                                                ("uninstall", True), ("uninstall --dry-run", True)])
def test_a_large_file_is_held_once(tmp_path, action, with_block):
    # The reader fills the bytes it returns and the writer takes views of them: no action
    # holds a second copy of the file (peak resident size against the same run on a tiny file).
    rule_block = block(ri._DEFAULT_RULE_CONTENT.strip(), False)
    size = 32 << 20

    def peak(text: bytes) -> int:
        skills = tmp_path / str(len(text)) / ".claude" / "skills"
        skills.parent.mkdir(parents=True)
        (skills.parent / "CLAUDE.md").write_bytes(text + (rule_block if with_block else b""))
        done = kestrix(*action.split()[:1], "claude", skills, *action.split()[1:], "-q",
                       entry=(sys.executable, "-c", PEAK_OF_CHILD, KESTRIX_SCRIPT, "skills"))
        assert done.returncode == 0, done.stderr
        return int(done.stdout)

    growth = peak(b"- a line of notes\n" * (size // 18)) - peak(b"# Mine\n")
    assert growth < 1.5 * size, f"{growth / size:.2f} bytes per file byte"


def test_paths_entry_points_and_debug(tmp_path):
    (tmp_path / "p/.codex/skills").mkdir(parents=True)
    done = kestrix("skills", "install", "codex", "~/p/.codex/skills", env={"HOME": str(tmp_path)})
    assert done.stdout == f"installed the feedback rule ({tmp_path}/p/.codex/AGENTS.md)\n"
    done = kestrix("skills", "status", "codex", "../.codex/skills", cwd=tmp_path / "p/.codex",
                   entry=(sys.executable, "-m", "kestrix"))
    assert (done.returncode, done.stdout) == (
        0, f"installed, marker on line 3 ({tmp_path}/p/.codex/AGENTS.md)\n")
    done = kestrix("skills", "status", "codex", "s", "--templates", "no", "--debug", cwd=tmp_path)
    assert done.returncode == cli.USAGE and done.stderr.startswith("Traceback")
    assert done.stderr.splitlines()[-1].startswith("kestrix: error: no rule file")


# Runs the command with one function replaced by one that raises.
PATCHED = """import sys, kestrix.cli, kestrix.cli.actions, kestrix.skills.services._safe_write as sw
def fail(*args, **kwargs): raise {error}
{target} = fail
sys.exit(kestrix.cli.main(sys.argv[1:]))"""


@pytest.mark.parametrize("command, target, error, code, stderr", [
    ("status", "kestrix.cli.actions.run_status", "KeyboardInterrupt", 130,
     "kestrix: interrupted"),
    ("uninstall", "sw.replace_file", "PermissionError(13, 'Permission denied', str(args[0]))",
     cli.FAILED, "kestrix: error: cannot remove the rule: Permission denied ({config})"),
    ("uninstall", "sw.replace_file", f"OSError({errno.ESTALE}, 'Stale file handle')",
     cli.FAILED, "kestrix: error: the file changed while it was being updated; nothing was "
                 "changed ({config})"),
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


# Runs the command with one step replaced by `action`, once the step is reached.
STOPPED = """import os, signal, sys, time, kestrix.cli, kestrix.cli.target
import kestrix.skills.services._safe_write as sw
def stop(*args, **kwargs):
    {action}
{target} = stop
sys.exit(kestrix.cli.main(sys.argv[1:]))"""
AFTER_WRITE = "kestrix.cli.target.Target.changed"  # the step right after install's write
SIGTERM = "os.kill(os.getpid(), signal.SIGTERM); time.sleep(30)"


@pytest.mark.parametrize("command, target, action, code, state_after, words", [
    ("install", AFTER_WRITE, "raise KeyboardInterrupt", 130, "installed",
     "interrupted; the file was changed"),
    ("install", AFTER_WRITE, SIGTERM, cli.TERMINATED, "installed",
     "terminated; the file was changed"),
    ("install", AFTER_WRITE, "raise RuntimeError('bug')", cli.FAILED, "installed",
     "RuntimeError: bug; the file was changed"),
    ("uninstall --force", "sw.replace_file", "raise KeyboardInterrupt", 130, "modified",
     "interrupted; nothing was changed"),
    ("uninstall --force", "sw.replace_file", SIGTERM, cli.TERMINATED, "modified",
     "terminated; nothing was changed"),
])
def test_the_report_is_the_files_truth(claude_skills, templates, command, target, action, code,
                                       state_after, words):
    config = claude_skills.parent / "CLAUDE.md"
    before = b"mine\n" + (LF_BLOCK.replace(b"Always", b"Never") if "force" in command else b"")
    config.write_bytes(before)
    done = kestrix("skills", *command.split(), "claude", claude_skills, "--templates", templates,
                   "--json", entry=(sys.executable, "-c",
                                    STOPPED.format(action=action, target=target)))
    report = json.loads(done.stdout)
    changed = state_after == "installed"
    assert (done.returncode, report["exit_code"], report["changed"], report["state_after"]) == (
        code, code, changed, state_after)
    line = f"{words} ({config})"
    assert report["error"] == line and done.stderr.endswith(line + "\n")
    assert (config.read_bytes() == before) != changed


@pytest.mark.parametrize("command, tail, lines, text", [
    ("uninstall --force", b"tail\n", 1, "removed the feedback rule and the 1 line after it"),
    ("update --force", b"<!-- other tool -->\nkeep\nme", 3,
     "updated the feedback rule and the 3 lines after it"),
    ("uninstall --force", b"\n\n", 0, "removed the feedback rule ("),
])
def test_force_names_what_it_takes_beyond_the_block(claude_skills, templates, command, tail,
                                                    lines, text):
    config = claude_skills.parent / "CLAUDE.md"
    config.write_bytes(b"# Mine\n" + LF_BLOCK.replace(b"Always", b"Never") + tail)
    run = ("skills", *command.split(), "claude", claude_skills, "--templates", templates)
    dry = kestrix(*run, "--dry-run", "--json")
    assert json.loads(dry.stdout)["lines_after_block"] == lines
    assert (f"and the {lines} line" in dry.stderr) == bool(lines)  # said before anything is taken
    done = kestrix(*run)
    assert done.returncode == 0 and done.stdout.startswith(text)


def test_paths_stdout_cannot_encode_are_shown_escaped(tmp_path):
    skills = tmp_path / os.fsdecode(b"caf\xe9") / "skills"
    skills.mkdir(parents=True)
    shown = str(skills.parent).encode("utf-8", "surrogateescape")
    shown = shown.decode("utf-8", "backslashreplace") + "/CLAUDE.md"
    assert shown.endswith("caf\\xe9/CLAUDE.md")
    strict = {"PYTHONIOENCODING": "utf-8:strict"}
    done = kestrix("skills", "install", "claude", skills, env=strict)
    assert (done.returncode, done.stdout) == (0, f"installed the feedback rule ({shown})\n")
    done = kestrix("skills", "status", "claude", skills, env=strict)
    assert (done.returncode, done.stdout) == (0, f"installed, marker on line 3 ({shown})\n")


@pytest.mark.parametrize("command, code, after", [
    ("status", cli.OUTDATED_CODE, None),
    ("update", 0, b"# Mine\n" + block(ri._DEFAULT_RULE_CONTENT.strip(), False)),
    ("uninstall", 0, b"# Mine\n"),
])
def test_it_knows_the_blocks_it_wrote(claude_skills, templates, state_home, command, code, after):
    # A host's own rule (--templates), then a run without it: the block is the command's own,
    # an older rule, not one edited by hand.
    config = claude_skills.parent / "CLAUDE.md"
    config.write_bytes(b"# Mine\n")
    assert kestrix("skills", "install", "claude", claude_skills, "--templates", templates,
                   "-q").returncode == 0
    record = state_home / "kestrix" / "rules.json"
    assert stat.S_IMODE(record.parent.stat().st_mode) == 0o700
    assert stat.S_IMODE(record.stat().st_mode) == 0o600
    assert json.loads(record.read_text()) == {
        str(config): hashlib.sha256(RULE_TEXT.encode()).hexdigest()}
    written = config.read_bytes()
    done = kestrix("skills", command, "claude", claude_skills, "--json")
    assert (done.returncode, json.loads(done.stdout)["state"]) == (code, "outdated")
    assert config.read_bytes() == (after or written)
    if command == "uninstall":  # no block of ours is there any more
        assert json.loads(record.read_text()) == {}


def _nobody_owns(path):
    if os.geteuid() != 0:
        pytest.skip("another user's folder is made as root")
    os.chown(path, 65534, 65534)


# Ways the record can be lost: each only loses the knowledge, and --debug says why.
DAMAGE = {
    "corrupt": (lambda folder: (folder / "rules.json").write_text("{not json"), "not valid JSON"),
    "not-a-mapping": (lambda folder: (folder / "rules.json").write_text("[1]"),
                      "does not hold paths and digests"),
    "fifo": (lambda folder: (folder / "rules.json").unlink() or os.mkfifo(folder / "rules.json"),
             "not a regular file"),
    "group-writable-folder": (lambda folder: os.chmod(folder, 0o770),
                              "can be written by other users"),
    "another-users-folder": (_nobody_owns, "belongs to another user"),
    "folder-is-a-link": (lambda folder: folder.rename(folder.with_name("elsewhere")) and
                         folder.symlink_to("elsewhere"), "is not a folder"),
}


@pytest.mark.parametrize("damage", list(DAMAGE))
def test_a_lost_record_only_loses_the_knowledge(claude_skills, templates, state_home, damage):
    config = claude_skills.parent / "CLAUDE.md"
    kestrix("skills", "install", "claude", claude_skills, "--templates", templates, "-q")
    folder = state_home / "kestrix"
    make, reason = DAMAGE[damage]
    make(folder)
    written = config.read_bytes()
    done = kestrix("skills", "status", "claude", claude_skills, timeout=20)
    assert (done.returncode, done.stderr) == (cli.MODIFIED_CODE, "")  # as if never recorded
    done = kestrix("skills", "uninstall", "claude", claude_skills, "--debug", timeout=20)
    assert done.returncode == cli.REFUSED and config.read_bytes() == written
    assert any(line.startswith("kestrix: debug: the record") and reason in line
               for line in done.stderr.splitlines())
    # A write goes on; the record is written anew only where its folder may be used.
    done = kestrix("skills", "update", "claude", claude_skills, "--force", "--debug", timeout=20)
    assert done.returncode == 0 and "Traceback" not in done.stderr


@pytest.mark.parametrize("runtime, env, config", [
    ("claude", {}, ".claude/CLAUDE.md"),
    ("claude", {"CLAUDE_CONFIG_DIR": "~/cc"}, "cc/CLAUDE.md"),
    ("codex", {}, ".codex/AGENTS.md"),
    ("codex", {"CODEX_HOME": "{home}/cx"}, "cx/AGENTS.md"),
    ("opencode", {}, ".config/opencode/AGENTS.md"),
    ("opencode", {"XDG_CONFIG_HOME": "{home}/xdg"}, "xdg/opencode/AGENTS.md"),
    ("opencode", {"XDG_CONFIG_HOME": "relative"}, ".config/opencode/AGENTS.md"),
    ("claude", {"CLAUDE_CONFIG_DIR": ""}, ".claude/CLAUDE.md"),
])
def test_the_agents_own_folder_is_the_default(home, runtime, env, config):
    config = home / config
    config.parent.mkdir(parents=True)  # the skills folder itself may be missing
    env = {name: value.format(home=home) for name, value in env.items()}
    done = kestrix("skills", "install", runtime, env=env)
    assert (done.returncode, done.stdout) == (0, f"installed the feedback rule ({config})\n")
    assert sorted(p.name for p in config.parent.iterdir()) == [config.name]  # nothing else made
    assert kestrix("skills", "status", runtime, "-q", env=env).returncode == 0


def test_a_projects_own_file_and_every_agent_at_once(home, tmp_path):
    root = tmp_path / "repo"
    (root / "pkg").mkdir(parents=True)
    for runtime, path in (("claude", root / "CLAUDE.md"), ("codex", root / "pkg/AGENTS.md")):
        assert kestrix("skills", "install", runtime, "--config-file", path).returncode == 0
        assert kestrix("skills", "status", runtime, "--config-file", path).stdout.startswith(
            f"installed, marker on line 3 ({path})")
    assert sorted(p.name for p in root.rglob("*")) == ["AGENTS.md", "CLAUDE.md", "pkg"]
    (home / ".claude").mkdir()
    assert kestrix("skills", "install", "claude", "-q").returncode == 0
    (home / ".codex/AGENTS.md").mkdir(parents=True)  # cannot be looked at
    done = kestrix("skills", "status", "--all")
    assert done.returncode == cli.FAILED and done.stdout.splitlines() == [
        f"claude: installed, marker on line 3 ({home}/.claude/CLAUDE.md)",
        "codex: error: cannot read the configuration file: Is a directory "
        f"({home}/.codex/AGENTS.md)",
        f"opencode: not installed: no configuration file ({home}/.config/opencode/AGENTS.md)"]
    (home / ".codex/AGENTS.md").rmdir()
    done = kestrix("skills", "status", "--all", "--json")
    report = json.loads(done.stdout)
    assert done.returncode == 0 and list(report) == ["command", "results"]
    assert [(r["runtime"], r["state"], r["exit_code"], list(r)) for r in report["results"]] == [
        ("claude", "installed", 0, KEYS), ("codex", "not_installed", cli.NOT_INSTALLED_CODE, KEYS),
        ("opencode", "not_installed", cli.NOT_INSTALLED_CODE, KEYS)]


@pytest.mark.parametrize("old, start, end, insert", [
    (b"", 0, 0, LF_BLOCK),
    (b"abc", 3, 3, LF_BLOCK),
    (b"1\n2\n3\n4\n5\n6\n7\n8\n", 4, 8, b""),  # lines 3 and 4 out, three lines of context
    (b"same\n" * 50 + LF_BLOCK + b"same\n" * 50, 250, 250 + len(LF_BLOCK), b""),
    (b"x\r\n" + CRLF_BLOCK + b"tail", 3, 3 + len(CRLF_BLOCK), CRLF_BLOCK.replace(b"Always", b"A")),
    (b"a\nb", 2, 3, b"c\n"),
])
def test_dry_run_diffs_are_patches_of_the_one_range(tmp_path, old, start, end, insert):
    path = tmp_path / "CLAUDE.md"
    path.write_bytes(old)
    diff = unified_diff(str(path), old, start, end, insert)
    assert diff.count("@@ -") == 1
    (tmp_path / "d.diff").write_text(diff, encoding="utf-8", newline="")
    subprocess.run(["git", "apply", "-p1", tmp_path / "d.diff"], cwd="/", check=True, timeout=30)
    assert path.read_bytes() == old[:start] + insert + old[end:]


def _bash_offers(script: Path, words: list[str], home: Path) -> list[str]:
    shell = (f'source {script}; COMP_WORDS=({" ".join(words)}); COMP_CWORD={len(words) - 1}; '
             '_kestrix; printf "%s\\n" "${COMPREPLY[@]}"')
    done = subprocess.run(["bash", "--norc", "-c", shell], capture_output=True, text=True,
                          timeout=30, env={**os.environ, "HOME": str(home)})
    assert (done.returncode, done.stderr) == (0, "")
    return done.stdout.split()


def _zsh_offers(script: Path, words: list[str], home: Path) -> list[str]:
    """What zsh's own completion offers, typed into an interactive zsh on a terminal: a key
    puts every match on the line (the _all_matches completer), another writes the line."""
    line = home / "line"
    setup = (f"PS1='> '; source {script}\n"
             "zle -C all-matches complete-word _generic\n"
             "zstyle ':completion:all-matches:*' completer _all_matches _complete\n"
             "zstyle ':completion:all-matches:*' insert true\n"
             f"dump() {{ print -r -- $BUFFER > {line}; exit }}\n"
             "zle -N dump; bindkey '^Xa' all-matches; bindkey '^Xd' dump\n")
    pid, terminal = pty.fork()
    if pid == 0:
        os.execve(shutil.which("zsh"), ["zsh", "-f", "-i"],
                  {"HOME": str(home), "TERM": "dumb", "PATH": os.environ["PATH"]})
    try:
        os.write(terminal, setup.encode() + " ".join(words).encode() + b"\x18a\x18d")
        while select.select([terminal], [], [], 30)[0] and os.read(terminal, 4096):
            pass  # until zsh exits and the terminal closes (EIO)
    except OSError:
        pass
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(terminal)
    shown = line.read_text().split()
    return [] if shown == words else shown[len(words) - 1:]


def _fish_offers(script: Path, words: list[str], home: Path) -> list[str]:
    done = subprocess.run(["fish", "-N", "-c", "source $argv[1]; complete -C $argv[2]",
                           script, " ".join(words)], capture_output=True, text=True,
                          timeout=30, env={**os.environ, "HOME": str(home)})
    assert (done.returncode, done.stderr) == (0, "")
    return [line.split("\t")[0] for line in done.stdout.splitlines()]  # without descriptions


OFFERS = {"bash": _bash_offers, "zsh": _zsh_offers, "fish": _fish_offers}


@pytest.mark.parametrize("words, want", [
    ("kestrix sk", "skills"),
    ("kestrix completion f", "fish"),
    ("kestrix skills up", "update"),
    ("kestrix --json skills st", "status"),
    ("kestrix skills install c", "claude codex"),
    ("kestrix skills update claude --f", "--force"),
    ("kestrix skills status --a", "--all"),
    ("kestrix skills install claude --templates {tmp}/pro", "{tmp}/project"),
    ("kestrix skills install claude {tmp}/pro", "{tmp}/project"),
    ("kestrix skills install claude {tmp}/project x", ""),
])
@pytest.mark.parametrize("shell", list(OFFERS))
def test_shells_complete_words_and_folders(tmp_path, shell, words, want):
    if shutil.which(shell) is None:
        pytest.skip(f"{shell} is not installed")
    (tmp_path / "project").mkdir()
    (tmp_path / "profile.txt").write_text("")  # a file: never offered for a folder
    script = tmp_path / f"kestrix.{shell}"
    script.write_text(kestrix("completion", shell).stdout)
    offered = OFFERS[shell](script, words.format(tmp=tmp_path).split(" "), tmp_path)
    # A folder is offered as itself; zsh and fish add a slash to go on into it.
    assert [word.rstrip("/") for word in offered] == want.format(tmp=tmp_path).split()


@pytest.mark.parametrize("shell, check", [("bash", ["bash", "-n"]), ("zsh", ["zsh", "-n"]),
                                          ("fish", ["fish", "--no-execute"])])
def test_every_completion_script_parses(tmp_path, shell, check):
    done = kestrix("completion", shell)
    assert done.returncode == 0 and "kestrix" in done.stdout
    for word in (*ACTIONS, "config-file", "dry-run", "all", "codex"):
        assert word in done.stdout  # made from the parser's own tables
    if shutil.which(check[0]) is None:
        pytest.skip(f"{check[0]} is not installed to parse its script")
    (tmp_path / "script").write_text(done.stdout)
    assert subprocess.run([*check, tmp_path / "script"], timeout=30).returncode == 0
