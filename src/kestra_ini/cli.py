"""The command line: ``kestra-ini FILE COMMAND ...`` or ``python -m kestra_ini FILE COMMAND ...``.

By default a file is read as people write INI files (kestra_ini.grammars.TOLERANT): keys before the first section,
repeated keys and sections, bare keys, directives, inline comments after ' ;', values as written. --strict reads
it in the engine's grammar as the class does (kestra_ini._strict), and --expand adds the class's
%-interpolation. Both edit through the one document model (kestra_ini.changes). Changes chained with '+' are
made under one lock and written once, or not at all.

Exit status 0 on success, 1 on a failure (one line on standard error naming the file it concerns),
2 on a usage error (argparse's own message). Standard output is UTF-8 whatever the locale, like the file.
"""
from __future__ import annotations

import io
import os
import sys
from types import SimpleNamespace

from kestra_ini._errors import PROGRAM, CommandError, describe_common

TYPE_CHECKING = False  # typing itself costs a start-up more than this whole module
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable, Sequence

    from kestra_ini import _strict, document

PROG = "python -m kestra_ini"
CHANGES = ("set", "remove", "rename", "merge", "load")
# The queries the quick reading takes, by their number of words after FILE and the names those words bind.
_QUERIES = {("sections", 1): (), ("options", 2): ("section",), ("get", 2): ("section",),
            ("get", 3): ("section", "option")}


# --- the command line ------------------------------------------------------------------------------

def _quick(words: list[str]) -> SimpleNamespace | None:
    """A plain query (FILE sections, FILE options SECTION, FILE get SECTION [KEY]) read without argparse, whose
    import and parser are most of a query's start-up; anything else (an option, help, '-', a '+', a word
    too many or too few) is left to argparse, so that its help, messages and exit status stay the only ones."""
    if len(words) < 2 or any(word.startswith("-") or word == "+" for word in words):
        return None
    names = _QUERIES.get((words[1], len(words) - 1))
    if names is None:
        return None
    args = SimpleNamespace(file=words[0], command=words[1], strict=False, expand=False, raw=False, encoding=None,
                           format=None, section=None, option=None, default=None)
    for name, word in zip(names, words[2:]):
        setattr(args, name, word)
    return args


def _parse(prog: str, words: list[str]) -> list[argparse.Namespace]:
    quick = _quick(words)
    if quick is not None:
        return [quick]  # type: ignore[list-item]  # the same names argparse would give
    from kestra_ini import _arguments

    return _arguments.parse(_arguments.build_parser(prog, words), words)


# --- the default reading -----------------------------------------------------------------------------

def _read(data: bytes, args: argparse.Namespace) -> document.Document:
    from kestra_ini import document

    doc = document.read(data, codec=args.encoding)
    doc.require_readable()
    return doc


def _missing(path: str, section: str, key: str | None = None) -> CommandError:
    if key is not None:
        place = "before the first section" if section == "" else f"in section {section!r}"
        return CommandError(path, f"no key {key!r} {place}")
    return CommandError(path, "no keys before the first section" if section == "" else f"no section {section!r}")


def _names(names: list[str], args: argparse.Namespace) -> str:
    if getattr(args, "format", None) == "json":
        from kestra_ini import _formats

        return _formats.view_json(names)
    return "".join(f"{name}\n" for name in names)


def _query(args: argparse.Namespace) -> str:
    from kestra_ini import _files, _formats

    path = args.file
    default = getattr(args, "default", None)
    try:
        raw = _files.load(path)
    except FileNotFoundError:
        if default is None or args.option is None:
            raise
        raw = b""  # an optional file that is not there: the key is missing, and the default answers
    doc = _read(raw, args)
    if args.command == "sections":
        return _names(doc.sections(), args)
    if args.command == "dump":
        data = [(name, doc.items(name)) for name in doc.sections()]
        return _formats.view(data, args.format or "json", path)
    if not doc.has_section(args.section) or args.section == "" and not doc.items(""):
        if default is not None and args.option is not None:
            return _formats.values(args.section, args.option, [default], args.format, path)
        raise _missing(path, args.section)
    if args.command == "options":
        return _names(doc.keys(args.section), args)
    if args.option is None:
        return _formats.view([(args.section, doc.items(args.section))], args.format or "ini", path, whole=False)
    found = doc.values(args.section, args.option)
    if not found and default is not None:
        found = [default]
    if not found:
        raise _missing(path, args.section, args.option)
    return _formats.values(args.section, args.option, found, args.format, path)


