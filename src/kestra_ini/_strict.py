"""The command line over the engine's own grammar (--strict, --expand): the store judges every change.

The file must load in configparser as the class loads it; names are compared in lower case, [DEFAULT] lends
its options to every section, and --expand gives the class's %-interpolated view and its '%' checks.
"""
from __future__ import annotations

import configparser
import io
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field

from kestra_ini import _disk, _files, changes, document, encodings
from kestra_ini._errors import CommandError, describe_common, one_line
from kestra_ini.changes import ChangeError
from kestra_ini.grammars import ENGINE
from kestra_ini.ini_main import KestraIniMain

View = list[tuple[str, list[tuple[str, str | None]]]]
# section name -> option key -> raw value; the default section first, every section with its own options only.
Data = dict[str, dict[str, str]]


class Session:
    """The file a command works on, and what its messages need to know of it."""

    def __init__(self, path: str, *, expand: bool = False) -> None:
        self.path = path
        self.expand = expand
        self.document: document.Document | None = None

    def open(self, data: bytes, *, raw: bool = False) -> configparser.ConfigParser:
        """The engine loaded from the file's bytes, raising the engine's own errors for a file it refuses.
        The file must be UTF-8, as the class reads it."""
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise CommandError(self.path, _disk.not_utf8(exc)) from None
        text, encoding = encodings.decode(data, "utf-8")
        self.document = document.Document(document.split_lines(text), ENGINE, encoding)
        engine = configparser.ConfigParser(interpolation=None) if raw else configparser.ConfigParser()
        engine.read_string("".join(line.text + "\n" for line in self.document.lines), source=self.path)
        return engine

    def spell(self, section: str, key: str) -> str:
        """An option's name as the file spells it (a default's spelling for an inherited one)."""
        doc = self.document
        if doc is None:
            return key
        for name in (section, configparser.DEFAULTSECT):
            spelled = doc.spelling(name, key)
            if spelled != key or key in doc.keys(name):
                return spelled
        return key

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
class Change:
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
                raise ChangeError(f"nothing written: section {section!r} would change as well")
            for key in dict.fromkeys([*old, *new]):
                if (section, key) not in self.options and old.get(key) != new.get(key):
                    raise ChangeError(f"nothing written: option {key!r} in section {section!r} would change as well")

    def __or__(self, other: Change) -> Change:
        return Change({**self.options, **other.options}, self.sections | other.sections)


Step = Callable[[_Store], Change | None]


# --- reading ---------------------------------------------------------------------------------------

def _load(session: Session) -> _Store:
    return _Store(session.path, session.open(_files.load(session.path), raw=not session.expand))


def sections(session: Session) -> list[str]:
    return _load(session)._sections()


def options(session: Session, section: str) -> list[str]:
    return _load(session)._options(section)


def values(session: Session, section: str, option: str) -> list[str | None]:
    store = _load(session)
    return [store._get(section, option)]


def section_view(session: Session, section: str) -> View:
    """The options of one section, the defaults' included, as get SECTION shows them."""
    store = _load(session)
    if not store._has_section(section):
        raise configparser.NoSectionError(section)
    return [(section, list(store._get_option(section).items()))]


def dump_view(session: Session) -> View:
    store = _load(session)
    if session.expand:
        data = store._get_all()
    else:
        # Each section with its own options and the defaults as a section of their own: what load puts back.
        data = snapshot(store._config)
        if not data[store._config.default_section]:
            del data[store._config.default_section]
    return [(name, list(items.items())) for name, items in data.items()]


# --- editing ---------------------------------------------------------------------------------------

def edited(session: Session, data: bytes | None, steps: Sequence[Step], *, defaults: bool = False) -> bytes | None:
    """The file's bytes after every step ran on one store, with only the lines of what changed rewritten; None
    when no step changed anything.

    The store judges each change (its refusals, the engine's checks); the document model then makes the same
    change in the file's lines, and the engine must read the new text as exactly what the store would hold
    after saving, or nothing is written."""
    engine = session.open(data or b"", raw=not session.expand)
    assert session.document is not None
    store = _Store(session.path, engine, defaults=defaults)
    before = snapshot(engine)
    allowed = None
    for step in steps:
        change = step(store)
        if change is not None:
            allowed = change if allowed is None else allowed | change
    if allowed is None:
        return None
    after = settled(engine)
    allowed.check(before, after)
    new = changes.edit(session.document, model_changes(before, after, allowed.options)).encode()
    verify(new, after, session.path)
    return new


