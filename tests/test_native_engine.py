"""The native paths against the engine's own code.

A store whose every call runs with a sys.monitoring listener takes the
engine's own path (paths.taken("engine")), so it is the reference: every
load, query, change, render and error of the plain store must match it
exactly.
"""
from __future__ import annotations

import collections
import configparser
import gc
import glob
import itertools
import os
import re
import sys
import time
import tracemalloc
import types
from collections.abc import Callable, Iterator
from functools import partial
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import paths
from conftest import audit_hooks_run, engine_frames, runs_natively
from kestra_ini.ini_main import KestraIniMain


class Engine(configparser.ConfigParser):
    pass


class EngineStore(KestraIniMain):
    """The same store over an engine that takes the engine's own path."""

    def _set_path(self) -> None:
        self._config = Engine()
        self._read()


class Observed:
    """A store each of whose calls takes the engine's own path."""

    def __init__(self, store: KestraIniMain) -> None:
        object.__setattr__(self, "store", store)

    def __getattr__(self, name: str) -> Any:
        value = getattr(self.store, name)
        if not callable(value):
            return value

        def observed(*args: Any, **kwargs: Any) -> Any:
            with paths.taken("engine"):
                return value(*args, **kwargs)
        return observed

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self.store, name, value)


# --- what is compared ------------------------------------------------------------------

def plain(obj: Any) -> Any:
    """A comparable form of an error's contents; the engine's lines are str subclasses."""
    if isinstance(obj, (list, tuple)):
        return type(obj), [plain(item) for item in obj]
    if isinstance(obj, dict):
        return {key: plain(value) for key, value in obj.items()}
    if isinstance(obj, str) and type(obj) is not str:
        return type(obj).__name__, str(obj), plain(vars(obj))
    if isinstance(obj, BaseException):
        return type(obj), str(obj), plain(obj.args), plain(vars(obj))
    return type(obj), obj


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return "returned", plain(call())
    except Exception as error:  # every failure is compared, whatever it is
        chained = (error.__cause__, type(error.__context__), error.__suppress_context__)
        return "raised", plain(error), chained


def snapshot(engine: configparser.ConfigParser) -> Any:
    def options(mapping: dict[str, Any]) -> list[tuple[str, type, Any]]:
        return [(key, type(value), value) for key, value in mapping.items()]

    return (
        [(name, options(section)) for name, section in engine._sections.items()],  # type: ignore[attr-defined]
        options(engine._defaults),  # type: ignore[attr-defined]
        [(name, type(proxy), proxy._name, proxy._parser is engine)
         for name, proxy in engine._proxies.items()],  # type: ignore[attr-defined]
    )


def stored(store: KestraIniMain, section: str, option: str) -> Any:
    engine = store._config
    return collections.ChainMap(engine._sections.get(section, {}), engine._defaults).get(option.lower())


def query_outcomes(store: KestraIniMain, names: list[str], keys: list[str]) -> list[Any]:
    results: list[Any] = [outcome(store._sections), outcome(store._get_all)]
    for section in names:
        results += [outcome(partial(store._has_section, section)), outcome(partial(store._options, section)),
                    outcome(partial(store._get_option, section))]
        for key in keys:
            results += [outcome(partial(store._has_option, section, key)), outcome(partial(store._get, section, key))]
            try:  # the engine hands back its own stored object where it can
                results.append(store._get(section, key) is stored(store, section, key))
            except configparser.Error:
                pass
    return results


def names_and_keys(*stores: KestraIniMain) -> tuple[list[str], list[str]]:
    names = ["DEFAULT", "", "missing", "S"]
    keys = ["missing", "K", "İ"]
    for store in stores:
        names += list(store._config._sections)
        for section in [*store._config._sections.values(), store._config._defaults]:
            keys += list(section)
    return list(dict.fromkeys(names)), list(dict.fromkeys(keys))


def load(way: str, empty: Path, path: Path) -> tuple[Any, Any]:
    with paths.taken(way):
        store = KestraIniMain(empty)
        store._path = path
        loaded = outcome(store._set_path)
    return (store if way == "native" else Observed(store)), loaded