def _changes(args: argparse.Namespace) -> list[object]:
    from kestra_ini import _formats, changes

    mode = getattr(args, "mode", None) or changes.ONE
    if args.command == "set":
        return [changes.Set(args.section, args.option, args.value, mode, args.existing)]
    if args.command == "remove":
        if args.option is None:
            return [changes.RemoveSection(args.section, args.missing_ok)]
        return [changes.Remove(args.section, args.option, args.all, args.missing_ok)]
    if args.command == "rename":
        return [changes.Rename(args.section, args.key, args.new)]
    if args.command == "merge":
        return [changes.Merge(_formats.read_input(args.source)[1], mode, args.existing)]
    # A key the document gives one value has that one value afterwards, however often the file had it.
    sections = _formats.sections_from_json(args.json_file, tolerant=True)
    return changes.assign(sections, getattr(args, "mode", None) or changes.ALL, args.existing)


def _change(chain: list[argparse.Namespace]) -> str | bytes:
    from kestra_ini import changes

    made = [change for args in chain for change in _changes(args)]

    def make(data: bytes | None) -> bytes:
        return changes.edit(_read(data or b"", chain[0]), made).encode()

    return _write(chain, make)


def _write(chain: list[argparse.Namespace], make: Callable[[bytes | None], bytes | None]) -> str | bytes:
    """Runs the edit on FILE, and what the command prints: a diff for --dry-run, the new text for FILE '-'."""
    from kestra_ini import _files

    first = chain[0]
    dry_run = any(args.dry_run for args in chain)
    backup = next((args.backup for args in chain if args.backup), None)
    old, new = _files.update(first.file, make, create=_may_create(chain), dry_run=dry_run, backup=backup)
    if dry_run:
        return _diff(first.file, old, new, first.encoding)
    if first.file == _files.STDIN:
        return new if new is not None else old or b""
    return ""


def _diff(path: str, old: bytes | None, new: bytes | None, codec: str | None) -> str:
    """A unified diff whose lines of the file keep their own ends, so that `patch` applies it to a CRLF file
    as it is; its own lines (the headers, the hunk markers) end in LF, which is what `patch` reads them with.
    The file's lines are split only at its line ends, not at the other breaks str.splitlines knows."""
    import difflib

    from kestra_ini import document, encodings

    def lines(data: bytes | None) -> list[str]:
        return [line.text + line.end for line in document.split_lines(encodings.decode(data or b"", codec)[0])]

    before = lines(old)
    after = lines(new) if new is not None else before
    out = []
    for line in difflib.unified_diff(before, after, path, path):
        out.append(line if line.endswith(("\n", "\r")) else line + "\n\\ No newline at end of file\n")
    return "".join(out)


def _may_create(chain: list[argparse.Namespace]) -> bool:
    return any(args.command not in ("remove", "rename") and not getattr(args, "existing", False) for args in chain)


# --- the engine's grammar ----------------------------------------------------------------------------

def _strict_query(args: argparse.Namespace, session: _strict.Session) -> str:
    from kestra_ini import _formats, _strict

    if args.command == "sections":
        return _names(_strict.sections(session), args)
    if args.command == "options":
        return _names(_strict.options(session, args.section), args)
    if args.command == "dump":
        return _formats.view(_strict.dump_view(session), args.format or "json", args.file)
    if args.option is None:
        return _formats.view(_strict.section_view(session, args.section), args.format or "ini", args.file,
                             whole=False)
    import configparser

    try:
        found = _strict.values(session, args.section, args.option)
    except (configparser.NoSectionError, configparser.NoOptionError, FileNotFoundError):
        if args.default is None:
            raise
        found = [args.default]
    return _formats.values(args.section, args.option, found, args.format, args.file)


