"""Tolerant reading and minimal, verified editing of INI files as people write them.

One reading covers the common dialects: keys before the first header (the section ""), repeated sections,
repeated keys, bare keys (no delimiter; their value is None), directives such as ``!include`` and
``!includedir`` (kept, never taken for keys), keys indented under their header (smb.conf, .gitconfig) and
inline comments after a value (whitespace then ';' or '#'). Section names are compared exactly; a key is
the key of the same name, else the one key of the section whose name differs only in case (the engine's files
compare keys in lower case; a changed key keeps the file's spelling). Values are
the text after the delimiter, stripped, without the inline comment; a line indented deeper than a key at the
start of its line continues that key's value (configparser's rule). Bytes that are not UTF-8 are kept as they are.

The API (these names stay):

    doc = read(data)                       # bytes -> Document; reads any bytes, never raises
    doc.sections()                         # distinct section names in file order; "" first when it holds keys
    doc.has_section(section)               # "" always exists
    doc.keys(section)                      # distinct key names over every block of the section, file order
    doc.spelling(section, key)             # the key's name as the section spells it
    doc.values(section, key)               # every value of the key, file order (None for a bare key)
    doc.items(section)                     # every (key, value) of the section, file order
    doc.blocks                             # the reading itself: Block(name, header, entries) in file order,
                                           # the first one "" with header None; Entry(key, value, start, stop)
    doc.encode()                           # the bytes, exactly as read

    changes (named tuples), applied in order; the modes ONE, ALL, ADD are the strings "one", "all", "add":
        Set(section, key, value, mode=ONE) # ONE: refuses a key found more than once; ALL: the first one takes
                                           # the value and the others go; ADD: one more after the last one
        Remove(section, key, all=False)    # every occurrence with all=True; refuses several otherwise
        RemoveSection(section)             # every block of the name: header, keys, and the blank and comment
                                           # lines among them; comments after its last key stay
        AddSection(section)                # an empty section at the end, unless it exists
        Merge(text, mode=ONE)              # the sections and keys of INI text (str or bytes), as AddSection and
                                           # Set; a key the text repeats replaces every occurrence in the file
    Set, AddSection and Merge take existing=True to refuse creating what is missing; Remove and RemoveSection
    take missing_ok=True to pass over what is not there.

    edit(doc, changes) -> bytes            # new bytes touching only the lines of what changed, each line
                                           # keeping its own line end, verified by reading them back
    update(path, changes, create=True) -> bool   # read, edit and write under the edit lock, one write,
                                           # all or nothing; True when the file changed
    value_problem(value) -> str | None     # why a value could not be written to read back the same

Every refusal is a ChangeError whose message names the section or key concerned; nothing is written then.
"""
from __future__ import annotations

import re
from collections import namedtuple
from collections.abc import Iterable, Sequence

from kestra_ini._lines import BOM, Line, majority_end, settle_ends, split_lines

__all__ = ["ONE", "ALL", "ADD", "AddSection", "Block", "Change", "ChangeError", "Document", "Entry", "Merge",
           "Mode", "Remove", "RemoveSection", "Set", "edit", "read", "update", "value_problem"]

_HEADER = re.compile(r"\[(?P<name>.*?)\]\s*(?P<comment>[;#].*)?")
_DIRECTIVE = re.compile(r"(!\w|%include\b)")
_DELIMITER = re.compile(r"[=:]")
_INLINE = re.compile(r"\s+[;#]")
_KEYLIKE = re.compile(r"[^=:\s\[;#][^=:]*[=:]")
_COMMENTS = ("#", ";")


class ChangeError(Exception):
    """A change that is refused, or an edit that would not read back as intended: nothing is written."""


# How a set treats a key found more than once (plain strings: Mode("all") == ALL). Named tuples rather than
# enums and dataclasses throughout, since those would cost the command line a good part of its start-up.
class Mode(str):
    ONE = "one"
    ALL = "all"
    ADD = "add"


ONE, ALL, ADD = Mode.ONE, Mode.ALL, Mode.ADD

# One key as the file holds it: lines[start:stop] are its line and its continuation lines.
Entry = namedtuple("Entry", "key value start stop")
# One section header (its line index) and the keys up to the next header; the first block ("") has no header.
Block = namedtuple("Block", "name header entries")