def assert_same_load(tmp_path: Path, data: bytes) -> tuple[Any, Any]:
    empty, path = tmp_path / "empty.ini", tmp_path / "settings.ini"
    empty.write_bytes(b"")
    path.write_bytes(data)
    native, native_outcome = load("native", empty, path)
    engine, engine_outcome = load("engine", empty, path)
    assert native_outcome == engine_outcome
    assert snapshot(native._config) == snapshot(engine._config)
    return native, engine


# --- generated files -------------------------------------------------------------------

FRAGMENTS = [
    "[s]", "[S]", "[a]b]", "[]", "[]]", "[ s ]", "[DEFAULT]", "[İ]", "[s", "s]", "[s] ; c", "[s]x",
    "k = v", "K=V", "İ=x", "İİ = y", "=x", " = x", "a:b=c", "k : v : w", "key=%(k)s", "p = 100%", "q = %%",
    "#c", ";c", "  # inside", "\t; inside", "", "  ", "\t", "x", "  cont", "\tcont", "   [s]", "  k = v",
    "\x0bk=v", "k=v\x0c", "\x1c", "\x1fk\x1e=\x1dv", "\x85k = v", "k\xa0= v\xa0", "\u2028", "k=\u2028v",
    "\x00", "k=\x00", "\ufeffk=v", "a" + " " * 300 + "a",
]
ALPHABET = "ab AI\t=:[]#;%\x0b\x0c\x1c\x1f\x85\xa0\u2028\x00İ\ufeff"

lines = st.lists(st.one_of(st.sampled_from(FRAGMENTS), st.text(alphabet=ALPHABET, max_size=10)), max_size=24)


@st.composite
def ini_files(draw: st.DrawFn) -> bytes:
    body = draw(lines)
    if draw(st.booleans()):
        body = ["[s]", *body]
    ends = draw(st.lists(st.sampled_from(["\n", "\r\n", "\r"]), min_size=len(body), max_size=len(body)))
    text = "".join(line + end for line, end in zip(body, ends, strict=True))
    if text and draw(st.booleans()):
        text = text.rstrip("\r\n")
    return (b"\xef\xbb\xbf" if draw(st.booleans()) else b"") + text.encode("utf-8", "surrogatepass")


# Mostly valid files over the whole character range: names that sit on the
# case boundaries ('Z', '[', '`', 'z', U+0130, U+017F, the Kelvin sign),
# the default section under other cases, defaults together with sections,
# continuation and blank lines inside values, and every line ending.
BOUNDARY = "AZaz@[`{_^İıſKßẞΣςÅ\x85\xa0\u2028\x0b"
name_chars = st.characters(exclude_categories=("Cs",), exclude_characters="[]=:#;\n\r") | st.sampled_from(BOUNDARY)
names = st.text(name_chars, min_size=1, max_size=6).filter(lambda name: name.strip() == name and name[0] not in "#;")
section_names = st.sampled_from(["s", "S", "default", "Default", "DEFAULT", "DEFAULT ", "Z", "ſ"]) | names
values = st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\n\r"), max_size=8)


@st.composite
def valid_files(draw: st.DrawFn) -> bytes:
    lines: list[str] = []
    headers = draw(st.lists(section_names, min_size=1, max_size=4, unique=True))
    if draw(st.integers(0, 3)):
        headers = ["DEFAULT", *[h for h in headers if h != "DEFAULT"]]
    for header in headers:
        lines.append(f"[{header}]")
        for key in draw(st.lists(names, min_size=header == "DEFAULT", max_size=4, unique_by=str.lower)):
            delimiter = draw(st.sampled_from(["=", ":", " = ", " : ", "= ", "\t=\t"]))
            lines.append(f"{key}{delimiter}{draw(values)}".rstrip())
            for _ in range(draw(st.integers(0, 2))):
                lines.append(draw(st.sampled_from(["", "#c", ";c", "  " + draw(values)])).rstrip() or "")
                if lines[-1] and not lines[-1].startswith(("#", ";")):
                    lines[-1] = "  " + lines[-1].strip() if lines[-1].strip() else ""
    if draw(st.integers(0, 9)) == 0:  # now and then, a line the grammar may refuse
        lines.insert(draw(st.integers(0, len(lines))), draw(st.sampled_from(FRAGMENTS)))
    ends = draw(st.lists(st.sampled_from(["\n", "\r\n", "\r"]), min_size=len(lines), max_size=len(lines)))
    text = "".join(line + end for line, end in zip(lines, ends, strict=True))
    return (b"\xef\xbb\xbf" if draw(st.booleans()) else b"") + text.encode("utf-8")


