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

import argparse
import io
import os
import sys
from collections.abc import Sequence

from kestra_ini._errors import PROGRAM, CommandError, describe_common

TYPE_CHECKING = False  # typing itself costs a start-up more than this whole module
if TYPE_CHECKING:
    from collections.abc import Callable

    from kestra_ini import _strict, document

PROG = "python -m kestra_ini"
CHANGES = ("set", "remove", "rename", "merge", "load")

_EXAMPLES = {
    "sections": ("print the section names, one a line, in file order", "examples/settings.ini sections"),
    "options": ("print the key names of SECTION, one a line", "examples/settings.ini options server"),
    "get": ("print the value(s) of KEY in SECTION, or the whole SECTION", "examples/settings.ini get server port"),
    "set": ("set KEY in SECTION to VALUE, adding the section (and FILE) if missing",
            "settings.ini set server port 9090"),
    "remove": ("remove SECTION, or only KEY from it", "settings.ini remove client name"),
    "rename": ("rename SECTION, or KEY in it, to NEW", "settings.ini rename client retries attempts"),
    "merge": ("merge the sections and keys of INI text from INI_FILE, or standard input for '-'",
              "settings.ini merge examples/more.ini"),
    "dump": ("print every section (as a JSON object unless --format says otherwise)",
             "examples/settings.ini dump --format=ini"),
    "load": ("merge a JSON object of sections, as dump prints it, from JSON_FILE or standard input for '-'",
             "settings.ini load examples/more.json"),
}

_EPILOG = """\
Files are read as people write them: keys before the first section are the section "", keys and sections
may repeat, keys may be bare, !include lines stay; a comment is a line starting with '#' or ';', and ' ;'
starts an inline comment; values are shown as written. Lines of a section that are no key (.inf, raw text)
stay as they are. A file with no [section] header and a line that is no key (such as 'key value' lines) is
refused, naming that line, and so is a binary file. --strict reads the file in the engine's grammar, as the
class does; --expand does too and shows %-interpolated values (and checks '%' on set).
Changes touch only their own lines; the result is read back and must hold exactly the intended change, or
nothing is written. Chain changes with ' + ': they are made under one lock and written once, all or none.
FILE '-' reads standard input; a change then prints the new text.
Exit status: 0 success, 1 failure (one line on standard error), 2 usage error."""


# --- the command line ------------------------------------------------------------------------------

class _Version(argparse.Action):
    """--version, looked up only when asked for: reading the installed metadata costs a start-up."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="print the version")

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        from importlib.metadata import version

        print(f"{parser.prog} {version('kestra-ini')}")
        parser.exit()


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """argparse's own, told the terminal's width without importing shutil (and its compression modules) for
    it, since argparse builds a formatter for every argument it is given."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        if width is None:
            try:
                width = int(os.environ["COLUMNS"])
            except (KeyError, ValueError):
                try:
                    width = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
                except (AttributeError, ValueError, OSError):
                    width = 80
            width -= 2
        super().__init__(prog, indent_increment, max_help_position, width)


