"""A store under one hostile change, in a fresh interpreter, printing everything observable.

    python -m hostile_store CHANGE WAY PATH

For the file at PATH it prints each store call's result or error, the engine's
state after each change, the saved bytes and what the change counted.
test_native_hostile runs it for WAY "native" and "engine" (where a
sys.monitoring listener sends every call through the engine's own code) and
compares the two; a crash or a hang fails the native run.
"""
from __future__ import annotations

import builtins
import collections
import configparser
import functools
import gc
import importlib.util
import io
import itertools
import os
import pathlib
import re
import sys
import weakref
from collections.abc import Callable
from functools import partial
from typing import Any

counts: collections.Counter[str] = collections.Counter()


def counting(name: str, function: Callable[..., Any]) -> Callable[..., Any]:
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        counts[name] += 1
        return function(*args, **kwargs)
    return wrapper


# --- the changes, made once the store is made -----------------------------------------

def tracked_dict(store: Any, engine: Any) -> None:
    class Tracked(collections.OrderedDict):  # type: ignore[type-arg]
        def __setitem__(self, key: Any, value: Any) -> None:
            counts["setitem"] += 1
            super().__setitem__(key, value)
    engine._dict = Tracked
    engine.add_section("o")
    engine._dict = dict


def key_removing_its_section(store: Any, engine: Any) -> None:
    class Evil(str):
        __hash__ = str.__hash__

        def __eq__(self, other: object) -> bool:
            engine._sections.pop("s", None)
            gc.collect()
            return str.__eq__(self, other)
    engine._sections["s"].update({f"x{i}": "v" for i in range(20)})  # keys past the allocator's free lists
    engine._sections["s"][Evil("n")] = "evil"  # a new key: an equal one would keep the old key


def name_removing_the_sections(store: Any, engine: Any) -> None:
    class Evil(str):
        __hash__ = str.__hash__

        def __eq__(self, other: object) -> bool:
            engine._sections.clear()
            return str.__eq__(self, other)
    engine._sections[Evil("s")] = engine._sections.pop("s")


def value_removing_its_section(store: Any, engine: Any) -> None:
    class Finalizer:
        def __del__(self) -> None:
            engine._sections.pop("s", None)
            engine._proxies.pop("s", None)
    engine._sections["s"]["k"] = Finalizer()


def finalizer_replacing_the_proxies(store: Any, engine: Any) -> None:
    """Released as _remove_section deletes its section: remove_section's next line finds the copy."""
    class Finalizer:
        def __repr__(self) -> str:
            return "Finalizer"

        def __del__(self) -> None:
            engine._proxies = dict(engine._proxies)
    engine._sections["t"]["f"] = Finalizer()


KEPT: list[Any] = []


def proxy_release_adding_a_section(store: Any, engine: Any) -> None:
    """Called as the save's emptying releases the proxy (its getters, which hold it in a cycle, dropped):
    clear's next popitem takes the new section too."""
    proxy = engine._proxies["s"]
    for getter in [name for name in vars(proxy) if name.startswith("get")]:
        delattr(proxy, getter)
    KEPT.append(weakref.ref(proxy, lambda ref: engine.add_section("late")))


def proxy_init_counted(store: Any, engine: Any) -> None:
    original = configparser.SectionProxy.__init__

    def init(self: Any, parser: Any, name: str) -> None:
        counts["proxy " + str(name)] += 1
        counts["sections seen"] += len(parser._sections)
        original(self, parser, name)
    configparser.SectionProxy.__init__ = init  # type: ignore[method-assign]


def getattribute_counted(store: Any, engine: Any) -> None:
    def getattribute(self: Any, name: str) -> Any:
        counts["getattribute " + name] += 1
        return object.__getattribute__(self, name)
    configparser.RawConfigParser.__getattribute__ = getattribute  # type: ignore[method-assign]


def optionxform_of_the_same_name(store: Any, engine: Any) -> None:
    def optionxform(self: Any, optionstr: str) -> str:
        return optionstr.upper()
    optionxform.__qualname__ = "RawConfigParser.optionxform"
    configparser.RawConfigParser.optionxform = optionxform  # type: ignore[method-assign]


def upper_code() -> Any:
    return (lambda self, optionstr: optionstr.upper()).__code__


def setting(owner: Any, name: str, value: Callable[[], Any]) -> Callable[[Any, Any], None]:
    return lambda store, engine: setattr(owner, name, value())


