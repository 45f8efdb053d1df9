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

from kestra_ini.ini_main import KestraIniMain

PROG = "python -m kestra_ini"

_EPILOG = """\
exit status: 0 success, 1 failure (one line on standard error), 2 usage error.
Read-only commands and remove need FILE to exist; set and load create it.
Option names are lower-cased by the engine; a literal '%' in a value is written '%%'."""


class CommandError(Exception):
    """An expected failure, reported as "kestra_ini: WHERE: MESSAGE"."""

    def __init__(self, where: str, message: str) -> None:
        super().__init__(message)
        self.where = where
        self.message = message


class _JSONNumber(str):
    """A JSON number kept as the text it was written with (8080, 1e3), so no float rounding happens."""


# --- opening the store -----------------------------------------------------------------------------

def _open_store(path: str, *, may_create: bool) -> KestraIniMain:
    # The engine silently passes over a file it cannot open and loads nothing, so an unreadable file or a
    # directory would look like an empty configuration (and a save would then replace the unreadable file).
    # Opening it here first turns those cases into the operating system's own error.
    try:
        with open(path, "rb"):
            pass
    except FileNotFoundError:
        if not may_create:
            raise
    return KestraIniMain(path)


# --- commands --------------------------------------------------------------------------------------

def _cmd_sections(args: argparse.Namespace) -> str:
    store = _open_store(args.file, may_create=False)
    return _lines(store._sections())


def _cmd_options(args: argparse.Namespace) -> str:
    store = _open_store(args.file, may_create=False)
    return _lines(store._options(args.section))


def _cmd_get(args: argparse.Namespace) -> str:
    store = _open_store(args.file, may_create=False)
    if args.raw:
        value = store._config.get(args.section, args.option, raw=True)
    else:
        value = store._get(args.section, args.option)
    return value + "\n"


def _cmd_set(args: argparse.Namespace) -> str:
    store = _open_store(args.file, may_create=True)
    # With a true save, _set would already write a new section before the engine's set could still refuse
    # the value ("50%"); changing the engine only and saving once keeps a failed set off the disk.
    store._set(args.section, args.option, args.value, save=False)
    store._save()
    return ""


def _cmd_remove(args: argparse.Namespace) -> str:
    store = _open_store(args.file, may_create=False)
    section, option = args.section, args.option
    # Removing with save=False first tells whether anything went, so a miss leaves the file untouched.
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
        store._save()
    elif not args.missing_ok:
        raise CommandError(args.file, missing)
    return ""


def _cmd_dump(args: argparse.Namespace) -> str:
    store = _open_store(args.file, may_create=False)
    if args.raw:
        config = store._config
        sections = {name: dict(config.items(name, raw=True)) for name in store._sections()}
    else:
        sections = store._get_all()
    return json.dumps(sections, indent=2, ensure_ascii=False) + "\n"


def _cmd_load(args: argparse.Namespace) -> str:
    # The whole document is read and checked before the store is opened; _set_all then changes the engine
    # with save=False inside and writes once, so a refusal part way leaves the file as it was.
    sections = _sections_from_json(args.json_file)
    store = _open_store(args.file, may_create=True)
    store._set_all(sections)
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


def _describe(exc: Exception, path: str) -> tuple[str, str] | None:
    """(where, message) for an error a user can cause; None for anything that is a bug."""
    if isinstance(exc, CommandError):
        return exc.where, exc.message
    if isinstance(exc, OSError):
        where = os.fsdecode(exc.filename) if isinstance(exc.filename, (str, bytes, os.PathLike)) else path
        return where, exc.strerror or _one_line(str(exc))
    if isinstance(exc, UnicodeDecodeError):
        return path, f"not UTF-8 text ({exc.reason})"
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
        return path, f"line {exc.lineno}: option {exc.option!r} appears twice in section {exc.section!r}"
    if isinstance(exc, configparser.NoSectionError):
        return path, f"no section {exc.section!r}"
    if isinstance(exc, configparser.NoOptionError):
        return path, f"no option {exc.option!r} in section {exc.section!r}"
    if isinstance(exc, configparser.InterpolationSyntaxError) or (
            type(exc) is ValueError and str(exc).startswith("invalid interpolation syntax")):
        return path, f"{_one_line(str(exc))} (a literal '%' is written '%%')"
    if isinstance(exc, configparser.InterpolationError):
        return path, f"{_one_line(str(exc))} (--raw shows the value as written)"
    if isinstance(exc, (configparser.Error, ValueError)):
        # The store's refusals of names and values, and the engine's other complaints.
        return path, _one_line(str(exc))
    return None


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Read and change one INI settings file through KestraIniMain.",
        epilog=f"{PROG} FILE COMMAND --help shows the help of one command.\n{_EPILOG}", formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", metavar="FILE", help="the INI file")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, summary: str,
                handler: Callable[[argparse.Namespace], str]) -> argparse.ArgumentParser:
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


def main(argv: Sequence[str] | None = None) -> int:
    args = _build_parser().parse_args(argv)
    try:
        _emit(args.handler(args))
    except BrokenPipeError:
        return 1  # the reader went away (| head): nothing left to say to anyone
    except Exception as exc:
        described = _describe(exc, args.file)
        if described is None:
            raise
        where, message = described
        print(f"kestra_ini: {where}: {message}", file=sys.stderr)
        return 1
    return 0
