"""A file as crudini 0.9.6 reads and changes it, for kestra-crudini (kestra_ini.crudini).

The reading is kestra_ini.document's in crudini's grammar (kestra_ini.grammars.CRUDINI). The changes are
crudini's own, line by line: a changed value after the key's name and delimiter as written, its inline
comment kept at its column and its continuation lines indented as the value's own (eight spaces for a new
one); a new key after the section's last key; a new section at the end, after a blank line only where the
file ended with a line end (LAYOUT, by which kestra_ini.changes places and writes new lines); a removed
section taking the blank lines around it with it, as crudini tidies the file. Every change is read back
before the next, and refused (nothing written) when the file would not say what was asked.
"""
from __future__ import annotations

import re

from kestra_ini import changes, document, encodings, grammars
from kestra_ini.document import Block, Entry, Line, majority_end

DEFAULT = "DEFAULT"  # crudini's name for the keys before the first header, and a [DEFAULT] section


class Failure(Exception):
    """An operation that cannot be carried out: one line on standard error; status 1."""


_CONTINUATION_INDENT = " " * 8  # how crudini indents the lines of a multi-line value it writes
# crudini's: a new key after its section's last key, in the section's last block, "name = value" (a missing
# value as "name = "), names compared in any case.
LAYOUT = changes.Layout(after_key=False, first_block=False, separator=" = ", indent="",
                        continuation=_CONTINUATION_INDENT, trim=False, gap="never", fold=str.lower)


class ParseError(Failure):
    """Lines crudini's parser cannot read, in its own words."""

    def __init__(self, path: str, numbers: list[tuple[int, str]], top: bool) -> None:
        # crudini reads keys before the first header by reading the file again behind a [DEFAULT] header of its
        # own: the message then names the file, and the line numbers count that header.
        # configparser's own error words the list: it shows each line as written before 3.13 and as its repr
        # from 3.13 on, and crudini prints whichever the running interpreter gives.
        import configparser  # only for a failure: the front end's start-up does without it

        shift = 1 if top else 0
        error = configparser.ParsingError("<???>")
        for number, text in numbers:
            error.append(number + shift, text)
        prefix = f"Error parsing {path}: " if top else ""
        super().__init__(f"{prefix}{error}")


def _blank(line: Line) -> bool:
    """A blank line, as crudini lays out a file: its reading splits lines at LF only, so that a blank line
    ending in CRLF still holds a CR, which is not blank to its layout."""
    return not line.text.strip() and line.end != "\r\n"


def _key(text: str) -> re.Match[str] | None:
    """A key line's name and delimiter, wherever its indentation (--ini-options=ignoreindent) puts them."""
    return grammars.CRUDINI_KEY_LINE.match(text)