def setting_on(owner: Callable[[Any], Any], name: str, value: Callable[[], Any]) -> Callable[[Any, Any], None]:
    """`name` set on what `owner` finds from the engine."""
    return lambda store, engine: setattr(owner(engine), name, value())


def after_a_get(change: Callable[[Any, Any], None]) -> Callable[[Any, Any], None]:
    def run(store: Any, engine: Any) -> None:
        store._get("s", "k")
        change(store, engine)
    return run


cp = configparser
CHANGES: dict[str, Callable[[Any, Any], None]] = {
    "section dict a list": lambda store, engine: engine._sections.__setitem__("s", []),
    "section dict a UserDict": lambda store, engine: engine._sections.__setitem__(
        "s", collections.UserDict({"k": "u"})),
    "section dict a tuple": lambda store, engine: engine._sections.__setitem__("s", ("k",)),
    "OrderedDict through _dict": tracked_dict,
    "option key whose __eq__ removes its section": key_removing_its_section,
    "section name whose __eq__ removes the sections": name_removing_the_sections,
    "value whose finalizer removes its section": value_removing_its_section,
    "finalizer replacing the proxies": finalizer_replacing_the_proxies,
    "proxy whose release adds a section": proxy_release_adding_a_section,
    "default key a str subclass": lambda store, engine: engine._defaults.__setitem__(
        type("S", (str,), {})("k"), "sub"),
    "section proxy init patched": proxy_init_counted,
    "_defaults property on the class": setting(cp.ConfigParser, "_defaults",
                                               lambda: property(lambda self: {"k": "class"})),
    "__getattribute__ override": getattribute_counted,
    "__getattr__ on the class": setting(cp.ConfigParser, "__getattr__",
                                        lambda: lambda self, name: counts.update([name])),
    "_Line.has_comments": setting(cp._Line, "has_comments",  # type: ignore[attr-defined]
                                  lambda: property(lambda self: counting("has_comments", bool)(0))),
    "SectionProxy replaced": setting(cp, "SectionProxy", lambda: type("P", (cp.SectionProxy,), {})),
    "ConverterMapping iteration": setting(cp.ConverterMapping, "__iter__",
                                          lambda: counting("conv iter", cp.ConverterMapping.__iter__)),
    "enumerate": setting(builtins, "enumerate", lambda: counting("enumerate", enumerate)),
    "open in configparser's globals": setting(cp, "open", lambda: counting("open", open)),
    "re.compile": setting(re, "compile", lambda: counting("re.compile", re.compile)),
    "functools.partial": setting(functools, "partial", lambda: type("partial", (functools.partial,), {})),
    "itertools.chain": setting(itertools, "chain", lambda: counting("chain", itertools.chain)),
    "io.text_encoding": setting(io, "text_encoding", lambda: counting("text_encoding", io.text_encoding)),
    "write's space_around_delimiters": setting(cp.RawConfigParser.write, "__defaults__", lambda: (False,)),
    "get's vars keyword default": setting(
        cp.RawConfigParser.get, "__kwdefaults__",
        lambda: {"raw": False, "vars": {"k": "from vars"}, "fallback": cp._UNSET}),  # type: ignore[attr-defined]
    "new optionxform of the same name": optionxform_of_the_same_name,
    "optionxform's code replaced in place": setting(cp.RawConfigParser.optionxform, "__code__", upper_code),
    "MAX_INTERPOLATION_DEPTH": setting(cp, "MAX_INTERPOLATION_DEPTH", lambda: 0),
    "UNNAMED_SECTION": setting(cp, "UNNAMED_SECTION", lambda: "s"),
    "_ChainMap": setting(cp, "_ChainMap", lambda: lambda *maps: {"k": "chained"}),
    "_ReadState": setting(cp._ReadState, "indent_level", lambda: -1),  # type: ignore[attr-defined]
    "SECTCRE without re.VERBOSE": setting(cp.ConfigParser, "SECTCRE",
                                          lambda: re.compile(cp.RawConfigParser._SECT_TMPL)),
    "cached clean's function": setting(cp._Line.clean, "func",  # type: ignore[attr-defined]
                                       lambda: counting("clean", cp._Line.clean.func)),  # type: ignore[attr-defined]
    "super's class cell": setting(cp.ConfigParser.set.__closure__[0], "cell_contents",  # type: ignore[index]
                                  lambda: cp.RawConfigParser),
    "instance optionxform set after use": after_a_get(setting_on(lambda e: e, "optionxform", lambda: str.upper)),
    "shared interpolation's own method": after_a_get(
        setting_on(lambda e: e._interpolation, "before_get", lambda: lambda *a: "interpolated")),
    "comment prefixes": setting_on(lambda e: e._prefixes, "full", lambda: ("#",)),
}


