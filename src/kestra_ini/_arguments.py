"""The command line's argparse grammar: its help, its errors and its usage exit status are the user's reference,
and every command line the quick reading in kestra_ini.cli declines comes here."""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from kestra_ini.cli import CHANGES

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


def build_parser(prog: str, argv: Sequence[str] = ()) -> argparse.ArgumentParser:
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


def parse(parser: argparse.ArgumentParser, argv: list[str]) -> list[argparse.Namespace]:
    first, *rest = _split(argv)
    chain = [parser.parse_args(first)]
    chain += [parser.parse_args([chain[0].file, *segment]) for segment in rest]
    if len(chain) > 1 and any(args.command not in CHANGES for args in chain):
        parser.error("only set, remove, rename, merge and load can be chained with '+'")
    for args in chain:
        if args.command == "set" and (args.value is None) != args.bare:
            parser.error("set takes KEY VALUE, or KEY --bare for a key without a value")
    return chain