class Config:
    """One file as crudini reads and writes it.

    crudini's default section is both the keys before the first header and any [DEFAULT] section. Keys are
    found whatever their case, the last one written counting; a listing gives each spelling once. Changes
    are made line by line, each checked by reading the lines back, so the next operation of a chain sees
    it; the file is written once, at the end."""

    def __init__(self, path: str, data: bytes | None, ignoreindent: bool = False) -> None:
        self.path = path
        self.exists = data is not None
        self.data = data or b""
        self.ignoreindent = ignoreindent
        self.indents: dict[str, str] = {}  # indent_new's
        try:
            self.doc = document.read(self.data, grammars.CRUDINI_FLAT if ignoreindent else grammars.CRUDINI)
        except encodings.EncodingError as exc:
            raise Failure(f"{path}: {exc}") from None
        self.lines = list(self.doc.lines)
        self.newline = majority_end(self.lines)
        # Where crudini puts a new section: after a blank line when the file ends with a line end, right after
        # the last line once a section was added or removed.
        self.spaced = bool(self.lines) and self.lines[-1].end != ""
        self._read(check=True)

    def _read(self, check: bool = False) -> None:
        self.doc = self.doc.like(self.lines)
        # crudini's default section is both the keys before the first header and any [DEFAULT] section.
        self.blocks = [block._replace(name=DEFAULT) if block.header is None else block for block in self.doc.blocks]
        if self.doc.unreadables and check:
            numbered = [(index + 1, self.lines[index].text + ("\n" if self.lines[index].end else ""))
                        for index in self.doc.unreadables]
            raise ParseError(self.path, numbered, bool(self.blocks[0].entries))

    def encode(self, *, final: bool = True) -> bytes:
        lines = list(self.lines)
        if final and lines and not lines[-1].end:
            # crudini writes a file whole, ending its last line
            lines[-1] = Line(lines[-1].text, self.newline)
        return self.doc.like(lines).encode()

    # reading

    def _blocks(self, section: str) -> list[Block]:
        return [block for block in self.blocks if block.name == section]

    def has(self, section: str) -> bool:
        return section == DEFAULT or bool(self._blocks(section))

    def own(self, section: str) -> dict[str, tuple[str, str]]:
        """The section's own keys, one a spelling: name -> (name, last value of that spelling)."""
        found: dict[str, tuple[str, str]] = {}
        for block in self._blocks(section):
            for entry in block.entries:
                found[entry.key] = (entry.key, entry.value or "")
        return found

    def _entries(self, section: str, param: str) -> list[Entry]:
        return [entry for block in self._blocks(section) for entry in block.entries
                if changes.same_key(self.doc, LAYOUT, entry.key, param)]

    def lookup(self, section: str, param: str) -> str | None:
        """The value crudini's --get prints: the section's own, else the default section's."""
        for name in (section, DEFAULT):
            found = self._entries(name, param)
            if found:
                return found[-1].value or ""
        return None

    def current(self, section: str, param: str) -> tuple[bool, str | None]:
        """Whether the section has the key, itself or from the default section, and its value (None: bare)."""
        for name in (section, DEFAULT):
            found = self._entries(name, param)
            if found:
                return True, found[-1].value
        return False, None

    def has_bare_keys(self) -> bool:
        return any(entry.value is None for block in self.blocks for entry in block.entries)

    def raw(self, section: str, param: str) -> tuple[bool, str | None]:
        """Whether the section has the key itself, and its value (None for a key without one)."""
        found = self._entries(section, param)
        return bool(found), found[-1].value if found else None

    def sections(self) -> list[str]:
        """Every section that is there: the default one when it holds keys or has a header."""
        return list(dict.fromkeys(block.name for block in self.blocks if block.header is not None or block.entries))

    def default_header(self) -> bool:
        return any(block.header is not None for block in self._blocks(DEFAULT))

    def listed_sections(self) -> list[str]:
        named = [block.name for block in self.blocks if block.header is not None and block.name != DEFAULT]
        return ([DEFAULT] if self.own(DEFAULT) else []) + list(dict.fromkeys(named))

    def reading(self) -> dict[tuple[str, str], str | None]:
        """What crudini reads: (section, key in lower case) -> the last value."""
        return {(block.name, entry.key.lower()): entry.value for block in self.blocks for entry in block.entries}

    # changing

    def _checked(self, expected: dict[tuple[str, str], str | None], what: str) -> None:
        self._read()
        try:
            changes.read_back(self.doc, expected, what, reading=lambda _: self.reading())
        except changes.ChangeError:
            raise Failure(f"{self.path}: nothing written: {what} would not read back as intended") from None

    def _splice(self, splices: list[tuple[int, int, list[Line]]]) -> None:
        self.lines = changes.splice(self.lines, splices)

    def _key_lines(self, key: str, value: str | None, indent: str, *, nospace: bool = False,
                   separator: str | None = None, continuation: str = _CONTINUATION_INDENT) -> list[Line]:
        """A key's lines in crudini's layout; `separator` other than its own joins a name and delimiter as
        written to the value."""
        spacing = ("=" if nospace else " = ") if separator is None else separator
        layout = LAYOUT._replace(indent=indent, separator=spacing, continuation=continuation)
        return [Line(text, self.newline) for text in changes.render(self.doc, layout, key, value)]

    def _rewritten(self, entry: Entry, value: str | None) -> list[Line]:
        """The key's lines with a new value: its name and delimiter as written, an inline comment kept at its
        column."""
        line = self.lines[entry.start]
        text = line.text.rstrip()  # crudini reads a line without its trailing whitespace, and writes it so
        key = _key(text)
        if value is None:
            return [line] + self.lines[entry.start + 1:entry.stop]
        if key is None:  # a key without a value gets one
            return self._key_lines(text.rstrip(), value, "")
        prefix = text[:key.end()]
        found = grammars.CRUDINI.inline.search(text, key.end())
        # A value already on several lines keeps the indentation of its own continuation lines.
        continued = [self.lines[index].text for index in range(entry.start + 1, entry.stop)
                     if self.lines[index].text[:1].isspace()]
        # (crudini counts a tab there as one space)
        indent = " " * (len(continued[0]) - len(continued[0].lstrip())) if continued else _CONTINUATION_INDENT
        rewritten = self._key_lines(prefix, value, "", separator="", continuation=indent)
        if found:
            first = rewritten[0].text.ljust(found.start()) + text[found.start():]
            rewritten[0] = Line(first, rewritten[0].end)
        rewritten[-1] = Line(rewritten[-1].text, self.lines[entry.stop - 1].end or self.newline)
        return rewritten

    def _append_section(self, section: str) -> int:
        """A new, empty section at the end, where crudini puts it; the index of its header."""
        end = len(self.lines)
        texts = changes.section_lines(self.doc, LAYOUT._replace(gap="always" if self.spaced else "never"), section, [])
        splices = [(end, end, [Line(text, self.newline) for text in texts])]
        if self.lines and not self.lines[-1].end:
            splices.append((end - 1, end, [Line(self.lines[-1].text, self.newline)]))
        self._splice(splices)
        self.spaced = False
        return len(self.lines) - 1

    def set(self, section: str, param: str | None, value: str | None, *, header: bool = False,
            nospace: bool = False, loose: bool = False) -> None:
        """`loose`: the value may read back without its leading and trailing whitespace (the lists crudini
        joins leave some)."""
        self.set_many(section, [] if param is None else [(param, value)], header=header, nospace=nospace,
                      loose=loose)

    def set_many(self, section: str, items: list[tuple[str, str | None]], *, header: bool = False,
                 nospace: bool = False, loose: bool = False) -> None:
        """Keys set in a section, as one --set each would set them, read back once (a long --merge costs one
        reading, not one a key). The last of the keys whose names differ only in case counts."""
        for text in [section, *(text or "" for item in items for text in item)]:
            if encodings.refusal(text, self.doc.encoding):
                raise Failure(f"{self.path}: nothing written: the file is not UTF-8, and {text!r} is not ASCII: "
                              "its bytes would mix two encodings")
        expected = self.reading()
        if header and not self.default_header():
            self._splice([(0, 0, [Line(f"[{DEFAULT}]", self.newline)])])
            self._read()
        if not self.has(section):
            self._append_section(section)
            self._read()
        wanted: dict[str, tuple[str, str | None]] = {}
        for param, value in items:
            wanted[param.lower()] = (wanted.get(param.lower(), (param, None))[0], value)
        edits: list[tuple[int, int, list[Line]]] = []  # lines[start:stop] replaced, from the end of the file up
        added: list[Line] = []
        for lowered, (param, value) in wanted.items():
            found = self._entries(section, param)
            if found:
                entry = found[-1]
                edits.append((entry.start, entry.stop, self._rewritten(entry, value)))
                value = value if value is not None else entry.value
            else:
                added += self._key_lines(param, value, self._indent(section), nospace=nospace)
            expected[(section, lowered)] = value.strip(" \t") if loose and value is not None else value
        if added:
            edits.append((self._end(section), self._end(section), added))
        self._splice(edits)
        # A file without a final line end gets one where a key now follows its last line.
        self.lines[:-1] = [line if line.end else Line(line.text, self.newline) for line in self.lines[:-1]]
        names = ", ".join(repr(param) for param, _ in wanted.values())
        self._checked(expected, f"key {names} in section {section!r}" if wanted else f"section {section!r}")

    def _end(self, section: str) -> int:
        """Where a new key of the section goes: after its last key, else under its header, else at the top."""
        blocks = [b for b, block in enumerate(self.blocks) if block.name == section]
        return changes.key_place(self.doc, LAYOUT, blocks, [])[2]

    def _indent(self, section: str) -> str:
        """A new key's indentation, as crudini keeps it for a section (there is some only under
        --ini-options=ignoreindent): that of its last indented header or key line, else what indent_new gave."""
        found = self.indents.get(section, "")
        for block in self._blocks(section):
            for number in [block.header, *(entry.start for entry in block.entries)]:
                text = self.lines[number].text if number is not None else ""
                found = text[:len(text) - len(text.lstrip())] or found
        return found

    def indent_new(self, section: str, indent: str) -> None:
        """The indentation of the section's new keys where its lines have none."""
        if indent and not self._indent(section):
            self.indents[section] = indent

    def remove(self, section: str, param: str | None) -> None:
        expected = {where: value for where, value in self.reading().items()
                    if where[0] != section or (param is not None and where[1] != param.lower())}
        if param is not None:
            self._remove_keys(self._entries(section, param))
        elif section == DEFAULT:
            # crudini empties its default section key by key, the comments and blank lines among them staying;
            # a [DEFAULT] header goes too, unless keys before it are crudini's default section.
            blocks = self._blocks(DEFAULT)
            headers = [] if blocks[0].entries else [Entry(DEFAULT, None, block.header, block.header + 1)
                                                    for block in blocks[1:]]
            self._remove_keys(headers + [entry for block in blocks for entry in block.entries])
        else:
            self._remove_blocks(self._blocks(section))
        self._checked(expected, f"removing section {section!r}")

    def _remove_keys(self, entries: list[Entry]) -> None:
        splices: list[tuple[int, int, list[Line]]] = [(entry.start, entry.stop, []) for entry in entries]
        top = next((entry.stop for entry in entries if entry.start == 0), None)
        # crudini takes the first blank line under keys at the very top with them
        while top is not None and top < len(self.lines) and not _blank(self.lines[top]) \
                and any(entry.start == top for entry in entries):
            top = next(entry.stop for entry in entries if entry.start == top)
        if top is not None and top < len(self.lines) and _blank(self.lines[top]):
            splices.append((top, top + 1, []))
        self._splice(splices)

    def _remove_blocks(self, blocks: list[Block]) -> None:
        if not blocks:
            return
        spans = [(block.header, block.entries[-1].stop if block.entries else block.header + 1) for block in blocks]
        if spans[0][0] == 0:
            # A section at the very top takes the blank lines after it, and after the blocks of it that follow.
            stop, later = spans[0][1], spans[1:]
            while stop < len(self.lines) and _blank(self.lines[stop]) or later and later[0][0] == stop:
                stop = later.pop(0)[1] if later and later[0][0] == stop else stop + 1
            spans = [(0, stop), *later]
        self._splice([(start, stop, []) for start, stop in spans])
        self._tidy()
        self.spaced = False  # a section added afterwards follows the last line directly

    def _tidy(self) -> None:
        """The layout crudini gives the whole file once it removed a section: of each run of blank lines
        outside a value, none at the end of the file nor between a header and its section's keys, else one."""
        self._read()
        inside = {index for block in self.blocks for entry in block.entries for index in range(entry.start, entry.stop)}
        keyed = {block.header for block in self.blocks if block.entries and block.header is not None}
        splices: list[tuple[int, int, list[Line]]] = []
        index = 0
        while index < len(self.lines):
            stop = index
            while stop < len(self.lines) and _blank(self.lines[stop]) and stop not in inside:
                stop += 1
            if stop > index:
                kept = stop < len(self.lines) and index - 1 not in keyed
                splices.append((index + 1 if kept else index, stop, []))
            index = max(stop, index + 1)
        self._splice(splices)

    def respace(self, spaced: bool) -> None:
        """Each key's delimiter with a space on each side, or none, as --ini-options=space|nospace ask."""
        splices: list[tuple[int, int, list[Line]]] = []
        for block in self.blocks:
            for entry in block.entries:
                text = self.lines[entry.start].text
                key = _key(text)
                if entry.value is None or key is None:
                    continue
                mark = key.group("delimiter")
                delimiter = f" {mark} " if spaced else mark
                rewritten = (text[:key.start("delimiter")].rstrip() + delimiter + text[key.end():]).rstrip()
                splices.append((entry.start, entry.start + 1, [Line(rewritten, self.lines[entry.start].end)]))
        self._splice(splices)
        self._read()

    def space_sections(self) -> None:
        """One blank line before each section header and none at the start or end of the file, as
        --ini-options=sectionspace asks; blank lines inside a section stay."""
        lines = self.lines
        solid = [index for index, line in enumerate(lines) if not _blank(line)]
        splices: list[tuple[int, int, list[Line]]] = [(0, len(lines), [])]
        if solid:
            splices = [(0, solid[0], []), (solid[-1] + 1, len(lines), [])]
            for header in (block.header for block in self.blocks if block.header is not None):
                start = header
                while header > solid[0] and _blank(lines[start - 1]):
                    start -= 1
                if header > solid[0]:
                    splices.append((start, header, [Line("", self.newline)]))
        self._splice(splices)
        self._read()