def _strict_change(chain: list[argparse.Namespace], session: _strict.Session) -> str | bytes:
    from kestra_ini import _formats, _strict

    steps: list[_strict.Step] = []
    for args in chain:
        if getattr(args, "mode", None) or args.command == "set" and args.bare or args.command == "rename":
            raise CommandError(args.file, "--all, --add, --last, --bare and rename need the default reading, "
                                          "not --strict")
        if args.command == "set":
            steps.append(_strict.set_step(args.file, args.section, args.option, args.value, existing=args.existing))
        elif args.command == "remove":
            steps.append(_strict.remove_step(args.file, args.section, args.option, missing_ok=args.missing_ok))
        elif args.command == "merge":
            name, data = _formats.read_input(args.source)
            try:
                text = data.decode("utf-8-sig")
            except UnicodeDecodeError as exc:
                raise CommandError(name, f"not UTF-8 text ({exc.reason})") from None
            steps.append(_strict.merge_step(name, text, existing=args.existing))
        else:
            document = _formats.sections_from_json(args.json_file, tolerant=False)
            steps.append(_strict.load_step({name: {key: str(found[0]) for key, found in items.items()}
                                            for name, items in document.items()}))
    defaults = any(args.command in ("load", "merge") for args in chain)
    return _write(chain, lambda data: _strict.edited(session, data, steps, defaults=defaults))


# --- output and errors -----------------------------------------------------------------------------

def _emit(text: str | bytes) -> None:
    # Straight to the descriptor, every byte accounted for: a buffered text stream can drop the rest of a
    # large write after a short one and still report success, so `dump > file` on a full disk would exit 0
    # with half a document. Bytes of a file that are not UTF-8 go out as they came in.
    data = memoryview(text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape"))
    sys.stdout.flush()
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, ValueError, io.UnsupportedOperation):
        sys.stdout.write(text if isinstance(text, str) else text.decode("utf-8", "surrogateescape"))
        return
    try:
        while data:
            data = data[os.write(fd, data):]
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise CommandError("<stdout>", exc.strerror or str(exc)) from None


def _refuse_whitespace(chain: list[argparse.Namespace]) -> None:
    """A value's leading and trailing whitespace is lost on reading, whatever the grammar: refuse it."""
    for args in chain:
        value = args.value if args.command == "set" else None
        if value is not None and any(line != line.strip() for line in value.split("\n")):
            stripped = "\n".join(line.strip() for line in value.split("\n"))
            raise CommandError(args.file, f"value {value!r} has leading or trailing whitespace, which an INI "
                                          f"file does not keep: it would read back as {stripped!r}")


def _run(chain: list[argparse.Namespace], strict: _strict.Session | None) -> str | bytes:
    _refuse_whitespace(chain)
    change = chain[0].command in CHANGES
    if strict is None:
        return _change(chain) if change else _query(chain[0])
    return _strict_change(chain, strict) if change else _strict_query(chain[0], strict)


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    words = list(sys.argv[1:] if argv is None else argv)
    chain = _parse(prog, words)
    path = chain[0].file
    strict = None
    if any(args.strict or args.expand for args in chain):
        try:
            from kestra_ini import _strict
        except ImportError as exc:  # the class, which the engine's grammar runs through, is built for 3.13 only
            print(f"{PROGRAM}: {path}: --strict and --expand need the class: {exc}", file=sys.stderr)
            return 1

        if any(args.encoding for args in chain):
            _parser_error(prog, words, "--strict and --expand read UTF-8 only, as the class does: no --encoding")

        strict = _strict.Session(path, expand=any(args.expand for args in chain))
    try:
        _emit(_run(chain, strict))
    except BrokenPipeError:
        return 1  # the reader went away (| head): nothing left to say to anyone
    except Exception as exc:
        described = describe_common(exc, path) if strict is None else _strict_describe(exc, strict)
        if described is None:
            raise
        where, message = described
        print(f"{PROGRAM}: {where}: {message}", file=sys.stderr)
        return 1
    return 0


def _parser_error(prog: str, words: list[str], message: str) -> None:
    from kestra_ini import _arguments

    _arguments.build_parser(prog, words).error(message)


def _strict_describe(exc: Exception, session: _strict.Session) -> tuple[str, str] | None:
    from kestra_ini import _strict

    return _strict.describe(exc, session)


def script() -> int:
    """The kestra-ini command that pip installs: the same as python -m kestra_ini."""
    return main(prog="kestra-ini")
