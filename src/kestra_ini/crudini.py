"""crudini's command line, with crudini's results, over kestra-ini's durable writes.

``kestra-crudini ARGS...`` and ``python -m kestra_ini.crudini ARGS...`` take the command lines that scripts
already pass to crudini (--set, --get, --del, --merge, chained, with its options) and answer with the same
output, exit status and bytes: the file read as crudini reads it, and each change written where and as crudini
writes it. Each change is checked by reading the lines back, and the file is written durably, under the edit
lock, once per call. Where crudini's own result is faulty (a traceback for bytes that are not UTF-8, a value
that would read back as something else, a replaced file that leaves its hard links behind), this front end
does the sound thing instead; docs/crudini.md lists each such difference.
"""
from __future__ import annotations

import os
import re
import shlex
import sys
from collections.abc import Collection, Iterator, Sequence
from dataclasses import dataclass, field

from kestra_ini import _disk, document, encodings, grammars
from kestra_ini.document import Block, Entry, Line, majority_end

# The crudini release whose interface this front end answers to; --version names it second, where
# scripts that check crudini's version look for it.
CRUDINI_VERSION = "0.9.6"
PROG = "kestra-crudini"

USAGE = """\
A utility for manipulating ini files (crudini's interface over kestra-ini's verified edits)

Usage: {prog} --set [OPTION]...   config_file section   [param] [value]
  or:  {prog} --get [OPTION]...   config_file [section] [param]
  or:  {prog} --del [OPTION]...   config_file section   [param] [list value]
  or:  {prog} --merge [OPTION]... config_file [section]

SECTION can be empty ("") or "DEFAULT" in which case,
params not in a section, i.e. global parameters are operated on.

Multiple --set|--del|--get operations for a config_file can be specified;
the changes of one call are written together, or not at all.

Options:

  --existing[=WHAT]  For --set, --del and --merge, fail if item is missing,
                       where WHAT is 'file', 'section', or 'param',
                       or if WHAT not specified; all specified items.
  --format=FMT       For --get, select the output FMT.
                       Formats are 'sh','ini','lines'
  --ini-options=OPT  Set options for handling ini files.  Options are:
                       'nospace': use format name=value not name = value
                       'space': ensure name = value format
                       'sectionspace': ensure one blank line between sections
                       'ignoreindent': ignore leading whitespace
  --inplace          Accepted for compatibility: every write is atomic and
                       keeps the file's links, mode, owner and attributes.
  --list             For --set and --del, update a list (set) of values
  --list-sep=STR     Delimit list values with "STR" instead of " ,".
                       An empty STR means any whitespace is a delimiter.
  --output=FILE      Write output to FILE instead. '-' means stdout
  --verbose          Indicate on stderr if changes were made
  --help             Write this help to stdout
  --version          Write version to stdout
"""

MODES = ("set", "get", "del", "merge")
# Long options and whether they take an argument: no, "required", or "optional" (only as --name=VALUE).
_OPTIONS: dict[str, str | None] = {
    "set": None, "get": None, "del": None, "merge": None,
    "existing": "optional", "format": "required", "ini-options": "required", "inplace": None,
    "list": None, "list-sep": "required", "output": "required", "verbose": None, "help": None,
    "version": None,
}
_EXISTING = ("file", "section", "param")
_FORMATS = ("sh", "ini", "lines")
_INI_OPTIONS = ("nospace", "space", "sectionspace", "ignoreindent")
_SH_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_DEFAULT = "DEFAULT"
_DEFAULTS = ("", _DEFAULT)  # where crudini's default section lives in a file
_DELIMITER = re.compile(r"[=:]")
_SPACE = re.compile(r"\s+")


class UsageError(Exception):
    """A command line crudini refuses: the message, then the usage text, on standard error; status 1."""


class Failure(Exception):
    """An operation that cannot be carried out: one line on standard error; status 1."""


# --- the command line --------------------------------------------------------------------------------

