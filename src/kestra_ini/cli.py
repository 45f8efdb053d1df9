"""The command line: ``kestra-ini FILE COMMAND ...`` or ``python -m kestra_ini FILE COMMAND ...``.

By default a file is read as people write INI files (kestra_ini._dialect): keys before the first section,
repeated keys and sections, bare keys, directives, inline comments, values as written. --strict reads it in the
engine's grammar as the class does (kestra_ini._strict), and --expand adds the class's %-interpolation.
Changes chained with '+' are made under one lock and written once, or not at all.

Exit status 0 on success, 1 on a failure (one line on standard error naming the file it concerns),
2 on a usage error (argparse's own message). Standard output is UTF-8 whatever the locale, like the file.
"""
from __future__ import annotations

import argparse
import io
import os
import sys
from collections.abc import Sequence

from kestra_ini._errors import CommandError, describe_common

TYPE_CHECKING = False  # typing itself costs a start-up more than this whole module
if TYPE_CHECKING:
    from kestra_ini import _dialect, _strict

PROG = "python -m kestra_ini"
CHANGES = ("set", "remove", "merge", "load")

_EXAMPLES = {
    "sections": ("print the section names, one a line, in file order", "examples/settings.ini sections"),
    "options": ("print the key names of SECTION, one a line", "examples/settings.ini options server"),
    "get": ("print the value(s) of KEY in SECTION, or the whole SECTION", "examples/settings.ini get server port"),
    "set": ("set KEY in SECTION to VALUE, adding the section (and FILE) if missing",
            "settings.ini set server port 9090"),
    "remove": ("remove SECTION, or only KEY from it", "settings.ini remove client name"),
    "merge": ("merge the sections and keys of INI text from INI_FILE, or standard input for '-'",
              "settings.ini merge examples/more.ini"),
    "dump": ("print every section (as a JSON object unless --format says otherwise)",
             "examples/settings.ini dump --format=ini"),
    "load": ("merge a JSON object of sections, as dump prints it, from JSON_FILE or standard input for '-'",
             "settings.ini load examples/more.json"),
}

