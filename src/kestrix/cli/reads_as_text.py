"""Whether the rule reads as text after the file's own: a code fence or an HTML block the
text before the block leaves open runs on into the rule, and an agent reads it as code."""

import re

from kestrix.skills.services import rule_block

# What follows the "<" of an HTML block that runs on past a blank line, as the two line ends
# before the marker are: CommonMark's kinds 1 to 5 (<pre>, <script>, <style>, <textarea>,
# comments, <?...?>, declarations, CDATA). Kinds 6 and 7 (<div>, any tag) end at a blank line.
_HTML_OPENER = re.compile(rb"<(?:(?i:pre|script|style|textarea)(?:[ \t>\r\n]|\Z)|!--|\?|"
                          rb"![A-Za-z]|!\[CDATA\[)")


def _could_open_a_block(data: bytes, end: int) -> bool:
    """Whether data[:end] has a line that could open a code fence or such an HTML block: its
    opening characters at most three spaces in. Found with bytes.rfind, a scan at C speed
    (backwards, which for these needles is twice as fast as forwards); only such a text is
    parsed."""
    for needle in (b"```", b"~~~", b"<"):
        at = data.rfind(needle, 0, end)
        while at >= 0:
            indent = at
            while indent > 0 and at - indent < 4 and data[indent - 1] == 0x20:
                indent -= 1
            if at - indent <= 3 and (indent == 0 or data[indent - 1] in b"\r\n") and (
                    needle != b"<" or _HTML_OPENER.match(data, at)):
                return True
            at = data.rfind(needle, 0, at + len(needle) - 1)  # the one that starts before
    return False


def warning(data: bytes, end: int, rule: str, config: object) -> str | None:
    """Warns when the text before the block (data[:end]) leaves a code fence or an HTML
    block open that runs on into the block: an agent would read the rule as code, not as
    a rule. Only a text with a line that could open one is parsed at all."""
    if not _could_open_a_block(data, end):
        return None
    try:
        from markdown_it import MarkdownIt
    except ImportError:
        return ("kestrix: warning: cannot check that the rule reads as Markdown text: "
                "markdown-it-py is not installed")
    text = data[:end] + rule_block.block(rule, rule_block.crlf_after(data, end))
    # The parser's own line ends: CR LF and a lone CR end a line as LF does. Counted on
    # the whole text, since a CR that ends the text before pairs with the block's LF.
    normal = text.decode().replace("\r\n", "\n").replace("\r", "\n")
    from_marker = len(rule_block.MARKER) + len("\n\n") + len(rule) + len("\n")
    marker = normal.count("\n", 0, len(normal) - from_marker)  # the marker's line, from 0
    parser = MarkdownIt("commonmark")
    parser.disable("inline")  # blocks are all it looks at
    for token in parser.parse(normal):
        # A block of the text before that ends past the marker's line holds the rule.
        if token.level == 0 and token.map and token.map[0] < marker < token.map[1] - 1:
            kind = {"fence": "code fence", "code_block": "code block"}.get(
                token.type, "HTML block")
            return (
                f"kestrix: warning: the {kind} opened on line {token.map[0] + 1} runs on "
                f"into the feedback rule, so an agent reads the rule as code; close it "
                f"before the marker ({config})")
    return None