def model_changes(before: Data, after: Data, names: Mapping[tuple[str, str], str]) -> list[object]:
    """The document model's changes that take the file from holding `before` to holding `after`; `names`
    spells new options, by (section, key)."""
    result: list[object] = [changes.RemoveSection(section) for section in before if section not in after]
    for section, options in after.items():
        old = before.get(section)
        if old is None and not options:
            result.append(changes.AddSection(section))
        old = old or {}
        result += [changes.Remove(section, key) for key in old if key not in options]
        result += [changes.Set(section, names.get((section, key), key), value) for key, value in options.items()
                   if old.get(key) != value]
    return result


def snapshot(engine: configparser.RawConfigParser) -> Data:
    # configparser offers no public view of a section's own options without the defaults merged in.
    sections: Mapping[str, Mapping[str, str]] = engine._sections  # type: ignore[attr-defined]
    data: Data = {engine.default_section: dict(engine.defaults())}
    data.update((name, dict(options)) for name, options in sections.items())
    return data


def settled(engine: configparser.RawConfigParser) -> Data:
    """What the engine would hold after writing itself to a file and reading it back, as the store's save does."""
    text = io.StringIO()
    engine.write(text)
    reread = configparser.ConfigParser(interpolation=None)
    reread.read_string(text.getvalue())
    return snapshot(reread)


def verify(data: bytes, intended: Data, source: str) -> None:
    """Raises ChangeError unless the engine reads `data` as exactly `intended`, order included."""
    engine = configparser.ConfigParser(interpolation=None)
    try:
        engine.read_string(data.decode("utf-8-sig"), source=source)
    except (configparser.Error, UnicodeDecodeError) as exc:
        raise ChangeError(f"nothing written: the edited text would not load ({type(exc).__name__})") from None
    got = snapshot(engine)
    if [(k, list(v.items())) for k, v in got.items()] != [(k, list(v.items())) for k, v in intended.items()]:
        raise ChangeError("nothing written: the edited text would read back differently")


def set_step(where: str, section: str, option: str, value: str, *, existing: bool) -> Step:
    def step(store: _Store) -> Change:
        if existing and not store._has_option(section, option):
            missing = f"no option {option!r} in section {section!r}" if store._has_section(section) else \
                f"no section {section!r}"
            raise CommandError(where, missing)
        store._set(section, option, value, save=False)
        return Change({(section, store._config.optionxform(option)): option})

    return step


def remove_step(where: str, section: str, option: str | None, *, missing_ok: bool) -> Step:
    def step(store: _Store) -> Change | None:
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
                return Change(sections=frozenset([section]))
            return Change({(section, store._config.optionxform(option)): option})
        if not missing_ok:
            raise CommandError(where, missing)
        return None

    return step


def load_step(data: dict[str, dict[str, str]]) -> Step:
    # Values go in as they are, as dump prints them without --expand.
    def step(store: _Store) -> Change:
        store._set_all(data, save=False)
        key = store._config.optionxform
        return Change({(name, key(option)): option for name, items in data.items() for option in items})

    return step


def merge_step(where: str, text: str, *, existing: bool) -> Step:
    """The sections and options of INI text in the engine's grammar, set one by one as the text has them."""
    source = configparser.ConfigParser(interpolation=None)
    try:
        source.read_string(text, source=where)
    except configparser.Error as exc:
        raise CommandError(where, one_line(str(exc))) from None
    data = snapshot(source)
    steps = [set_step(where, name, option, value, existing=existing)
             for name, items in data.items() for option, value in items.items()]
    empty = [name for name, items in data.items() if not items and name != source.default_section]

    def step(store: _Store) -> Change:
        for name in empty:
            if not store._has_section(name):
                if existing:
                    raise CommandError(where, f"no section {name!r}")
                store._set_section(name, save=False)
        change = Change(sections=frozenset(empty))
        for each in steps:
            done = each(store)
            if done is not None:
                change = change | done
        return change

    return step


# --- errors ----------------------------------------------------------------------------------------

def describe(exc: Exception, session: Session) -> tuple[str, str] | None:
    """(where, message) for an error a user can cause; None for anything that is a bug."""
    path = session.path
    common = describe_common(exc, path)
    if common is not None:
        return common
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
        return path, f"{one_line(str(exc))} (a literal '%' is written '%%', or leave out --expand)"
    if isinstance(exc, configparser.InterpolationError):
        return path, f"{_name_in_message(exc, session)} (without --expand values show as written)"
    if isinstance(exc, (configparser.Error, ValueError)):
        # The store's refusals of names and values, and the engine's other complaints.
        return path, one_line(str(exc))
    return None


def _name_in_message(exc: configparser.InterpolationError, session: Session) -> str:
    """The engine's message, naming the option as the file spells it rather than as the engine keys it."""
    text = one_line(str(exc))
    name = session.spell(str(exc.section), exc.option)  # the unnamed section never occurs: it is not enabled
    keyed = f"option {exc.option!r}"
    if keyed in text:
        return text.replace(keyed, f"option {name!r}", 1)
    return f"option {name!r} in section {exc.section!r}: {text}"
