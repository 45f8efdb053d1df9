"""What the Ansible module kestra.ini.ini_file does to a file's bytes, with community.general.ini_file's parameters.

The file is read by the command line's document model; each change splices whole entries (a key line and its
continuation lines) through kestra_ini.changes, and the result is read back there and must give exactly the
intended reading, or nothing is written. Names and values follow the command line's rules (kestra_ini.grammars).
ini_file's own line layout (_layout, by which kestra_ini.changes places and writes new lines) is kept where it
loses nothing ("option = value", a new key after the section's last key, a new section appended at the end, a
final line end added); where it loses data, this does the sound thing
(docs/ansible.md).
"""
from __future__ import annotations

import contextlib
import os
from codecs import BOM_UTF8
from collections import Counter

from kestra_ini import _disk, changes, document, encodings, grammars
from kestra_ini.document import Line, majority_end, settle_ends

TYPE_CHECKING = False  # typing costs the module's start-up on every host
if TYPE_CHECKING:
    from collections.abc import Callable, Mapping, Sequence
    from typing import Any

NEED_VALUE = "Parameter 'value(s)' must be defined if state=present and allow_no_value=False."
_ORIGINAL = 1 << 62


class Failure(Exception):
    """A task that cannot be done; the file is left as it was."""

    def __init__(self, msg: str, **extra: object) -> None:
        super().__init__(msg)
        self.msg = msg
        self.extra = extra


class _Plan:
    """Splices of whole lines over one document, and the reading they must give."""

    def __init__(self, doc: document.Document, layout: changes.Layout) -> None:
        self.doc = doc
        self.layout = layout
        # Per block, the reading's entries as [line, order, key, value], sorted by place once the plan is made:
        # keys put in at a line come before the key that was there, in the order they were put.
        self.intended = [[[entry.start, _ORIGINAL, entry.key, entry.value] for entry in block.entries]
                         for block in doc.blocks]
        self.names = [block.name for block in doc.blocks]
        # (start, stop, texts, order): texts replace lines[start:stop]; order keeps inserts at one place in turn
        self.splices: list[tuple[int, int, list[str], int]] = []
        self.changed_existing = False
        self.added = False

    def splice(self, start: int, stop: int, texts: list[str]) -> None:
        for text in texts:
            refused = encodings.refusal(text, self.doc.encoding)
            if refused:
                raise Failure(f"{text!r} cannot be written: {refused}")
        self.splices.append((start, stop, texts, len(self.splices)))

    def place(self, b: int, line: int, key: str, value: str | None) -> None:
        """A key that the splice at `line` puts into block b's reading, after what earlier steps put there."""
        self.intended[b].append([line, len(self.splices), key, value])

    def drop(self, b: int, e: int) -> None:
        self.intended[b][e][2] = None

    def reading(self) -> list[tuple[str, list[tuple[str, str | None]]]]:
        return [(name, [(key, value) for _, _, key, value in sorted(items, key=lambda item: item[:2])
                        if key is not None]) for name, items in zip(self.names, self.intended)]

    def result(self) -> bytes:
        lines = self.doc.lines
        newline = majority_end(lines)
        edited = changes.splice(lines, [(start, stop, [Line(text, newline) for text in texts])
                                        for start, stop, texts, _ in self.splices])
        # ini_file ends every file with a line end, even where nothing else changes.
        result = self.doc.like(settle_ends(edited, newline, final=True))
        try:
            changes.read_back(result, self.reading(), "the task")
        except changes.ChangeError as error:
            raise Failure(str(error)) from None
        return result.encode()


def _values(params: Mapping[str, Any]) -> list[str | None]:
    values = params.get("values")
    if values is None:
        value = params.get("value")
        values = [] if value is None else [value]
    return [None if value is None else str(value) for value in values]


def _layout(params: Mapping[str, Any]) -> changes.Layout:
    """ini_file's: "option = value" (or "option=value"), a new key after its section's last key in the first
    block of the section, a new section at the end (after a blank line in an empty file only), names compared
    exactly; continuation lines indented deeper than the key, so that they read back as one value."""
    return changes.Layout(after_key=False, first_block=True, separator="=" if params.get("no_extra_spaces")
                          else " = ", indent="", continuation="    ", trim=False, gap="empty", fold=str)