_EPILOG = """\
Files are read as people write them: keys before the first section are the section "", keys and sections
may repeat, keys may be bare, !include lines stay, inline comments ( ; or  #) stay; values are shown as
written. --strict reads the file in the engine's grammar, as the class does; --expand does too and shows
%-interpolated values (and checks '%' on set).
Changes touch only their own lines; the result is read back and must hold exactly the intended change, or
nothing is written. Chain changes with ' + ': they are made under one lock and written once, all or none.
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
               f"  chained   {prog} settings.ini set server port 9090 + remove client retries\n\n"
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
    common.add_argument("--raw", action="store_true", help="values as written: the default, kept for old scripts")

    def command(name: str, *extra: str) -> argparse.ArgumentParser:
        summary, example = _EXAMPLES[name]
        if name not in wanted:
            return argparse.ArgumentParser(add_help=False, formatter_class=_Formatter)  # stands in; parses nothing
        sub = commands.add_parser(name, help=summary, description=summary, parents=[common],
                                  epilog=f"example: {prog} {example}\n\n{_EPILOG}", formatter_class=_Formatter)
        if "format" in extra:
            sub.add_argument("--format", choices=("json", "ini", "lines", "sh"),
                             help="json: an object; ini: INI text; lines: '[section] key = value' a line; "
                                  "sh: key='value' lines for a shell")
        if "which" in extra:
            which = sub.add_mutually_exclusive_group()
            which.add_argument("--all", dest="mode", action="store_const", const="all",
                               help="a key found more than once: the first takes the value, the others go")
            which.add_argument("--add", dest="mode", action="store_const", const="add",
                               help="add the key once more, after its last occurrence")
        if "existing" in extra:
            sub.add_argument("--existing", action="store_true", help="refuse to create a missing section or key")
        return sub

    command("sections")
    command("options").add_argument("section", metavar="SECTION")
    sub = command("get", "format")
    sub.add_argument("section", metavar="SECTION")
    sub.add_argument("option", metavar="KEY", nargs="?")
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
        parser.error("only set, remove, merge and load can be chained with '+'")
    for args in chain:
        if args.command == "set" and (args.value is None) != args.bare:
            parser.error("set takes KEY VALUE, or KEY --bare for a key without a value")
    return chain


# --- the default reading -----------------------------------------------------------------------------

def _document(path: str) -> _dialect.Document:
    from kestra_ini import _dialect, _disk

    data = _disk.read(path)
    assert data is not None
    return _dialect.read(data)


def _no_section(path: str, section: str) -> CommandError:
    return CommandError(path, "no keys before the first section" if section == "" else f"no section {section!r}")


def _query(args: argparse.Namespace) -> str:
    from kestra_ini import _formats

    path = args.file
    doc = _document(path)
    if args.command == "sections":
        return "".join(f"{name}\n" for name in doc.sections())
    if args.command == "dump":
        data = [(name, doc.items(name)) for name in doc.sections()]
        return _formats.view(data, args.format or "json", path)
    if not doc.has_section(args.section) or args.section == "" and not doc.items(""):
        raise _no_section(path, args.section)
    if args.command == "options":
        return "".join(f"{name}\n" for name in doc.keys(args.section))
    if args.option is None:
        return _formats.view([(args.section, doc.items(args.section))], args.format or "ini", path, whole=False)
    found = doc.values(args.section, args.option)
    if not found:
        place = "before the first section" if args.section == "" else f"in section {args.section!r}"
        raise CommandError(path, f"no key {args.option!r} {place}")
    return _formats.values(args.section, args.option, found, args.format, path)


def _changes(args: argparse.Namespace) -> list[_dialect.Change]:
    from kestra_ini import _dialect, _formats

    mode = _dialect.Mode(getattr(args, "mode", None) or "one")
    if args.command == "set":
        return [_dialect.Set(args.section, args.option, args.value, mode, args.existing)]
    if args.command == "remove":
        if args.option is None:
            return [_dialect.RemoveSection(args.section, args.missing_ok)]
        return [_dialect.Remove(args.section, args.option, args.all, args.missing_ok)]
    if args.command == "merge":
        return [_dialect.Merge(_formats.read_input(args.source)[1], mode, args.existing)]
    changes: list[_dialect.Change] = []
    for section, items in _formats.sections_from_json(args.json_file, tolerant=True).items():
        if section:
            changes.append(_dialect.AddSection(section, args.existing))
        for key, found in items.items():
            first = _dialect.ALL if len(found) > 1 else mode
            changes.append(_dialect.Set(section, key, found[0], first, args.existing))
            changes += [_dialect.Set(section, key, value, _dialect.ADD) for value in found[1:]]
    return changes


def _change(chain: list[argparse.Namespace]) -> str:
    from kestra_ini import _dialect

    changes = [change for args in chain for change in _changes(args)]
    _dialect.update(chain[0].file, changes, create=_may_create(chain))
    return ""


def _may_create(chain: list[argparse.Namespace]) -> bool:
    return any(args.command != "remove" and not args.existing for args in chain)


# --- the engine's grammar ----------------------------------------------------------------------------

def _strict_query(args: argparse.Namespace, session: _strict.Session) -> str:
    from kestra_ini import _formats, _strict

    if args.command == "sections":
        return "".join(f"{name}\n" for name in _strict.sections(session))
    if args.command == "options":
        return "".join(f"{name}\n" for name in _strict.options(session, args.section))
    if args.command == "dump":
        return _formats.view(_strict.dump_view(session), args.format or "json", args.file)
    if args.option is None:
        return _formats.view(_strict.section_view(session, args.section), args.format or "ini", args.file,
                             whole=False)
    found = _strict.values(session, args.section, args.option)
    return _formats.values(args.section, args.option, found, args.format, args.file)


def _strict_change(chain: list[argparse.Namespace], session: _strict.Session) -> str:
    from kestra_ini import _formats, _strict

    steps: list[_strict.Step] = []
    for args in chain:
        if getattr(args, "mode", None) or args.command == "set" and args.bare:
            raise CommandError(args.file, "--all, --add and --bare need the default reading, not --strict")
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
    _strict.run(session, steps, may_create=_may_create(chain), defaults=defaults)
    return ""


# --- output and errors -----------------------------------------------------------------------------

def _emit(text: str) -> None:
    # Straight to the descriptor, every byte accounted for: a buffered text stream can drop the rest of a
    # large write after a short one and still report success, so `dump > file` on a full disk would exit 0
    # with half a document. Bytes of a file that are not UTF-8 go out as they came in.
    data = memoryview(text.encode("utf-8", "surrogateescape"))
    sys.stdout.flush()
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, ValueError, io.UnsupportedOperation):
        sys.stdout.write(text)
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


def _run(chain: list[argparse.Namespace], strict: _strict.Session | None) -> str:
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
        from kestra_ini import _strict

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
        print(f"kestra_ini: {where}: {message}", file=sys.stderr)
        return 1
    return 0


def _strict_describe(exc: Exception, session: _strict.Session) -> tuple[str, str] | None:
    from kestra_ini import _strict

    return _strict.describe(exc, session)


def script() -> int:
    """The kestra-ini command that pip installs: the same as python -m kestra_ini."""
    return main(prog="kestra-ini")
