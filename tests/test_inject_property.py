"""`inject` on real files with arbitrary bytes, through both routes: plain `Path` objects
(whose file work the module does with the OS) and a `Path` subclass (whose own methods do
it). Both append the block once or fail alike and leave the bytes; the OS route keeps the
user's bytes exactly and writes the block in the file's line ends."""

import tempfile
from pathlib import Path

from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import RULE_TEXT, OwnMethodsPath, PosixPath, block
from kestrix.skills.services.rule_injector import RULE_MARKER, RuleInjector, _DEFAULT_RULE_CONTENT

MARKER = RULE_MARKER.encode()

chunks = st.one_of(
    st.text(st.characters(exclude_categories=("Cs",))).map(str.encode),
    st.sampled_from([b"\r\n", b"\r", b"\n", b"\xef\xbb\xbf", b"\t \n"]),
    st.integers(1, len(MARKER)).map(lambda n: MARKER[:n]),
    st.integers(0, len(MARKER) - 1).map(lambda n: MARKER[n:]),
    st.integers(1, 300).map(lambda n: b"x" * n),  # ASCII runs across the checker's blocks
)
not_utf8 = st.sampled_from([b"\xff", b"\x80", b"\xc3", b"\xed\xa0\x80", b"\xe2\x82", b"\xf8\x88"])


@st.composite
def file_bytes(draw) -> bytes:
    pieces = draw(st.lists(chunks, max_size=12))
    if draw(st.booleans()):  # about half the files are not UTF-8
        pieces.insert(draw(st.integers(0, len(pieces))), draw(not_utf8))
    return b"".join(pieces)


def text_mode(data: bytes) -> str:
    """What read_text(encoding="utf-8") gives: strict UTF-8, universal newlines."""
    return data.decode("utf-8").replace("\r\n", "\n").replace("\r", "\n")


def run(path_type, root: str, data: bytes | None, templates: Path, runtime: str):
    """Injects twice into a file holding `data` (None: no file); returns
    (outcome, bytes after the first call, bytes after the second)."""
    skills = path_type(root) / ".agent" / "skills"
    config = Path(root) / ".agent" / ("CLAUDE.md" if runtime == "claude" else "AGENTS.md")
    if data is not None:
        config.parent.mkdir()
        config.write_bytes(data)
    injector = RuleInjector(path_type(templates))
    try:
        result = injector.inject(runtime, skills)
    except UnicodeDecodeError as e:
        outcome = ("error", type(e), e.args, e.object, e.start, e.end)
    else:
        assert type(result) is path_type and result == config
        outcome = ("ok",)
    first = config.read_bytes() if config.exists() else None
    if outcome == ("ok",):
        assert injector.inject(runtime, skills) == config
    return outcome, first, config.read_bytes() if config.exists() else None


# The templates tree is only read, so one per test serves every example.
@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.none() | file_bytes(), from_templates=st.booleans(),
       runtime=st.sampled_from(["claude", "codex"]))
def test_both_routes_append_once_or_leave_the_bytes(templates, data, from_templates, runtime):
    rule = RULE_TEXT if from_templates else _DEFAULT_RULE_CONTENT.strip()
    with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
        source = templates if from_templates else Path(a) / "none"
        native = run(PosixPath, a, data, source, runtime)
        methods = run(OwnMethodsPath, b, data, source, runtime)

    assert native[0] == methods[0]  # the same result, or the same error in every detail
    if native[0][0] == "error":
        assert native[1] == native[2] == methods[1] == data
        return
    old = text_mode(data or b"")
    if RULE_MARKER in old:
        assert native[1] == native[2] == methods[1] == data
        return
    new = block(rule)
    assert methods[1] == methods[2] == (old + new).encode()
    data = data or b""
    first_end = data.find(b"\n")
    if first_end > 0 and data[first_end - 1:first_end] == b"\r":
        new = new.replace("\n", "\r\n")
    assert native[1] == native[2] == data + new.encode()