def _canonical(plan: _Plan, option: str, value: str | None, indent: str = "") -> list[str]:
    """The lines ini_file writes for a key. `indent`: a key line's own (ini_file drops it, which makes the
    indented keys after it continuation lines of its value)."""
    layout = plan.layout._replace(indent=indent, continuation=indent + "    ")
    return changes.render(plan.doc, layout, option, value)


def _indent_of(text: str) -> str:
    return text[:len(text) - len(text.lstrip())]


def _first_line_tail(text: str, value: str | None) -> tuple[str, str]:
    """(the part that says key and value, what follows it: an inline comment) of a key's first line."""
    if value is None:
        return text.rstrip(), ""
    first = value.split("\n")[0]
    delimiter = next((i for i, c in enumerate(text) if c in "=:"), len(text))
    at = text.find(first, delimiter + 1) if first else delimiter + 1
    end = at + len(first) if at >= 0 else len(text)
    return text[:end].rstrip(), text[end:]


def _check_value(option: str, value: str | None) -> None:
    problem = grammars.value_problem(value)
    if problem:
        raise Failure(f"option {option!r}: value {value!r} cannot be written so that it reads back the same: "
                      f"{problem}")


def _is_commented(text: str, option: str) -> bool:
    """A commented-out setting of the option ('# option = x', ';option'), as modify_inactive_option takes it."""
    stripped = text.strip()
    comments = grammars.TOLERANT.comments
    if not stripped.startswith(comments):
        return False
    body = stripped.lstrip("".join(comments)).strip()
    if not body.startswith(option):
        return False
    rest = body[len(option):].lstrip()
    return rest[:1] in ("=", ":") and rest[:1] != ""


def _block_span(doc: document.Document, b: int) -> tuple[int, int]:
    """The lines from a block's header to the next header."""
    block = doc.blocks[b]
    start = block.header if block.header is not None else 0
    following = [later.header for later in doc.blocks[b + 1:] if later.header is not None]
    return start, following[0] if following else len(doc.lines)


def _matches(block: document.Block, conditions: Sequence[Mapping[str, Any]]) -> bool:
    for condition in conditions:
        wanted = _values(condition)
        found = [e.value for e in block.entries if e.key == condition["option"]]
        if not found or any(value not in found for value in wanted):
            return False
    return True


def _target_blocks(plan: _Plan, section: str, conditions: Sequence[Mapping[str, Any]] | None) -> list[int]:
    """The blocks of the section, its name as the task gives it but for the spaces around it, as ini_file
    matches "[ foo ]" and "[foo]" alike."""
    doc = plan.doc
    section = section.strip()
    named = [b for b, block in enumerate(doc.blocks) if block.name == section
             and (block.header is not None or section == "")]
    if conditions:
        return [b for b in named if _matches(doc.blocks[b], conditions)][:1]
    return named


def _present(plan: _Plan, blocks: list[int], option: str, values: list[str | None],
             params: Mapping[str, Any]) -> None:
    doc = plan.doc
    found = [(b, e) for b in blocks for e, entry in enumerate(doc.blocks[b].entries)
             if changes.same_key(doc, plan.layout, entry.key, option)]
    current = Counter(doc.blocks[b].entries[e].value for b, e in found)
    wanted = Counter(values)
    missing = list((wanted - current).elements()) if params["exclusive"] else \
        [value for value in dict.fromkeys(values) if value not in current]
    keep = wanted.copy()
    for b, e in found:
        entry = doc.blocks[b].entries[e]
        if keep[entry.value] > 0:
            keep[entry.value] -= 1
            _respace(plan, b, e, option, params)
        elif params["exclusive"]:
            if missing:
                _rewrite(plan, b, e, option, missing.pop(0))
            else:
                plan.splice(entry.start, entry.stop, [])
                plan.drop(b, e)
                plan.changed_existing = True
    if missing and params["modify_inactive_option"] and not found:
        for b in blocks:
            start, stop = _block_span(doc, b)
            for index in range(start, stop):
                if missing and _is_commented(doc.lines[index].text, option):
                    value = missing.pop(0)
                    plan.place(b, index, option, value)
                    plan.splice(index, index + 1, _canonical(plan, option, value))
                    plan.changed_existing = True
    if missing:
        b, _, line = changes.key_place(doc, plan.layout, blocks, found)
        for value in missing:
            plan.place(b, line, option, value)
        texts = [text for value in missing for text in _canonical(plan, option, value)]
        if not doc.lines:
            texts.append("")  # ini_file's new file without sections ends with a blank line
        plan.splice(line, line, texts)
        plan.added = True