@dataclass
class Operation:
    mode: str
    words: list[str] = field(default_factory=list)  # the file, section, param and value as given

    @property
    def file(self) -> str:
        return self.words[0]

    @property
    def section(self) -> str | None:
        """The section as the file holds it: "" and "DEFAULT" are both the options before any section."""
        if len(self.words) < 2:
            return None
        return self.words[1] or _DEFAULT

    @property
    def param(self) -> str | None:
        return self.words[2] if len(self.words) > 2 else None

    @property
    def value(self) -> str | None:
        return self.words[3] if len(self.words) > 3 else None

    def shown(self) -> str:
        """The operation as --verbose reports it."""
        words = list(self.words)
        if len(words) > 1 and not words[1]:
            words[1] = _DEFAULT
        return shlex.join([f"--{self.mode}", *words])


@dataclass
class Options:
    existing: set[str] = field(default_factory=set)
    format: str = ""
    ini_options: set[str] = field(default_factory=set)
    list: bool = False
    list_sep: str | None = None
    output: str | None = None
    verbose: bool = False
    help: bool = False
    version: bool = False


def parse_args(argv: Sequence[str]) -> tuple[Options, list[Operation]]:
    """crudini's reading of a command line: long options anywhere (a unique prefix will do), each operation
    taking the words that follow it, and after "--" only words."""
    options = Options()
    operations: list[Operation] = []
    words_only = False
    rest = list(argv)
    while rest:
        word = rest.pop(0)
        if not words_only and word == "--":
            words_only = True
        elif not words_only and word.startswith("--"):
            name, value = _long_option(word, rest)
            if name in MODES:
                operations.append(Operation(name))
            else:
                _take_option(options, name, value)
        elif operations:
            operations[-1].words.append(word)
        else:
            raise UsageError(f"Unknown operation: {word}")
    if options.help or options.version:
        return options, operations
    _check_operations(options, operations)
    return options, operations


def _long_option(word: str, rest: list[str]) -> tuple[str, str | None]:
    given, has_value, value = word[2:].partition("=")
    names = [given] if given in _OPTIONS else [name for name in _OPTIONS if name.startswith(given)]
    if not names:
        raise UsageError(f"option --{given} not recognized")
    if len(names) > 1:
        raise UsageError(f"option --{given} not a unique prefix")
    name = names[0]
    takes = _OPTIONS[name]
    if takes is None and has_value:
        raise UsageError(f"option --{name} must not have an argument")
    if takes == "required" and not has_value:
        if not rest:
            raise UsageError(f"option --{name} requires argument")
        return name, rest.pop(0)
    return name, value if has_value else None


def _take_option(options: Options, name: str, value: str | None) -> None:
    if name == "existing":
        if value and value not in _EXISTING:
            raise UsageError(f"--existing item not recognized: {value}")
        options.existing.update([value] if value else _EXISTING)
    elif name == "format":
        if value not in _FORMATS:
            raise UsageError(f"--format not recognized: {value}")
        options.format = value
    elif name == "ini-options":
        assert value is not None
        for item in filter(None, value.split(",")):
            if item not in _INI_OPTIONS:
                raise UsageError(f"--ini-options not recognized: {item}")
            options.ini_options.add(item)
    elif name == "list-sep":
        options.list_sep = value
    elif name == "output":
        options.output = value
    else:
        setattr(options, name.replace("-", "_"), True)


def _check_operations(options: Options, operations: list[Operation]) -> None:
    if not operations:
        raise UsageError("One of --set|--del|--get|--merge must be specified")
    modes = {operation.mode for operation in operations}
    if len(modes) > 1 and modes & {"get", "merge"}:
        # crudini's own words, its missing space included: scripts and tests compare them
        raise UsageError("--get|--merge modes can't be mixedwith --set|--del")
    if [operation.mode for operation in operations].count("merge") > 1:
        raise UsageError("--merge mode can't be repeated")
    if len({operation.file for operation in operations if operation.words}) > 1:
        raise UsageError("Can't operate on multiple files")
    for operation in operations:
        fewest, most = {"get": (1, 3), "merge": (1, 2), "set": (2, None), "del": (2, 3)}[operation.mode]
        if operation.mode == "del" and options.list:
            most = None  # crudini takes the first item, and no more
        count = len(operation.words)
        if most is not None and count > most and operation.mode in ("get", "del"):
            raise UsageError(f"A value should not be specified with --{operation.mode}")
        if count < fewest or (most is not None and count > most):
            raise UsageError("")
    _check_names(options, operations)


