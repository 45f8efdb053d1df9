"""Changes to a document that touch only the lines of what changes, each checked by reading the result back.

    Set(section, key, value, mode=ONE, existing=False)
        ONE: refuses a key found more than once; ALL: the first occurrence takes the value and the others go;
        ADD: one more after the last one; LAST: the last one takes the value and the others stay (systemd's
        "ExecStart=" reset idiom). value None writes a bare key.
    Remove(section, key, all=False, missing_ok=False)
        every occurrence with all=True; refuses several otherwise
    RemoveSection(section, missing_ok=False)
        every block of the name: header, keys, and the blank and comment lines among them; comment lines after
        its last key stay (they speak of what follows); the keys before the first header for ""
    AddSection(section, existing=False)
        an empty section at the end, unless it exists
    Rename(section, key, new)
        the section (key None), every block of it, or every occurrence of the key in it, to the name `new`
    Merge(text, mode=ONE, existing=False)
        the sections and keys of INI text (bytes, read in the document's grammar), as AddSection and Set; a key
        the text repeats replaces every occurrence in the file
    Set, AddSection and Merge take existing=True to refuse creating what is missing; Remove and RemoveSection
    take missing_ok=True to pass over what is not there.

    edit(doc, changes) -> Document     # every change made in turn; raises ChangeError, and then nothing holds
    assign(sections, mode, existing)   # the changes that give each key of {section: {key: [values]}} its values
    splice(lines, [(start, stop, new lines)])        # the one way lines are replaced, for every front end
    read_back(doc, intended, what, reading=...)      # the one check that an edited document says what was meant
    key_place(doc, layout, blocks, found)            # where a new key goes
    render(doc, layout, key, value, near)            # the lines of a new key
    section_lines(doc, layout, section, items)       # the lines of a new section at the end
    same_key(doc, layout, a, b)                      # whether two names are one key

Every front end decides where its new lines go and how they read through the last four, with a Layout of its
own (kestra_ini._ini_file's is ini_file's, kestra_ini.crudini_file's crudini's); the names and values any of
them may write are kestra_ini.grammars' rules.

The command line's layout: new lines take the style of the key near them (indent, spacing around the
delimiter, continuation indent), else that of the file's first key; a changed line keeps its own line end,
new lines take the file's most common one. After each change the document must read exactly as intended, or
ChangeError names what.
"""
from __future__ import annotations

from collections import namedtuple
from collections.abc import Iterable, Mapping, Sequence

from kestra_ini import encodings
from kestra_ini.document import (
    Document,
    Entry,
    Line,
    NotIni,
    indent,
    majority_end,
    read,
    settle_ends,
    split_lines,
    without_comment,
)
from kestra_ini.grammars import key_problem, section_problem, value_problem


class ChangeError(Exception):
    """A change that is refused, or an edit that would not read back as intended: nothing is written."""


# How a set treats a key found more than once: plain strings, so "all" == ALL.
ONE, ALL, ADD, LAST = "one", "all", "add", "last"

Set = namedtuple("Set", "section key value mode existing", defaults=(ONE, False))
Remove = namedtuple("Remove", "section key all missing_ok", defaults=(False, False))
RemoveSection = namedtuple("RemoveSection", "section missing_ok", defaults=(False,))
AddSection = namedtuple("AddSection", "section existing", defaults=(False,))
Rename = namedtuple("Rename", "section key new")
Merge = namedtuple("Merge", "text mode existing", defaults=(ONE, False))

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

    # [(section, [(key as compared, value), ...]), ...], as Document.reading() gives
    Reading = list[tuple[str, list[tuple[str, str | None]]]]


def _where(section: str, key: str | None = None) -> str:
    place = "before the first section" if section == "" else f"in section {section!r}"
    if key is not None:
        return f"key {key!r} {place}"
    return "the keys before the first section" if section == "" else f"section {section!r}"


def _no_section(section: str) -> str:
    return "no keys before the first section" if section == "" else f"no section {section!r}"


def _encodable(doc: Document, where: str, *texts: str | None) -> None:
    for text in texts:
        problem = encodings.refusal(text or "", doc.encoding)
        if problem:
            raise ChangeError(f"{where}: {text!r} refused: {problem}")