def _respace(plan: _Plan, b: int, e: int, option: str, params: Mapping[str, Any]) -> None:
    """ini_file writes "option = value"; a line that says the same with other spacing is rewritten unless
    ignore_spaces is set. An inline comment after the value stays."""
    if params["ignore_spaces"]:
        return
    entry = plan.doc.blocks[b].entries[e]
    text = plan.doc.lines[entry.start].text
    head, tail = _first_line_tail(text, entry.value)
    wanted = _canonical(plan, option, entry.value, _indent_of(text))[0]
    if head != wanted.rstrip():  # an empty value: "option = " and "option =" say the same
        plan.splice(entry.start, entry.start + 1, [wanted + tail])
        plan.changed_existing = True


def _rewrite(plan: _Plan, b: int, e: int, option: str, value: str | None) -> None:
    entry = plan.doc.blocks[b].entries[e]
    text = plan.doc.lines[entry.start].text
    _, tail = _first_line_tail(text, entry.value)
    lines = _canonical(plan, option, value, _indent_of(text))
    plan.splice(entry.start, entry.stop, [lines[0] + (tail if len(lines) == 1 else ""), *lines[1:]])
    plan.intended[b][e][3] = value
    plan.changed_existing = True


def _absent(plan: _Plan, blocks: list[int], option: str, values: list[str | None], exclusive: bool) -> None:
    doc = plan.doc
    for b in blocks:
        for e, entry in enumerate(doc.blocks[b].entries):
            if changes.same_key(doc, plan.layout, entry.key, option) and (exclusive or entry.value in values):
                plan.splice(entry.start, entry.stop, [])
                plan.drop(b, e)
                plan.changed_existing = True


def _add_section(plan: _Plan, section: str, items: list[tuple[str, str | None]]) -> None:
    """A section at the end of the file, its header written as the task names it (" foo " as "[ foo ]")."""
    lines = changes.section_lines(plan.doc, plan.layout, section, items)
    end = len(plan.doc.lines)
    plan.splice(end, end, lines)
    plan.intended.append([[end, 0, key, value] for key, value in items])
    plan.names.append(section.strip())


def _new_section_items(option: str, values: list[str | None], conditions: Sequence[Mapping[str, Any]] | None,
                       params: Mapping[str, Any]) -> list[tuple[str, str | None]]:
    """The keys of a section added for section_has_values, in ini_file's order: the other options of the
    conditions, then the option's values (joined, unless exclusive, by the values its condition names)."""
    items: list[tuple[str, str | None]] = []
    values = list(values)
    for condition in conditions or ():
        wanted = _values(condition)
        if condition["option"] != option:
            items += [(str(condition["option"]), value) for value in wanted or ([None] if params["allow_no_value"]
                                                                                else [])]
        elif not params["exclusive"]:
            values += [value for value in wanted if value not in values]
    return items + [(option, value) for value in values]


def _remove_section(plan: _Plan, b: int) -> None:
    start, stop = changes.section_span(plan.doc, b)
    plan.splice(start, stop, [])
    del plan.intended[b]
    del plan.names[b]


def _names_problem(section: str, option: str | None) -> None:
    """The command line's rules for names; a section's name is matched without the spaces around it."""
    problem = grammars.section_problem(section.strip())
    if problem:
        raise Failure(f"section {section!r}: {problem}")
    problem = grammars.key_problem(option) if option is not None else None
    if problem:
        raise Failure(f"option {option!r}: {problem}")