class Document:
    def __init__(self, lines: list[Line], *, bom: bool) -> None:
        self.lines = lines
        self.bom = bom
        self.blocks = _parse(lines)

    def encode(self) -> bytes:
        text = "".join(line.text + line.end for line in self.lines).encode("utf-8", "surrogateescape")
        return BOM + text if self.bom else text

    def sections(self) -> list[str]:
        names = [block.name for block in self.blocks if block.header is not None or block.entries]
        return list(dict.fromkeys(names))

    def has_section(self, section: str) -> bool:
        return any(block.name == section for block in self.blocks)

    def items(self, section: str) -> list[tuple[str, str | None]]:
        return [(e.key, e.value) for block in self.blocks if block.name == section for e in block.entries]

    def keys(self, section: str) -> list[str]:
        return list(dict.fromkeys(key for key, _ in self.items(section)))

    def spelling(self, section: str, key: str) -> str:
        """The key as the section spells it: the same name, else the one name that differs only in case."""
        keys = self.keys(section)
        if key in keys:
            return key
        folded = [name for name in keys if name.casefold() == key.casefold()]
        return folded[0] if len(folded) == 1 else key

    def values(self, section: str, key: str) -> list[str | None]:
        key = self.spelling(section, key)
        return [value for name, value in self.items(section) if name == key]

    def reading(self) -> list[tuple[str, list[tuple[str, str | None]]]]:
        """What the document says, block by block: the yardstick of every edit."""
        return [(block.name, [(e.key, e.value) for e in block.entries]) for block in self.blocks]


def read(data: bytes) -> Document:
    bom = data.startswith(BOM)
    text = data[len(BOM):] if bom else data
    return Document(split_lines(text.decode("utf-8", "surrogateescape")), bom=bom)


# --- reading ------------------------------------------------------------------------------------------

def _indent(text: str) -> int:
    return len(text) - len(text.lstrip())


def _is_continuation(text: str, key_indent: int) -> bool:
    """A line indented deeper than its key continues the value, as configparser reads it; under a key that is
    itself indented (smb.conf, .gitconfig), a deeper line that reads as a key of its own is one."""
    indent = _indent(text)
    return indent > key_indent and (key_indent == 0 or not _KEYLIKE.match(text.strip()))


def _parse(lines: list[Line]) -> list[Block]:
    blocks = [Block("", None, [])]
    current: Entry | None = None
    key_indent = 0
    parts: list[str] = []

    def close() -> None:
        nonlocal current
        if current is not None:
            blocks[-1].entries.append(current._replace(value=_join(parts) if current.value is not None else None))
        current = None

    for index, line in enumerate(lines):
        clean = line.text.strip()
        if not clean or clean.startswith(_COMMENTS):
            if current is not None and current.value is not None and not clean:
                parts.append("")
            continue
        if current is not None and current.value is not None and _is_continuation(line.text, key_indent):
            parts.append(clean)
            current = current._replace(stop=index + 1)
            continue
        close()
        if _DIRECTIVE.match(clean):
            continue
        header = _HEADER.fullmatch(clean)
        if header:
            blocks.append(Block(header.group("name").strip(), index, []))
            continue
        key, value = _key_and_value(clean)
        current, key_indent, parts = Entry(key, value, index, index + 1), _indent(line.text), [value or ""]
    close()
    return blocks


def _join(parts: list[str]) -> str:
    # Blank lines after the last line of a value are not part of it.
    while len(parts) > 1 and not parts[-1]:
        parts.pop()
    return "\n".join(parts)


def _key_and_value(clean: str) -> tuple[str, str | None]:
    delimiter = _DELIMITER.search(clean)
    if delimiter is None or not clean[:delimiter.start()].strip():
        return _without_comment(clean).strip(), None
    return clean[:delimiter.start()].strip(), _without_comment(clean[delimiter.end():]).strip()


def _without_comment(text: str) -> str:
    found = _INLINE.search(text)
    return text[:found.start()] if found else text


# --- changes ------------------------------------------------------------------------------------------

Set = namedtuple("Set", "section key value mode existing", defaults=(ONE, False))
Remove = namedtuple("Remove", "section key all missing_ok", defaults=(False, False))
RemoveSection = namedtuple("RemoveSection", "section missing_ok", defaults=(False,))
AddSection = namedtuple("AddSection", "section existing", defaults=(False,))
Merge = namedtuple("Merge", "text mode existing", defaults=(ONE, False))  # text: str or bytes