class _Edit:
    """One change under way: the splices of lines and, apart from them, the reading they must give."""

    def __init__(self, doc: Document) -> None:
        self.doc = doc
        self.intended: Reading = doc.reading()
        self.splices: list[tuple[int, int, list[str], str]] = []

    def occurrences(self, section: str, key: str) -> list[tuple[int, int]]:
        wanted = self.doc.spelling(section, key)
        return [(b, e) for b, block in enumerate(self.doc.blocks) if block.name == section
                for e, entry in enumerate(block.entries) if same_key(self.doc, COMMAND_LINE, entry.key, wanted)]

    def entry(self, b: int, e: int) -> Entry:
        found: Entry = self.doc.blocks[b].entries[e]
        return found

    def replace(self, start: int, stop: int, texts: list[str], end: str = "") -> None:
        self.splices.append((start, stop, texts, end))


# --- layout: where new lines go and how they are written, one policy a front end --------------------------

class Layout(namedtuple("Layout", "after_key first_block separator indent continuation trim gap fold",
                        defaults=(True, False, None, None, None, True, "text", None))):
    """How a front end lays out the lines it adds (None: as the file's own lines near them show).

    after_key: a key added beside others of its name goes after the last of them (else after its section's
        last key); first_block: a section written in several blocks takes new keys in its first (else its
        last); separator: what joins name and value ("=", " = "); indent: a new key line's indentation;
    continuation: the indentation of a value's further lines; trim: trailing whitespace dropped (an empty
        value written "name =" rather than "name = "); gap: when a blank line goes before a section added
        at the end: "text" after a line that is not blank, "empty" in an empty file only, "always", "never";
    fold: how key names compare (the grammar's way)."""

    __slots__ = ()


COMMAND_LINE = Layout()


def same_key(doc: Document, layout: Layout, a: str, b: str) -> bool:
    fold = doc.fold if layout.fold is None else layout.fold
    return bool(fold(a) == fold(b))


def key_place(doc: Document, layout: Layout, blocks: Sequence[int],
              found: Sequence[tuple[int, int]]) -> tuple[int, int, int]:
    """(block, entry the new key follows or -1, line it goes at) for a key added to the section of `blocks`
    (its blocks, by index), `found` the (block, entry) of the key's occurrences."""
    if found and layout.after_key:
        b, e = found[-1]
    else:
        b = found[-1][0] if found else blocks[0] if layout.first_block else blocks[-1]
        e = len(doc.blocks[b].entries) - 1
    block = doc.blocks[b]
    if e >= 0:
        return b, e, int(block.entries[e].stop)
    return b, e, 0 if block.header is None else block.header + 1


def _style(doc: Document, near: Entry | None) -> tuple[str, str]:
    """(indent, separator) for a new key line: as the key near it, else as the file's first key with a value."""
    candidates = [near] if near is not None and near.value is not None else []
    candidates += [e for block in doc.blocks for e in block.entries if e.value is not None]
    for entry in candidates:
        text = doc.lines[entry.start].text
        delimiter = doc.grammar.delimiter.search(text)
        if delimiter is None:
            continue
        name_end = len(text[:delimiter.start()].rstrip())
        after = text[delimiter.end():]
        spacing = after[:len(after) - len(after.lstrip())] or (" " if name_end < delimiter.start() else "")
        return text[:indent(text)], text[name_end:delimiter.end()] + spacing[:1]
    return "", " = "


def _continuation_indent(doc: Document, entry: Entry | None, first: str) -> str:
    if entry is not None and entry.stop > entry.start + 1:
        text: str = doc.lines[entry.stop - 1].text
        return text[:indent(text)]
    return first + "\t"


def render(doc: Document, layout: Layout, key: str, value: str | None, near: Entry | None = None) -> list[str]:
    """The lines of a new key, laid out as `layout` says, else as the key `near` it (or the file's first)."""
    first_indent, separator = _style(doc, near) if None in (layout.indent, layout.separator) else ("", "")
    first_indent = first_indent if layout.indent is None else layout.indent
    separator = separator if layout.separator is None else layout.separator
    if value is None:
        return [first_indent + key]
    first, *rest = value.split("\n")
    more = _continuation_indent(doc, near, first_indent) if layout.continuation is None else layout.continuation
    line = first_indent + key + separator + first
    return [line.rstrip() if layout.trim else line] + [more + text if text else "" for text in rest]


