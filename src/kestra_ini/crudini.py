"""crudini's command line over kestra-ini's minimal, verified edits.

``kestra-crudini ARGS...`` and ``python -m kestra_ini.crudini ARGS...`` take the command lines that scripts
already pass to crudini (--set, --get, --del, --merge, chained, with its options) and answer with the same
output and exit status. The edits are those of ``kestra-ini``: only the lines of what changed are rewritten,
the result must read back as exactly the intended configuration, and it is written durably, under the edit
lock, once per call. Where crudini's own result is faulty (a final newline added, a trailing space after an
empty value, a value that reads back as something else, a traceback for bytes that are not UTF-8), this
front end does the sound thing instead; the README lists each such difference.
"""
from __future__ import annotations

import re
import shlex
import sys
from collections import Counter
from collections.abc import Collection, Iterator, Sequence
from dataclasses import dataclass, field

from kestra_ini import _dialect, _disk
from kestra_ini._lines import BOM, Line, majority_end, settle_ends

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
        for item in value.split(","):
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
    if modes & {"get", "merge"} and modes & {"set", "del"}:
        raise UsageError("--get|--merge modes can't be mixed with --set|--del")
    if [operation.mode for operation in operations].count("merge") > 1:
        raise UsageError("--merge mode can't be repeated")
    if len({operation.file for operation in operations if operation.words}) > 1:
        raise UsageError("Can't operate on multiple files")
    for operation in operations:
        fewest, most = {"get": (1, 3), "merge": (1, 2), "set": (2, None), "del": (2, 3)}[operation.mode]
        if operation.mode == "del" and options.list:
            most = 4
        count = len(operation.words)
        if most is not None and count > most and operation.mode in ("get", "del"):
            raise UsageError(f"A value should not be specified with --{operation.mode}")
        if count < fewest or (most is not None and count > most):
            raise UsageError("")


# --- the configuration -------------------------------------------------------------------------------

