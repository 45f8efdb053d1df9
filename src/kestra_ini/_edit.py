"""Minimal edits of INI text.

The engine decides what a configuration holds; this module decides which lines of a file hold it, so that a
change rewrites only the lines of what changed. Every other byte stays: comments, blank lines, order, the
spelling of names, spacing around delimiters, indentation, line ends, the byte-order mark and the final newline.

Lines are told apart the way configparser's reader tells them apart with its default settings (full-line
comments starting with '#' or ';', no inline comments, blank lines allowed inside values, a line indented
deeper than its option continuing the value), so an edit lands on exactly the lines the engine reads as the
thing edited. The caller still parses the result with the engine before trusting it.
"""
from __future__ import annotations

import configparser
import enum
import io
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass

from kestra_ini._lines import BOM, Line, majority_end, settle_ends, split_lines

# section name -> option key -> raw value; the default section first, every section with its own options only.
Data = dict[str, dict[str, str]]

_SECTION = configparser.ConfigParser.SECTCRE
_OPTION = configparser.ConfigParser.OPTCRE
_NONSPACE = configparser.ConfigParser.NONSPACECRE
_COMMENT_PREFIXES = ("#", ";")


class EditError(Exception):
    """The edited text would not read back as the intended configuration; nothing may be written."""


class Kind(enum.Enum):
    BLANK = enum.auto()
    COMMENT = enum.auto()
    HEADER = enum.auto()
    OPTION = enum.auto()
    CONTINUATION = enum.auto()


@dataclass(frozen=True)
class Role:
    kind: Kind
    section: str | None  # the section the line is in (the one it opens, for a header)
    key: str | None = None  # the option that an option or continuation line belongs to


@dataclass(frozen=True)
class Entry:
    """One option as the file holds it: lines[start:stop] are its option line and its continuation lines."""

    section: str
    key: str
    start: int
    stop: int


@dataclass(frozen=True)
class Style:
    indent: str  # before the name
    separator: str  # between the name and the value, delimiter included: " = ", "=", ": "
    continuation: str  # before each later line of a value


_PLAIN = Style("", " = ", "\t")


class Document:
    """The text of one INI file as lines, with what must survive an edit: byte-order mark and final newline."""

    def __init__(self, text: str, *, bom: bool) -> None:
        self.bom = bom
        self.lines = split_lines(text)

    @classmethod
    def decode(cls, data: bytes) -> Document:
        """Raises UnicodeDecodeError for bytes that are not UTF-8."""
        bom = data.startswith(BOM)
        return cls(data[len(BOM):].decode("utf-8") if bom else data.decode("utf-8"), bom=bom)

    def encode(self) -> bytes:
        text = "".join(line.text + line.end for line in self.lines).encode("utf-8")
        return BOM + text if self.bom else text

    def engine_text(self) -> str:
        """The text as the engine reads the file: every line end translated to a line feed."""
        return "".join(line.text + "\n" for line in self.lines)

    @property
    def final_newline(self) -> bool:
        return not self.lines or self.lines[-1].end != ""

    @property
    def newline(self) -> str:
        """The file's own line end: the most common one, the first seen on a tie; a line feed for none."""
        return majority_end(self.lines)


# --- the engine's view ------------------------------------------------------------------------------

def parse(document: Document, source: str, *, raw: bool = False) -> configparser.ConfigParser:
    """The engine loaded from the document, raising what the engine raises for a file it cannot read."""
    engine = configparser.ConfigParser(interpolation=None) if raw else configparser.ConfigParser()
    engine.read_string(document.engine_text(), source=source)
    return engine


def snapshot(engine: configparser.RawConfigParser) -> Data:
    # configparser offers no public view of a section's own options without the defaults merged in.
    sections: Mapping[str, Mapping[str, str]] = engine._sections  # type: ignore[attr-defined]
    data: Data = {engine.default_section: dict(engine.defaults())}
    data.update((name, dict(options)) for name, options in sections.items())
    return data


def settled(engine: configparser.RawConfigParser) -> Data:
    """What the engine would hold after writing itself to a file and reading it back, as the store's save does."""
    text = io.StringIO()
    engine.write(text)
    reread = configparser.ConfigParser(interpolation=None)
    reread.read_string(text.getvalue())
    return snapshot(reread)


def ordered(data: Data) -> list[tuple[str, list[tuple[str, str]]]]:
    return [(name, list(options.items())) for name, options in data.items()]