def section_lines(doc: Document, layout: Layout, section: str, items: Iterable[tuple[str, str | None]],
                  near: Entry | None = None) -> list[str]:
    """The lines of a section added at the end of the file: its header and keys, after a blank line where
    the layout's gap asks for one."""
    lines = [f"[{section}]"] + [text for key, value in items for text in render(doc, layout, key, value, near)]
    last = doc.lines[-1].text.strip() if doc.lines else None
    gap = {"text": bool(last), "empty": last is None, "always": True, "never": False}[layout.gap]
    return [""] + lines if gap else lines


def _render(doc: Document, key: str, value: str | None, near: Entry | None) -> list[str]:
    return render(doc, COMMAND_LINE, key, value, near)


def _rewrite(doc: Document, entry: Entry, value: str | None) -> list[str]:
    """The lines of an existing key with a new value: indent, spelling, spacing and inline comment kept."""
    text = doc.lines[entry.start].text
    grammar = doc.grammar
    delimiter = grammar.delimiter.search(text)
    if entry.value is None or delimiter is None:
        comment = grammar.inline.search(text) if grammar.inline is not None else None
        tail = text[comment.start():] if comment else ""
        lines = _render(doc, entry.key, value, entry)
        return [lines[0] + tail, *lines[1:]]
    old = text[delimiter.end():]
    comment = grammar.inline.search(old) if grammar.inline is not None else None
    tail = old[comment.start():] if comment else ""
    spacing = old[:len(old) - len(old.lstrip())]
    if not without_comment(grammar, old).strip():
        # "name =" shows no spacing after the delimiter; mirror the spacing before it.
        spacing = " " if text[delimiter.start() - 1:delimiter.start()].isspace() else ""
    if value is None:
        return [text[:len(text[:delimiter.start()].rstrip())] + tail]
    first, *rest = value.split("\n")
    more = _continuation_indent(doc, entry, text[:indent(text)])
    head = text[:delimiter.end()]
    line = (head + spacing + first).rstrip() if first else head
    return [line + tail] + [more + part if part else "" for part in rest]


# --- the changes --------------------------------------------------------------------------------------

def _set(job: _Edit, change: Set) -> None:
    doc, section = job.doc, change.section
    problem = key_problem(change.key, doc.grammar) or section_problem(section, doc.grammar)
    value_issue = value_problem(change.value, doc.grammar)
    if problem or value_issue:
        raise ChangeError(f"{_where(section, change.key)}: "
                          f"{problem or f'value {change.value!r} refused: {value_issue}'}")
    _encodable(doc, _where(section, change.key), section, change.key, change.value)
    key = doc.spelling(section, change.key)
    found = job.occurrences(section, key)
    if change.existing and not found:
        raise ChangeError(f"no {_where(section, key)}" if doc.has_section(section) else _no_section(section))
    if len(found) > 1 and change.mode == ONE:
        raise ChangeError(f"{_where(section, key)} appears {len(found)} times: --all replaces them with one "
                          "value, --last changes the last one, --add adds another")
    if found and change.mode != ADD:
        (b, e), *others = found[::-1] if change.mode == LAST else found
        entry = job.entry(b, e)
        if entry.value != change.value:
            job.replace(entry.start, entry.stop, _rewrite(doc, entry, change.value), doc.lines[entry.start].end)
            job.intended[b][1][e] = (doc.fold(entry.key), change.value)
        if change.mode == ALL:
            for b, e in sorted(others, reverse=True):
                other = job.entry(b, e)
                job.replace(other.start, other.stop, [])
                del job.intended[b][1][e]
        return
    _add_key(job, section, key, change.value, found)


def _add_key(job: _Edit, section: str, key: str, value: str | None, found: list[tuple[int, int]]) -> None:
    doc = job.doc
    blocks = [b for b, block in enumerate(doc.blocks) if block.name == section]
    if not blocks:
        _add_section(job, section, [(key, value)])
        return
    b, e, at = key_place(doc, COMMAND_LINE, blocks, found)
    after = job.entry(b, e) if e >= 0 else None
    job.replace(at, at, _render(doc, key, value, after))
    job.intended[b][1].insert(e + 1, (doc.fold(key), value))