Change = Set | Remove | RemoveSection | AddSection | Merge
Reading = list[tuple[str, list[tuple[str, str | None]]]]


def value_problem(value: str | None) -> str | None:
    """Why a value cannot be written so that it reads back the same, or None."""
    if value is None:
        return None
    if "\r" in value:
        return "it holds a carriage return"
    first, *rest = value.split("\n")
    for line in (first, *rest):
        if line != line.strip():
            return "it has leading or trailing whitespace, which is not kept"
    if _INLINE.search(first):
        return "a ';' or '#' after whitespace would start an inline comment"
    if any(line.startswith(_COMMENTS) for line in rest):
        return "a later line starting with ';' or '#' would be read as a comment"
    if rest and not rest[-1]:
        return "it ends with an empty line, which is not kept"
    return None


def _name_problem(key: str) -> str | None:
    if not key or key != key.strip():
        return "a key name must be non-empty, without leading or trailing whitespace"
    if "\n" in key or "\r" in key or _DELIMITER.search(key):
        return "a key name cannot hold a line break, '=' or ':'"
    if key.startswith(("[", "!", *_COMMENTS)) or _INLINE.search(key):
        return "a key name cannot start with '[', '!', ';' or '#', nor hold ' ;' or ' #'"
    return None


def _section_problem(section: str) -> str | None:
    if section != section.strip() or "\n" in section or "\r" in section or "]" in section:
        return "a section name cannot hold a line break or ']', nor leading or trailing whitespace"
    return None


def _where(section: str, key: str | None = None) -> str:
    place = "before the first section" if section == "" else f"in section {section!r}"
    return f"key {key!r} {place}" if key is not None else ("the keys before the first section" if section == ""
                                                            else f"section {section!r}")


def _no_section(section: str) -> str:
    return "no keys before the first section" if section == "" else f"no section {section!r}"


class _Edit:
    """One change under way: the splices of lines and, apart from them, the reading they must give."""

    def __init__(self, doc: Document, intended: Reading) -> None:
        self.doc = doc
        self.intended = intended
        self.splices: list[tuple[int, int, list[str], str]] = []

    def occurrences(self, section: str, key: str) -> list[tuple[int, int]]:
        key = self.doc.spelling(section, key)
        return [(b, e) for b, block in enumerate(self.doc.blocks) if block.name == section
                for e, entry in enumerate(block.entries) if entry.key == key]


def _style(doc: Document, near: Entry | None) -> tuple[str, str]:
    """(indent, separator) for a new key line: as the key near it, else as the file's first key with a value."""
    candidates = [near] if near is not None and near.value is not None else []
    candidates += [e for block in doc.blocks for e in block.entries if e.value is not None]
    for entry in candidates:
        text = doc.lines[entry.start].text
        delimiter = _DELIMITER.search(text)
        assert delimiter is not None
        name_end = len(text[:delimiter.start()].rstrip())
        after = text[delimiter.end():]
        spacing = after[:len(after) - len(after.lstrip())] or (" " if name_end < delimiter.start() else "")
        return text[:_indent(text)], text[name_end:delimiter.end()] + spacing[:1]
    return "", " = "


def _continuation_indent(doc: Document, entry: Entry | None, indent: str) -> str:
    if entry is not None and entry.stop > entry.start + 1:
        text: str = doc.lines[entry.stop - 1].text
        return text[:_indent(text)]
    return indent + "\t"


def _render(doc: Document, key: str, value: str | None, near: Entry | None) -> list[str]:
    indent, separator = _style(doc, near)
    if value is None:
        return [indent + key]
    first, *rest = value.split("\n")
    more = _continuation_indent(doc, near, indent)
    return [(indent + key + separator + first).rstrip()] + [more + line if line else "" for line in rest]


def _rewrite(doc: Document, entry: Entry, value: str | None) -> list[str]:
    """The lines of an existing key with a new value: indent, spelling, spacing and inline comment kept."""
    text = doc.lines[entry.start].text
    delimiter = _DELIMITER.search(text)
    if entry.value is None or delimiter is None:
        comment = _INLINE.search(text)
        tail = text[comment.start():] if comment else ""
        lines = _render(doc, entry.key, value, entry)
        return [lines[0] + tail, *lines[1:]]
    old = text[delimiter.end():]
    comment = _INLINE.search(old)
    tail = old[comment.start():] if comment else ""
    spacing = old[:len(old) - len(old.lstrip())]
    if not _without_comment(old).strip():
        # "name =" shows no spacing after the delimiter; mirror the spacing before it.
        spacing = " " if text[delimiter.start() - 1:delimiter.start()].isspace() else ""
    head = text[:delimiter.end()]
    if value is None:
        return [text[:len(text[:delimiter.start()].rstrip())] + tail]
    first, *rest = value.split("\n")
    more = _continuation_indent(doc, entry, text[:_indent(text)])
    line = (head + spacing + first).rstrip() if first else head
    return [line + tail] + [more + part if part else "" for part in rest]