# --- where things are -------------------------------------------------------------------------------

def classify(lines: list[Line], optionxform: Callable[[str], str]) -> list[Role]:
    """The role of every line, for a text the engine has read without error."""
    roles: list[Role] = []
    section: str | None = None
    key: str | None = None
    indent_level = 0
    for line in lines:
        clean = line.text.strip()
        if not clean or clean.startswith(_COMMENT_PREFIXES):
            # A blank or comment line neither ends a value nor joins it.
            roles.append(Role(Kind.COMMENT if clean else Kind.BLANK, section))
            continue
        found = _NONSPACE.search(line.text)
        indent = found.start() if found else 0
        if section is not None and key is not None and indent > indent_level:
            roles.append(Role(Kind.CONTINUATION, section, key))
            continue
        indent_level = indent
        header = _SECTION.match(clean)
        if header:
            section, key = header.group("header"), None
            roles.append(Role(Kind.HEADER, section))
            continue
        option = _OPTION.match(clean)
        if section is None or option is None:
            raise EditError(f"cannot place the line {line.text!r}")
        key = optionxform(option.group("option").rstrip())
        roles.append(Role(Kind.OPTION, section, key))
    return roles


def entries(roles: list[Role]) -> Iterator[Entry]:
    for start, role in enumerate(roles):
        if role.kind is not Kind.OPTION:
            continue
        assert role.section is not None and role.key is not None
        stop = start + 1
        for index in range(start + 1, len(roles)):
            kind = roles[index].kind
            if kind is Kind.CONTINUATION:
                stop = index + 1
            elif kind is not Kind.BLANK and kind is not Kind.COMMENT:
                break
        yield Entry(role.section, role.key, start, stop)


def blocks(roles: list[Role]) -> Iterator[tuple[str, int, int]]:
    """(section, header index, index of the next header or the end) for every section header."""
    headers = [index for index, role in enumerate(roles) if role.kind is Kind.HEADER]
    for number, index in enumerate(headers):
        stop = headers[number + 1] if number + 1 < len(headers) else len(roles)
        section = roles[index].section
        assert section is not None
        yield section, index, stop


def spellings(lines: list[Line], roles: list[Role]) -> dict[tuple[str, str], str]:
    """(section, option key) -> the option's name as the file spells it."""
    names: dict[tuple[str, str], str] = {}
    for line, role in zip(lines, roles, strict=True):
        if role.kind is Kind.OPTION:
            assert role.section is not None and role.key is not None
            found = _OPTION.match(line.text.strip())
            assert found is not None
            names.setdefault((role.section, role.key), found.group("option").rstrip())
    return names


def _leading_space(text: str) -> str:
    return text[:len(text) - len(text.lstrip())]


def _style(lines: list[Line], roles: list[Role], entry: Entry) -> tuple[Style, str]:
    """The style of an option as written, and its name as spelled."""
    text = lines[entry.start].text
    indent = _leading_space(text)
    found = _OPTION.match(text.strip())
    assert found is not None
    separator = text.strip()[found.end("option"):found.start("value")]
    if not found.group("value"):
        # "name =" shows no spacing after the delimiter; mirror the spacing before it.
        separator = separator.rstrip() + (" " if separator[:1].isspace() else "")
    continuation = indent + _PLAIN.continuation
    for index in range(entry.start + 1, entry.stop):
        if roles[index].kind is Kind.CONTINUATION:
            continuation = _leading_space(lines[index].text)
            break
    return Style(indent, separator, continuation), text[len(indent):len(indent) + found.end("option")]


def _relative(style: Style) -> Style:
    """The style at the start of a line: a new section's options are not indented."""
    extra = style.continuation[len(style.indent):] if style.continuation.startswith(style.indent) else ""
    return Style("", style.separator, extra or _PLAIN.continuation)


def _render(style: Style, name: str, value: str) -> list[str]:
    first, *rest = value.split("\n")
    rendered = [(style.indent + name + style.separator + first).rstrip()]
    rendered += [(style.continuation + line).rstrip() if line.strip() else "" for line in rest]
    return rendered


# --- the edit ----------------------------------------------------------------------------------------

@dataclass(frozen=True)
class _Splice:
    start: int
    stop: int
    texts: list[str]
    end: str  # the line end of the new lines