def _check_names(options: Options, operations: list[Operation]) -> None:
    """What crudini refuses before it reads the file."""
    for operation in operations:
        if len(operation.words) > 1 and ("[" in operation.words[1] or "]" in operation.words[1]):
            raise Failure(f"section names should not contain '[' or ']': {operation.words[1]}")
    for operation in operations:
        if operation.param is not None and "=" in operation.param:
            hint = "" if "nospace" in options.ini_options else "\nUse --ini-options=nospace if you want that format"
            raise Failure(f"param names should not contain '=': {operation.param}{hint}")
    if {"space", "nospace"} <= options.ini_options:
        raise Failure("--ini-options=space,nospace are mutually exclusive")
    defaults = {operation.words[1] for operation in operations if len(operation.words) > 1} & {"", _DEFAULT}
    if len(defaults) > 1:
        raise Failure("Conflicting DEFAULT section specifications")


# --- the configuration -------------------------------------------------------------------------------

# A key line's name and delimiter with the whitespace around it: what a changed value is written after.
_KEY = re.compile(r"(?P<key>[^=:\s\[][^=:]*?)\s*(?P<delimiter>[=:])\s*")
_CONTINUATION_INDENT = " " * 8  # how crudini indents the lines of a multi-line value it writes


class ParseError(Failure):
    """Lines crudini's parser cannot read, in its own words."""

    def __init__(self, path: str, numbers: list[tuple[int, str]], top: bool) -> None:
        # crudini reads keys before the first header by reading the file again behind a [DEFAULT] header of its
        # own: the message then names the file, and the line numbers count that header.
        shift = 1 if top else 0
        listed = "".join(f"\n\t[line {number + shift:2d}]: {text!r}" for number, text in numbers)
        prefix = f"Error parsing {path}: " if top else ""
        super().__init__(f"{prefix}Source contains parsing errors: '<???>'{listed}")


def _blank(line: Line) -> bool:
    """A blank line, as crudini lays out a file: its reading splits lines at LF only, so that a blank line
    ending in CRLF still holds a CR, which is not blank to its layout."""
    return not line.text.strip() and line.end != "\r\n"