class Config:
    """One file as crudini addresses it, over the tolerant reading of kestra_ini._dialect.

    crudini's default section is both the keys before the first header and a [DEFAULT] section. Keys are
    matched case-insensitively, as crudini matches them, and printed as the file spells them; of a key
    written more than once, the last value counts. Each change is made and verified at once, so the next
    operation of a chain sees it; the file is written once, at the end."""

    def __init__(self, path: str, data: bytes | None) -> None:
        self.path = path
        self.exists = data is not None
        self.data = data or b""
        self.doc = _dialect.read(self.data)
        self.added: set[tuple[str, str]] = set()  # keys new to the file, as (section in the file, key)

    @property
    def doc(self) -> _dialect.Document:
        return self._doc

    @doc.setter
    def doc(self, doc: _dialect.Document) -> None:
        self._doc = doc
        self._index: dict[str, dict[str, list[tuple[str, str, int]]]] = {}

    # reading

    @staticmethod
    def _names(section: str) -> tuple[str, ...]:
        return _DEFAULTS if section == _DEFAULT else (section,)

    def has(self, section: str) -> bool:
        return section == _DEFAULT or self.doc.has_section(section)

    def own(self, section: str) -> dict[str, tuple[str, str]]:
        """The section's own keys: lower-cased name -> (name as first spelled, last value)."""
        found: dict[str, tuple[str, str]] = {}
        for name in self._names(section):
            for key, value in self.doc.items(name):
                spelled = found[key.lower()][0] if key.lower() in found else key
                found[key.lower()] = (spelled, value or "")
        return found

    def lookup(self, section: str, param: str) -> str | None:
        """The value crudini's --get prints: the section's own, else the default section's."""
        for name in (section, _DEFAULT):
            hit = self.own(name).get(param.lower())
            if hit is not None:
                return hit[1]
        return None

    def listed_sections(self) -> list[str]:
        named = [name for name in self.doc.sections() if name not in _DEFAULTS]
        return ([_DEFAULT] if self.own(_DEFAULT) else []) + named

    def places(self, section: str, param: str) -> list[tuple[str, str, int]]:
        """(section in the file, key as spelled, times written) of every spelling of the key there."""
        if section not in self._index:
            # Built once a document, so that a long --merge looks keys up in constant time.
            index: dict[str, list[tuple[str, str, int]]] = {}
            for name in self._names(section):
                for key, count in Counter(key for key, _ in self.doc.items(name)).items():
                    index.setdefault(key.lower(), []).append((name, key, count))
            self._index[section] = index
        return self._index[section].get(param.lower(), [])

    # changing

    def change(self, *changes: _dialect.Change) -> None:
        self.doc = _dialect.read(_dialect.edit(self.doc, changes))

    def set(self, section: str, param: str | None, value: str, *, header: bool = False) -> None:
        self.change(*self.set_changes(section, param, value, header=header))

    def set_changes(self, section: str, param: str | None, value: str, *,
                    header: bool = False) -> list[_dialect.Change]:
        """The changes that set a key (or add a section), found against the document as it is now."""
        if header and not self.doc.has_section(_DEFAULT):
            self._default_header()
        if param is None:
            return [] if section == _DEFAULT else [_dialect.AddSection(section)]
        found = self.places(section, param)
        count = sum(times for _, _, times in found)
        if count > 1:
            # crudini changes the last one and leaves the others, which readers other than crudini still see.
            raise Failure(f"{self.path}: nothing written: key {param!r} appears {count} times in section "
                          f"{section!r}, and changing one would leave the others")
        if found:
            return [_dialect.Set(found[0][0], found[0][1], value)]
        if section == _DEFAULT:
            section = _DEFAULT if self.doc.has_section(_DEFAULT) else ""
        self.added.add((section, param))
        return [_dialect.Set(section, param, value)]

    def _default_header(self) -> None:
        """An explicit [DEFAULT] header at the top: the keys before the first section fall under it."""
        newline = majority_end(self.doc.lines) if self.doc.lines else "\n"
        data = self.doc.encode()
        body = data[len(BOM):] if self.doc.bom else data
        edited = _dialect.read((BOM if self.doc.bom else b"") + f"[{_DEFAULT}]{newline}".encode() + body)
        (first, keys), *rest = self.doc.reading()
        if edited.reading() != [(first, []), (_DEFAULT, keys), *rest]:
            raise _dialect.ChangeError("nothing written: a [DEFAULT] header would not read back as intended")
        self.doc = edited

    def remove(self, section: str, param: str | None) -> None:
        if param is None:
            self.change(*[_dialect.RemoveSection(name, missing_ok=True) for name in self._names(section)])
        else:
            self.change(*[_dialect.Remove(name, key, all=True) for name, key, _ in self.places(section, param)])

    def respace(self, spaced: bool, *, keys: Collection[tuple[str, str]] | None = None, equals: bool = False) -> None:
        """Each key's delimiter with a space on each side, or none, as --ini-options=space|nospace ask;
        `keys` limits it to those (section in the file, key), and `equals` writes '=' for ':'."""
        lines = list(self.doc.lines)
        for block in self.doc.blocks:
            for entry in block.entries:
                text = lines[entry.start].text
                found = _DELIMITER.search(text, len(text) - len(text.lstrip()) + len(entry.key))
                if entry.value is None or found is None or keys is not None and (block.name, entry.key) not in keys:
                    continue
                mark = "=" if equals else found.group()
                delimiter = f" {mark} " if spaced else mark
                rewritten = (text[:found.start()].rstrip() + delimiter + text[found.end():].lstrip()).rstrip()
                lines[entry.start] = Line(rewritten, lines[entry.start].end)
        self._relined(lines, "respaced keys")

    def space_sections(self) -> None:
        """One blank line before each section header and none at the start or end of the file, as
        --ini-options=sectionspace asks; blank lines inside a section stay."""
        lines = list(self.doc.lines)
        headers = {block.header for block in self.doc.blocks if block.header is not None}
        kept: list[Line] = []
        for index, line in enumerate(lines):
            if index in headers and kept:
                while kept and not kept[-1].text.strip():
                    kept.pop()
                kept.append(Line("", majority_end(lines)))
            if line.text.strip() or kept:
                kept.append(line)
        while kept and not kept[-1].text.strip():
            kept.pop()
        final = bool(lines) and lines[-1].end != ""
        self._relined(settle_ends(kept, majority_end(lines), final=final), "sections spaced")

    def _relined(self, lines: list[Line], what: str) -> None:
        edited = _dialect.Document(lines, bom=self.doc.bom)
        if edited.reading() != self.doc.reading():
            raise _dialect.ChangeError(f"nothing written: the {what} would not read back as they were")
        self.doc = edited


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
    value = operation.value or ""
    if options.list and current is not None and operation.value is not None:
        value = _list_add(current, value, options.list_sep)
    config.set(section, param, value, header=operation.words[1] == _DEFAULT)


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
            config.set(section, param, _list_remove(current, operation.value, options.list_sep))
            return
    elif param.lower() in config.own(section):
        # A key the section only inherits from the default section is not its own to delete.
        config.remove(section, param)
        return
    if "param" in options.existing:
        raise Failure(f"Parameter not found: {param}")