def _add_section(job: _Edit, section: str, items: list[tuple[str, str | None]]) -> None:
    problem = section_problem(section, job.doc.grammar)
    if problem or section == "":
        raise ChangeError(f"section {section!r}: {problem or 'the section before the first header has no header'}")
    _encodable(job.doc, _where(section), section)
    doc = job.doc
    near = next((e for block in doc.blocks for e in block.entries if e.value is not None), None)
    job.replace(len(doc.lines), len(doc.lines), section_lines(doc, COMMAND_LINE, section, items, near))
    job.intended.append((section, [(doc.fold(key), value) for key, value in items]))


def _add_empty_section(job: _Edit, change: AddSection) -> None:
    if job.doc.has_section(change.section):
        return
    if change.existing:
        raise ChangeError(_no_section(change.section))
    _add_section(job, change.section, [])


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
        entry = job.entry(b, e)
        job.replace(entry.start, entry.stop, [])
        del job.intended[b][1][e]


def _blocks_of(doc: Document, section: str) -> list[int]:
    return [b for b, block in enumerate(doc.blocks) if block.name == section
            and (block.header is not None or block.entries)]


def _remove_section(job: _Edit, change: RemoveSection) -> None:
    doc = job.doc
    found = _blocks_of(doc, change.section)
    if not found:
        if change.missing_ok:
            return
        raise ChangeError(_no_section(change.section))
    spans: list[tuple[int, int]] = []
    for b in found:
        block = doc.blocks[b]
        if block.header is None:
            for entry in block.entries:
                job.replace(entry.start, entry.stop, [])
            job.intended[b] = (block.name, [])
            continue
        start, stop = section_span(doc, b)
        if spans and spans[-1][1] == start:
            start = spans.pop()[0]  # two blocks in a row go as one
        spans.append((start, stop))
    lines = doc.lines
    for start, stop in spans:
        if all(not line.text.strip() for line in lines[stop:]):
            # What goes ends the file: the blank lines that set it apart go with it, so that a section added
            # at the end and removed again gives the file back.
            stop = len(lines)
            while start > 0 and not lines[start - 1].text.strip():
                start -= 1
        job.replace(start, stop, [])
    for b in reversed(found):
        if doc.blocks[b].header is not None:
            del job.intended[b]


def section_span(doc: Document, b: int) -> tuple[int, int]:
    """The lines of a section that go with it: its header, its keys with their continuation lines, its lines
    that belong to no key, and the blank and comment lines among them. Comment lines after its last key speak
    of what follows (a commented-out key, the next section), so they stay; the blank lines that end the
    section go with it."""
    block, lines = doc.blocks[b], doc.lines
    start = block.header
    stop = block.end
    following = doc.blocks[b + 1].header if b + 1 < len(doc.blocks) else len(lines)
    while stop < following and not lines[stop].text.strip():
        stop += 1
    return start, stop


def _rename(job: _Edit, change: Rename) -> None:
    doc, section, new = job.doc, change.section, change.new
    if change.key is None:
        _rename_section(job, section, new)
        return
    problem = key_problem(new, doc.grammar)
    if problem:
        raise ChangeError(f"{_where(section, new)}: {problem}")
    _encodable(doc, _where(section, new), new)
    found = job.occurrences(section, change.key)
    if not found:
        raise ChangeError(f"no {_where(section, change.key)}" if doc.has_section(section) else _no_section(section))
    # Another key of that very name (as the grammar compares names) is in the way; the key's own name in
    # another case is not: "Port" renamed "port" is a change of case.
    old = doc.fold(doc.spelling(section, change.key))
    if doc.fold(new) != old and any(doc.fold(key) == doc.fold(new) for key in doc.keys(section)):
        raise ChangeError(f"{_where(section, new)} exists already")
    for b, e in found:
        entry = job.entry(b, e)
        text = doc.lines[entry.start].text
        at = indent(text)
        job.replace(entry.start, entry.start + 1, [text[:at] + new + text[at + len(entry.key):]],
                    doc.lines[entry.start].end)
        job.intended[b][1][e] = (doc.fold(new), entry.value)