CHANGES = st.lists(st.tuples(
    st.sampled_from(["_set", "_set_section", "_remove_option", "_remove_section"]),
    st.sampled_from(["s", "S", "t", "DEFAULT", "default", "Default", "", "İ", "Z"]),
    st.sampled_from(["k", "K", "İ", "n", "", "Z", "A_Z", "ſ", "\u212a"]),
    st.sampled_from(["v", "", "%(k)s", "100%", "%%", "a\nb", 7])), max_size=6)


@settings(max_examples=300, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.one_of(valid_files(), valid_files(), ini_files()), changes=CHANGES)
@example(data=b"[default]\nk = v\n[Default]\nk = w\n", changes=[("_set", "default", "K", "x")])
@example(data=b"[DEFAULT]\nZ = 1\n[s]\nA_Z = 2\n", changes=[("_set", "s", "Z", "3"), ("_remove_option", "s", "AZ", "")])
@example(data=b"[DEFAULT]\nd = 1\n[s]\nk = v\n[t]\n", changes=[("_set", "DEFAULT", "n", "v")])
@example(data=b"[s]\r\nk = a\r\n  b\r\n\r\n  c\r[t]\rk:v", changes=[("_set", "t", "\u212a", "a\nb")])
def test_native_paths_match_the_engine(tmp_path: Path, data: bytes, changes: list[tuple[str, str, str, Any]]) -> None:
    native, engine = assert_same_load(tmp_path, data)
    names, keys = names_and_keys(native, engine)
    assert query_outcomes(native, names, keys) == query_outcomes(engine, names, keys)

    for method, section, option, value in changes:
        args = {"_set": (section, option, value), "_set_section": (section,),
                "_remove_option": (section, option), "_remove_section": (section,)}[method]
        assert outcome(partial(getattr(native, method), *args, save=False)) == outcome(
            partial(getattr(engine, method), *args, save=False))
        assert snapshot(native._config) == snapshot(engine._config)

    saved = tmp_path / "saved.ini"
    files = []
    for store in (native, engine):
        store._path = saved
        files.append((outcome(store._save), saved.read_bytes() if saved.exists() else None))
    assert files[0] == files[1]
    assert outcome(native._read) == outcome(engine._read)
    assert snapshot(native._config) == snapshot(engine._config)


# --- the guards ------------------------------------------------------------------------

# Each store operation (method and arguments), and the engine function that its engine path runs.
OPERATIONS: dict[str, tuple[str, tuple[Any, ...], str]] = {
    "_get": ("_get", ("s", "k"), "get"),
    "_get_option": ("_get_option", ("s",), "items"),
    "_has_section": ("_has_section", ("s",), "has_section"),
    "_has_option": ("_has_option", ("s", "k"), "has_option"),
    "_options": ("_options", ("s",), "options"),
    "_sections": ("_sections", (), "sections"),
    "_set": ("_set", ("s", "k", "w", False), "set"),
    "_set_section": ("_set_section", ("new", False), "add_section"),
    "_remove_option": ("_remove_option", ("s", "k", False), "remove_option"),
    "_remove_section": ("_remove_section", ("s", False), "remove_section"),
    "_save": ("_save", (), "write"),
    "_read": ("_read", (), "_read_inner"),
}


def store_on(path: Path, store_class: Any = KestraIniMain) -> Any:
    """A store whose path is text, whose own os.fspath() runs no Python code; a read starts from an empty engine."""
    return store_class(str(path))


