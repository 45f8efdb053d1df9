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
import stat
import sys

from kestra_ini import _disk
from kestra_ini.crudini_file import DEFAULT as _DEFAULT, Config, Failure

TYPE_CHECKING = False  # typing and dataclasses cost a start-up more than this whole module
if TYPE_CHECKING:
    from collections.abc import Iterator, Sequence

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
_SPACE = re.compile(r"\s+")


class UsageError(Exception):
    """A command line crudini refuses: the message, then the usage text, on standard error; status 1."""


# --- the command line --------------------------------------------------------------------------------

class Operation:
    __slots__ = ("mode", "words")

    def __init__(self, mode: str) -> None:
        self.mode = mode
        self.words: list[str] = []  # the file, section, param and value as given

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
        # A line break in a name stays on its line, as crudini shows it: scripts grep the report's first word.
        return shlex.join([f"--{self.mode}", *words]).replace("\n", "\\n")


class Options:
    __slots__ = ("existing", "format", "ini_options", "inplace", "list", "list_sep", "output", "verbose", "help",
                 "version", "merged")

    def __init__(self) -> None:
        self.existing: set[str] = set()
        self.format = ""
        self.ini_options: set[str] = set()
        self.inplace = False  # accepted, and changes nothing: every write keeps the file's links
        self.list = False
        self.list_sep: str | None = None
        self.output: str | None = None
        self.verbose = False
        self.help = False
        self.version = False
        self.merged: bytes | None = None  # standard input for --merge, read once: an overtaken edit computes again


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


# --- operations --------------------------------------------------------------------------------------

def _set(config: Config, operation: Operation, options: Options) -> None:
    section, param = operation.section, operation.param
    assert section is not None
    if not config.has(section) and {"section", "param"} & options.existing:
        raise Failure(f"Section not found: {operation.words[1]}")
    if param is not None and "ignoreindent" in options.ini_options:
        # Indentation is no part of a name there: what a name starts with indents the section's new keys,
        # unless its keys already have their own.
        indent = param[:len(param) - len(param.lstrip())]
        param = param.lstrip()
        config.indent_new(section, indent)
    # A key the section inherits from the default section counts as there, as in crudini: --existing
    # takes it, and --list extends the inherited list into a key of the section's own.
    current = config.lookup(section, param) if param is not None else None
    if param is not None and current is None and "param" in options.existing:
        raise Failure(f"Parameter not found: {param}")
    value = operation.value
    if options.list:
        value = _list_add(current, value, options.list_sep) if value is not None and current else value or ""
        if param is not None and value == current and config.raw(section, param)[1] is not None:
            return  # the item is there: crudini leaves the line as it is
    elif value is None and param is not None:
        # No value: crudini empties a key that has one, leaves a bare one bare, and writes a new one as
        # "name = ", or bare only into a file that has bare keys already.
        found, now = config.current(section, param)
        if found and now is not None or not found and not config.has_bare_keys():
            value = ""
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
    if options.merged is None:
        options.merged = sys.stdin.buffer.read()
    given = Config("-", options.merged, config.ignoreindent)
    # A [DEFAULT] header, in the text or the command, puts one in the file, as --set DEFAULT does.
    header = operation.words[1:2] == [_DEFAULT] or given.default_header() and bool(given.own(_DEFAULT))
    if header:
        config.set_many(_DEFAULT, [], header=True)
    for name in given.sections():
        into = target or name
        if not config.has(into) and {"section", "param"} & options.existing:
            raise Failure(f"Section not found: {operation.words[1] if target else name}")
        keys = [(key, given.raw(name, key)[1]) for key, _ in given.own(name).values()
                if "param" not in options.existing or config.raw(into, key)[0]]
        if keys or not target:  # an empty section of the text is added, as crudini adds it
            config.set_many(into, keys, nospace="nospace" in options.ini_options)


def _split_list(value: str, sep: str | None) -> tuple[list[str], str]:
    """The items of a list value, and what joins them: by default commas, written as the value writes
    them (", " or ","); with --list-sep= any whitespace, joined by the value's first run of it (so that
    a list of one item a line stays one); otherwise the separator given."""
    if sep is None:
        return [item.strip() for item in value.split(",")], "," if "," in value and ", " not in value else ", "
    if sep == "":
        found = _SPACE.search(value)
        joiner = found.group() if found else " "
        # A list that starts on the line after its name ("name =" then one item a line) keeps doing so.
        first = [""] if joiner in ("\n", "\r\n") and value.startswith(joiner) else []
        return first + value.split(), joiner
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
        if any(operation.mode == "merge" for operation in operations):
            raise Failure("stdin is closed")  # the file took it: no text is left to merge
        config = Config(path, sys.stdin.buffer.read(), ignoreindent)
        _apply(config, operations, options)
        _emit_bytes(config.encode())
        return

    def attempt(edit: _disk.Edit) -> tuple[bytes, bool] | None:
        data = edit.read(may_create=True)
        if data is None and options.existing:
            raise Failure(f"[Errno 2] No such file or directory: {path!r}")
        if data is None and operations[0].mode == "del":
            return None  # nothing to delete from, and no file to create
        config = Config(path, data, ignoreindent)
        _apply(config, operations, options)
        edited = config.encode()
        changed = edited != config.data
        if options.output is None and (changed or not config.exists):
            edit.write(edited)
        return edited, changed

    done = _disk.edit(path, attempt)
    if done is None:
        if options.verbose:
            print(f"unchanged: {operations[-1].shown()}", file=sys.stderr)
        return
    edited, changed = done
    if options.output == "-":
        _emit_bytes(edited)
    elif options.output is not None:
        _write_output(options.output, edited)
    if options.verbose:
        print(f"{'changed' if changed else 'unchanged'}: {operations[-1].shown()}", file=sys.stderr)


def _write_output(path: str, data: bytes) -> None:
    """Writes over an output file, as crudini does; like crudini, never creates one. Nothing opens or reads the
    path before the write: a FIFO or a device there gets the text once, opened as open(path, "w") opens it,
    so that a FIFO nobody reads, or one that the kernel's protected_fifos keeps from us, never holds us up."""
    try:
        regular = stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        raise Failure(f"[Errno 2] No such file or directory: {os.path.abspath(path)!r}") from None
    if not regular:
        _disk.write(path, data)
        return
    with _disk.exclusive(path):  # a regular file: after any edit of it that is under way
        _disk.write(path, data)


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

