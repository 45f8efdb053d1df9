"""The command line over KestraIniMain: ``python -m kestra_ini FILE COMMAND ...``.

Exit status 0 on success, 1 on a failure (one line on standard error naming the file it concerns),
2 on a usage error (argparse's own message). Standard output is UTF-8 whatever the locale, like the file.
"""
from __future__ import annotations

import argparse
import configparser
import io
import json
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from kestra_ini import _disk
from kestra_ini._edit import Data, Document, EditError, apply, classify, parse, settled, snapshot, spellings, verify
from kestra_ini.ini_main import KestraIniMain

PROG = "python -m kestra_ini"

_EPILOG = """\
exit status: 0 success, 1 failure (one line on standard error), 2 usage error.
Read-only commands and remove need FILE to exist; set and load create it.
set, remove and load change only the lines concerned: comments, spelling, spacing, line ends and
byte-order mark stay as they were; concurrent edits of one file wait for each other.
set takes a literal '%' written '%%' (set --raw takes VALUE as written); load takes values as
dump --raw prints them."""


class CommandError(Exception):
    """An expected failure, reported as "kestra_ini: WHERE: MESSAGE"."""

    def __init__(self, where: str, message: str) -> None:
        super().__init__(message)
        self.where = where
        self.message = message


class _JSONNumber(str):
    """A JSON number kept as the text it was written with (8080, 1e3), so no float rounding happens."""


