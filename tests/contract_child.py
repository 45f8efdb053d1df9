"""A store's answers under one change to configparser, printed as JSON lines.

Run as `python -m contract_child CASE MODE DIRECTORY` from tests/. MODE "native"
leaves the store free to take its native paths; "engine" first starts a
sys.monitoring tool, which sends every call through configparser's own code.
test_native_contract.py runs both and compares what they print.
"""
from __future__ import annotations

import collections
import configparser
import contextlib
import json
import sys
import tempfile
import types
from pathlib import Path

VERIFIED = Path(__file__).resolve().parent.parent / "src" / "ini_main" / "native" / "verified.def"

TEXTS = {
    "plain": "[DEFAULT]\nd = 1\n# note\n[s]\nk = v\nKey2 = two\n  lines\n; other\n[t]\nn = 2\nkx = 3\n",
    "duplicate option": "[s]\nk = 1\nk = 2\n",
    "duplicate section": "[s]\nk = 1\n[s]\nj = 2\n",
    "no header": "k = v\n[s]\n",
    "lines in error": "[s]\nk = v\nnot an option\n[t]\nalso not\n",
}


# --- changes made once the store's module is imported ------------------------------------

def line_getitem() -> None:
    configparser._Line.__getitem__ = lambda self, key: str.__getitem__(self, key).swapcase()


def line_getattribute() -> None:
    def getattribute(self, name):
        value = object.__getattribute__(self, name)
        return value.upper() if name == "clean" and isinstance(value, str) else value
    configparser._Line.__getattribute__ = getattribute


def line_prefixes() -> None:
    def store(self, value):
        vars(self)["_prefixes"] = types.SimpleNamespace(full=(*value.full, "kx"), inline=value.inline)
    configparser._Line.prefixes = property(lambda self: vars(self)["_prefixes"], store)


def read_state_setattr() -> None:
    def setattr_(self, name, value):
        object.__setattr__(self, name, value + 100 if name == "lineno" else value)
    configparser._ReadState.__setattr__ = setattr_


def read_state_errors() -> None:
    configparser._ReadState.errors = property(lambda self: [], lambda self, value: None)


def read_state_elements() -> None:
    configparser._ReadState.elements_added = property(lambda self: set(), lambda self, value: None)


def shadow_bytes() -> None:
    configparser.bytes = 1  # isinstance(path, (str, bytes, os.PathLike)) raises


def shadow_next() -> None:
    configparser.next = lambda iterator, *default: iter(())


def shadow_contextlib() -> None:
    configparser.contextlib = types.SimpleNamespace(suppress=lambda *kinds: contextlib.nullcontext())


def unnamed_section_equal_to_a_name() -> None:
    configparser._UnnamedSection.__eq__ = lambda self, other: other == "s" or other is self
    configparser._UnnamedSection.__hash__ = lambda self: hash("s")


def getter_on_the_class() -> None:
    from kestra_ini.ini_main import KestraIniMain

    with tempfile.TemporaryDirectory() as folder:  # the native paths proven before the change
        path = Path(folder, "proof.ini")
        path.write_text("[s]\n")
        KestraIniMain(path)._has_section("s")
    configparser.ConfigParser.getx = lambda self, section, option, **kwargs: "x"


# --- changes made before the import: only the fingerprint stands between them and the native paths

def fake_sha2_and_changed_optionxform() -> None:
    digest = VERIFIED.read_text().split('"')[-2]
    hashed = types.SimpleNamespace(hexdigest=lambda: digest)
    fake = types.ModuleType("_sha2")
    fake.sha256 = lambda *args, **kwargs: hashed
    sys.modules["_sha2"] = fake
    configparser.RawConfigParser.optionxform = lambda self, optionstr: optionstr.upper()


def get_defaults_changed() -> None:
    get = configparser.RawConfigParser.get
    get.__kwdefaults__ = {**get.__kwdefaults__, "vars": {"k": "from vars"}}