def _key(text: str) -> re.Match[str] | None:
    """A key line's name and delimiter, wherever its indentation (--ini-options=ignoreindent) puts them."""
    return _KEY.match(text, len(text) - len(text.lstrip()))


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
        self.blocks = [block._replace(name=_DEFAULT) if block.header is None else block for block in self.doc.blocks]
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
        return section == _DEFAULT or bool(self._blocks(section))

    def own(self, section: str) -> dict[str, tuple[str, str]]:
        """The section's own keys, one a spelling: name -> (name, last value of that spelling)."""
        found: dict[str, tuple[str, str]] = {}
        for block in self._blocks(section):
            for entry in block.entries:
                found[entry.key] = (entry.key, entry.value or "")
        return found

    def _entries(self, section: str, param: str) -> list[Entry]:
        lowered = param.lower()
        return [entry for block in self._blocks(section) for entry in block.entries if entry.key.lower() == lowered]

    def lookup(self, section: str, param: str) -> str | None:
        """The value crudini's --get prints: the section's own, else the default section's."""
        for name in (section, _DEFAULT):
            found = self._entries(name, param)
            if found:
                return found[-1].value or ""
        return None

    def raw(self, section: str, param: str) -> tuple[bool, str | None]:
        """Whether the section has the key itself, and its value (None for a key without one)."""
        found = self._entries(section, param)
        return bool(found), found[-1].value if found else None

    def sections(self) -> list[str]:
        """Every section that is there: the default one when it holds keys or has a header."""
        return list(dict.fromkeys(block.name for block in self.blocks if block.header is not None or block.entries))

    def default_header(self) -> bool:
        return any(block.header is not None for block in self._blocks(_DEFAULT))

    def listed_sections(self) -> list[str]:
        named = [block.name for block in self.blocks if block.header is not None and block.name != _DEFAULT]
        return ([_DEFAULT] if self.own(_DEFAULT) else []) + list(dict.fromkeys(named))

    def reading(self) -> dict[tuple[str, str], str | None]:
        """What crudini reads: (section, key in lower case) -> the last value."""
        return {(block.name, entry.key.lower()): entry.value for block in self.blocks for entry in block.entries}

    # changing

    def _checked(self, expected: dict, what: str) -> None:
        self._read()
        if self.reading() != expected:
            raise Failure(f"{self.path}: nothing written: {what} would not read back as intended")

    def _value_lines(self, first: str, value: str, indent: str = _CONTINUATION_INDENT) -> list[Line]:
        head, *rest = value.split("\n")
        return [Line(first + head, self.newline)] + [Line(indent + line if line else "", self.newline) for line in rest]

    def _key_lines(self, key: str, value: str | None, indent: str, *, nospace: bool) -> list[Line]:
        if value is None:
            return [Line(indent + key, self.newline)]
        return self._value_lines(f"{indent}{key}{'=' if nospace else ' = '}", value)

    def _rewritten(self, entry: Entry, value: str | None) -> list[Line]:
        """The key's lines with a new value: its name and delimiter as written, an inline comment kept at its
        column."""
        line = self.lines[entry.start]
        text = line.text.rstrip()  # crudini reads a line without its trailing whitespace, and writes it so
        key = _key(text)
        if value is None:
            return [line] + self.lines[entry.start + 1:entry.stop]
        if key is None:  # a key without a value gets one
            return self._key_lines(text.rstrip(), value, "", nospace=False)
        prefix = text[:key.end()]
        found = grammars.CRUDINI.inline.search(text, key.end())
        # A value already on several lines keeps the indentation of its own continuation lines.
        continued = [self.lines[index].text for index in range(entry.start + 1, entry.stop)
                     if self.lines[index].text[:1].isspace()]
        # (crudini counts a tab there as one space)
        indent = " " * (len(continued[0]) - len(continued[0].lstrip())) if continued else _CONTINUATION_INDENT
        rewritten = self._value_lines(prefix, value, indent)
        if found:
            first = rewritten[0].text.ljust(found.start()) + text[found.start():]
            rewritten[0] = Line(first, rewritten[0].end)
        rewritten[-1] = Line(rewritten[-1].text, self.lines[entry.stop - 1].end or self.newline)
        return rewritten

    def _append_section(self, section: str) -> int:
        """A new, empty section at the end, where crudini puts it; the index of its header."""
        if self.lines and not self.lines[-1].end:
            self.lines[-1] = Line(self.lines[-1].text, self.newline)
        if self.spaced:
            self.lines.append(Line("", self.newline))
        self.spaced = False
        self.lines.append(Line(f"[{section}]", self.newline))
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
            self.lines.insert(0, Line(f"[{_DEFAULT}]", self.newline))
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
            expected[(section, lowered)] = value.strip() if loose and value is not None else value
        if added:
            edits.append((self._end(section), self._end(section), added))
        for start, stop, lines in sorted(edits, key=lambda edit: (edit[0], edit[1]), reverse=True):
            self.lines[start:stop] = lines
        # A file without a final line end gets one where a key now follows its last line.
        self.lines[:-1] = [line if line.end else Line(line.text, self.newline) for line in self.lines[:-1]]
        names = ", ".join(repr(param) for param, _ in wanted.values())
        self._checked(expected, f"key {names} in section {section!r}" if wanted else f"section {section!r}")

    def _end(self, section: str) -> int:
        """Where a new key of the section goes: after its last key, else under its header, else at the top."""
        block = self._blocks(section)[-1]
        if block.entries:
            return int(block.entries[-1].stop)
        return 0 if block.header is None else block.header + 1

    def _indent(self, section: str) -> str:
        """A new key's indentation: its last key's (there is some only under --ini-options=ignoreindent)."""
        entries = self._blocks(section)[-1].entries
        text = self.lines[entries[-1].start].text if entries else ""
        return text[:len(text) - len(text.lstrip())]

    def remove(self, section: str, param: str | None) -> None:
        expected = {where: value for where, value in self.reading().items()
                    if where[0] != section or (param is not None and where[1] != param.lower())}
        if param is not None:
            self._remove_keys(self._entries(section, param))
        elif section == _DEFAULT:
            # crudini empties its default section key by key, the comments and blank lines among them staying;
            # a [DEFAULT] header goes too, unless keys before it are crudini's default section.
            blocks = self._blocks(_DEFAULT)
            headers = [] if blocks[0].entries else [Entry(_DEFAULT, None, block.header, block.header + 1)
                                                    for block in blocks[1:]]
            self._remove_keys(headers + [entry for block in blocks for entry in block.entries])
        else:
            self._remove_blocks(self._blocks(section))
        self._checked(expected, f"removing section {section!r}")

    def _remove_keys(self, entries: list[Entry]) -> None:
        for entry in sorted(entries, key=lambda entry: entry.start, reverse=True):
            del self.lines[entry.start:entry.stop]
        if any(entry.start == 0 for entry in entries) and self.lines and _blank(self.lines[0]):
            del self.lines[0]  # crudini takes the blank line under keys at the very top with them

    def _remove_blocks(self, blocks: list[Block]) -> None:
        if not blocks:
            return
        for block in reversed(blocks):
            stop = block.entries[-1].stop if block.entries else block.header + 1
            if block.header == 0:
                while stop < len(self.lines) and _blank(self.lines[stop]):
                    stop += 1
            del self.lines[block.header:stop]
        # crudini tidies the whole file after removing a section: one blank line at most between lines, none at
        # the end; a section added afterwards follows the last line directly.
        tidied: list[Line] = []
        for line in self.lines:
            if not _blank(line) or not tidied or not _blank(tidied[-1]):
                tidied.append(line)
        while tidied and _blank(tidied[-1]):
            tidied.pop()
        self.lines = tidied
        self.spaced = False

    def respace(self, spaced: bool, *, lines: Collection[int] | None = None, equals: bool = False) -> None:
        """Each key's delimiter with a space on each side, or none, as --ini-options=space|nospace ask;
        `lines` limits it to keys starting there, and `equals` writes '=' for ':'."""
        for block in self.blocks:
            for entry in block.entries:
                text = self.lines[entry.start].text
                key = _key(text)
                if entry.value is None or key is None or lines is not None and entry.start not in lines:
                    continue
                mark = "=" if equals else key.group("delimiter")
                delimiter = f" {mark} " if spaced else mark
                rewritten = (text[:key.start("delimiter")].rstrip() + delimiter + text[key.end():]).rstrip()
                self.lines[entry.start] = Line(rewritten, self.lines[entry.start].end)
        self._read()

    def space_sections(self) -> None:
        """One blank line before each section header and none at the start or end of the file, as
        --ini-options=sectionspace asks; blank lines inside a section stay."""
        headers = {block.header for block in self.blocks if block.header is not None}
        kept: list[Line] = []
        for index, line in enumerate(self.lines):
            if index in headers and kept:
                while kept and _blank(kept[-1]):
                    kept.pop()
                kept.append(Line("", self.newline))
            if not _blank(line) or kept:
                kept.append(line)
        while kept and _blank(kept[-1]):
            kept.pop()
        self.lines = kept
        self._read()


