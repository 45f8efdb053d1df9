"""An engine made through the store and one made by configparser, written out, in a fresh interpreter.

    python -m construct_store CASE PATH

CASE names an entry of CASES: a change to configparser (or none) made after
the store's module is imported, and whether the store is handed a ready
engine. Prints, as JSON lines, any error either load raised, then the store's
engine written out attribute by attribute with how it behaves and whether the
classes' own __init__ ran, then the same of an engine that
configparser.ConfigParser() made and read. Whether an __init__ ran is read
off its code's adaptive counters: a fresh process that never ran it shows
them untouched.
"""
from __future__ import annotations

import abc
import collections.abc
import configparser
import functools
import io
import json
import re
import sys
import types
from collections.abc import Callable
from typing import Any, NamedTuple

from kestra_ini.ini_main import KestraIniMain


def subclass() -> None:
    class Engine(configparser.ConfigParser):
        def __init__(self) -> None:
            super().__init__()
            self.extra = 1
    configparser.ConfigParser = Engine  # type: ignore[misc]


def wrapped_init() -> None:
    original_init = configparser.RawConfigParser.__init__

    def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
        original_init(self, *args, **kwargs)
        self.wrapped = True
    configparser.RawConfigParser.__init__ = __init__  # type: ignore[method-assign]


def mapping_init() -> None:
    original_init = configparser.ConverterMapping.__init__

    def __init__(self: Any, parser: Any) -> None:
        original_init(self, parser)
        self._data["extra"] = None
        parser.getextra = parser.get
    configparser.ConverterMapping.__init__ = __init__  # type: ignore[method-assign]


def proxy_init() -> None:
    original_init = configparser.SectionProxy.__init__

    def __init__(self: Any, parser: Any, name: str) -> None:
        original_init(self, parser, name)
        self.seen = name
    configparser.SectionProxy.__init__ = __init__  # type: ignore[method-assign]


def metaclass_call() -> None:
    def __call__(cls: type, *args: Any, **kwargs: Any) -> Any:
        return type.__call__(cls, *args, **kwargs)
    abc.ABCMeta.__call__ = __call__  # type: ignore[method-assign]


def replaced_by_subclass(owner: Any, name: str) -> Callable[[], None]:
    return lambda: setattr(owner, name, type(name, (getattr(owner, name),), {}))


def setting(owner: Any, name: str, value: Callable[[], Any]) -> Callable[[], None]:
    return lambda: setattr(owner, name, value())


def init_default(name: str, value: Any) -> Callable[[], None]:
    return lambda: configparser.RawConfigParser.__init__.__kwdefaults__.__setitem__(name, value)


def on_converters(change: Callable[[Any], None]) -> Callable[[configparser.ConfigParser], None]:
    return lambda engine: change(engine._converters)  # type: ignore[attr-defined]


class Case(NamedTuple):
    patch: Callable[[], None] | None = None
    prepare: Callable[[configparser.ConfigParser], None] | None = None  # a given engine, before it reads
    given: bool = False  # the store is handed a ready engine
    native: bool = False  # the native path must run


cp = configparser
CASES: dict[str, Case] = {
    "plain": Case(native=True),
    "plain, a given engine": Case(given=True, native=True),
    "a subclass as ConfigParser": Case(subclass),
    "a wrapped __init__": Case(wrapped_init),
    "another ConverterMapping": Case(replaced_by_subclass(cp, "ConverterMapping")),
    "a wrapped ConverterMapping.__init__": Case(mapping_init),
    "a getter added to the class": Case(setting(cp.ConfigParser, "getlist", lambda: cp.ConfigParser.get)),
    "a getter added to a base": Case(setting(collections.abc.Mapping, "getany", lambda: collections.abc.Mapping.get)),
    "a non-callable get-name": Case(setting(cp.RawConfigParser, "getter_limit", lambda: 3)),
    "keyword default changed in place": Case(init_default("comment_prefixes", ("//",))),
    "strict default changed in place": Case(init_default("strict", False)),
    "another default interpolation": Case(setting(cp.ConfigParser, "_DEFAULT_INTERPOLATION", cp.Interpolation)),
    "another SimpleNamespace": Case(replaced_by_subclass(types, "SimpleNamespace")),
    "a metaclass __call__": Case(metaclass_call),
    "a wrapped SectionProxy.__init__": Case(proxy_init),
    "another SectionProxy": Case(replaced_by_subclass(cp, "SectionProxy")),
    "another partial": Case(replaced_by_subclass(functools, "partial")),
    "a given engine with a converter": Case(
        prepare=lambda engine: engine.converters.__setitem__("list", str.split), given=True),
    "a given engine, converter data changed": Case(
        prepare=on_converters(lambda c: c._data.__setitem__("float", float)), given=True, native=True),
    "a given engine, a converter renamed": Case(
        prepare=on_converters(lambda c: setattr(c, "_data", {"boolean": None, "int": None})), given=True),
    "a given engine, a missing getter named": Case(
        prepare=on_converters(lambda c: c._data.__setitem__("nothing", None)), given=True),
}


