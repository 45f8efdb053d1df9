"""An INI file as lines, and what a grammar reads in them.

Every line keeps its own text and line end, and the file its encoding, so that the bytes come back exactly as
read until a change splices lines (kestra_ini.changes). The reading is the same for every grammar
(kestra_ini.grammars): a block a header, the first one ("", no header) for keys before any; a key with its
continuation lines (or its "{ }" block); blank, comment and directive lines belonging to no key, and the
grammar's opaque lines, which belong to their block and to no key.

    doc = read(data, grammar=TOLERANT, codec=None)   # bytes -> Document; EncodingError for bytes that are
                                                     # not in the encoding their byte-order mark or codec says
    doc.sections()            # distinct section names in file order; "" first when it holds keys
    doc.has_section(section)  # "" always exists
    doc.keys(section)         # distinct key names over every block of the section, file order, as spelled
    doc.spelling(section, key)   # the key's name as the section spells it
    doc.values(section, key)  # every value of the key, file order (None for a bare key)
    doc.items(section)        # every (key, value) of the section, file order
    doc.blocks                # Block(name, header, entries, opaque) in file order; Entry(key, value, start,
                              # stop): lines[start:stop] are the key's line and its continuation lines;
                              # opaque: numbers of the block's lines that are kept and belong to no key;
                              # block.end: past its last own line
    doc.unreadable            # index of the first line the grammar cannot read, or None
    doc.unreadables           # the index of every such line
    doc.require_readable()    # raises NotIni naming that line, what was expected and what it is
    doc.reading()             # what the document says, block by block, keys compared as the grammar does
    doc.lines, doc.grammar, doc.encoding, doc.bom
    doc.like(lines)           # other lines in the same grammar and encoding (for a front end's own splices)
    doc.encode()              # the bytes
    split_lines(text), majority_end(lines), settle_ends(lines, newline, final=...)   # lines and their ends
"""
from __future__ import annotations

import re
from collections import Counter, namedtuple

from kestra_ini import encodings
from kestra_ini.encodings import Encoding
from kestra_ini.grammars import TOLERANT, Grammar

_LINE_END = re.compile(r"(\r\n|\r|\n)")  # what a text-mode read takes as a line end

# text: without its line end; end: "\n", "\r\n", "\r", or "" for a last line that has none. (Named tuples
# rather than dataclasses: those cost the command line a good part of its start-up.)
Line = namedtuple("Line", "text end")
Entry = namedtuple("Entry", "key value start stop")


class Block(namedtuple("Block", "name header entries opaque")):
    """A header (None for the lines before the first one), its keys, and the numbers of its lines that belong
    to no key and are kept as they are (the grammar's `opaque`)."""

    __slots__ = ()

    @property
    def end(self) -> int:
        """Past the last line that is the block's own: its header, keys, and opaque lines."""
        ends = [self.header + 1 if self.header is not None else 0]
        ends += [entry.stop for entry in self.entries[-1:]] + [number + 1 for number in self.opaque[-1:]]
        return max(ends)


class NotIni(ValueError):
    """A file the grammar cannot read as INI: `number` and `text` are its first unreadable line, `why` what
    was expected there and what was found."""

    def __init__(self, number: int, text: str, why: str = "") -> None:
        why = why or f"{text.strip()!r} is neither a [section] header, a key = value line, a comment nor a directive"
        super().__init__(f"line {number}: {why}")
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
        self.blocks, self.unreadables = _classify(lines, grammar)
        self.unreadable = self.unreadables[0] if self.unreadables else None

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
            text = self.lines[self.unreadable].text
            raise NotIni(self.unreadable + 1, text, _why(self, text.strip()))

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
    itself indented (smb.conf, .gitconfig), a deeper line that reads as a key of its own may be one, and
    under any key a deeper configobj [[header]] is one."""
    if indent(text) <= key_indent or not grammar.continuation:
        return False
    if grammar.nested_keys and text.lstrip().startswith("[[") and grammar.header.fullmatch(text.strip()):
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


def _classify(lines: list[Line], grammar: Grammar) -> tuple[list[Block], list[int]]:
    blocks = [Block("", None, [], [])]
    unreadable: list[int] = []
    loose: list[int] = []  # lines before any header that are no key: opaque once a header comes
    key: str | None = None  # the key whose lines these are, from `start` to `stop`
    value: str | None = None
    start = stop = key_indent = depth = 0  # depth: how many of the key's "{" are open
    parts: list[str] = []
    for number, line in enumerate(lines):
        clean = line.text.strip()
        if depth:
            stop = number + 1
            if clean:
                parts.append(clean)
                if not clean.startswith(grammar.comments):
                    depth += clean.endswith("{") - clean.startswith("}")
            if not depth:
                blocks[-1].entries.append(Entry(key, _join(parts), start, stop))
                key = value = None
            continue
        continues = value is not None and bool(clean) and _continues(grammar, line.text, key_indent)
        # An indented line that continues nothing, where keys are not indented: unreadable, whatever it says.
        stray = bool(clean) and not continues and not grammar.indented_keys and indent(line.text) > 0
        comment = clean.startswith(grammar.comments) and not (continues and grammar.comment_in_value) or \
            clean.startswith(grammar.loose_comments) and not continues
        if not stray and (not clean or comment):
            if value is not None and not clean and grammar.blank_in_value:
                parts.append("")
            continue
        if continues:
            parts.append(clean)
            stop = number + 1
            continue
        if key is not None:
            blocks[-1].entries.append(Entry(key, _join(parts) if value is not None else None, start, stop))
            key = value = None
        if not stray and grammar.directive is not None and grammar.directive.match(clean):
            continue
        header = None if stray else grammar.header.fullmatch(clean)
        if header:
            blocks.append(Block(header.group("name"), number, [], []))
            continue
        found = None if stray else key_and_value(grammar, clean)
        if found is None and grammar.opaque and not stray and not clean.startswith("["):
            # A header's look-alike is refused: the keys after it would be taken for the section above.
            (blocks[-1].opaque if len(blocks) > 1 else loose).append(number)
            continue
        if found is None or len(blocks) == 1 and not grammar.preamble:
            # Read as a bare key, so that a reader that takes any text still sees every line somewhere.
            unreadable.append(number)
            found = (clean, None)
        key, value = found
        start, stop, key_indent = number, number + 1, indent(line.text)
        parts = [value or ""]
        depth = int(grammar.blocks and value == "{")
    if depth:
        unreadable.append(start)  # a block never closed
    elif key is not None:
        blocks[-1].entries.append(Entry(key, _join(parts) if value is not None else None, start, stop))
    if len(blocks) > 1:
        blocks[0].opaque.extend(loose)
    else:
        unreadable += loose  # no header and a line that is no key: not INI at all
    return blocks, sorted(unreadable)


def _why(doc: Document, found: str) -> str:
    """What was expected of an unreadable line of the tolerant reading, and what it is."""
    grammar = doc.grammar
    if found.startswith("["):
        return (f"{found!r} starts like a [section] header but is not one: a header is [name] alone on its "
                "line, a comment after it allowed")
    key = key_and_value(grammar, found)
    if grammar.blocks and key is not None and key[1] == "{":
        return f"the '{{' of {found!r} opens a block that no line starting with '}}' closes"
    if grammar.opaque:
        return (f"{found!r} is not a key = value line nor a comment, and the file has no [section] header: "
                "it does not read as INI")
    return ""