def _section_span(roles: list[Role], header: int, stop: int) -> tuple[int, int]:
    if stop < len(roles):
        # Comment lines right above the next header speak about that section.
        while stop > header + 1 and roles[stop - 1].kind is Kind.COMMENT:
            stop -= 1
    elif roles[stop - 1].kind is not Kind.BLANK:
        # The last section, in a file that does not end with a blank line: the blank lines that set it
        # apart go with it. (A section added at the end follows the file's habit, so that adding one and
        # removing it again gives the file back.)
        while header > 0 and roles[header - 1].kind is Kind.BLANK:
            header -= 1
    return header, stop


def apply(document: Document, before: Data, after: Data, optionxform: Callable[[str], str],
          names: Mapping[tuple[str, str], str]) -> Document:
    """A copy of the document changed from holding `before` to holding `after`, touching only what differs.

    `names` spells the options that are new, by (section, key); others keep the file's spelling."""
    lines = document.lines
    roles = classify(lines, optionxform)
    newline = document.newline
    found = list(entries(roles))
    if {(entry.section, entry.key) for entry in found} != {(s, k) for s, options in before.items() for k in options}:
        raise EditError("the file's lines do not match what the engine read from them")
    splices: list[_Splice] = []

    for section, header, stop in blocks(roles):
        if section not in after:
            start, stop = _section_span(roles, header, stop)
            splices.append(_Splice(start, stop, [], newline))

    fallback = _relative(_style(lines, roles, found[0])[0]) if found else _PLAIN
    for entry in found:
        if entry.section not in after:
            continue
        wanted = after[entry.section]
        if entry.key not in wanted:
            splices.append(_Splice(entry.start, entry.stop, [], newline))
        elif wanted[entry.key] != before[entry.section][entry.key]:
            style, name = _style(lines, roles, entry)
            end = lines[entry.start].end or newline
            splices.append(_Splice(entry.start, entry.stop, _render(style, name, wanted[entry.key]), end))

    last_blocks = {section: (header, stop) for section, header, stop in blocks(roles)}
    for section, options in after.items():
        added = [key for key in options if key not in before.get(section, {})]
        if not added or section not in last_blocks:
            continue
        header, stop = last_blocks[section]
        inside = [entry for entry in found if header < entry.start < stop]
        at, style = header + 1, fallback
        if inside:
            at, style = inside[-1].stop, _style(lines, roles, inside[-1])[0]
        texts = [text for key in added for text in _render(style, names.get((section, key), key), options[key])]
        splices.append(_Splice(at, at, texts, newline))

    result = list(lines)
    for splice in sorted(splices, key=lambda s: (s.start, s.stop), reverse=True):
        result[splice.start:splice.stop] = [Line(text, splice.end) for text in splice.texts]

    # The default section is always in the data; it gets a header of its own only once it holds options.
    new_sections = [section for section in after
                    if section not in last_blocks and (after[section] or section not in before)]
    # A blank line before each new section, and after it too in a file that ends with one (as the engine
    # writes them).
    blank_end = bool(result) and not result[-1].text.strip()
    for section in new_sections:
        texts = [""] if result and result[-1].text.strip() else []
        texts.append(f"[{section}]")
        texts += [text for key, value in after[section].items()
                  for text in _render(fallback, names.get((section, key), key), value)]
        result += [Line(text, newline) for text in texts + ([""] if blank_end else [])]

    edited = Document("", bom=document.bom)
    edited.lines = settle_ends(result, newline, final=document.final_newline)
    return edited


def verify(data: bytes, intended: Data, source: str) -> None:
    """Raises EditError unless the engine reads `data` as exactly `intended`, order included."""
    try:
        read = snapshot(parse(Document.decode(data), source, raw=True))
    except (configparser.Error, UnicodeDecodeError) as exc:
        raise EditError(f"the edited text would not load ({type(exc).__name__})") from None
    if ordered(read) != ordered(intended):
        raise EditError(f"the edited text would read back differently{_first_difference(read, intended)}")


def _first_difference(read: Data, intended: Data) -> str:
    for section in dict.fromkeys([*intended, *read]):
        got, want = read.get(section), intended.get(section)
        if got is None or want is None:
            return f" (section {section!r})"
        for key in dict.fromkeys([*want, *got]):
            if got.get(key) != want.get(key):
                return f" (option {key!r} in section {section!r})"
    return " (order)"