class _Session:
    """The file a command works on, and what its messages need to know of it."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.document: Document | None = None
        self.names: dict[tuple[str, str], str] = {}

    def open(self, data: bytes, *, raw: bool = False) -> configparser.ConfigParser:
        """The engine loaded from the file's bytes, raising the engine's own errors for a file it refuses."""
        try:
            self.document = Document.decode(data)
        except UnicodeDecodeError as exc:
            raise CommandError(self.path, _disk.not_utf8(exc)) from None
        engine = parse(self.document, self.path, raw=raw)
        self.names = spellings(self.document.lines, classify(self.document.lines, engine.optionxform))
        return engine

    def spell(self, section: str, key: str) -> str:
        """An option's name as the file spells it (a default's spelling for an inherited one)."""
        return self.names.get((section, key)) or self.names.get((configparser.DEFAULTSECT, key)) or key

    def line(self, number: int) -> str:
        lines = self.document.lines if self.document else []
        return lines[number - 1].text if 0 < number <= len(lines) else ""


class _Store(KestraIniMain):
    """The store over an engine loaded from bytes the command line read itself, so that the bytes it edits
    are the bytes the store judged. With `defaults` true, the default section takes options like any other
    (a raw dump lists it as a section of its own, and loading the dump must put it back)."""

    def __init__(self, path: str, engine: configparser.ConfigParser, *, defaults: bool = False) -> None:
        self._engine = engine
        self._defaults_settable = defaults
        super().__init__(path)

    def _set_path(self) -> None:
        self._config = self._engine

    def _has_section(self, section: str) -> bool:
        if self._defaults_settable and section == self._config.default_section:
            return True
        return super()._has_section(section)


@dataclass(frozen=True)
class _Change:
    """What a change may touch: options by (section, key), with the name the command spelled each one, and
    sections that may go whole. Anything else that differs afterwards means the edit is not to be trusted."""

    options: dict[tuple[str, str], str] = field(default_factory=dict)
    sections: frozenset[str] = frozenset()

    def check(self, before: Data, after: Data) -> None:
        for section in dict.fromkeys([*before, *after]):
            if section in self.sections:
                continue
            old, new = before.get(section), after.get(section)
            if old is None and new is not None and all((section, key) in self.options for key in new):
                continue
            if old is None or new is None:
                raise EditError(f"section {section!r} would change as well")
            for key in dict.fromkeys([*old, *new]):
                if (section, key) not in self.options and old.get(key) != new.get(key):
                    raise EditError(f"option {key!r} in section {section!r} would change as well")


# --- reading and editing ---------------------------------------------------------------------------

def _load(session: _Session) -> _Store:
    data = _disk.read(session.path)
    assert data is not None
    return _Store(session.path, session.open(data))


def _edit(session: _Session, change: Callable[[_Store], _Change | None], *, may_create: bool,
          raw: bool = False, defaults: bool = False) -> None:
    """Runs `change` on the store, then writes the file with only the lines of what changed rewritten.

    The store judges the change (its refusals, the engine's checks); the new text must then read back as
    exactly what the store would hold after saving, or nothing is written. From the read to the rename no
    other edit of the file can run, so none is lost."""
    path = session.path
    with _disk.exclusive(path):
        data = _disk.read(path, may_create=may_create)
        engine = session.open(data or b"", raw=raw)
        assert session.document is not None
        store = _Store(path, engine, defaults=defaults)
        before = snapshot(engine)
        allowed = change(store)
        if allowed is None:
            return
        after = settled(engine)
        allowed.check(before, after)
        edited = apply(session.document, before, after, engine.optionxform, allowed.options).encode()
        verify(edited, after, path)
        if edited != data:
            _disk.write(path, edited)


# --- commands --------------------------------------------------------------------------------------

def _cmd_sections(args: argparse.Namespace, session: _Session) -> str:
    return _lines(_load(session)._sections())


def _cmd_options(args: argparse.Namespace, session: _Session) -> str:
    return _lines(_load(session)._options(args.section))


def _cmd_get(args: argparse.Namespace, session: _Session) -> str:
    store = _load(session)
    if args.raw:
        value = store._config.get(args.section, args.option, raw=True)
    else:
        value = store._get(args.section, args.option)
    return value + "\n"


def _cmd_set(args: argparse.Namespace, session: _Session) -> str:
    section, option = args.section, args.option

    def change(store: _Store) -> _Change:
        store._set(section, option, args.value, save=False)
        return _Change({(section, store._config.optionxform(option)): option})

    _edit(session, change, may_create=True, raw=args.raw)
    return ""


def _cmd_remove(args: argparse.Namespace, session: _Session) -> str:
    section, option = args.section, args.option

    def change(store: _Store) -> _Change | None:
        if option is None:
            removed = store._remove_section(section, save=False)
            missing = f"no section {section!r}"
        elif not store._has_section(section):
            removed, missing = False, f"no section {section!r}"
        else:
            removed = store._remove_option(section, option, save=False)
            missing = f"no option {option!r} in section {section!r}"
            if not removed and store._has_option(section, option):
                missing = f"option {option!r} in section {section!r} comes from [{store._config.default_section}]"
        if removed:
            if option is None:
                return _Change(sections=frozenset([section]))
            return _Change({(section, store._config.optionxform(option)): option})
        if not args.missing_ok:
            raise CommandError(args.file, missing)
        return None

    _edit(session, change, may_create=False)
    return ""


def _cmd_dump(args: argparse.Namespace, session: _Session) -> str:
    store = _load(session)
    if args.raw:
        # Each section with its own options and the defaults as a section of their own: what load puts back.
        sections = snapshot(store._config)
        if not sections[store._config.default_section]:
            del sections[store._config.default_section]
    else:
        sections = store._get_all()
    return json.dumps(sections, indent=2, ensure_ascii=False) + "\n"


def _cmd_load(args: argparse.Namespace, session: _Session) -> str:
    # The whole document is read and checked before the file is; the store then takes it in memory and a
    # refusal part way leaves the file as it was. Values go in as they are, as dump --raw prints them.
    sections = _sections_from_json(args.json_file)

    def change(store: _Store) -> _Change:
        store._set_all(sections, save=False)
        key = store._config.optionxform
        return _Change({(name, key(option)): option for name, options in sections.items() for option in options})

    _edit(session, change, may_create=True, raw=True, defaults=True)
    return ""


# --- JSON input ------------------------------------------------------------------------------------

def _json_kind(value: object) -> str:
    if isinstance(value, _JSONNumber):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, list):
        return "an array"
    return json.dumps(value)  # true, false, null


def _sections_from_json(source: str) -> dict[str, dict[str, str]]:
    name = "<stdin>" if source == "-" else source
    if source == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(source, "rb") as file:
            data = file.read()

    def unique_keys(pairs: list[tuple[str, object]]) -> dict[str, object]:
        result: dict[str, object] = {}
        for key, value in pairs:
            if key in result:
                raise CommandError(name, f"key {key!r} appears twice in one JSON object")
            result[key] = value
        return result

    def no_constant(text: str) -> object:
        raise CommandError(name, f"not valid JSON: {text} is not a JSON number")

    try:
        document = json.loads(data, parse_int=_JSONNumber, parse_float=_JSONNumber,
                              parse_constant=no_constant, object_pairs_hook=unique_keys)
    except UnicodeDecodeError as exc:
        raise CommandError(name, f"not UTF-8 text ({exc.reason})") from None
    except json.JSONDecodeError as exc:
        raise CommandError(name, f"not valid JSON: {exc.msg} at line {exc.lineno} column {exc.colno}") from None

    if not isinstance(document, dict):
        raise CommandError(name, f"expected a JSON object of sections, found {_json_kind(document)}")
    sections: dict[str, dict[str, str]] = {}
    for section, options in document.items():
        if not isinstance(options, dict):
            raise CommandError(name, f"section {section!r}: expected an object of options, "
                                     f"found {_json_kind(options)}")
        clean: dict[str, str] = {}
        for option, value in options.items():
            if not isinstance(value, str):
                raise CommandError(name, f"option {option!r} in section {section!r}: "
                                         f"expected a string or a number, found {_json_kind(value)}")
            clean[option] = str(value)
        sections[section] = clean
    return sections


# --- output and errors -----------------------------------------------------------------------------

def _lines(items: Sequence[str]) -> str:
    return "".join(f"{item}\n" for item in items)


def _emit(text: str) -> None:
    # Straight to the descriptor, as UTF-8 whatever the locale, and every byte accounted for: a buffered
    # text stream can drop the rest of a large write after a short one and still report success, so
    # `dump > file` on a full disk would exit 0 with half a document.
    data = memoryview(text.encode("utf-8"))
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


def _one_line(text: str) -> str:
    return "; ".join(part.strip() for part in text.splitlines() if part.strip())


def _describe(exc: Exception, session: _Session) -> tuple[str, str] | None:
    """(where, message) for an error a user can cause; None for anything that is a bug."""
    path = session.path
    if isinstance(exc, CommandError):
        return exc.where, exc.message
    if isinstance(exc, OSError):
        where = os.fsdecode(exc.filename) if isinstance(exc.filename, (str, bytes, os.PathLike)) else path
        return where, exc.strerror or _one_line(str(exc))
    if isinstance(exc, EditError):
        return path, f"nothing written: {exc}"
    if isinstance(exc, configparser.MissingSectionHeaderError):
        return path, f"line {exc.lineno}: text before the first section header: {exc.line.rstrip(chr(10))!r}"
    if isinstance(exc, configparser.ParsingError):
        lineno, line = exc.errors[0]
        more = len(exc.errors) - 1
        extra = f" (and {more} more line{'s' if more > 1 else ''})" if more else ""
        return path, f"line {lineno}: cannot parse {line.rstrip(chr(10))!r}{extra}"
    if isinstance(exc, configparser.DuplicateSectionError):
        return path, f"line {exc.lineno}: section {exc.section!r} appears twice"
    if isinstance(exc, configparser.DuplicateOptionError):
        found = configparser.ConfigParser.OPTCRE.match(session.line(exc.lineno or 0).strip())
        name = found.group("option").rstrip() if found else exc.option
        return path, (f"line {exc.lineno}: option {name!r} appears twice in section {exc.section!r}"
                      " (names are compared in lower case)")
    if isinstance(exc, configparser.NoSectionError):
        return path, f"no section {exc.section!r}"
    if isinstance(exc, configparser.NoOptionError):
        return path, f"no option {exc.option!r} in section {exc.section!r}"
    if type(exc) is ValueError and str(exc).startswith("invalid interpolation syntax"):
        return path, f"{_one_line(str(exc))} (a literal '%' is written '%%')"
    if isinstance(exc, configparser.InterpolationError):
        return path, f"{_name_in_message(exc, session)} (--raw shows values as written; a literal '%' is written '%%')"
    if isinstance(exc, (configparser.Error, ValueError)):
        # The store's refusals of names and values, and the engine's other complaints.
        return path, _one_line(str(exc))
    return None


def _name_in_message(exc: configparser.InterpolationError, session: _Session) -> str:
    """The engine's message, naming the option as the file spells it rather than as the engine keys it."""
    text = _one_line(str(exc))
    name = session.spell(str(exc.section), exc.option)  # the unnamed section never occurs: it is not enabled
    keyed = f"option {exc.option!r}"
    if keyed in text:
        return text.replace(keyed, f"option {name!r}", 1)
    return f"option {name!r} in section {exc.section!r}: {text}"


def _build_parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog, description="Read and change one INI settings file through KestraIniMain.",
        epilog=f"{prog} FILE COMMAND --help shows the help of one command.\n{_EPILOG}",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", metavar="FILE", help="the INI file")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, summary: str,
                handler: Callable[[argparse.Namespace, _Session], str]) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary, epilog=_EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(handler=handler)
        return sub

    command("sections", "print the section names, one a line, in file order", _cmd_sections)
    sub = command("options", "print the option names of SECTION, one a line", _cmd_options)
    sub.add_argument("section", metavar="SECTION")
    sub = command("get", "print the value of OPTION in SECTION as it is, followed by a newline", _cmd_get)
    sub.add_argument("section", metavar="SECTION")
    sub.add_argument("option", metavar="OPTION")
    sub.add_argument("--raw", action="store_true", help="print the value as written, without %%-interpolation")
    sub = command("set", "set OPTION in SECTION to VALUE, adding the section (and FILE) if missing", _cmd_set)
    sub.add_argument("section", metavar="SECTION")
    sub.add_argument("option", metavar="OPTION")
    sub.add_argument("value", metavar="VALUE", help="the text to store; put -- before a VALUE that starts with -")
    sub.add_argument("--raw", action="store_true",
                     help="store VALUE as written, a lone '%%' included (desktop entries' %%F, systemd's %%i)")
    sub = command("remove", "remove SECTION, or only OPTION from it; a miss is an error", _cmd_remove)
    sub.add_argument("section", metavar="SECTION")
    sub.add_argument("option", metavar="OPTION", nargs="?")
    sub.add_argument("--missing-ok", action="store_true",
                     help="succeed without a message when there is nothing to remove")
    sub = command("dump", "print the whole configuration as a JSON object of sections", _cmd_dump)
    sub.add_argument("--raw", action="store_true",
                     help="values as written, without %%-interpolation (what load takes back exactly)")
    sub = command("load", "merge a JSON object of sections into FILE; '-' reads standard input", _cmd_load)
    sub.add_argument("json_file", metavar="JSON_FILE")
    return parser


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    args = _build_parser(prog).parse_args(argv)
    session = _Session(args.file)
    try:
        _emit(args.handler(args, session))
    except BrokenPipeError:
        return 1  # the reader went away (| head): nothing left to say to anyone
    except Exception as exc:
        described = _describe(exc, session)
        if described is None:
            raise
        where, message = described
        print(f"kestra_ini: {where}: {message}", file=sys.stderr)
        return 1
    return 0


def script() -> int:
    """The kestra-ini command that pip installs: the same as python -m kestra_ini."""
    return main(prog="kestra-ini")
