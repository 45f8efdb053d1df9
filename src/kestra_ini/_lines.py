"""A file's text as lines that each keep their own line end, shared by both editors."""
from __future__ import annotations

import re
from collections import Counter, namedtuple

BOM = b"\xef\xbb\xbf"
_LINE_END = re.compile(r"(\r\n|\r|\n)")  # what a text-mode read takes as a line end

# text: without its line end; end: "\n", "\r\n", "\r", or "" for a last line that has none. (A named tuple
# rather than a dataclass: dataclasses cost the command line a good part of its start-up.)
Line = namedtuple("Line", "text end")


def split_lines(text: str) -> list[Line]:
    parts = _LINE_END.split(text)
    lines = [Line(parts[i], parts[i + 1]) for i in range(0, len(parts) - 1, 2)]
    if parts[-1]:
        lines.append(Line(parts[-1], ""))
    return lines


def majority_end(lines: list[Line]) -> str:
    """The file's own line end for lines it did not have: the most common, the first seen on a tie, else LF."""
    ends = Counter(line.end for line in lines if line.end)
    return ends.most_common(1)[0][0] if ends else "\n"


def settle_ends(lines: list[Line], newline: str, *, final: bool) -> list[Line]:
    """Every line but the last ends; the last ends only if the file's last line did."""
    if not final:
        # An empty last line without an end is no line at all: the one before it would end the file.
        while lines and not lines[-1].text:
            lines = lines[:-1]
    settled = [line if line.end else Line(line.text, newline) for line in lines[:-1]]
    if lines:
        last = lines[-1]
        settled.append(Line(last.text, (last.end or newline) if final else ""))
    return settled
