"""What the command line prints (--format) and the JSON documents that load takes."""
from __future__ import annotations

import re
import sys

from kestra_ini._errors import CommandError

TYPE_CHECKING = False
if TYPE_CHECKING:
    # Sections in order, each with its (key, value) pairs in order; a value is None for a bare key.
    View = list[tuple[str, list[tuple[str, str | None]]]]
FORMATS = ("json", "ini", "lines", "sh")
_SHELL_NAME = r"[A-Za-z_][A-Za-z0-9_]*"  # compiled when --format=sh asks, not by every query


def _grouped(items: list[tuple[str, str | None]]) -> dict[str, str | None | list[str | None]]:
    """A key's value, or the list of its values for a key given more than once."""
    result: dict[str, str | None | list[str | None]] = {}
    counts: dict[str, int] = {}
    for key, _ in items:
        counts[key] = counts.get(key, 0) + 1
    for key, value in items:
        if counts[key] == 1:
            result[key] = value
        else:
            listed = result.setdefault(key, [])
            assert isinstance(listed, list)
            listed.append(value)
    return result


def _json(value: object) -> str:
    import json  # only when asked for: it costs a start-up

    return json.dumps(value, indent=2, ensure_ascii=False) + "\n"


def _pair(key: str, value: str | None) -> str:
    if value is None:
        return key
    first, *rest = value.split("\n")
    return "".join([f"{key} = {first}".rstrip(), *(f"\n\t{line}" if line else "\n" for line in rest)])


def _shell(section: str, key: str, value: str | None, where: str) -> str:
    import shlex

    if not re.fullmatch(_SHELL_NAME, key):
        raise CommandError(where, f"key {key!r} in section {section!r} is not a shell variable name; "
                                  "--format=lines or json shows it")
    return f"{key}={shlex.quote(value or '')}"


def _shell_lines(section: str, items: list[tuple[str, str | None]], where: str) -> list[str]:
    seen: set[str] = set()
    for key, _ in items:
        if key in seen:
            raise CommandError(where, f"key {key!r} in section {section!r} has more than one value; "
                                      "--format=lines or json shows them all")
        seen.add(key)
    return [_shell(section, key, value, where) for key, value in items]


def view_json(names: list[str]) -> str:
    """Names (of sections or keys) as a JSON array."""
    return _json(names)


def view(data: View, form: str, where: str, *, whole: bool = True) -> str:
    """Sections and their keys in a format: for dump, or get SECTION when not `whole`."""
    if form == "json":
        return _json({section: _grouped(items) for section, items in data})
    out: list[str] = []
    for section, items in data:
        if form == "lines":
            out += [f"[{section}] {_pair(key, value)}" for key, value in items]
        elif form == "sh":
            out += ([f"# [{section}]"] if whole else []) + _shell_lines(section, items, where)
        else:
            if out:
                out.append("")
            out += ([f"[{section}]"] if section else []) + [_pair(k, v) for k, v in items]
    return "".join(line + "\n" for line in out)


def values(section: str, key: str, found: list[str | None], form: str | None, where: str) -> str:
    """The values of one key: for get SECTION KEY; by default each value as it is, one after the other."""
    if form == "json":
        return _json(found[0] if len(found) == 1 else found)
    if form == "sh":
        return "".join(line + "\n" for line in _shell_lines(section, [(key, v) for v in found], where))
    if form == "ini":
        return "".join(_pair(key, value) + "\n" for value in found)
    if form == "lines":
        return "".join(f"[{section}] {_pair(key, value)}\n" for value in found)
    return "".join((value or "") + "\n" for value in found)


# --- JSON input ------------------------------------------------------------------------------------

class _JSONNumber(str):
    """A JSON number kept as the text it was written with (8080, 1e3), so no float rounding happens."""


def _json_kind(value: object) -> str:
    if isinstance(value, _JSONNumber):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, list):
        return "an array"
    return _json(value).strip()  # true, false, null


def read_input(source: str) -> tuple[str, bytes]:
    """(name for messages, bytes) of a file named on the command line, '-' being standard input."""
    if source == "-":
        return "<stdin>", sys.stdin.buffer.read()
    with open(source, "rb") as file:
        return source, file.read()


def sections_from_json(source: str, *, tolerant: bool) -> dict[str, dict[str, list[str | None]]]:
    """The document of load: sections of options, each a string or a number; with `tolerant`, also null for
    a bare key and an array of them for a key given more than once, as dump prints them."""
    import json

    name, data = read_input(source)

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
    sections: dict[str, dict[str, list[str | None]]] = {}
    for section, options in document.items():
        if not isinstance(options, dict):
            raise CommandError(name, f"section {section!r}: expected an object of options, "
                                     f"found {_json_kind(options)}")
        clean: dict[str, list[str | None]] = {}
        for option, value in options.items():
            listed = value if tolerant and isinstance(value, list) and value else [value]
            for item in listed:
                if not (isinstance(item, str) or tolerant and item is None):
                    wanted = "a string, a number, null or an array of them" if tolerant else "a string or a number"
                    raise CommandError(name, f"option {option!r} in section {section!r}: "
                                             f"expected {wanted}, found {_json_kind(item)}")
            clean[option] = [None if item is None else str(item) for item in listed]
        sections[section] = clean
    return sections
