"""The native paths under hostile Python code: same results as the engine's own code, and no crash.

Each change runs in a fresh interpreter twice: once as it is, once with a
sys.monitoring tool listening, which sends every store call through the
engine's own methods. Both runs print everything observable (results,
exceptions, the engine's state, the saved bytes, what the change counted);
the two must be identical. A crash or a hang fails the first run.
"""
from __future__ import annotations

import json
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import run_python

HARNESS = r'''
import builtins, collections, configparser, functools, gc, io, itertools, os, re, signal, sys, threading, types
{before_import}
from kestra_ini.ini_main import KestraIniMain

ENGINE_MODE = {engine_mode}
path = {path!r}
frames = []
if ENGINE_MODE:
    mon = sys.monitoring
    mon.use_tool_id(5, "listener")
    def seen(code, offset):
        if code.co_filename == configparser.__file__:
            frames.append(code.co_name)
    mon.register_callback(5, mon.events.PY_START, seen)
    mon.set_events(5, mon.events.PY_START)
counts = collections.Counter()

def counting(name, function):
    def wrapper(*args, **kwargs):
        counts[name] += 1
        return function(*args, **kwargs)
    return wrapper

def show(value):
    if isinstance(value, BaseException):
        return (type(value).__name__, [show(arg) for arg in value.args])
    if isinstance(value, dict):
        return [(show(k), show(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return [show(item) for item in value]
    if isinstance(value, str):
        return (type(value).__name__, str(value))
    return repr(value) if not isinstance(value, (int, bool, type(None))) else value

def run(label, call):
    try:
        result = ("returned", show(call()))
    except BaseException as error:
        result = ("raised", show(error))
    print(label, result, flush=True)

def state(engine):
    return (show({{k: dict(v) if isinstance(v, dict) else v for k, v in engine._sections.items()}}),
            show(engine._defaults), show(list(engine._proxies)))

store = KestraIniMain(path)
engine = store._config
{setup}
names = ["s", "t", "DEFAULT", "o", ""]
keys = ["k", "K", "n"]
for name in names:
    run(f"has_section {{name}}", lambda: store._has_section(name))
    for key in keys:
        run(f"has_option {{name}} {{key}}", lambda: store._has_option(name, key))
for name in names:
    run(f"options {{name}}", lambda: store._options(name))
    run(f"get_option {{name}}", lambda: store._get_option(name))
    for key in keys:
        run(f"get {{name}} {{key}}", lambda: store._get(name, key))
run("sections", store._sections)
run("get_all", store._get_all)
for call in [("_set", "s", "k", "w"), ("_set", "t", "n", "x"), ("_set", "DEFAULT", "d", "y"),
             ("_remove_option", "s", "k"), ("_remove_section", "t"), ("_set_section", "u"),
             ("_set", "o", "m", "z")]:
    run(" ".join(call), lambda: getattr(store, call[0])(*call[1:], save=False))
    print("state", state(store._config), flush=True)
run("save", store._save)
print("saved", open(path, "rb").read() if os.path.exists(path) else None)
run("read", store._read)
print("state", state(store._config))
run("construct", lambda: KestraIniMain(path)._sections())
print("counts", sorted(counts.items()))
if ENGINE_MODE:
    print("ENGINE FRAMES", len(frames) > 0)
'''

TEXT = "[DEFAULT]\nd = 1\n[s]\nk = v\nkey2 = two\n  lines\n[t]\nn = 2\n"

