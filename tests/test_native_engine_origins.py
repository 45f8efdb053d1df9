"""A change to a proven engine is seen however the engine was made.

Each case makes an engine one way, in a fresh interpreter, lets the store
prove it with one native call, then changes one of the settings the guard
proves (read from the guard's own table). The store's answers, saves and
reads that follow must be the engine's own: each call runs natively first,
then again with a sys.monitoring tool listening, which sends it through the
engine's code, from the same state.
"""
from __future__ import annotations

import configparser
import pickle
import re
import textwrap
from pathlib import Path

import pytest

from conftest import run_python

GUARD = Path(__file__).resolve().parent.parent / "src" / "ini_main" / "native" / "guard.cpp"
SETTINGS = re.findall(r'key\(keys\.\w+, "(\w+)"\)', GUARD.read_text())

TEXT = "[DEFAULT]\nd = 1\n[s]\nk = v\np = %(d)s\n"


def pickled_engine() -> bytes:
    engine = configparser.ConfigParser()
    engine.read_string(TEXT)
    return pickle.dumps(engine)


# How the engine is made; `engine` must name it, `held` may hold its dict.
ORIGINS = {
    "first instance": "engine = configparser.ConfigParser(); engine.read(path)\n" + "{import_store}",
    "first, __new__ then __init__": (
        "engine = configparser.ConfigParser.__new__(configparser.ConfigParser)\n"
        "configparser.ConfigParser.__init__(engine); engine.read(path)\n{import_store}"),
    "first, built attribute by attribute": """
engine = configparser.ConfigParser.__new__(configparser.ConfigParser)
mapping = configparser.ConverterMapping.__new__(configparser.ConverterMapping)
mapping._parser, mapping._data = engine, {{}}
for name, value in dict(
        _dict=dict, _sections={{"s": {{"k": "v", "p": "%(d)s"}}}}, _defaults={{"d": "1"}},
        _converters=mapping, _proxies={{}}, _delimiters=("=", ":"), _optcre=configparser.ConfigParser.OPTCRE,
        _prefixes=types.SimpleNamespace(full=("#", ";"), inline=()), _strict=True, _allow_no_value=False,
        _empty_lines_in_values=True, default_section="DEFAULT", _interpolation=configparser.BasicInterpolation(),
        _allow_unnamed_section=False).items():
    setattr(engine, name, value)
for name in ("DEFAULT", "s"):
    engine._proxies[name] = configparser.SectionProxy(engine, name)
{import_store}""",
    "first, unpickled": f"engine = pickle.loads(bytes.fromhex({pickled_engine().hex()!r}))\n" + "{import_store}",
    "made by the store": "{import_store}engine = store._config",
    "copy.copy": "{import_store}engine = copy.copy(store._config)",
    "copy.deepcopy": "{import_store}engine = copy.deepcopy(store._config)",
    "pickle round trip": "{import_store}engine = pickle.loads(pickle.dumps(store._config))",
    "dict read before proving": "{import_store}engine = store._config; held = vars(engine)",
    "dict read after proving, changed through it": "{import_store}engine = store._config; held = 'after'",
}

IMPORT_STORE = "from kestra_ini.ini_main import KestraIniMain\nstore = KestraIniMain(path)\n"

# A new value for each setting, chosen so that a store that missed it answers differently.
CHANGES = {
    "_sections": '{"s": {"k": "other"}, "u": {}}',
    "_defaults": '{"d": "2"}',
    "_proxies": '{"DEFAULT": engine._proxies["DEFAULT"]}',
    "_interpolation": "configparser.Interpolation()",
    "_optcre": 're.compile(configparser.ConfigParser._OPT_TMPL.format(delim="="), re.VERBOSE)',
    "_dict": 'lambda: {"made": "here"}',
    "_delimiters": '(":", "=")',
    "_strict": "False",
    "_allow_no_value": "True",
    "_empty_lines_in_values": "False",
    "_allow_unnamed_section": "True",
    "default_section": '"s"',
    "_prefixes": 'types.SimpleNamespace(full=("//",), inline=(";",))',
    "_converters": "{}",
}

# One file per setting that only reading shows.
READS = ["a = 1\n[s]\nk = 2\n", "[s]\nk = 2\n[s]\nk = 3\n", "[s]\nflag\n", "[s]\n// c\nx = y ; z\n",
         "[s]\nm = 1\n\n  more\n", "[n]\nq : %(d)s\nr = 1\n"]

HARNESS = r'''
import configparser, copy, os, pickle, re, sys, types
path = {path!r}
{origin}
store._config = engine
store._get("s", "k")  # the proof
if held == "after":
    held = vars(engine)
    held[{setting!r}] = {value}
else:
    setattr(engine, {setting!r}, {value})
assert held is None or held is vars(engine)

def outcome(call):
    try:
        return ("returned", repr(call()))
    except Exception as error:
        return ("raised", type(error).__name__, repr(error.args))

def state():
    return (repr(engine.__dict__.get("_sections")), repr(engine.__dict__.get("_defaults")))

def calls():
    for section in ("s", "DEFAULT", "u", "n"):
        yield lambda: store._has_section(section)
        for option in ("k", "d", "p", "q", "made"):
            yield lambda: store._get(section, option)
    yield store._sections
    yield store._get_all
    yield lambda: (store._save(), open(path, "rb").read())
    for text in {reads!r}:
        yield lambda: (open(path, "w").write(text), store._read(), state(), store._get_all())

def snapshot():
    sections, defaults, proxies = engine._sections, engine._defaults, engine._proxies
    if not isinstance(sections, dict):
        return sections, defaults, proxies
    return {{name: copy.copy(options) for name, options in sections.items()}}, copy.copy(defaults), copy.copy(proxies)

def restore(saved):
    engine._sections, engine._defaults, engine._proxies = saved
    open(path, "w").write({text!r})

tool = sys.monitoring.PROFILER_ID
sys.monitoring.use_tool_id(tool, "engine")
sys.monitoring.register_callback(tool, sys.monitoring.events.PY_START, lambda code, offset: None)
for index, call in enumerate(calls()):
    saved = snapshot()
    native = outcome(call)
    restore(saved)
    sys.monitoring.set_events(tool, sys.monitoring.events.PY_START)
    own = outcome(call)
    sys.monitoring.set_events(tool, 0)
    assert native == own, (index, native, own)
print("same")
'''


@pytest.mark.parametrize("setting", SETTINGS)
@pytest.mark.parametrize("origin", ORIGINS)
def test_a_changed_setting_is_seen_however_the_engine_was_made(tmp_path: Path, origin: str, setting: str) -> None:
    path = tmp_path / "settings.ini"
    path.write_text(TEXT)
    made = ORIGINS[origin].format(import_store=IMPORT_STORE)
    if "held" not in made:
        made += "\nheld = None"
    code = HARNESS.format(path=str(path), origin=textwrap.dedent(made), setting=setting,
                          value=CHANGES[setting], reads=READS, text=TEXT)
    assert run_python(code, timeout=60).stdout == "same\n"


def test_the_settings_come_from_the_guard() -> None:
    assert len(SETTINGS) >= 14 and "_strict" in SETTINGS and "default_section" in SETTINGS