# --- operations --------------------------------------------------------------------------------------

def _set(config: Config, operation: Operation, options: Options) -> None:
    section, param = operation.section, operation.param
    assert section is not None
    if not config.has(section) and {"section", "param"} & options.existing:
        raise Failure(f"Section not found: {operation.words[1]}")
    # A key the section inherits from the default section counts as there, as in crudini: --existing
    # takes it, and --list extends the inherited list into a key of the section's own.
    current = config.lookup(section, param) if param is not None else None
    if param is not None and current is None and "param" in options.existing:
        raise Failure(f"Parameter not found: {param}")
    value = operation.value
    if options.list:
        value = _list_add(current, value, options.list_sep) if value is not None and current else value or ""
        if value == current and config.raw(section, param)[1] is not None:
            return  # the item is there: crudini leaves the line as it is
    elif value is None and param is not None and config.raw(section, param)[1] is not None:
        value = ""  # no value given for a key that has one: crudini empties it
    elif value is not None and value != value.strip():
        raise Failure(f"{config.path}: nothing written: value {value!r} of key {param!r} has leading or trailing "
                      "whitespace, which crudini's reading would drop")
    config.set(section, param, value, header=operation.words[1] == _DEFAULT,
               nospace="nospace" in options.ini_options, loose=options.list)