def _merge(config: Config, operation: Operation, options: Options) -> None:
    """Every key of the INI text on standard input set in the file, as one change: the keys are found
    against the file as it was, so a long text costs one edit rather than one a key."""
    target = operation.section
    given = _dialect.read(sys.stdin.buffer.read())
    changes: list[_dialect.Change] = []
    for name in given.sections():
        into = target or name or _DEFAULT
        if not config.has(into) and {"section", "param"} & options.existing:
            raise Failure(f"Section not found: {operation.words[1] if target else name}")
        # A [DEFAULT] header, in the text or the command, puts one in the file, as --set DEFAULT does.
        header = (operation.words[1] if target else name) == _DEFAULT
        present = config.own(into)
        # Keys that differ only in case are one key to crudini: the last one given counts.
        pairs = {key.lower(): (key, given.values(name, key)[-1] or "") for key in given.keys(name)}
        for lowered, (key, value) in pairs.items():
            if "param" in options.existing and lowered not in present:
                continue
            changes += config.set_changes(into, key, value, header=header)
    config.change(*changes)


def _split_list(value: str, sep: str | None) -> tuple[list[str], str]:
    """The items of a list value, and what joins them: by default commas, written as the value writes
    them (", " or ","); with --list-sep= any whitespace, joined by the value's first run of it (so that
    a list of one item a line stays one); otherwise the separator given."""
    if sep is None:
        return [item.strip() for item in value.split(",") if item.strip()], (
            "," if "," in value and ", " not in value else ", ")
    if sep == "":
        found = _SPACE.search(value)
        return value.split(), found.group() if found else " "
    return (value.split(sep) if value.strip() else []), sep


def _list_add(current: str, item: str, sep: str | None) -> str:
    items, joiner = _split_list(current, sep)
    if not item.strip() or item.strip() in (old.strip() for old in items):
        return current  # an empty item is no item, and a list holds each item once
    if not items:
        return item
    # With a separator of its own, the text of the value stays as it is and the item goes at the end.
    return joiner.join([*items, item]) if sep is None or sep == "" else current + sep + item


def _list_remove(current: str, item: str, sep: str | None) -> str:
    items, joiner = _split_list(current, sep)
    kept = [old for old in items if old.strip() != item]
    return current if len(kept) == len(items) else joiner.join(kept).strip()


# --- --get and its formats -----------------------------------------------------------------------------

def _get(config: Config, operation: Operation, fmt: str) -> Iterator[str]:
    """The lines --get prints, one at a time: a failure part way leaves the lines before it printed."""
    section, param = operation.section, operation.param
    if section is None:
        yield from _whole(config, fmt)
        return
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
        yield f"[ {section} ]\n"
    if fmt == "ini":
        yield f"[{section}]\n"
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
    if operations[0].mode == "get":
        config = Config(path, _read_input(path))
        for operation in operations:
            for line in _get(config, operation, options.format):
                _emit(line)
        return
    if path == "-":
        # The file comes on standard input and the result goes to standard output.
        config = Config(path, sys.stdin.buffer.read())
        _apply(config, operations, options)
        _emit_bytes(config.doc.encode())
        return
    with _disk.exclusive(path):
        data = _disk.read(path, may_create=True)
        if data is None and "file" in options.existing:
            raise Failure(f"[Errno 2] No such file or directory: {path!r}")
        if data is None and operations[0].mode == "del":
            return  # nothing to delete from, and no file to create
        config = Config(path, data)
        _apply(config, operations, options)
        edited = config.doc.encode()
        changed = edited != config.data or not config.exists
        if options.output is None and changed:
            _disk.write(path, edited)
    if options.output == "-":
        _emit_bytes(edited)
    elif options.output is not None:
        with _disk.exclusive(options.output):
            _disk.read(options.output, may_create=True)  # puts back an interrupted save before replacing
            _disk.write(options.output, edited)
    if options.verbose:
        print(f"{'changed' if changed else 'unchanged'}: {operations[-1].shown()}", file=sys.stderr)


def _apply(config: Config, operations: list[Operation], options: Options) -> None:
    for operation in operations:
        {"set": _set, "del": _del, "merge": _merge}[operation.mode](config, operation, options)
    if config.added:
        # A new key is written as crudini writes it, "name = value", rather than in its neighbour's style.
        config.respace("nospace" not in options.ini_options, keys=config.added, equals=True)
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
            _emit(f"crudini {CRUDINI_VERSION} (kestra-crudini)\n")
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
    except _dialect.ChangeError as exc:
        print(f"{operations[0].file}: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return 1  # the reader went away (| head): nothing left to say to anyone
    except OSError as exc:
        print(f"[Errno {exc.errno}] {exc.strerror}: {exc.filename!r}" if exc.filename else exc, file=sys.stderr)
        return 1
    return 0


def script() -> int:
    """The kestra-crudini command that pip installs."""
    return main()


if __name__ == "__main__":
    raise SystemExit(main(prog="python -m kestra_ini.crudini"))

