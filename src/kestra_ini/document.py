"""An INI file as lines, and what a grammar reads in them.

Every line keeps its own text and line end, and the file its encoding, so that the bytes come back exactly as
read until a change splices lines (kestra_ini.changes). The reading is the same for every grammar
(kestra_ini.grammars): a block a header, the first one ("", no header) for keys before any; a key with its
continuation lines; blank, comment and directive lines belonging to no key.

    doc = read(data, grammar=TOLERANT, codec=None)   # bytes -> Document; EncodingError for bytes that are
                                                     # not in the encoding their byte-order mark or codec says
    doc.sections()            # distinct section names in file order; "" first when it holds keys
    doc.has_section(section)  # "" always exists
    doc.keys(section)         # distinct key names over every block of the section, file order, as spelled
    doc.spelling(section, key)   # the key's name as the section spells it
    doc.values(section, key)  # every value of the key, file order (None for a bare key)
    doc.items(section)        # every (key, value) of the section, file order
    doc.blocks                # Block(name, header, entries) in file order; Entry(key, value, start, stop):
                              # lines[start:stop] are the key's line and its continuation lines
    doc.unreadable            # index of the first line the grammar cannot read, or None
    doc.require_readable()    # raises NotIni naming that line
    doc.reading()             # what the document says, block by block, keys compared as the grammar does
    doc.encode()              # the bytes
"""
from __future__ import annotations

import re
from collections import Counter, namedtuple

from kestra_ini import encodings
from kestra_ini.encodings import Encoding
from kestra_ini.grammars import COMMENTS, TOLERANT, Grammar

_LINE_END = re.compile(r"(\r\n|\r|\n)")  # what a text-mode read takes as a line end

# text: without its line end; end: "\n", "\r\n", "\r", or "" for a last line that has none. (Named tuples
# rather than dataclasses: those cost the command line a good part of its start-up.)
Line = namedtuple("Line", "text end")
Entry = namedtuple("Entry", "key value start stop")
Block = namedtuple("Block", "name header entries")


class NotIni(ValueError):
    """A file the grammar cannot read as INI: `number` and `text` are its first unreadable line."""

    def __init__(self, number: int, text: str) -> None:
        super().__init__(f"line {number} is not INI: {text.strip()!r}; nothing done")
        self.number = number
        self.text = text


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


class Document:
    def __init__(self, lines: list[Line], grammar: Grammar = TOLERANT, encoding: Encoding = encodings.UTF8) -> None:
        self.lines = lines
        self.grammar = grammar
        self.encoding = encoding
        self.blocks, self.unreadable = _classify(lines, grammar)

    @property
    def bom(self) -> bool:
        return bool(self.encoding.bom)

    def like(self, lines: list[Line]) -> Document:
        """Other lines, read in the same grammar and written in the same encoding."""
        return Document(lines, self.grammar, self.encoding)

    def text(self) -> str:
        return "".join(line.text + line.end for line in self.lines)

    def encode(self) -> bytes:
        return encodings.encode(self.text(), self.encoding)

    def require_readable(self) -> None:
        if self.unreadable is not None:
            raise NotIni(self.unreadable + 1, self.lines[self.unreadable].text)

    def fold(self, key: str) -> str:
        return self.grammar.fold(key) if self.grammar.fold else key

    def sections(self) -> list[str]:
        names = [block.name for block in self.blocks if block.header is not None or block.entries]
        return list(dict.fromkeys(names))

    def has_section(self, section: str) -> bool:
        return any(block.name == section for block in self.blocks)

    def items(self, section: str) -> list[tuple[str, str | None]]:
        return [(e.key, e.value) for block in self.blocks if block.name == section for e in block.entries]

    def keys(self, section: str) -> list[str]:
        seen: dict[str, str] = {}
        for key, _ in self.items(section):
            seen.setdefault(self.fold(key), key)
        return list(seen.values())

    def spelling(self, section: str, key: str) -> str:
        """The key as the section spells it: the same name (as the grammar compares names), else the one name
        that differs only in case."""
        keys = self.keys(section)
        same = [name for name in keys if self.fold(name) == self.fold(key)]
        if key in keys or same:
            return key if key in keys else same[0]
        folded = [name for name in keys if name.casefold() == key.casefold()]
        return folded[0] if len(folded) == 1 else key

    def values(self, section: str, key: str) -> list[str | None]:
        wanted = self.fold(self.spelling(section, key))
        return [value for name, value in self.items(section) if self.fold(name) == wanted]

    def reading(self) -> list[tuple[str, list[tuple[str, str | None]]]]:
        """What the document says, block by block: the yardstick of every edit."""
        return [(block.name, [(self.fold(e.key), e.value) for e in block.entries]) for block in self.blocks]


