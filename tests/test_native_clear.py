"""A save empties the engine natively: the same state as the engine's own clear().

Each case builds two twin engines; the store saves one (its save ends with the
engine's clear, natively where the engine is plain) and the other is emptied by
its own clear(). Both must end alike, or fail alike, and the engine's popitem
must run exactly where the native path has to decline.
"""
from __future__ import annotations

import _collections_abc
import collections.abc
import configparser
import weakref
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from conftest import runs_natively
from kestra_ini.ini_main import KestraIniMain

TEXT = "[DEFAULT]\nshared = 1\n[a]\nk = v\n[b]\n[c]\nx = %(shared)s\n"


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    """Whether `call` returned or what it raised; the save returns None whatever clear returned."""
    try:
        call()
        return ("returned",)
    except Exception as error:  # every failure is compared, whatever it is
        return "raised", type(error), str(error)


def state(engine: configparser.ConfigParser, proxies_before: dict[Any, Any]) -> Any:
    """What the engine holds: sections, defaults, and each proxy with whether it is
    the very object it was before."""
    return (
        [(type(name), name, dict(options)) for name, options in engine._sections.items()],  # type: ignore[attr-defined]
        dict(engine._defaults),  # type: ignore[attr-defined]
        [(type(name), name, name in proxies_before and proxies_before[name]() is proxy)
         for name, proxy in engine._proxies.items()],  # type: ignore[attr-defined]
    )


def many(engine: configparser.ConfigParser) -> None:
    for k in range(300):
        engine.add_section(f"s{k}")
        engine.set(f"s{k}", "o", str(k))
    for k in range(0, 300, 7):
        engine.remove_section(f"s{k}")


def proxy_for(name: Any) -> Callable[[configparser.ConfigParser], None]:
    """A section keyed `name`, set straight into the engine's structures."""
    def change(engine: configparser.ConfigParser) -> None:
        engine._sections[name] = {"k": "v"}  # type: ignore[attr-defined]
        engine._proxies[name] = configparser.SectionProxy(engine, name)  # type: ignore[attr-defined]
    return change


def own_clear(engine: configparser.ConfigParser) -> Callable[[], None]:
    def clear() -> None:
        engine.remove_section("a")
    return clear


class Name(str):
    pass


class AddsASection:
    """A value that, when released, adds a section to its engine."""

    def __init__(self, engine: configparser.ConfigParser) -> None:
        self.engine = engine

    def __del__(self) -> None:
        self.engine.add_section("late")


def setattr_on(owner: Any, name: str, value: Any) -> Callable[[pytest.MonkeyPatch], None]:
    return lambda mp: mp.setattr(owner, name, value, raising=False)


def wrapped(owner: Any, name: str) -> Callable[[pytest.MonkeyPatch], None]:
    original = getattr(owner, name)
    return setattr_on(owner, name, lambda *args: original(*args))


# (id, change to each twin engine, change to the classes or modules, native expected)
CASES: list[tuple[str, Callable[[configparser.ConfigParser], None] | None,
                  Callable[[pytest.MonkeyPatch], None] | None, bool]] = [
    ("plain", None, None, True),
    ("empty", lambda e: e.clear(), None, True),
    ("many sections", many, None, True),
    ("defaults only", lambda e: e.remove_section("a") and e.remove_section("b")
     and e.remove_section("c"), None, True),
    ("proxy left without a section",
     lambda e: e._proxies.__setitem__("ghost", configparser.SectionProxy(e, "ghost")),  # type: ignore[attr-defined]
     None, True),
    ("section without a proxy", lambda e: e._proxies.pop("b"), None, False),  # type: ignore[attr-defined]
    ("section named as the defaults", proxy_for("DEFAULT"), None, False),
    ("section keyed by an int", proxy_for(7), None, False),
    ("section keyed by a str subclass", proxy_for(Name("n")), None, False),
    ("value whose release adds a section",
     lambda e: e._sections["a"].__setitem__("k", AddsASection(e)), None, False),  # type: ignore[attr-defined]
    ("instance clear", lambda e: setattr(e, "clear", own_clear(e)), None, False),
    ("instance popitem", lambda e: setattr(e, "popitem", configparser.RawConfigParser.popitem.__get__(e)),
     None, False),
    ("instance sections", lambda e: setattr(e, "sections", list), None, False),
    ("class popitem", None, wrapped(configparser.RawConfigParser, "popitem"), False),
    ("class item access", None, wrapped(configparser.RawConfigParser, "__delitem__"), False),
    ("base class clear", None, wrapped(collections.abc.MutableMapping, "clear"), False),
    ("module KeyError", None, setattr_on(configparser, "KeyError", LookupError), False),
    ("KeyError of clear's own module", None, setattr_on(_collections_abc, "KeyError", LookupError), False),
]


@pytest.mark.parametrize("change, patch, native", [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_save_empties_the_engine_as_its_clear_does(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                    change: Any, patch: Any, native: bool) -> None:
    path = tmp_path / "settings.ini"
    path.write_text(TEXT)
    store, probe = KestraIniMain(str(path)), KestraIniMain(str(path))
    twins = []
    for _ in range(3):
        engine = configparser.ConfigParser()
        engine.read_string(TEXT)
        if change is not None:
            change(engine)
        twins.append((engine, {name: weakref.ref(proxy) for name, proxy in engine._proxies.items()}))  # type: ignore[attr-defined]
    if patch is not None:
        patch(monkeypatch)
    (saved, before_saved), (cleared, before_cleared), (probe._config, _) = twins
    store._config = saved
    assert outcome(store._save) == outcome(cleared.clear)
    assert state(saved, before_saved) == state(cleared, before_cleared)
    assert runs_natively(probe._save) is native