# --- the changes made before the store's module is imported ----------------------------

def modified_copy() -> None:
    spec = importlib.util.spec_from_file_location("configparser", configparser.__file__)
    copy = importlib.util.module_from_spec(spec)  # type: ignore[arg-type]
    with open(configparser.__file__) as source:
        text = source.read().replace("return optionstr.lower()", "return optionstr.upper()")
    exec(compile(text, configparser.__file__, "exec"), vars(copy))
    sys.modules["configparser"] = copy


BEFORE_IMPORT: dict[str, Callable[[], None]] = {
    "modified copy of configparser in sys.modules": modified_copy,
    "code changed before import": lambda: setattr(cp.RawConfigParser.optionxform, "__code__", upper_code()),
    "builtin shadowed before import": lambda: setattr(cp, "isinstance", isinstance),
}


# --- what is printed ---------------------------------------------------------------------

def show(value: Any) -> Any:
    if isinstance(value, BaseException):
        return (type(value).__name__, [show(arg) for arg in value.args])
    if isinstance(value, dict):
        return [(show(k), show(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return [show(item) for item in value]
    if isinstance(value, str):
        return (type(value).__name__, str(value))
    return repr(value) if not isinstance(value, (int, bool, type(None))) else value


def run(label: str, call: Callable[[], Any]) -> None:
    try:
        result = ("returned", show(call()))
    except BaseException as error:  # everything the call does is compared, even a crash's cause
        result = ("raised", show(error))
    print(label, result, flush=True)


def state(engine: Any) -> Any:
    return (show({k: dict(v) if isinstance(v, dict) else v for k, v in engine._sections.items()}),
            show(engine._defaults), show(list(engine._proxies)))


def exercise(store: Any) -> None:
    names = ["s", "t", "DEFAULT", "o", ""]
    keys = ["k", "K", "n"]
    for name in names:
        run(f"has_section {name}", partial(store._has_section, name))
        for key in keys:
            run(f"has_option {name} {key}", partial(store._has_option, name, key))
    for name in names:
        run(f"options {name}", partial(store._options, name))
        run(f"get_option {name}", partial(store._get_option, name))
        for key in keys:
            run(f"get {name} {key}", partial(store._get, name, key))
    run("sections", store._sections)
    run("get_all", store._get_all)
    for call in [("_set", "s", "k", "w"), ("_set", "t", "n", "x"), ("_set", "DEFAULT", "d", "y"),
                 ("_remove_option", "s", "k"), ("_remove_section", "t"), ("_set_section", "u"),
                 ("_set", "o", "m", "z")]:
        run(" ".join(call), partial(getattr(store, call[0]), *call[1:], save=False))
        print("state", state(store._config), flush=True)


def listen(frames: list[str]) -> None:
    """A sys.monitoring listener, which sends every store call through the engine's code; it
    records the engine's frames, so that the reference is known to have run them."""
    monitoring = sys.monitoring
    monitoring.use_tool_id(5, "listener")

    def seen(code: Any, offset: int) -> None:
        if code.co_filename == configparser.__file__:
            frames.append(code.co_name)
    monitoring.register_callback(5, monitoring.events.PY_START, seen)
    monitoring.set_events(5, monitoring.events.PY_START)


def main(change: str, way: str, path: str) -> None:
    if change in BEFORE_IMPORT:
        BEFORE_IMPORT[change]()
    from kestra_ini.ini_main import KestraIniMain

    frames: list[str] = []
    if way == "engine":
        listen(frames)
    store = KestraIniMain(path)
    CHANGES.get(change, lambda store, engine: None)(store, store._config)
    exercise(store)
    run("save", store._save)
    print("saved", pathlib.Path(path).read_bytes() if os.path.exists(path) else None)
    run("read", store._read)
    print("state", state(store._config))
    run("construct", lambda: KestraIniMain(path)._sections())
    print("counts", sorted(counts.items()))
    if way == "engine":
        print("ENGINE FRAMES", len(frames) > 0)


if __name__ == "__main__":
    main(*sys.argv[1:])