def skip_if_audited(operation: str) -> None:
    if operation == "_read" and audit_hooks_run():
        pytest.skip("an audit hook that an earlier test installed runs at the open: the probe cannot see past it")


def call_of(store: Any, operation: str) -> tuple[Any, ...]:
    """The store's bound method and its arguments."""
    method, args, _ = OPERATIONS[operation]
    if operation == "_read":
        store._config.clear()
    return getattr(store, method), *args


def wrapped(owner: Any, name: str) -> Callable[..., Any]:
    original = getattr(owner, name)
    return lambda *args, **kwargs: original(*args, **kwargs)


def wrap_method(owner: Any, name: str) -> Callable[[pytest.MonkeyPatch, KestraIniMain], None]:
    return lambda mp, store: mp.setattr(owner, name, wrapped(owner, name))


def set_engine(name: str, value: Any) -> Callable[[pytest.MonkeyPatch, KestraIniMain], None]:
    return lambda mp, store: mp.setattr(store._config, name, value)


def replace_engine(mp: pytest.MonkeyPatch, store: KestraIniMain) -> None:
    store._config = Engine()
    store._read()


# Every change that the engine's code could notice sends every operation
# through the engine; the comment prefixes are only read by the reader, and
# an engine's own interpolation is consulted by these alone.
ALL = tuple(OPERATIONS)
INTERPOLATING = ("_get", "_get_option", "_set", "_save", "_read")
GUARDS: list[tuple[str, Callable[[pytest.MonkeyPatch, KestraIniMain], None], tuple[str, ...]]] = [
    ("subclass engine", replace_engine, ALL),
    ("instance optionxform", set_engine("optionxform", str), ALL),
    ("instance method", lambda mp, s: mp.setattr(s._config, "get", wrapped(s._config, "get")), ALL),
    ("instance pattern", set_engine("SECTCRE", configparser.RawConfigParser.SECTCRE), ALL),
    ("class method", wrap_method(configparser.ConfigParser, "set"), ALL),
    ("base class method", wrap_method(configparser.RawConfigParser, "optionxform"), ALL),
    ("base class pattern", lambda mp, s: mp.setattr(configparser.RawConfigParser, "OPTCRE",
                                                    configparser.RawConfigParser.OPTCRE_NV), ALL),
    ("interpolation class", wrap_method(configparser.Interpolation, "before_read"), ALL),
    # The default interpolation is shared by all engines: setitem's undo removes the key again.
    ("interpolation instance", lambda mp, s: mp.setitem(vars(s._config._interpolation), "before_get",
                                                        wrapped(s._config._interpolation, "before_get")),
     INTERPOLATING),
    ("interpolation kind", set_engine("_interpolation", configparser.Interpolation()), INTERPOLATING),
    ("strict", set_engine("_strict", False), ALL),
    ("delimiters", set_engine("_delimiters", ("=",)), ALL),
    ("no value", set_engine("_allow_no_value", True), ALL),
    ("empty lines", set_engine("_empty_lines_in_values", False), ALL),
    ("default section", set_engine("default_section", "general"), ALL),
    ("dict type", set_engine("_dict", collections.OrderedDict), ALL),
    ("unnamed section", set_engine("_allow_unnamed_section", True), ALL),
    ("line class", wrap_method(configparser._Line, "_strip_full"), ALL),  # type: ignore[attr-defined]
    ("comment prefixes", lambda mp, s: mp.setattr(s._config._prefixes, "full", ("#",)), ("_read",)),
    ("inline comments", lambda mp, s: mp.setattr(s._config._prefixes, "inline", (";",)), ("_read",)),
]


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("guard", [None, *GUARDS], ids=lambda g: g[0] if g else "plain")
def test_guards_send_calls_through_the_engine(make_ini: Callable[..., Path], monkeypatch: pytest.MonkeyPatch,
                                              guard: Any, operation: str) -> None:
    store = store_on(make_ini("[s]\nk = v\n[t]\n"))
    if guard is not None:
        guard[1](monkeypatch, store)
    through_engine = guard is not None and operation in guard[2]
    skip_if_audited(operation)

    assert runs_natively(*call_of(store, operation)) is not through_engine