def read(data: bytes, grammar: Grammar = TOLERANT, codec: str | None = None) -> Document:
    text, encoding = encodings.decode(data, codec)
    return Document(split_lines(text), grammar, encoding)


# --- the classifier -----------------------------------------------------------------------------------

def indent(text: str) -> int:
    return len(text) - len(text.lstrip())


def _continues(grammar: Grammar, text: str, key_indent: int) -> bool:
    """A line indented deeper than its key continues the value, as configparser reads it; under a key that is
    itself indented (smb.conf, .gitconfig), a deeper line that reads as a key of its own may be one."""
    if indent(text) <= key_indent:
        return False
    if not grammar.nested_keys or key_indent == 0:
        return True
    delimiter = grammar.delimiter.search(text)
    return delimiter is None or not grammar.key.fullmatch(text[:delimiter.start()].strip())


def key_and_value(grammar: Grammar, clean: str) -> tuple[str, str | None] | None:
    """(name, value) of a stripped key line, the value None for a bare key; None for a line that is no key."""
    delimiter = grammar.delimiter.search(clean)
    if delimiter is None:
        if grammar.bare is not None:
            name = without_comment(grammar, " " + clean).strip()
            if grammar.bare.fullmatch(name):
                return name, None
        return None
    name = clean[:delimiter.start()].strip()
    if not grammar.key.fullmatch(name):
        return None
    return name, without_comment(grammar, clean[delimiter.end():]).strip()


def without_comment(grammar: Grammar, text: str) -> str:
    found = grammar.inline.search(text) if grammar.inline is not None else None
    return text[:found.start()] if found else text


def _join(parts: list[str]) -> str:
    # Blank lines after the last line of a value are not part of it.
    while len(parts) > 1 and not parts[-1]:
        parts.pop()
    return parts[0] if len(parts) == 1 else "\n".join(parts)


def _classify(lines: list[Line], grammar: Grammar) -> tuple[list[Block], int | None]:
    blocks = [Block("", None, [])]
    unreadable: int | None = None
    key: str | None = None  # the key whose lines these are, from `start` to `stop`
    value: str | None = None
    start = stop = key_indent = 0
    parts: list[str] = []
    for number, line in enumerate(lines):
        clean = line.text.strip()
        if not clean or clean.startswith(COMMENTS):
            if value is not None and not clean:
                parts.append("")
            continue
        if value is not None and _continues(grammar, line.text, key_indent):
            parts.append(clean)
            stop = number + 1
            continue
        if key is not None:
            blocks[-1].entries.append(Entry(key, _join(parts) if value is not None else None, start, stop))
            key = value = None
        if grammar.directive is not None and grammar.directive.match(clean):
            continue
        header = grammar.header.fullmatch(clean)
        if header:
            blocks.append(Block(header.group("name"), number, []))
            continue
        found = key_and_value(grammar, clean)
        if found is None or len(blocks) == 1 and not grammar.preamble:
            # Read as a bare key, so that a reader that takes any text still sees every line somewhere.
            unreadable = number if unreadable is None else unreadable
            found = (clean, None)
        key, value = found
        start, stop, key_indent = number, number + 1, indent(line.text)
        parts = [value or ""]
    if key is not None:
        blocks[-1].entries.append(Entry(key, _join(parts) if value is not None else None, start, stop))
    return blocks, unreadable
