"""The native paths' contract: within it, exactly the answers of configparser's own code.

configparser's namespace, every class it defines and the builtins its code
names are watched whole: any change sends calls through the engine until it
is undone. Before the import, only the fingerprint (hashed by the module's own
SHA-256) stands between a changed configparser and the native paths.
"""
from __future__ import annotations

import builtins
import collections.abc
import configparser
import copy
import hashlib
import os
import pickle
import shutil
import subprocess
import sys
import types
from pathlib import Path

import pytest

import contract_child
from conftest import engine_frames, run_python, runs_natively as runs_natively_with
from kestra_ini.ini_main import KestraIniMain

TESTS = Path(__file__).resolve().parent
NATIVE = TESTS.parent / "src" / "ini_main" / "native"


def child_answers(case: str, mode: str, directory: Path) -> str:
    result = subprocess.run([sys.executable, "-m", "contract_child", case, mode, str(directory)], cwd=TESTS,
                            capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    return result.stdout.replace(str(directory), "DIR")


@pytest.mark.parametrize("case", contract_child.CASES)
def test_answers_under_a_change_are_the_engines_own(tmp_path: Path, case: str) -> None:
    (tmp_path / "native").mkdir()
    (tmp_path / "engine").mkdir()
    native = child_answers(case, "native", tmp_path / "native")
    assert native == child_answers(case, "engine", tmp_path / "engine")


# --- watched whole ------------------------------------------------------------------------

@pytest.fixture
def store(make_ini) -> KestraIniMain:
    return KestraIniMain(make_ini("[DEFAULT]\nd = 1\n[s]\nk = v\n"))


def runs_natively(store: KestraIniMain) -> bool:
    return runs_natively_with(store._get, "s", "k") and runs_natively_with(store._has_section, "s")


def configparser_classes() -> list[type]:
    return [value for value in vars(configparser).values()
            if isinstance(value, type) and value.__module__ == "configparser"]


def builtins_named() -> set[str]:
    """The builtins configparser's code names, found as the module finds them at import."""
    names: set[str] = set()

    def walk(code: types.CodeType) -> None:
        names.update(code.co_names)
        for const in code.co_consts:
            if isinstance(const, types.CodeType):
                walk(const)

    for cls in configparser_classes():
        for value in vars(cls).values():
            for inner in (value, getattr(value, "__func__", None), getattr(value, "fget", None),
                          getattr(value, "func", None)):
                if isinstance(inner, types.FunctionType):
                    walk(inner.__code__)
    return {name for name in names if name in vars(builtins)} - set(vars(configparser))


MISSING = object()
# Bound here: the builtins themselves are replaced in turn below.
SETATTR, DELATTR = setattr, delattr


def delegating(function):
    return lambda *args, **kwargs: function(*args, **kwargs)


def changes() -> list[tuple[str, object, str, object]]:
    """(label, owner, name, new value): one new or replaced attribute for each thing watched."""
    found = [(f"new attribute of {cls.__name__}", cls, "_probe", 1) for cls in configparser_classes()]
    found += [(f"builtin {name}", builtins, name, delegating(getattr(builtins, name)))
              for name in sorted(builtins_named())]
    found += [
        ("new global of configparser", configparser, "_probe", 1),
        ("shadowed builtin", configparser, "str", str),
        ("cached property's function", configparser._Line.clean, "func", lambda self: ""),
        ("base class of the engine", collections.abc.MutableMapping, "_probe", 1),
        ("function code", configparser.RawConfigParser.optionxform, "__code__", (lambda self, s: s).__code__),
        ("function defaults", configparser.RawConfigParser.write, "__defaults__", (False,)),
    ]
    return found


def test_every_change_turns_the_native_paths_off_until_undone(store: KestraIniMain) -> None:
    assert runs_natively(store)
    seen = []
    for label, owner, name, value in changes():
        before = getattr(owner, name) if isinstance(owner, types.FunctionType) else vars(owner).get(name, MISSING)
        SETATTR(owner, name, value)
        changed = runs_natively(store)
        if before is MISSING:
            DELATTR(owner, name)
        else:
            SETATTR(owner, name, before)
        seen.append((label, changed, runs_natively(store)))
    assert [row for row in seen if row[1:] != (False, True)] == []


@pytest.mark.parametrize("owner, name", [(configparser.ConfigParser, "get"), (configparser.ConfigParser, "has_section"),
                                         (configparser.ConfigParser, "__init__")])
def test_an_inherited_attribute_assigned_back_leaves_the_native_paths_on(store: KestraIniMain, owner, name) -> None:
    """An entry equal to what the class inherits changes no lookup: the native paths come back."""
    inherited = getattr(owner, name)
    SETATTR(owner, name, delegating(inherited))
    changed = runs_natively(store)
    SETATTR(owner, name, inherited)
    restored = runs_natively(store)
    DELATTR(owner, name)
    assert (changed, restored) == (False, True)


IN_PLACE = {  # (where, key): changed in place, without a class or function being assigned to
    "dict held by a class": (configparser.RawConfigParser.BOOLEAN_STATES, "maybe", True),
    "keyword defaults": (configparser.RawConfigParser.get.__kwdefaults__, "raw", True),
}


@pytest.mark.parametrize("label", IN_PLACE)
def test_changes_in_place_turn_the_native_paths_off(store: KestraIniMain, label: str) -> None:
    where, key, value = IN_PLACE[label]
    before = where.get(key, MISSING)
    where[key] = value
    changed = runs_natively(store)
    if before is MISSING:
        del where[key]
    else:
        where[key] = before
    assert (changed, runs_natively(store)) == (False, True)


def test_a_closure_cell_changed_turns_the_native_paths_off(store: KestraIniMain) -> None:
    cell = configparser.ConfigParser.set.__closure__[0]
    before = cell.cell_contents
    cell.cell_contents = configparser.RawConfigParser
    changed = runs_natively(store)
    cell.cell_contents = before
    assert (changed, runs_natively(store)) == (False, True)


def test_caches_the_standard_library_keeps_leave_the_native_paths_on(store: KestraIniMain) -> None:
    copy.copy(store._config)  # copyreg caches __slotnames__ in each class copied
    pickle.dumps(configparser.ConfigParser())
    assert runs_natively(store)
    printed = run_python(f"""
        import configparser, copy
        copy.deepcopy(configparser.ConfigParser())  # before the import: the fingerprint leaves the cache out
        from kestra_ini.ini_main import KestraIniMain
        from conftest import runs_natively
        store = KestraIniMain({str(store._path)!r})
        print(runs_natively(store._get, "s", "k"))
    """)
    assert printed.stdout == "True\n"


# --- which path runs ----------------------------------------------------------------------

EVENTS = ["PY_START", "PY_RESUME", "PY_RETURN", "PY_YIELD", "CALL", "LINE", "INSTRUCTION", "JUMP", "BRANCH",
          "STOP_ITERATION", "RAISE", "EXCEPTION_HANDLED", "PY_UNWIND", "PY_THROW", "RERAISE"]


@pytest.mark.parametrize("event", EVENTS)
def test_a_monitoring_tool_of_any_event_sees_the_engines_code(store: KestraIniMain, event: str) -> None:
    monitoring = sys.monitoring
    tool = monitoring.DEBUGGER_ID
    monitoring.use_tool_id(tool, "observer")
    try:
        monitoring.set_events(tool, getattr(monitoring.events, event))
        assert not runs_natively(store)
    finally:
        monitoring.set_events(tool, 0)
        monitoring.free_tool_id(tool)
    assert runs_natively(store)


@pytest.mark.parametrize("method, args, runs", [
    ("_get", ("s", "k"), "get"), ("_get", ("s", "d"), "get"), ("_get", ("DEFAULT", "d"), "get"),
    ("_has_option", ("s", "d"), "has_option"), ("_get_option", ("s",), "items"), ("_options", ("s",), "options"),
    ("_has_section", ("s",), "has_section"), ("_sections", (), "sections"),
], ids=["own", "inherited", "of the defaults", "has inherited", "option dict", "options", "section", "sections"])
def test_plain_queries_run_natively_unless_their_code_is_monitored(store: KestraIniMain, method, args, runs) -> None:
    """Natively, unless a tool has local monitoring events on configparser's code: then it sees that code run."""
    assert runs_natively_with(getattr(store, method), *args)
    assert runs in engine_frames(lambda: getattr(store, method)(*args))


# --- calls by keyword save as calls by position do ----------------------------------------

@pytest.mark.parametrize("args, kwargs, saved", [
    (("s", "k", "2"), {}, True),
    (("s", "k"), {"value": "2"}, True),
    (("s",), {"option": "k", "value": "2"}, True),
    ((), {"value": "2", "section": "s", "option": "k"}, True),
    (("s", "k"), {"value": "2", "save": True}, True),
    (("s", "k", "2"), {"save": False}, False),
    (("s",), {"value": "2", "option": "k", "save": False}, False),
])
def test_set_by_keywords_saves_as_by_position(make_ini, args, kwargs, saved) -> None:
    path = make_ini("[s]\nk = 1\n")
    KestraIniMain(path)._set(*args, **kwargs)
    assert KestraIniMain(path)._get("s", "k") == ("2" if saved else "1")


def test_deleting_a_methods_attributes_is_refused_or_harmless() -> None:
    output = run_python("""
        from kestra_ini.ini_main import KestraIniMain
        function = KestraIniMain._get
        for name in ["__name__", "__qualname__", "__doc__", "__module__", "__defaults__", "__dict__",
                     "__annotations__", "__type_params__", "__code__", "__globals__", "__kwdefaults__"]:
            try:
                delattr(function, name)
                print(name, "deleted", repr(getattr(function, name, None))[:20])
            except (TypeError, AttributeError) as error:
                print(name, type(error).__name__)
        print(repr(function).split(" at ")[0], function.__name__)
    """).stdout.splitlines()
    assert output[:2] == ["__name__ TypeError", "__qualname__ TypeError"]
    assert output[-1] == "<function KestraIniMain._get _get"


# --- the fingerprint ----------------------------------------------------------------------

SHA_INPUTS = [b"", b"abc", b"a" * 55, b"a" * 56, b"a" * 63, b"a" * 64, b"a" * 65, b"\x00\xff" * 60,
              bytes(range(256)) * 9, "configparser ✓".encode()]


@pytest.fixture(scope="module")
def sha256_tool(tmp_path_factory: pytest.TempPathFactory) -> Path:
    compiler = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("sha256") / "sha256"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([compiler, "-std=c++20", "-O1", f"-I{TESTS.parent / 'src' / 'ini_main'}", "-o", str(out),
                    str(TESTS / "sha256_digest.cpp"), str(NATIVE / "sha256.cpp")], check=True, env=env)
    return out


def test_sha256_is_hashlibs(sha256_tool: Path) -> None:
    given = "".join(data.hex() + "\n" for data in SHA_INPUTS)
    printed = subprocess.run([str(sha256_tool)], input=given, capture_output=True, text=True, check=True).stdout
    assert printed.split() == [hashlib.sha256(data).hexdigest() for data in SHA_INPUTS]
