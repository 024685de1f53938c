"""`inject` on real files with arbitrary bytes: the old text as text mode reads it, then
the block, and nothing more on a second call; or an error and the bytes untouched."""

import tempfile
from pathlib import Path

from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import RULE_TEXT
from kestrix.skills.services.rule_injector import RULE_MARKER, RuleInjector, _DEFAULT_RULE_CONTENT

MARKER = RULE_MARKER.encode()

chunks = st.one_of(
    st.text(st.characters(exclude_categories=("Cs",))).map(str.encode),
    st.sampled_from([b"\r\n", b"\r", b"\n", b"\xef\xbb\xbf", b"\t \n"]),
    st.integers(1, len(MARKER)).map(lambda n: MARKER[:n]),
    st.integers(0, len(MARKER) - 1).map(lambda n: MARKER[n:]),
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


# The templates tree is only read, so one per test serves every example.
@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=file_bytes(), from_templates=st.booleans(), runtime=st.sampled_from(["claude", "codex"]))
def test_inject_appends_once_or_leaves_the_bytes(templates, data, from_templates, runtime):
    rule = RULE_TEXT if from_templates else _DEFAULT_RULE_CONTENT.strip()
    with tempfile.TemporaryDirectory() as root:
        skills = Path(root) / ".agent" / "skills"
        config = skills.parent / ("CLAUDE.md" if runtime == "claude" else "AGENTS.md")
        config.parent.mkdir()
        config.write_bytes(data)
        injector = RuleInjector(templates if from_templates else Path(root) / "none")
        try:
            old = text_mode(data)
        except UnicodeDecodeError:
            try:
                injector.inject(runtime, skills)
            except UnicodeDecodeError:
                pass
            else:
                raise AssertionError("a file that is not UTF-8 was accepted")
            assert config.read_bytes() == data
            return
        assert injector.inject(runtime, skills) == config
        expected = data if RULE_MARKER in old else f"{old}\n\n{RULE_MARKER}\n\n{rule}\n".encode()
        assert config.read_bytes() == expected
        assert injector.inject(runtime, skills) == config
        assert config.read_bytes() == expected