def rebuilt_with_other_globals() -> None:
    original = configparser.RawConfigParser._unify_values
    chained = lambda *maps: collections.ChainMap({"k": "rebuilt"}, *maps)  # noqa: E731
    namespace = dict(vars(configparser), _ChainMap=chained)
    configparser.RawConfigParser._unify_values = types.FunctionType(
        original.__code__, namespace, original.__name__, original.__defaults__, original.__closure__)


def class_of_the_same_name() -> None:
    class SectionProxy(configparser.SectionProxy):
        def get(self, option, fallback=None, **kwargs):
            return "proxied"
    SectionProxy.__module__ = "configparser"
    configparser.SectionProxy = SectionProxy


AFTER_IMPORT = {f.__name__: f for f in (
    line_getitem, line_getattribute, line_prefixes, read_state_setattr, read_state_errors, read_state_elements,
    shadow_bytes, shadow_next, shadow_contextlib, unnamed_section_equal_to_a_name, getter_on_the_class)}
BEFORE_IMPORT = {f.__name__: f for f in (
    fake_sha2_and_changed_optionxform, get_defaults_changed, rebuilt_with_other_globals, class_of_the_same_name)}
CASES = [*AFTER_IMPORT, *BEFORE_IMPORT]


# --- what is printed ----------------------------------------------------------------------

def shown(value):
    if isinstance(value, BaseException):
        return [type(value).__name__, str(value)]
    if isinstance(value, dict):
        return [[shown(k), shown(v)] for k, v in value.items()]
    if isinstance(value, (list, tuple, set, frozenset)):
        items = [shown(item) for item in value]
        return sorted(items, key=repr) if isinstance(value, (set, frozenset)) else items
    if isinstance(value, (str, int, float, bool, type(None))):
        return [type(value).__name__, value]
    return type(value).__name__


def outcome(call):
    try:
        return ["returned", shown(call())]
    except Exception as error:  # the answer compared is the exception itself
        return ["raised", shown(error)]


def listen() -> None:
    monitoring = sys.monitoring
    monitoring.use_tool_id(5, "listener")
    monitoring.register_callback(5, monitoring.events.PY_START, lambda code, offset: None)
    monitoring.set_events(5, monitoring.events.PY_START)


def engine_state(engine) -> object:
    proxies = {name: sorted(n for n in vars(proxy) if n.startswith("get")) for name, proxy in engine._proxies.items()}
    return shown([engine._sections, engine._defaults, proxies, sorted(engine.converters)])


def file_answers(store_class, label: str, path: Path) -> list:
    made = outcome(lambda: store_class(path))
    lines = [[label, "construct", made]]
    if made[0] == "raised":
        return lines
    store = store_class(path)
    for name, call in [
        ("sections", store._sections), ("get_all", store._get_all),
        ("get own", lambda: store._get("s", "k")), ("get inherited", lambda: store._get("s", "d")),
        ("has_option", lambda: store._has_option("s", "Key2")), ("options", lambda: store._options("s")),
        ("set", lambda: store._set("s", "new", "1")), ("saved", path.read_bytes),
        ("read", store._read), ("engine", lambda: engine_state(store._config)),
    ]:
        lines.append([label, name, outcome(call)])
    return lines


def answers(store_class, directory: Path) -> list:
    lines = []
    for label, text in TEXTS.items():
        path = directory / f"{label}.ini"
        path.write_text(text)
        lines += file_answers(store_class, label, path)
    return lines


def main(case: str, mode: str, directory: str) -> None:
    if case in BEFORE_IMPORT:
        BEFORE_IMPORT[case]()
    from kestra_ini.ini_main import KestraIniMain

    if case in AFTER_IMPORT:
        AFTER_IMPORT[case]()
    if mode == "engine":
        listen()
    for line in answers(KestraIniMain, Path(directory)):
        print(json.dumps(line))
    sys.stdout.flush()


if __name__ == "__main__":
    main(*sys.argv[1:])