# Each change: the code run once the store is made (`store`, `engine`,
# `counting`, `path` are in scope), and optionally code run before the
# module is imported.
HOSTILE: dict[str, tuple[str, str]] = {
    "section dict a list": ('engine._sections["s"] = []', ""),
    "section dict a UserDict": ('engine._sections["s"] = collections.UserDict({"k": "u"})', ""),
    "section dict a tuple": ('engine._sections["s"] = ("k",)', ""),
    "OrderedDict through _dict": ("""
class Tracked(collections.OrderedDict):
    def __setitem__(self, key, value):
        counts["setitem"] += 1
        super().__setitem__(key, value)
engine._dict = Tracked
engine.add_section("o")
engine._dict = dict
""", ""),
    "option key whose __eq__ removes its section": ("""
class Evil(str):
    __hash__ = str.__hash__
    def __eq__(self, other):
        engine._sections.pop("s", None)
        gc.collect()
        return str.__eq__(self, other)
engine._sections["s"].update({f"x{i}": "v" for i in range(20)})  # keys past the allocator's free lists
engine._sections["s"][Evil("n")] = "evil"  # a new key: an equal one would keep the old key
""", ""),
    "section name whose __eq__ removes the sections": ("""
class Evil(str):
    __hash__ = str.__hash__
    def __eq__(self, other):
        engine._sections.clear()
        return str.__eq__(self, other)
engine._sections[Evil("s")] = engine._sections.pop("s")
""", ""),
    "value whose finalizer removes its section": ("""
class Finalizer:
    def __del__(self):
        engine._sections.pop("s", None)
        engine._proxies.pop("s", None)
engine._sections["s"]["k"] = Finalizer()
""", ""),
    "default key a str subclass": ('engine._defaults[type("S", (str,), {})("k")] = "sub"', ""),
    "section proxy init patched": ("""
original = configparser.SectionProxy.__init__
def init(self, parser, name):
    counts["proxy " + str(name)] += 1
    counts["sections seen"] += len(parser._sections)
    original(self, parser, name)
configparser.SectionProxy.__init__ = init
""", ""),
    "_defaults property on the class": (
        'configparser.ConfigParser._defaults = property(lambda self: {"k": "class"})', ""),
    "__getattribute__ override": ("""
def getattribute(self, name):
    counts["getattribute " + name] += 1
    return object.__getattribute__(self, name)
configparser.RawConfigParser.__getattribute__ = getattribute
""", ""),
    "__getattr__ on the class": (
        "configparser.ConfigParser.__getattr__ = lambda self, name: counts.update([name])", ""),
    "_Line.has_comments": (
        'configparser._Line.has_comments = property(lambda self: counting("has_comments", bool)(0))', ""),
    "SectionProxy replaced": ('configparser.SectionProxy = type("P", (configparser.SectionProxy,), {})', ""),
    "ConverterMapping iteration": (
        'configparser.ConverterMapping.__iter__ = counting("conv iter", configparser.ConverterMapping.__iter__)', ""),
    "enumerate": ('builtins.enumerate = counting("enumerate", enumerate)', ""),
    "open in configparser's globals": ('configparser.open = counting("open", open)', ""),
    "re.compile": ('re.compile = counting("re.compile", re.compile)', ""),
    "functools.partial": ('functools.partial = type("partial", (functools.partial,), {})', ""),
    "itertools.chain": ('itertools.chain = counting("chain", itertools.chain)', ""),
    "io.text_encoding": ('io.text_encoding = counting("text_encoding", io.text_encoding)', ""),
    "write's space_around_delimiters": ("configparser.RawConfigParser.write.__defaults__ = (False,)", ""),
    "get's vars keyword default": (
        'configparser.RawConfigParser.get.__kwdefaults__ = '
        '{"raw": False, "vars": {"k": "from vars"}, "fallback": configparser._UNSET}', ""),
    "new optionxform of the same name": ("""
def optionxform(self, optionstr):
    return optionstr.upper()
optionxform.__qualname__ = "RawConfigParser.optionxform"
configparser.RawConfigParser.optionxform = optionxform
""", ""),
    "optionxform's code replaced in place": (
        "configparser.RawConfigParser.optionxform.__code__ = (lambda self, optionstr: optionstr.upper()).__code__",
        ""),
    "MAX_INTERPOLATION_DEPTH": ("configparser.MAX_INTERPOLATION_DEPTH = 0", ""),
    "UNNAMED_SECTION": ('configparser.UNNAMED_SECTION = "s"', ""),
    "_ChainMap": ('configparser._ChainMap = lambda *maps: {"k": "chained"}', ""),
    "_ReadState": ("configparser._ReadState.indent_level = -1", ""),
    "SECTCRE without re.VERBOSE": (
        "configparser.ConfigParser.SECTCRE = re.compile(configparser.RawConfigParser._SECT_TMPL)", ""),
    "cached clean's function": ('configparser._Line.clean.func = counting("clean", configparser._Line.clean.func)', ""),
    "super's class cell": (
        "configparser.ConfigParser.set.__closure__[0].cell_contents = configparser.RawConfigParser", ""),
    "instance optionxform set after use": ('store._get("s", "k"); engine.optionxform = str.upper', ""),
    "shared interpolation's own method": (
        'store._get("s", "k"); engine._interpolation.before_get = lambda *a: "interpolated"', ""),
    "comment prefixes": ('engine._prefixes.full = ("#",)', ""),
    "modified copy of configparser in sys.modules": ("", """
import importlib.util, configparser as _original
_spec = importlib.util.spec_from_file_location("configparser", _original.__file__)
_copy = importlib.util.module_from_spec(_spec)
_source = open(_original.__file__).read().replace("return optionstr.lower()", "return optionstr.upper()")
exec(compile(_source, _original.__file__, "exec"), vars(_copy))
sys.modules["configparser"] = _copy
"""),
    "code changed before import": ("", """
import configparser as _cp
_cp.RawConfigParser.optionxform.__code__ = (lambda self, optionstr: optionstr.upper()).__code__
"""),
    "builtin shadowed before import": ("", """
import configparser as _cp
_cp.isinstance = isinstance
"""),
}


