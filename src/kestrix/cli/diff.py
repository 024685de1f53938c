"""Dry runs' unified diffs, made from the one range of bytes an action changes."""


def unified_diff(path: str, old: bytes, start: int, end: int, insert: bytes) -> str:
    """The unified diff of putting `insert` in place of old[start:end], labelled a/PATH and
    b/PATH: one hunk, built from the lines around that range (with three lines of context),
    never by comparing whole files. A last line without a line end is flagged as diff and
    patch expect."""
    first = old.rfind(b"\n", 0, start) + 1  # the start of the line the change begins in
    last = old.find(b"\n", end)  # the end of the line it ends in
    last = len(old) if last < 0 else last + 1
    removed = _lines(old, first, last)
    added = _lines(b"".join((old[first:start], insert, old[end:last])), 0, None)
    # Lines the change leaves as they were, at either end, are context, not change.
    while removed and added and removed[0] == added[0]:
        first += len(removed.pop(0))
        added.pop(0)
    while removed and added and removed[-1] == added[-1]:
        last -= len(removed.pop())
        added.pop()
    if not removed and not added:
        return ""
    context_start = first
    for _ in range(3):
        if context_start == 0:
            break
        context_start = old.rfind(b"\n", 0, context_start - 1) + 1
    context_end = last
    for _ in range(3):
        if context_end >= len(old):
            break
        line_end = old.find(b"\n", context_end)
        context_end = len(old) if line_end < 0 else line_end + 1
    before, after = _lines(old, context_start, first), _lines(old, last, context_end)
    line = old.count(b"\n", 0, context_start)  # lines before the hunk
    old_count = len(before) + len(removed) + len(after)
    new_count = len(before) + len(added) + len(after)
    label = path if path.startswith("/") else "/" + path
    out = [f"--- a{label}\n+++ b{label}\n"
           f"@@ -{_hunk_range(line, old_count)} +{_hunk_range(line, new_count)} @@\n"]
    for sign, lines in ((" ", before), ("-", removed), ("+", added), (" ", after)):
        for text in lines:
            shown = text.decode("utf-8", "surrogateescape")
            out.append(sign + shown if shown.endswith("\n") else
                       f"{sign}{shown}\n\\ No newline at end of file\n")
    return "".join(out)


def _lines(data: bytes, start: int, end: int | None) -> list[bytes]:
    """The lines of data[start:end], each with its LF; only LF ends a line here."""
    part = data[start:end]
    lines = part.split(b"\n")
    return [line + b"\n" for line in lines[:-1]] + ([lines[-1]] if lines[-1] else [])


def _hunk_range(before: int, count: int) -> str:
    """A hunk's range as diff writes it: its first line (1-based), and its length unless 1;
    an empty range names the line before it."""
    if count == 1:
        return str(before + 1)
    return f"{before + 1 if count else before},{count}"