def _set(job: _Edit, change: Set) -> None:
    doc, section, key = job.doc, change.section, change.key
    problem = _name_problem(key) or _section_problem(section)
    value_issue = value_problem(change.value)
    if problem or value_issue:
        raise ChangeError(f"{_where(section, key)}: {problem or f'value {change.value!r} refused: {value_issue}'}")
    key = doc.spelling(section, key)
    found = job.occurrences(section, key)
    if change.existing and not found:
        raise ChangeError(f"no {_where(section, key)}" if doc.has_section(section) else _no_section(section))
    if len(found) > 1 and change.mode == ONE:
        raise ChangeError(f"{_where(section, key)} appears {len(found)} times: --all replaces them with one "
                          "value, --add adds another")
    if found and change.mode != ADD:
        (b, e), *others = found
        entry = doc.blocks[b].entries[e]
        if entry.value != change.value:
            job.splices.append((entry.start, entry.stop, _rewrite(doc, entry, change.value), _end(doc, entry)))
            job.intended[b][1][e] = (entry.key, change.value)
        for b, e in reversed(others):
            other = doc.blocks[b].entries[e]
            job.splices.append((other.start, other.stop, [], ""))
            del job.intended[b][1][e]
        return
    if found:
        b, e = found[-1]
        after = doc.blocks[b].entries[e]
    else:
        blocks = [b for b, block in enumerate(doc.blocks) if block.name == section]
        if not blocks:
            _add_section(job, section, [(key, change.value)])
            return
        b = blocks[-1]
        e = len(doc.blocks[b].entries) - 1
        after = doc.blocks[b].entries[e] if e >= 0 else None
    header = doc.blocks[b].header
    at = after.stop if after is not None else (header + 1 if header is not None else 0)
    job.splices.append((at, at, _render(doc, key, change.value, after), ""))
    job.intended[b][1].insert(e + 1, (key, change.value))


def _end(doc: Document, entry: Entry) -> str:
    # A changed line keeps its own line end, whatever most lines of the file end with.
    end: str = doc.lines[entry.start].end
    return end


def _add_section(job: _Edit, section: str, items: list[tuple[str, str | None]]) -> None:
    problem = _section_problem(section)
    if problem or section == "":
        raise ChangeError(f"section {section!r}: {problem or 'the section before the first header has no header'}")
    doc = job.doc
    near = next((e for block in doc.blocks for e in block.entries if e.value is not None), None)
    lines = [f"[{section}]"] + [text for key, value in items for text in _render(doc, key, value, near)]
    if doc.lines and doc.lines[-1].text.strip():
        lines.insert(0, "")
    job.splices.append((len(doc.lines), len(doc.lines), lines, ""))
    job.intended.append((section, list(items)))


def _remove(job: _Edit, change: Remove) -> None:
    found = job.occurrences(change.section, change.key)
    if not found:
        if change.missing_ok:
            return
        has = job.doc.has_section(change.section)
        raise ChangeError(f"no {_where(change.section, change.key)}" if has else _no_section(change.section))
    if len(found) > 1 and not change.all:
        raise ChangeError(f"{_where(change.section, change.key)} appears {len(found)} times: --all removes "
                          "every one")
    for b, e in reversed(found):
        entry = job.doc.blocks[b].entries[e]
        job.splices.append((entry.start, entry.stop, [], ""))
        del job.intended[b][1][e]