def canon(obj: Any, stack: list[Any]) -> Any:
    """obj written out: its type, then its content; an object met again on the way down is
    named by its depth, so the cycles between engine, proxies and getters compare too."""
    for depth, seen in enumerate(stack):
        if obj is seen:
            return ["back", depth]
    kind = f"{type(obj).__module__}.{type(obj).__qualname__}"
    if obj is None or type(obj) in (bool, int, float, str):
        return [kind, repr(obj)]
    if isinstance(obj, type):
        return ["class", f"{obj.__module__}.{obj.__qualname__}", obj is getattr(configparser, obj.__name__, None)]
    if isinstance(obj, (types.FunctionType, types.BuiltinFunctionType)):
        return [kind, obj.__qualname__]
    if isinstance(obj, re.Pattern):
        return [kind, obj.pattern, obj.flags, obj is configparser.ConfigParser.OPTCRE]
    inner = [*stack, obj]
    if type(obj) in (tuple, list):
        return [kind, [canon(item, inner) for item in obj]]
    if isinstance(obj, dict):
        return [kind, [[canon(k, inner), canon(v, inner)] for k, v in obj.items()]]
    if isinstance(obj, types.MethodType):
        return [kind, obj.__func__.__qualname__, canon(obj.__self__, inner)]
    if isinstance(obj, functools.partial):
        return [kind, canon(obj.func, inner), canon(obj.args, inner), canon(obj.keywords, inner),
                canon(vars(obj), inner)]
    shared = obj is getattr(type(stack[0]), "_DEFAULT_INTERPOLATION", None) if stack else None
    return [kind, shared, canon(vars(obj), inner) if hasattr(obj, "__dict__") else repr(obj)]


def behaviour(engine: Any) -> list[str]:
    out = []
    buffer = io.StringIO()
    for step in [
        lambda: engine.sections(),
        lambda: engine["s"].getint("n"),
        lambda: engine["DEFAULT"].getboolean("flag"),
        lambda: engine["s"].getfloat("f"),
        lambda: engine.get("t", "x"),
        lambda: list(engine["t"].items()),
        lambda: engine.converters.__setitem__("list", str.split),
        lambda: engine["s"].getlist("words"),
        lambda: sorted(vars(engine["s"])),
        lambda: engine.add_section("new"),
        lambda: engine["new"].getint("n", fallback=3),
        lambda: engine.converters.__delitem__("int"),
        lambda: sorted(vars(engine["t"])),
        lambda: engine.write(buffer) or buffer.getvalue(),
        lambda: engine.clear() or list(engine),
        lambda: engine.read_string("[z]\na = 1\n") or engine["z"].getfloat("a"),
    ]:
        try:
            out.append(repr(step()))
        except Exception as error:  # the error is the behaviour compared
            out.append(f"{type(error).__name__}: {error}")
    return out


def reporting(call: Callable[[], Any]) -> None:
    try:
        call()
    except Exception as error:  # printed, so that both makers' errors are compared
        print(json.dumps(["raised", type(error).__name__, str(error)]))


def main(name: str, path: str) -> None:
    case = CASES[name]
    codes = [configparser.ConverterMapping.__init__.__code__, configparser.SectionProxy.__init__.__code__]

    def counters() -> list[bytes]:
        return [code._co_code_adaptive for code in codes]  # type: ignore[attr-defined]

    if case.patch is not None:
        case.patch()

    def made() -> configparser.ConfigParser:
        engine = configparser.ConfigParser()
        if case.prepare is not None:
            case.prepare(engine)
        return engine

    before = counters()
    store = KestraIniMain(path)
    if case.given:
        store._config = made()
        before = counters()
        reporting(store._read)
    ran = counters() != before
    built = store._config
    reference = made()
    reporting(lambda: reference.read(path, encoding="utf-8-sig"))
    # A section added through the store: its proxy made natively too.
    reporting(lambda: store._set_section("added", False))
    reporting(lambda: reference.add_section("added"))
    print(json.dumps([canon(built, []), behaviour(built), ran]))
    print(json.dumps([canon(reference, []), behaviour(reference)]))


if __name__ == "__main__":
    main(*sys.argv[1:])