def _build_parser(prog: str, argv: Sequence[str] = ()) -> argparse.ArgumentParser:
    """The parser; with `argv`, only the commands named in it are built, unless help is asked for or none is
    named: building all of them takes a good part of a query's time."""
    named = {word for word in argv if word in _EXAMPLES}
    wanted = named if named and not {"-h", "--help"} & set(argv) else set(_EXAMPLES)
    examples = "\n".join(f"  {name:9} {prog} {example}" for name, (_, example) in _EXAMPLES.items())
    parser = argparse.ArgumentParser(
        prog=prog, description="Read and change an INI file, touching only the lines of what changes.",
        epilog=f"commands, with an example each (settings.ini: a copy of examples/settings.ini):\n{examples}\n"
               f"  chained   {prog} settings.ini set server port 9090 + remove server host\n\n"
               f"{prog} FILE COMMAND --help shows the help of one command.\n{_EPILOG}",
        formatter_class=_Formatter)
    parser.add_argument("--version", action=_Version)
    parser.add_argument("file", metavar="FILE", help="the INI file")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    common = argparse.ArgumentParser(add_help=False, formatter_class=_Formatter)
    common.add_argument("--strict", action="store_true",
                        help="read FILE in the engine's grammar, as the class does (names in lower case, [DEFAULT])")
    common.add_argument("--expand", action="store_true",
                        help="the class's %%-interpolated view (implies --strict); set checks '%%' as it does")
    common.add_argument("--raw", action="store_true", help="values as written (the default; --expand interpolates)")
    common.add_argument("--encoding", metavar="NAME",
                        help="the encoding of a FILE that is neither UTF-8 nor marked UTF-16 (such as cp1252)")
    writes = argparse.ArgumentParser(add_help=False, formatter_class=_Formatter)
    writes.add_argument("--dry-run", action="store_true", help="print the change as a unified diff; write nothing")
    writes.add_argument("--backup", nargs="?", const=".bak", metavar="SUFFIX",
                        help="first save the old FILE as FILE plus SUFFIX (.bak if not given)")

    def command(name: str, *extra: str) -> argparse.ArgumentParser:
        summary, example = _EXAMPLES[name]
        if name not in wanted:
            return argparse.ArgumentParser(add_help=False, formatter_class=_Formatter)  # stands in; parses nothing
        parents = [common, writes] if name in CHANGES else [common]
        sub = commands.add_parser(name, help=summary, description=summary, parents=parents,
                                  epilog=f"example: {prog} {example}\n\n{_EPILOG}", formatter_class=_Formatter)
        if "format" in extra:
            sub.add_argument("--format", choices=("json", "ini", "lines", "sh"),
                             help="json: an object; ini: INI text; lines: '[section] key = value' a line; "
                                  "sh: key='value' lines for a shell")
        if "names" in extra:
            sub.add_argument("--format", choices=("lines", "json"), help="lines (the default) or a JSON array")
        if "which" in extra:
            which = sub.add_mutually_exclusive_group()
            which.add_argument("--all", dest="mode", action="store_const", const="all",
                               help="a key found more than once: the first takes the value, the others go")
            which.add_argument("--add", dest="mode", action="store_const", const="add",
                               help="add the key once more, after its last occurrence")
            if name == "set":
                which.add_argument("--last", dest="mode", action="store_const", const="last",
                                   help="a key found more than once: change the last one (systemd's reset idiom)")
        if "existing" in extra:
            sub.add_argument("--existing", action="store_true", help="refuse to create a missing section or key")
        return sub

    command("sections", "names")
    command("options", "names").add_argument("section", metavar="SECTION")
    sub = command("get", "format")
    sub.add_argument("section", metavar="SECTION")
    sub.add_argument("option", metavar="KEY", nargs="?")
    sub.add_argument("--default", metavar="VALUE", help="print VALUE when there is no such KEY or SECTION")
    sub = command("set", "which", "existing")
    sub.add_argument("section", metavar="SECTION")
    sub.add_argument("option", metavar="KEY")
    sub.add_argument("value", metavar="VALUE", nargs="?", help="put -- before a VALUE that starts with -")
    sub.add_argument("--bare", action="store_true", help="write KEY alone, without a value (my.cnf style)")
    sub = command("remove")
    sub.add_argument("section", metavar="SECTION")
    sub.add_argument("option", metavar="KEY", nargs="?")
    sub.add_argument("--all", action="store_true", help="remove every occurrence of a key found more than once")
    sub.add_argument("--missing-ok", action="store_true",
                     help="succeed without a message when there is nothing to remove")
    sub = command("rename")
    sub.add_argument("section", metavar="SECTION")
    sub.add_argument("key", metavar="KEY", nargs="?")
    sub.add_argument("new", metavar="NEW")
    command("merge", "which", "existing").add_argument("source", metavar="INI_FILE")
    command("dump", "format")
    command("load", "which", "existing").add_argument("json_file", metavar="JSON_FILE")
    return parser


def _split(argv: list[str]) -> list[list[str]]:
    """The arguments of each change of a chain: a lone '+' followed by a change's name starts the next."""
    segments: list[list[str]] = [[]]
    for index, word in enumerate(argv):
        if word == "+" and index + 1 < len(argv) and argv[index + 1] in CHANGES and len(segments[-1]) > 1:
            segments.append([])
        else:
            segments[-1].append(word)
    return segments


def _parse(parser: argparse.ArgumentParser, argv: list[str]) -> list[argparse.Namespace]:
    first, *rest = _split(argv)
    chain = [parser.parse_args(first)]
    chain += [parser.parse_args([chain[0].file, *segment]) for segment in rest]
    if len(chain) > 1 and any(args.command not in CHANGES for args in chain):
        parser.error("only set, remove, rename, merge and load can be chained with '+'")
    for args in chain:
        if args.command == "set" and (args.value is None) != args.bare:
            parser.error("set takes KEY VALUE, or KEY --bare for a key without a value")
    return chain


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
    chain = _parse(_build_parser(prog, words), words)
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
    _build_parser(prog, words).error(message)


def _strict_describe(exc: Exception, session: _strict.Session) -> tuple[str, str] | None:
    from kestra_ini import _strict

    return _strict.describe(exc, session)


def script() -> int:
    """The kestra-ini command that pip installs: the same as python -m kestra_ini."""
    return main(prog="kestra-ini")
