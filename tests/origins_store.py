"""One engine, made one way, proven by the store, then one setting changed, in a fresh interpreter.

    python -m origins_store ORIGIN SETTING PATH

ORIGIN names an entry of ORIGINS (how the engine is made, before or after the
store's module is imported), SETTING one of CHANGES. Every store call that
follows runs natively, then again from the same state through the engine's
own code (paths.taken("engine")); prints "same" when each pair agreed, else
fails on the first that did not.
"""
from __future__ import annotations

import configparser
import copy
import pickle
import re
import sys
import types
from collections.abc import Callable, Iterator
from typing import Any

import paths

TEXT = "[DEFAULT]\nd = 1\n[s]\nk = v\np = %(d)s\n"

# One file per setting that only reading shows.
READS = ["a = 1\n[s]\nk = 2\n", "[s]\nk = 2\n[s]\nk = 3\n", "[s]\nflag\n", "[s]\n// c\nx = y ; z\n",
         "[s]\nm = 1\n\n  more\n", "[n]\nq : %(d)s\nr = 1\n"]


def new_store(path: str) -> Any:
    from kestra_ini.ini_main import KestraIniMain

    return KestraIniMain(path)


def read_first(path: str) -> configparser.ConfigParser:
    engine = configparser.ConfigParser()
    engine.read(path)
    return engine


def new_then_init(path: str) -> configparser.ConfigParser:
    engine = configparser.ConfigParser.__new__(configparser.ConfigParser)
    configparser.ConfigParser.__init__(engine)
    engine.read(path)
    return engine


def attribute_by_attribute(path: str) -> configparser.ConfigParser:
    engine = configparser.ConfigParser.__new__(configparser.ConfigParser)
    mapping = configparser.ConverterMapping.__new__(configparser.ConverterMapping)
    mapping._parser, mapping._data = engine, {}  # type: ignore[attr-defined]
    for name, value in dict(
            _dict=dict, _sections={"s": {"k": "v", "p": "%(d)s"}}, _defaults={"d": "1"},
            _converters=mapping, _proxies={}, _delimiters=("=", ":"), _optcre=configparser.ConfigParser.OPTCRE,
            _prefixes=types.SimpleNamespace(full=("#", ";"), inline=()), _strict=True, _allow_no_value=False,
            _empty_lines_in_values=True, default_section="DEFAULT", _interpolation=configparser.BasicInterpolation(),
            _allow_unnamed_section=False).items():
        setattr(engine, name, value)
    for name in ("DEFAULT", "s"):
        engine._proxies[name] = configparser.SectionProxy(engine, name)  # type: ignore[attr-defined]
    return engine


def made_first(make: Callable[[str], configparser.ConfigParser]) -> Callable[[str], tuple[Any, Any, Any]]:
    """An engine made before the store's module is imported."""
    def origin(path: str) -> tuple[Any, Any, Any]:
        engine = make(path)
        return new_store(path), engine, None
    return origin


def from_store(make: Callable[[Any], Any], held: Callable[[Any], Any] = lambda engine: None
               ) -> Callable[[str], tuple[Any, Any, Any]]:
    """An engine made from the store's own."""
    def origin(path: str) -> tuple[Any, Any, Any]:
        store = new_store(path)
        engine = make(store._config)
        return store, engine, held(engine)
    return origin


# How the engine is made: the store, the engine, and a dict of the engine held
# from before the proof (or "after": taken after it, the change made through it).
ORIGINS: dict[str, Callable[[str], tuple[Any, Any, Any]]] = {
    "first instance": made_first(read_first),
    "first, __new__ then __init__": made_first(new_then_init),
    "first, built attribute by attribute": made_first(attribute_by_attribute),
    "first, unpickled": made_first(lambda path: pickle.loads(pickle.dumps(read_first(path)))),
    "made by the store": from_store(lambda engine: engine),
    "copy.copy": from_store(copy.copy),
    "copy.deepcopy": from_store(copy.deepcopy),
    "pickle round trip": from_store(lambda engine: pickle.loads(pickle.dumps(engine))),
    "dict read before proving": from_store(lambda engine: engine, vars),
    "dict read after proving, changed through it": from_store(lambda engine: engine, lambda engine: "after"),
}

# A new value for each setting, chosen so that a store that missed it answers differently.
CHANGES: dict[str, Callable[[Any], Any]] = {
    "_sections": lambda engine: {"s": {"k": "other"}, "u": {}},
    "_defaults": lambda engine: {"d": "2"},
    "_proxies": lambda engine: {"DEFAULT": engine._proxies["DEFAULT"]},
    "_interpolation": lambda engine: configparser.Interpolation(),
    "_optcre": lambda engine: re.compile(configparser.ConfigParser._OPT_TMPL.format(delim="="), re.VERBOSE),
    "_dict": lambda engine: lambda: {"made": "here"},
    "_delimiters": lambda engine: (":", "="),
    "_strict": lambda engine: False,
    "_allow_no_value": lambda engine: True,
    "_empty_lines_in_values": lambda engine: False,
    "_allow_unnamed_section": lambda engine: True,
    "default_section": lambda engine: "s",
    "_prefixes": lambda engine: types.SimpleNamespace(full=("//",), inline=(";",)),
    "_converters": lambda engine: {},
}


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("returned", repr(call()))
    except Exception as error:  # every failure is compared, whatever it is
        return ("raised", type(error).__name__, repr(error.args))


def rewritten(path: str, text: str) -> None:
    with open(path, "w") as file:
        file.write(text)


def read_back(path: str) -> bytes:
    with open(path, "rb") as file:
        return file.read()


def calls(store: Any, engine: Any, path: str) -> Iterator[Callable[[], Any]]:
    def state() -> Any:
        return repr(engine.__dict__.get("_sections")), repr(engine.__dict__.get("_defaults"))

    for section in ("s", "DEFAULT", "u", "n"):
        yield lambda section=section: store._has_section(section)
        for option in ("k", "d", "p", "q", "made"):
            yield lambda section=section, option=option: store._get(section, option)
    yield store._sections
    yield store._get_all
    yield lambda: (store._save(), read_back(path))
    for text in READS:
        yield lambda text=text: (rewritten(path, text), store._read(), state(), store._get_all())


def snapshot(engine: Any) -> Any:
    sections, defaults, proxies = engine._sections, engine._defaults, engine._proxies
    if not isinstance(sections, dict):
        return sections, defaults, proxies
    return {name: copy.copy(options) for name, options in sections.items()}, copy.copy(defaults), copy.copy(proxies)


def main(origin: str, setting: str, path: str) -> None:
    store, engine, held = ORIGINS[origin](path)
    store._config = engine
    store._get("s", "k")  # the proof
    if held == "after":
        held = vars(engine)
        held[setting] = CHANGES[setting](engine)
    else:
        setattr(engine, setting, CHANGES[setting](engine))
    assert held is None or held is vars(engine)
    for index, call in enumerate(calls(store, engine, path)):
        saved = snapshot(engine)
        native = outcome(call)
        engine._sections, engine._defaults, engine._proxies = saved
        rewritten(path, TEXT)
        with paths.taken("engine"):
            own = outcome(call)
        assert native == own, (index, native, own)
    print("same")


if __name__ == "__main__":
    main(*sys.argv[1:])