def _del(config: Config, operation: Operation, options: Options) -> None:
    section, param = operation.section, operation.param
    assert section is not None
    if not config.has(section):
        if {"section", "param"} & options.existing:
            raise Failure(f"Section not found: {operation.words[1]}")
        return
    if param is None:
        config.remove(section, None)
        return
    if options.list and operation.value is not None:
        # An item leaves an inherited list as it joins one (see _set).
        current = config.lookup(section, param)
        if current is not None:
            value = _list_remove(current, operation.value, options.list_sep)
            if value != current or config.raw(section, param)[1] is None:
                config.set(section, param, value, loose=True)
            return
    elif config.raw(section, param)[0]:
        # A key the section only inherits from the default section is not its own to delete.
        config.remove(section, param)
        return
    if "param" in options.existing:
        raise Failure(f"Parameter not found: {param}")


def _merge(config: Config, operation: Operation, options: Options) -> None:
    """Every key of the INI text on standard input set in the file, the text read as crudini reads a file."""
    target = operation.section
    given = Config("-", sys.stdin.buffer.read(), config.ignoreindent)
    for name in given.sections():
        into = target or name
        if not config.has(into) and {"section", "param"} & options.existing:
            raise Failure(f"Section not found: {operation.words[1] if target else name}")
        # A [DEFAULT] header, in the text or the command, puts one in the file, as --set DEFAULT does.
        header = operation.words[1] == _DEFAULT if target else name == _DEFAULT and given.default_header()
        keys = [(key, given.raw(name, key)[1]) for key, _ in given.own(name).values()
                if "param" not in options.existing or config.raw(into, key)[0]]
        if keys or not target:  # an empty section of the text is added, as crudini adds it
            config.set_many(into, keys, header=header, nospace="nospace" in options.ini_options)


def _split_list(value: str, sep: str | None) -> tuple[list[str], str]:
    """The items of a list value, and what joins them: by default commas, written as the value writes
    them (", " or ","); with --list-sep= any whitespace, joined by the value's first run of it (so that
    a list of one item a line stays one); otherwise the separator given."""
    if sep is None:
        return [item.strip() for item in value.split(",")], "," if "," in value and ", " not in value else ", "
    if sep == "":
        found = _SPACE.search(value)
        return value.split(), found.group() if found else " "
    return (value.split(sep) if value else []), sep


def _list_add(current: str, item: str, sep: str | None) -> str:
    items, joiner = _split_list(current, sep)
    if item in items:
        return current  # a list holds each item once
    # Whitespace-separated items are joined again; others are written after the value as it is.
    return joiner.join([*items, item]) if sep == "" else current + joiner + item


def _list_remove(current: str, item: str, sep: str | None) -> str:
    items, joiner = _split_list(current, sep)
    kept = [old for old in items if old != item]
    return current if len(kept) == len(items) else joiner.join(kept)


# --- --get and its formats -----------------------------------------------------------------------------

def _get(config: Config, operation: Operation, fmt: str) -> Iterator[str]:
    """The lines --get prints, one at a time: a failure part way leaves the lines before it printed."""
    section, param = operation.section, operation.param
    if section is None:
        yield from _whole(config, fmt)
        return
    if fmt == "ini" and param is None:
        yield f"[{section}]\n"  # crudini prints the header before it looks for the section
    if not config.has(section):
        raise Failure(f"Section not found: {operation.words[1]}")
    if param is None:
        yield from _section(config, section, fmt)
        return
    value = config.lookup(section, param)
    if value is None:
        raise Failure(f"Parameter not found: {param}")
    yield _item(section, param, value, fmt, alone=True)


def _whole(config: Config, fmt: str) -> Iterator[str]:
    for section in config.listed_sections():
        if fmt == "sh":
            for name, value in config.own(section).values():
                yield _item(section, name, value, fmt, prefix=section != _DEFAULT)
        elif fmt == "lines":
            yield from _section(config, section, fmt)
        else:
            yield f"[{section}]\n" if fmt == "ini" else f"{section}\n"


def _section(config: Config, section: str, fmt: str) -> Iterator[str]:
    own = list(config.own(section).values())
    if fmt == "lines" and not own:
        yield f"[ {section} ]\n"  # a section without keys is still a line
    for name, value in own:
        yield _item(section, name, value, fmt)