def observe(tmp_path: Path, setup: str, before_import: str, engine_mode: bool, text: str | bytes = TEXT) -> str:
    path = tmp_path / f"settings-{engine_mode}.ini"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    code = HARNESS.format(before_import=before_import, setup=setup, engine_mode=engine_mode, path=str(path))
    output = run_python(code, timeout=60).stdout
    return output.replace(str(path), "PATH")


@pytest.mark.parametrize("change", HOSTILE)
def test_hostile_change_answers_as_the_engine(tmp_path: Path, change: str) -> None:
    setup, before_import = (textwrap.dedent(part) for part in HOSTILE[change])
    native = observe(tmp_path, setup, before_import, False)
    engine = observe(tmp_path, setup, before_import, True)
    assert engine.endswith("ENGINE FRAMES True\n")  # the reference did run the engine's code
    assert native == engine.removesuffix("ENGINE FRAMES True\n")


# --- reading: one open, no hang, the engine's own errors -------------------------------

READ_HARNESS = r'''
import os, signal, sys, threading
from kestra_ini.ini_main import KestraIniMain
if {engine_mode}:
    sys.monitoring.use_tool_id(5, "listener")
    sys.monitoring.register_callback(5, sys.monitoring.events.PY_START, lambda code, offset: None)
    sys.monitoring.set_events(5, sys.monitoring.events.PY_START)
path = {path!r}
opens = []
sys.addaudithook(lambda event, args: opens.append(args[1:])
                 if event == "open" and args[0] == path and args[1] == "r" else None)
{setup}
try:
    store = KestraIniMain(path)
    print("loaded", store._get_all())
except BaseException as error:
    print("raised", type(error).__name__, error.args, vars(error) if hasattr(error, "__dict__") else "")
    if isinstance(error, UnicodeDecodeError):
        print(error.object[:20], error.start, error.end, len(error.object))
print("opens", opens)
'''

FIFO_WRITER = '''
os.mkfifo(path)
def write():
    with open(path, "wb") as fifo:
        fifo.write({content!r})
threading.Thread(target=write, daemon=True).start()
'''

READS: dict[str, tuple[bytes, str]] = {
    "regular file, not UTF-8": (b"[s]\nk = v\xff\n", ""),
    "not UTF-8 past the first chunk": (b"[s]\n" + b"k%d = value\n" * 2000 + b"x = \xe9\xff\n", ""),
    "a BOM, then bad bytes": (b"\xef\xbb\xbf[s]\nk = \xc3\n", ""),
    "FIFO with bytes that are not UTF-8": (b"", FIFO_WRITER.format(content=b"[s]\nk = \xff\xfe\n")),
    "FIFO with text": (b"", FIFO_WRITER.format(content=b"[s]\nk = v\n")),
    "signal while the open blocks": (b"", '''
os.mkfifo(path)
def interrupt(signum, frame):
    raise KeyboardInterrupt("from the handler")
signal.signal(signal.SIGALRM, interrupt)
signal.setitimer(signal.ITIMER_REAL, 0.3)
'''),
}


@pytest.mark.parametrize("case", READS)
def test_reading_opens_once_and_fails_as_the_engine(tmp_path: Path, case: str) -> None:
    content, setup = READS[case]
    outputs = []
    for engine_mode in (False, True):
        path = tmp_path / f"{engine_mode}.ini"
        if not setup:
            path.write_bytes(content)
        code = READ_HARNESS.format(engine_mode=engine_mode, path=str(path), setup=setup)
        outputs.append(run_python(code, timeout=30).stdout.replace(str(path), "PATH"))
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