def _rename_section(job: _Edit, section: str, new: str) -> None:
    doc = job.doc
    problem = (section_problem(new, doc.grammar) if section and new
               else "the section before the first header has no name")
    if problem:
        raise ChangeError(f"section {new!r}: {problem}")
    _encodable(doc, _where(new), new)
    found = [b for b in _blocks_of(doc, section) if doc.blocks[b].header is not None]
    if not found:
        raise ChangeError(_no_section(section))
    if new != section and doc.has_section(new):
        raise ChangeError(f"section {new!r} exists already")
    for b in found:
        number = doc.blocks[b].header
        text = doc.lines[number].text
        at = indent(text)
        named = doc.grammar.header.fullmatch(text.strip())
        job.replace(number, number + 1, [text[:at + named.start("name")] + new + text[at + named.end("name"):]],
                    doc.lines[number].end)
        job.intended[b] = (new, job.intended[b][1])


def _merged(doc: Document, change: Merge) -> list[object]:
    source = read(change.text, doc.grammar)
    try:
        source.require_readable()
    except NotIni as exc:
        raise ChangeError(f"the text to merge: {exc}") from None
    sections = {name: {key: source.values(name, key) for key in source.keys(name)} for name in source.sections()}
    return assign(sections, change.mode, change.existing)


def assign(sections: Mapping[str, Mapping[str, Sequence[str | None]]], mode: str = ONE,
           existing: bool = False) -> list[object]:
    """The changes that give every key of `sections` its values, in order, adding the sections: a key with one
    value is set in `mode`; a key with several replaces every occurrence in the file with them."""
    result: list[object] = []
    for section, items in sections.items():
        if section:
            result.append(AddSection(section, existing=existing))
        for key, values in items.items():
            result.append(Set(section, key, values[0], mode if len(values) == 1 else ALL, existing))
            result += [Set(section, key, value, ADD) for value in values[1:]]
    return result


_MAKE: dict[type, Callable[[_Edit, Any], None]] = {
    Set: _set, Remove: _remove, RemoveSection: _remove_section, AddSection: _add_empty_section, Rename: _rename}


def _describe(change: object) -> str:
    key = getattr(change, "key", None)
    return _where(change.section, key)  # type: ignore[attr-defined]


def _apply(doc: Document, change: object) -> Document:
    job = _Edit(doc)
    _MAKE[type(change)](job, change)
    if not job.splices:
        return doc
    newline = majority_end(doc.lines)
    result = splice(doc.lines, [(start, stop, [Line(text, end or newline) for text in texts])
                                for start, stop, texts, end in job.splices])
    final = not doc.lines or doc.lines[-1].end != ""
    edited = doc.like(settle_ends(result, newline, final=final))
    read_back(edited, job.intended, _describe(change), readable=doc.unreadable is None)
    return edited


# --- the one splice and the one check: every front end's edit goes through them -----------------------

def splice(lines: list[Line], splices: Iterable[tuple[int, int, list[Line]]]) -> list[Line]:
    """The lines with each (start, stop, new) putting `new` in place of lines[start:stop] of the lines as they
    were; splices at one place land in the order given."""
    result = list(lines)
    ordered = sorted(enumerate(splices), key=lambda item: (item[1][0], item[1][1], item[0]), reverse=True)
    for _, (start, stop, new) in ordered:
        result[start:stop] = new
    return result


def read_back(doc: Document, intended: object, what: str, *, readable: bool = True,
              reading: Callable[[Document], object] | None = None) -> None:
    """Raises ChangeError unless the document says exactly what was intended (by `reading`, the grammar's
    reading by default), and its bytes, read afresh, are the same lines (and so say the same)."""
    codec = None if doc.encoding.codec == encodings.KEPT else doc.encoding.codec
    try:
        again = split_lines(encodings.decode(doc.encode(), codec)[0])
    except UnicodeError:
        again = []
    said = doc.reading() if reading is None else reading(doc)
    if said != intended or again != doc.lines or readable and doc.unreadable is not None:
        raise ChangeError(f"nothing written: the edit would not read back as intended ({what})")


def _expand(doc: Document, changes: Iterable[object]) -> Iterable[object]:
    for change in changes:
        if isinstance(change, Merge):
            yield from _merged(doc, change)
        else:
            yield change


def edit(doc: Document, changes: Sequence[object]) -> Document:
    """The document with every change made in turn; raises ChangeError, and then nothing holds."""
    for change in _expand(doc, changes):
        doc = _apply(doc, change)
    return doc
