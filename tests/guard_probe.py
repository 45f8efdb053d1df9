"""What turns the native paths off, probed in a fresh interpreter.

    python -m guard_probe observers PATH
        a store's calls under sys.setprofile, then sys.settrace: prints, for
        each, the engine functions that the observer saw called
    python -m guard_probe entries PATH
        each entry of the guard's table (native/bypassed.def) replaced by an
        object that differs from it by identity alone, then restored: prints,
        as JSON, for each entry whether a store's get ran natively before,
        through the engine while the replacement stood, and natively again
"""
from __future__ import annotations

import builtins
import configparser
import copy
import functools
import json
import re
import sys
import types
from pathlib import Path
from typing import Any

from conftest import runs_natively
from kestra_ini.ini_main import KestraIniMain

TABLE = Path(__file__).resolve().parent.parent / "src" / "ini_main" / "native" / "bypassed.def"
ENTRIES = re.findall(r"^(GLOBAL|ATTR|ABSENT)\((\w+), (\w+)\)$", TABLE.read_text(), re.MULTILINE)


def observers(path: str) -> None:
    store = KestraIniMain(path)
    seen = set()

    def profile(frame: types.FrameType, event: str, arg: Any) -> Any:
        if event == "call" and frame.f_code.co_filename == configparser.__file__:
            seen.add(frame.f_code.co_name)
        return None

    for install in (sys.setprofile, sys.settrace):
        seen.clear()
        install(profile)
        store._get("s", "k")
        store._has_section("s")
        store._set("s", "k", "w")
        store._options("s")
        install(None)
        print(sorted(seen & {"get", "has_section", "set", "options", "write", "read"}))


def replacement(value: Any, name: str) -> Any:
    """An object in the place of `value` that differs from it by identity, mostly not in behaviour."""
    if isinstance(value, types.FunctionType):
        function = types.FunctionType(value.__code__, value.__globals__, value.__name__, value.__defaults__,
                                      value.__closure__)
        function.__kwdefaults__ = copy.copy(value.__kwdefaults__)
        function.__qualname__ = value.__qualname__
        return function
    if isinstance(value, staticmethod):
        return staticmethod(replacement(value.__func__, name))
    if isinstance(value, property):
        return property(value.fget, value.fset, value.fdel)
    if isinstance(value, functools.cached_property):
        replaced = functools.cached_property(value.func)
        replaced.__set_name__(None, value.attrname)  # type: ignore[arg-type]
        return replaced
    if isinstance(value, re.Pattern):
        re.purge()
        return re.compile(value.pattern, value.flags)
    if isinstance(value, types.ModuleType):
        module = types.ModuleType(value.__name__)
        vars(module).update(vars(value))
        return module
    if isinstance(value, type):
        return type(value.__name__, (value,), {})
    if callable(value):
        return lambda *args, **kwargs: value(*args, **kwargs)
    if type(value) is int:
        return value + 1
    if type(value) is str:
        return "".join(list(value))
    if value is None:
        return object()
    return type(value)()


def absent_hook(name: str) -> Any:
    if name == "__getattr__":
        def __getattr__(self: Any, attribute: str) -> Any:
            raise AttributeError(attribute)
        return __getattr__
    return property(lambda self: self.__dict__[name])


def namespace(kind: str, owner: str) -> Any:
    if kind == "GLOBAL":
        return {"builtins": builtins, "configparser": configparser}.get(owner) or getattr(configparser, owner)
    return getattr(configparser, owner)


MISSING = object()


def entries(path: str) -> None:
    store = KestraIniMain(path)

    def native() -> bool:
        return runs_natively(store._get, "s", "k")

    for kind, owner, name in ENTRIES:
        before = native()
        target = namespace(kind, owner)
        own = vars(target).get(name, MISSING)
        if kind == "ABSENT":
            new = absent_hook(name)
        else:
            found = own if own is not MISSING else next(vars(c)[name] for c in target.__mro__ if name in vars(c))
            new = replacement(found, name)
        setattr(target, name, new)
        changed = not native()
        if own is MISSING:
            delattr(target, name)
        else:
            setattr(target, name, own)
        print(json.dumps([kind, owner, name, before, changed, native()]), flush=True)


if __name__ == "__main__":
    {"observers": observers, "entries": entries}[sys.argv[1]](sys.argv[2])
