"""The feedback rule's block: the bytes install appends, and where such a block stands.

install (the compiled module) appends to the text it finds two line ends, the marker, two
line ends, the rule and one line end, in CRLF when that text's first line end is CR LF and
in LF otherwise. This is the one Python copy of that layout: the `kestrix` command finds,
replaces and removes blocks with it, and the tests build the bytes they expect with it.
"""

from kestrix.skills.services.rule_injector import RULE_MARKER

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

MARKER = RULE_MARKER.encode()

# SHA-256 of the UTF-8 of every rule text a release of this package wrote by default
# (its stripped _DEFAULT_RULE_CONTENT), oldest first, so that a block written by an older
# release reads as outdated rather than as edited. When the built-in rule changes, append
# the new text's digest; never drop one, or files installed by that release read as edited.
KNOWN_RULE_SHA256 = (
    "f605d5fdd46f41c3bc13d18cce98036eb9b7395651f56e0ca465a96d392617cb",  # 0.1.0
)

INSTALLED = "installed"
OUTDATED = "outdated"
MODIFIED = "modified"
NOT_INSTALLED = "not_installed"


def crlf_after(text: bytes, end: int | None = None) -> bool:
    """Whether install writes its block after `text` (or its first `end` bytes, without
    slicing them out) in CRLF: the first line end is CR LF."""
    lf = text.find(b"\n", 0, end)
    return lf > 0 and text[lf - 1] == 0x0D


def block(rule: str, crlf: bool) -> bytes:
    """install's block for `rule` (a stripped rule text), in CRLF or in LF."""
    lf = b"\n\n" + MARKER + b"\n\n" + rule.encode() + b"\n"
    # Every LF without a CR before it becomes CR LF, as the compiled module writes it.
    return lf.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n") if crlf else lf


def marker_lines(data: bytes) -> list[int]:
    """1-based numbers of the lines that hold the marker, once per marker."""
    # Found from the end, where install puts the block: bytes.rfind also scans the rest
    # faster than find does.
    offsets, at = [], data.rfind(MARKER)
    while at >= 0:
        offsets.append(at)
        at = data.rfind(MARKER, 0, at)
    lines, line, counted = [], 1, 0
    for at in reversed(offsets):
        line += data.count(b"\n", counted, at)  # counted on from the marker before
        counted = at
        lines.append(line)
    return lines


class Located:
    """A file's state and its marker's lines. For installed and outdated, [start, end) is
    the block; for modified with one marker, [start, end) runs from the line ends before
    the marker to the end of the file (what --force takes); otherwise start is None."""

    __slots__ = ("state", "marker_lines", "start", "end", "crlf")

    def __init__(self, state: str, lines: list[int], start: int | None = None, end: int = 0,
                 crlf: bool = False) -> None:
        self.state = state
        self.marker_lines = lines
        self.start = start
        self.end = end
        self.crlf = crlf


def locate(data: bytes, rule: str,
           recorded: "Callable[[], str | None] | None" = None,
           lines: list[int] | None = None) -> "Located":
    """Where the block of `rule` (today's rule) or of a known older rule stands in `data`.
    `recorded`, asked only when the block is not today's, gives the digest of one more rule
    to know as an older one: the one the command last wrote to this file. `lines`: the
    marker's lines, when the caller has them already."""
    if lines is None:
        lines = marker_lines(data)
    if not lines:
        return Located(NOT_INSTALLED, lines)
    if len(lines) > 1:
        return Located(MODIFIED, lines)
    at = data.rfind(MARKER)
    # The line ends before the marker tell the layout: install's block follows the text
    # before it, so two CR LFs after a text whose first line end is CR LF, else two LFs.
    if data.endswith(b"\r\n\r\n", 0, at) and crlf_after(data, at - 4):
        start, crlf = at - 4, True
    elif data.endswith(b"\n\n", 0, at) and not crlf_after(data, at - 2):
        start, crlf = at - 2, False
    else:
        return Located(MODIFIED, lines, _forced_start(data, at), len(data))
    today = block(rule, crlf)
    if data.startswith(today, start):
        return Located(INSTALLED, lines, start, start + len(today), crlf)
    end = _known_block_end(data, start, at, crlf, recorded)
    if end is not None:
        return Located(OUTDATED, lines, start, end, crlf)
    return Located(MODIFIED, lines, _forced_start(data, at), len(data))


def lines_beyond(data: bytes, rule: str) -> int:
    """In a file whose one marker starts a modified block, the number of lines after where
    the block of `rule` would end: what --force takes beyond the block (another tool's
    section, say). The block ends with the line that holds the rule's last line, or, where
    that line was edited, as many lines after the marker as install's block has; lines of
    white space alone count as none."""
    import re

    at = data.rfind(MARKER)
    last = rule.rstrip().rpartition("\n")[2].strip().encode()
    found = data.find(last, at) if last else -1
    if found >= 0:
        rest = data.find(b"\n", found + len(last)) + 1 or len(data)
    else:
        rest = at
        for _ in range(rule.count("\n") + 3):  # the marker's line, a blank one, the rule's
            rest = data.find(b"\n", rest) + 1 or len(data)
    if not re.compile(rb"\S").search(data, rest):
        return 0
    return data.count(b"\n", rest) + (not data.endswith(b"\n"))


def _forced_start(data: bytes, at: int) -> int:
    """The marker's offset less up to two line ends right before it."""
    start = at
    for _ in range(2):
        if data.endswith(b"\r\n", 0, start):
            start -= 2
        elif data.endswith(b"\n", 0, start):
            start -= 1
    return start


def _known_block_end(data: bytes, start: int, at: int, crlf: bool,
                     recorded: "Callable[[], str | None] | None" = None) -> int | None:
    """The end of a block that starts at `start` and holds a known rule, or None.

    The rule's length is not stored, only its digest: every line end after the rule's
    first byte may close it, so the digest grows line by line and is checked at each."""
    from hashlib import sha256

    eol = b"\r\n" if crlf else b"\n"
    rule_start = at + len(MARKER) + 2 * len(eol)
    if not data.startswith(eol + eol, at + len(MARKER)):
        return None
    known = set(KNOWN_RULE_SHA256)
    if recorded is not None and (own := recorded()) is not None:
        known.add(own)
    digest, line_start, view = sha256(), rule_start, memoryview(data)
    while (line_end := data.find(eol, line_start)) >= 0:
        if line_start > rule_start:
            digest.update(b"\n")  # known rules are hashed in LF
        digest.update(view[line_start:line_end])
        end = line_end + len(eol)
        if digest.copy().hexdigest() in known:
            rule = data[rule_start:line_end].replace(b"\r\n", b"\n").decode()
            # Equal digests of a CRLF block may hide a lone LF inside: mixed line ends.
            if block(rule, crlf) == data[start:end]:
                return end
        line_start = end
    return None