def _item(section: str, name: str, value: str, fmt: str, *, alone: bool = False, prefix: bool = False) -> str:
    if fmt == "sh":
        variable = f"{section}_{name}" if prefix else name
        if not _SH_NAME.fullmatch(variable):
            raise Failure(f'Invalid sh identifier "{variable}"')
        return f"{variable}={shlex.quote(value)}\n"
    if fmt == "ini":
        return f"{name} = {value.replace(chr(10), chr(10) + ' ')}\n"
    if fmt == "lines":
        shown = value.replace("\n", "\\n")
        return f"[ {section} ] {name} = {shown}\n" if shown else f"[ {section} ] {name}\n"
    return f"{value}\n" if alone else f"{name}\n"


# --- running a command line --------------------------------------------------------------------------

def run(options: Options, operations: list[Operation]) -> None:
    path = operations[0].file
    ignoreindent = "ignoreindent" in options.ini_options
    if operations[0].mode == "get":
        config = Config(path, _read_input(path), ignoreindent)
        for operation in operations:
            for line in _get(config, operation, options.format):
                _emit(line)
        return
    if path == "-":
        # The file comes on standard input and the result goes to standard output.
        config = Config(path, sys.stdin.buffer.read(), ignoreindent)
        _apply(config, operations, options)
        _emit_bytes(config.encode())
        return
    with _disk.exclusive(path):
        data = _disk.read(path, may_create=True)
        if data is None and options.existing:
            raise Failure(f"[Errno 2] No such file or directory: {path!r}")
        if data is None and operations[0].mode == "del":
            # nothing to delete from, and no file to create
            if options.verbose:
                print(f"unchanged: {operations[-1].shown()}", file=sys.stderr)
            return
        config = Config(path, data, ignoreindent)
        _apply(config, operations, options)
        edited = config.encode()
        changed = edited != config.data
        if options.output is None and (changed or not config.exists):
            _disk.write(path, edited)
    if options.output == "-":
        _emit_bytes(edited)
    elif options.output is not None:
        with _disk.exclusive(options.output):
            if _disk.read(options.output, may_create=True) is None:
                # crudini writes over an output file, and refuses to create one
                raise Failure(f"[Errno 2] No such file or directory: {os.path.abspath(options.output)!r}")
            _disk.write(options.output, edited)
    if options.verbose:
        print(f"{'changed' if changed else 'unchanged'}: {operations[-1].shown()}", file=sys.stderr)


def _apply(config: Config, operations: list[Operation], options: Options) -> None:
    for operation in operations:
        {"set": _set, "del": _del, "merge": _merge}[operation.mode](config, operation, options)
    if {"nospace", "space"} & options.ini_options:
        config.respace("nospace" not in options.ini_options)
    if "sectionspace" in options.ini_options:
        config.space_sections()


def _read_input(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    data = _disk.read(path)
    assert data is not None
    return data


def _emit(text: str) -> None:
    # Bytes of the file that are not UTF-8 come out as they are in the file.
    _emit_bytes(text.encode("utf-8", "surrogateescape"))


def _emit_bytes(data: bytes) -> None:
    sys.stdout.flush()
    sys.stdout.buffer.write(data)
    sys.stdout.flush()


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    try:
        options, operations = parse_args(args)
        if options.help:
            _emit(USAGE.format(prog=prog))
            return 0
        if options.version:
            _emit(f"crudini {CRUDINI_VERSION}\n")
            return 0
        run(options, operations)
    except UsageError as exc:
        sys.stdout.flush()
        message = f"{exc}\n" if str(exc) else ""
        sys.stderr.write(message + USAGE.format(prog=prog))
        return 1
    except Failure as exc:
        sys.stdout.flush()
        print(exc, file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (| head), as crudini takes it: no error. What is still buffered for standard
        # output goes nowhere, rather than failing again at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as exc:
        print(f"[Errno {exc.errno}] {exc.strerror}: {exc.filename!r}" if exc.filename else exc, file=sys.stderr)
        return 1
    return 0


def script() -> int:
    """The kestra-crudini command that pip installs."""
    return main()


if __name__ == "__main__":
    raise SystemExit(main(prog="python -m kestra_ini.crudini"))