def edit(data: bytes | None, params: Mapping[str, Any]) -> tuple[bytes, str]:
    """The file's new bytes and ini_file's message; data is None for a missing file."""
    state, option = params["state"], params.get("option")
    section = params.get("section") or ""
    values = list(dict.fromkeys(_values(params)))  # each value once, as ini_file takes them
    if state == "present" and not values:
        if not params["allow_no_value"]:
            raise Failure(NEED_VALUE)
        values = [None]  # a bare key
    _names_problem(section, None if option is None else str(option))
    if option is not None:
        for value in values:
            _check_value(str(option), value)
    raw = data or b""
    try:
        # ini_file drops a UTF-8 byte-order mark
        doc = document.read(raw[len(BOM_UTF8):] if raw.startswith(BOM_UTF8) else raw)
    except encodings.EncodingError as error:
        raise Failure(str(error)) from None
    try:
        doc.require_readable()
    except document.NotIni as error:
        raise Failure(str(error)) from None
    if "\x00" in doc.text():
        raise Failure("not INI text: it holds NUL characters; nothing done")
    plan = _Plan(doc, _layout(params))
    conditions = params.get("section_has_values") or None
    blocks = _target_blocks(plan, section, conditions)
    msg = "OK"
    if state == "present":
        if option is None:
            if not blocks:
                _add_section(plan, section, [])
                msg = "only section added"
        elif not blocks:
            _add_section(plan, section, _new_section_items(str(option), values, conditions, params))
            msg = "section and option added"
        else:
            _present(plan, blocks, str(option), values, params)
            msg = "option changed" if plan.changed_existing else "option added" if plan.added else "OK"
    elif option is None:
        if section and blocks:
            for b in reversed(blocks):
                _remove_section(plan, b)
            msg = "section removed"
    elif blocks:
        _absent(plan, blocks, str(option), values, bool(params["exclusive"]))
        msg = "option changed" if plan.changed_existing else "OK"
    new = plan.result()
    if data is None and not plan.splices:
        return b"", msg  # nothing to write: no file is created
    if data is not None and not plan.splices and new == raw[len(BOM_UTF8):]:
        return data, msg  # nothing to change: a byte-order mark stays too
    return new, msg


def text_of(data: bytes) -> str:
    """The file's text for a diff, in its own encoding."""
    try:
        return encodings.decode(data)[0].encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    except (encodings.EncodingError, UnicodeError):
        return data.decode("utf-8", "replace")


def _replace_link(path: str, data: bytes) -> None:
    """A symbolic link at path replaced by a regular file holding `data`, with its target's mode, as ini_file
    does when it is not told to follow the link: the target keeps its own text."""
    import tempfile

    mode = os.stat(path).st_mode & 0o7777
    directory = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(prefix=".", suffix=".ini-tmp", dir=directory)
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fchmod(file.fileno(), mode)
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    folder = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def update(path: str, params: Mapping[str, Any], *, check_mode: bool,
           backup: Callable[[str], None] | None = None) -> tuple[bytes, bytes, str]:
    """(old bytes, new bytes, message) for the file at path, written unless check_mode, all under the command
    line's edit lock; `backup` (called with the path before the write) returns the backup's name. A symbolic
    link at path is edited through, with `follow`, and otherwise replaced by a regular file, as ini_file does."""
    through = bool(params.get("follow")) or not os.path.islink(path)

    def attempt(file: _disk.Edit) -> tuple[bytes, bytes, str]:
        try:
            data = file.read(may_create=bool(params["create"]))
        except FileNotFoundError:
            raise Failure(f"Destination {path} does not exist!", rc=257) from None
        except IsADirectoryError:
            raise Failure(f"Destination {path} is a directory!", rc=256) from None
        new, msg = edit(data, params)
        if new == (data or b"") or check_mode:
            return data or b"", new, msg
        if data is not None and backup is not None:
            backup(path)
        if through or data is None:
            file.write(new)
        else:
            _replace_link(path, new)
        return data or b"", new, msg

    return _disk.edit(path, attempt)