def table_functions() -> set[str]:
    """Qualified names of the functions that the guard's table (native/bypassed.def) captures."""
    table = Path(__file__).resolve().parent.parent / "src" / "ini_main" / "native" / "bypassed.def"
    found = set()
    for owner, name in re.findall(r"^ATTR\((\w+), (\w+)\)$", table.read_text(), re.MULTILINE):
        value = next(vars(cls)[name] for cls in getattr(configparser, owner).__mro__ if name in vars(cls))
        for inner in (value, *(getattr(value, attr, None) for attr in ("__func__", "fget", "func"))):
            if isinstance(inner, types.FunctionType):
                found.add(inner.__qualname__)
    return found


@pytest.mark.parametrize("operation", OPERATIONS)
def test_the_guard_table_holds_every_function_a_native_path_stands_in_for(make_ini: Callable[..., Path],
                                                                          operation: str) -> None:
    """What runs on the engine's path but not on the native one must all be captured and proven."""
    text = "[DEFAULT]\nd = 1\n[s]\nk = v\n  more\n\n[t]\n"
    skip_if_audited(operation)
    assert runs_natively(*call_of(store_on(make_ini(text)), operation))
    method, *args = call_of(store_on(make_ini(text), EngineStore), operation)
    bypassed = {name.split(".<locals>")[0] for name in engine_frames(lambda: method(*args), qualified=True)}
    assert bypassed and bypassed <= table_functions()


# --- files found on this machine --------------------------------------------------------

def corpus() -> Iterator[Path]:
    roots = ["/etc", "/usr/share", *sys.path]
    patterns = ("*.ini", "*.cfg", "*.conf")
    seen: set[Path] = set()
    for root, pattern in itertools.product(roots, patterns):
        for name in glob.iglob(os.path.join(root, "**", pattern), recursive=True):
            path = Path(name)
            if path not in seen and path.is_file() and os.access(path, os.R_OK) and path.stat().st_size < 1 << 20:
                seen.add(path)
                yield path


def test_real_files_load_as_the_engine_loads_them(tmp_path: Path) -> None:
    deadline = time.monotonic() + 20
    compared = 0
    for path in itertools.islice(corpus(), 400):
        assert_same_load(tmp_path, path.read_bytes())
        compared += 1
        if time.monotonic() > deadline:
            break
    assert compared >= 10


# --- costs -------------------------------------------------------------------------------

def test_hostile_line_is_refused_at_once(tmp_path: Path) -> None:
    line = "a" + " " * 100_000 + "a"
    path = tmp_path / "hostile.ini"
    path.write_text(f"[s]\n{line}\n")
    started = time.perf_counter()
    with pytest.raises(configparser.ParsingError) as info:
        KestraIniMain(path)
    assert time.perf_counter() - started < 1  # the engine's pattern takes about a minute
    assert info.value.errors == [(2, line + "\n")] and info.value.args == (path,)


def test_load_peak_stays_within_the_engines_plus_the_file(tmp_path: Path) -> None:
    path = tmp_path / "big.ini"
    path.write_text("".join(f"[section{k}]\n" + "".join(f"option{i} = value {i} é\n" for i in range(20))
                            for k in range(100)))
    store = KestraIniMain(path)

    def peak(load: Callable[[], Any]) -> int:
        tracemalloc.start()
        load()
        result = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        return result

    engine_peak = peak(lambda: Engine().read(path, encoding="utf-8-sig"))
    assert peak(store._set_path) <= engine_peak + path.stat().st_size
    # Each load replaces one engine by another: what is held stays level
    # (within the allocator's own slack; one object per option kept would be
    # a megabyte here).
    tracemalloc.start()
    held = []
    for loads in (30, 300):
        for _ in range(loads):
            store._set_path()
        gc.collect()  # engines and their section proxies form cycles
        held.append(tracemalloc.get_traced_memory()[0])
    tracemalloc.stop()
    assert held[1] - held[0] < 128 * 1024