def _remove_section(job: _Edit, change: RemoveSection) -> None:
    doc = job.doc
    found = [b for b, block in enumerate(doc.blocks) if block.name == change.section
             and (block.header is not None or block.entries)]
    if not found:
        if change.missing_ok:
            return
        raise ChangeError(_no_section(change.section))
    spans: list[tuple[int, int]] = []
    for b in found:
        block = doc.blocks[b]
        if block.header is None:
            job.splices += [(entry.start, entry.stop, [], "") for entry in block.entries]
            job.intended[b] = (block.name, [])
            continue
        start, stop = _section_span(doc, b)
        if spans and spans[-1][1] == start:
            start = spans.pop()[0]  # two blocks in a row go as one
        spans.append((start, stop))
    for start, stop in spans:
        lines = doc.lines
        if all(not line.text.strip() for line in lines[stop:]):
            # What goes ends the file: the blank lines that set it apart go with it, so that a section added
            # at the end and removed again gives the file back.
            stop = len(lines)
            while start > 0 and not lines[start - 1].text.strip():
                start -= 1
        job.splices.append((start, stop, [], ""))
    for b in reversed(found):
        if doc.blocks[b].header is not None:
            del job.intended[b]


def _section_span(doc: Document, b: int) -> tuple[int, int]:
    """The lines of a section that go with it: its header, its keys with their continuation lines and the blank
    and comment lines among them. Comment lines after its last key speak of what follows (a commented-out key,
    the next section), so they stay; the blank lines that end the section go with it."""
    block, lines = doc.blocks[b], doc.lines
    assert block.header is not None
    start = block.header
    stop = block.entries[-1].stop if block.entries else start + 1
    following = doc.blocks[b + 1].header if b + 1 < len(doc.blocks) else len(lines)
    assert following is not None
    while stop < following and not lines[stop].text.strip():
        stop += 1
    return start, stop


def _merge_changes(change: Merge) -> list[Change]:
    data = change.text.encode("utf-8", "surrogateescape") if isinstance(change.text, str) else change.text
    source = read(data)
    result: list[Change] = []
    for section in source.sections():
        if section:
            result.append(AddSection(section, existing=change.existing))
        for key in source.keys(section):
            values = source.values(section, key)
            mode = change.mode if len(values) == 1 else ALL
            result.append(Set(section, key, values[0], mode, change.existing))
            result += [Set(section, key, value, ADD) for value in values[1:]]
    return result


def _expand(changes: Iterable[Change]) -> Iterable[Change]:
    for change in changes:
        if isinstance(change, Merge):
            yield from _merge_changes(change)
        else:
            yield change


def _apply(doc: Document, change: Change) -> Document:
    job = _Edit(doc, doc.reading())
    if isinstance(change, Set):
        _set(job, change)
    elif isinstance(change, Remove):
        _remove(job, change)
    elif isinstance(change, RemoveSection):
        _remove_section(job, change)
    elif isinstance(change, AddSection):
        if not doc.has_section(change.section):
            if change.existing:
                raise ChangeError(_no_section(change.section))
            _add_section(job, change.section, [])
    if not job.splices:
        return doc
    newline = majority_end(doc.lines)
    result = list(doc.lines)
    for start, stop, texts, end in sorted(job.splices, key=lambda s: (s[0], s[1]), reverse=True):
        result[start:stop] = [Line(text, end or newline) for text in texts]
    final = not doc.lines or doc.lines[-1].end != ""
    edited = Document(settle_ends(result, newline, final=final), bom=doc.bom)
    if edited.reading() != job.intended:
        raise ChangeError(f"nothing written: the edit would not read back as intended ({_describe(change)})")
    return edited


def _describe(change: Change) -> str:
    if isinstance(change, RemoveSection | AddSection):
        return _where(change.section)
    assert isinstance(change, Set | Remove)
    return _where(change.section, change.key)


def edit(doc: Document, changes: Sequence[Change]) -> bytes:
    """The document's bytes with every change made in turn; raises ChangeError, and then nothing holds."""
    for change in _expand(changes):
        doc = _apply(doc, change)
    data = doc.encode()
    # The bytes themselves, read afresh, must say what the last reading said.
    if read(data).reading() != doc.reading():
        raise ChangeError("nothing written: the edited bytes would not read back as intended")
    return data


def update(path: str, changes: Sequence[Change], *, create: bool = True) -> bool:
    """Reads the file, makes every change and writes it once, all under the edit lock; True if it changed.

    A missing file is an empty one when `create` is true; otherwise its absence raises FileNotFoundError."""
    from kestra_ini import _disk

    with _disk.exclusive(path):
        data = _disk.read(path, may_create=create)
        new = edit(read(data or b""), changes)
        if data is not None and new == data or data is None and not new:
            return False
        _disk.write(path, new)
        return True
