"""The native paths under hostile Python code: same results as the engine's own code, and no crash.

Each change of hostile_store runs in a fresh interpreter twice: once as it
is, once with a sys.monitoring tool listening, which sends every store call
through the engine's own methods. Both runs print everything observable
(results, exceptions, the engine's state, the saved bytes, what the change
counted); the two must be identical. A crash or a hang fails the first run.
"""
from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import hostile_store
import paths
import read_store
from conftest import run_module, run_python

TEXT = "[DEFAULT]\nd = 1\n[s]\nk = v\nkey2 = two\n  lines\n[t]\nn = 2\n"

def observe(tmp_path: Path, change: str, way: str) -> str:
    path = tmp_path / f"settings-{way}.ini"
    path.write_text(TEXT)
    return run_module("hostile_store", change, way, path, timeout=60).replace(str(path), "PATH")


@pytest.mark.parametrize("change", [*hostile_store.CHANGES, *hostile_store.BEFORE_IMPORT])
def test_hostile_change_answers_as_the_engine(tmp_path: Path, change: str) -> None:
    native = observe(tmp_path, change, "native")
    engine = observe(tmp_path, change, "engine")
    assert engine.endswith("ENGINE FRAMES True\n")  # the reference did run the engine's code
    assert native == engine.removesuffix("ENGINE FRAMES True\n")


# --- reading: one open, no hang, the engine's own errors -------------------------------

@pytest.mark.parametrize("case", read_store.READS)
def test_reading_opens_once_and_fails_as_the_engine(tmp_path: Path, case: str) -> None:
    outputs = []
    for way in paths.WAYS:
        path = tmp_path / f"{way}.ini"
        outputs.append(run_module("read_store", case, way, path, timeout=30).replace(str(path), "PATH"))
    assert outputs[0] == outputs[1]
    assert re.search(r"^opens \[\('r', \d+\)\]$", outputs[0], re.MULTILINE)  # one open, the engine's


# --- observers ---------------------------------------------------------------------------

def test_a_profiler_sees_the_engines_frames(make_ini) -> None:
    path = make_ini("[s]\nk = v\n")
    code = f"""
import configparser, sys
from kestra_ini.ini_main import KestraIniMain
store = KestraIniMain({str(path)!r})
seen = set()
def profile(frame, event, arg):
    if event == "call" and frame.f_code.co_filename == configparser.__file__:
        seen.add(frame.f_code.co_name)
for install in (sys.setprofile, sys.settrace):
    seen.clear()
    install(profile)
    store._get("s", "k"); store._has_section("s"); store._set("s", "k", "w"); store._options("s")
    install(None)
    print(sorted(seen & {{"get", "has_section", "set", "options", "write", "read"}}))
"""
    lines = run_python(code).stdout.splitlines()
    assert lines == ["['get', 'has_section', 'options', 'read', 'set', 'write']"] * 2


# --- the guard's own table, every entry --------------------------------------------------

TABLE = Path(__file__).resolve().parent.parent / "src" / "ini_main" / "native" / "bypassed.def"
ENTRIES = re.findall(r"^(GLOBAL|ATTR|ABSENT)\((\w+), (\w+)\)$", TABLE.read_text(), re.MULTILINE)

ENTRY_HARNESS = r'''
import builtins, collections, configparser, copy, functools, json, re, sys, types
from conftest import engine_frames
from kestra_ini.ini_main import KestraIniMain

def replacement(value, name):
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
        replaced.__set_name__(None, value.attrname)
        return replaced
    if isinstance(value, re.Pattern):
        re.purge()
        return re.compile(value.pattern, value.flags)
    if isinstance(value, types.ModuleType):
        module = types.ModuleType(value.__name__)
        vars(module).update(vars(value))
        return module
    if isinstance(value, type):
        return type(value.__name__, (value,), {{}})
    if callable(value):
        return lambda *args, **kwargs: value(*args, **kwargs)
    if type(value) is int:
        return value + 1
    if type(value) is str:
        return "".join(list(value))
    if value is None:
        return object()
    return type(value)()

def absent_hook(name):
    if name == "__getattr__":
        def __getattr__(self, attribute):
            raise AttributeError(attribute)
        return __getattr__
    return property(lambda self: self.__dict__[name])

def namespace(kind, owner):
    if kind == "GLOBAL":
        return {{"builtins": builtins, "configparser": configparser}}.get(owner) or getattr(configparser, owner)
    return getattr(configparser, owner)

MISSING = object()
store = KestraIniMain({path!r})
native = lambda: not engine_frames(lambda: store._get("s", "k"))
for kind, owner, name in {entries!r}:
    before = native()
    target = namespace(kind, owner)
    own = vars(target).get(name, MISSING)
    if kind == "ABSENT":
        new = absent_hook(name)
    else:
        found = own if own is not MISSING else next(vars(c)[name] for c in target.__mro__ if name in vars(c))
        new = replacement(found, name)
    setattr(target, name, new)
    changed = "get" in engine_frames(lambda: store._get("s", "k"))
    if own is MISSING:
        delattr(target, name)
    else:
        setattr(target, name, own)
    print(json.dumps([kind, owner, name, before, changed, native()]), flush=True)
'''


@pytest.fixture(scope="module")
def guard_outcomes(tmp_path_factory: pytest.TempPathFactory) -> dict[tuple[str, str, str], list[bool]]:
    path = tmp_path_factory.mktemp("guard") / "settings.ini"
    path.write_text("[s]\nk = v\n")
    output = run_python(ENTRY_HARNESS.format(path=str(path), entries=ENTRIES), timeout=120).stdout
    return {tuple(row[:3]): row[3:] for row in map(json.loads, output.splitlines())}


@pytest.mark.parametrize("entry", ENTRIES, ids="-".join)
def test_every_guarded_entry_sends_calls_through_the_engine(guard_outcomes: dict, entry: tuple[str, str, str]) -> None:
    # Native before the change, the engine's code while it stands, native again once undone.
    assert guard_outcomes[entry] == [True, True, True]


def test_the_verified_fingerprint_is_this_interpreters() -> None:
    """tools/fingerprint prints a line of native/verified.def: the native paths run here."""
    tool = TABLE.parent.parent.parent.parent / "tools" / "fingerprint"
    printed = subprocess.run([sys.executable, tool], capture_output=True, text=True, check=True).stdout.strip()
    assert printed in (TABLE.parent / "verified.def").read_text().splitlines()
