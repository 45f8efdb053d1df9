"""Engines and section proxies made natively are the ones the classes make.

Each case runs in a fresh interpreter that imports the module, changes
configparser (or leaves it alone), then makes an engine through the store, and another by
calling configparser.ConfigParser() and reading the same file. The two must
agree attribute by attribute, down through every proxy and getter, and
behave alike afterwards. Whether the classes' own __init__ ran during the
store's work is read off their code's adaptive counters: a fresh process
that never ran them shows the counters untouched.
"""
from __future__ import annotations

import json
from pathlib import Path

import pytest

from conftest import run_python

TEXT = "[DEFAULT]\nflag = yes\n[s]\nn = 7\nf = 1.5\nwords = a b c\n[t]\nx = %(flag)s\n"

HARNESS = r'''
import abc, collections.abc, configparser, functools, io, json, re, sys, types
from kestra_ini.ini_main import KestraIniMain
codes = [configparser.ConverterMapping.__init__.__code__, configparser.SectionProxy.__init__.__code__]
{patch}

def counters():
    return [code._co_code_adaptive for code in codes]

def canon(obj, stack):
    """obj written out: its type, then its content; an object met again on the way down is
    named by its depth, so the cycles between engine, proxies and getters compare too."""
    for depth, seen in enumerate(stack):
        if obj is seen:
            return ["back", depth]
    kind = f"{{type(obj).__module__}}.{{type(obj).__qualname__}}"
    if obj is None or type(obj) in (bool, int, float, str):
        return [kind, repr(obj)]
    if isinstance(obj, type):
        return ["class", f"{{obj.__module__}}.{{obj.__qualname__}}", obj is getattr(configparser, obj.__name__, None)]
    if isinstance(obj, (types.FunctionType, types.BuiltinFunctionType)):
        return [kind, obj.__qualname__]
    if isinstance(obj, re.Pattern):
        return [kind, obj.pattern, obj.flags, obj is configparser.ConfigParser.OPTCRE]
    inner = stack + [obj]
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

def behaviour(engine):
    out = []
    def step(call):
        try:
            out.append(repr(call()))
        except Exception as error:
            out.append(f"{{type(error).__name__}}: {{error}}")
    step(lambda: engine.sections())
    step(lambda: engine["s"].getint("n"))
    step(lambda: engine["DEFAULT"].getboolean("flag"))
    step(lambda: engine["s"].getfloat("f"))
    step(lambda: engine.get("t", "x"))
    step(lambda: list(engine["t"].items()))
    step(lambda: engine.converters.__setitem__("list", str.split))
    step(lambda: engine["s"].getlist("words"))
    step(lambda: sorted(vars(engine["s"])))
    step(lambda: engine.add_section("new"))
    step(lambda: engine["new"].getint("n", fallback=3))
    step(lambda: engine.converters.__delitem__("int"))
    step(lambda: sorted(vars(engine["t"])))
    buffer = io.StringIO()
    step(lambda: engine.write(buffer) or buffer.getvalue())
    step(lambda: engine.clear() or list(engine))
    step(lambda: engine.read_string("[z]\na = 1\n") or engine["z"].getfloat("a"))
    return out

def make_reference():
    engine = configparser.ConfigParser()
    {prepare}
    try:
        engine.read({path!r}, encoding="utf-8-sig")
    except Exception as error:
        print(json.dumps(["raised", type(error).__name__, str(error)]))
    return engine

before = counters()
if {given!r}:
    store = KestraIniMain({path!r})
    engine = configparser.ConfigParser()
    {prepare}
    store._config = engine
    before = counters()
    try:
        store._read()
    except Exception as error:
        print(json.dumps(["raised", type(error).__name__, str(error)]))
else:
    store = KestraIniMain({path!r})
ran = counters() != before
built = store._config
reference = make_reference()
# A section added through the store: its proxy made natively too.
for add in (lambda: store._set_section("added", False), lambda: reference.add_section("added")):
    try:
        add()
    except Exception as error:
        print(json.dumps(["raised", type(error).__name__, str(error)]))
print(json.dumps([canon(built, []), behaviour(built), ran]))
print(json.dumps([canon(reference, []), behaviour(reference)]))
'''

SUBCLASS = """
class Engine(configparser.ConfigParser):
    def __init__(self):
        super().__init__()
        self.extra = 1
configparser.ConfigParser = Engine
"""

WRAPPED_INIT = """
original_init = configparser.RawConfigParser.__init__
def __init__(self, *args, **kwargs):
    original_init(self, *args, **kwargs)
    self.wrapped = True
configparser.RawConfigParser.__init__ = __init__
"""

MAPPING = """
class Mapping(configparser.ConverterMapping):
    pass
configparser.ConverterMapping = Mapping
"""

MAPPING_INIT = """
original_init = configparser.ConverterMapping.__init__
def __init__(self, parser):
    original_init(self, parser)
    self._data["extra"] = None
    parser.getextra = parser.get
configparser.ConverterMapping.__init__ = __init__
"""

PROXY_INIT = """
original_init = configparser.SectionProxy.__init__
def __init__(self, parser, name):
    original_init(self, parser, name)
    self.seen = name
configparser.SectionProxy.__init__ = __init__
"""

PROXY_CLASS = """
class Proxy(configparser.SectionProxy):
    pass
configparser.SectionProxy = Proxy
"""

PARTIAL = """
class Partial(functools.partial):
    pass
functools.partial = Partial
"""

NAMESPACE = """
class Namespace(types.SimpleNamespace):
    pass
types.SimpleNamespace = Namespace
"""

METACLASS_CALL = """
def __call__(cls, *args, **kwargs):
    return type.__call__(cls, *args, **kwargs)
abc.ABCMeta.__call__ = __call__
"""

# (id, code run first, code run on an engine before it reads (given engines only),
#  whether the store is handed a ready engine, whether the native path must run)
CASES = [
    ("plain", "", "", False, True),
    ("plain, a given engine", "", "", True, True),
    ("a subclass as ConfigParser", SUBCLASS, "", False, False),
    ("a wrapped __init__", WRAPPED_INIT, "", False, False),
    ("another ConverterMapping", MAPPING, "", False, False),
    ("a wrapped ConverterMapping.__init__", MAPPING_INIT, "", False, False),
    ("a getter added to the class", "configparser.ConfigParser.getlist = configparser.ConfigParser.get", "",
     False, False),
    ("a getter added to a base", "collections.abc.Mapping.getany = collections.abc.Mapping.get", "",
     False, False),
    ("a non-callable get-name", "configparser.RawConfigParser.getter_limit = 3", "", False, False),
    ("keyword default changed in place",
     "configparser.RawConfigParser.__init__.__kwdefaults__['comment_prefixes'] = ('//',)", "", False, False),
    ("strict default changed in place",
     "configparser.RawConfigParser.__init__.__kwdefaults__['strict'] = False", "", False, False),
    ("another default interpolation",
     "configparser.ConfigParser._DEFAULT_INTERPOLATION = configparser.Interpolation()", "", False, False),
    ("another SimpleNamespace", NAMESPACE, "", False, False),
    ("a metaclass __call__", METACLASS_CALL, "", False, False),
    ("a wrapped SectionProxy.__init__", PROXY_INIT, "", False, False),
    ("another SectionProxy", PROXY_CLASS, "", False, False),
    ("another partial", PARTIAL, "", False, False),
    ("a given engine with a converter", "", "engine.converters['list'] = str.split", True, False),
    ("a given engine, converter data changed", "", "engine._converters._data['float'] = float", True, True),
    ("a given engine, a converter renamed", "", "engine._converters._data = {'boolean': None, 'int': None}",
     True, False),
    ("a given engine, a missing getter named", "", "engine._converters._data['nothing'] = None", True, False),
]


@pytest.mark.parametrize("patch, prepare, given, native", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_a_native_engine_is_the_one_the_class_makes(tmp_path: Path, patch: str, prepare: str, given: bool,
                                                     native: bool) -> None:
    path = tmp_path / "settings.ini"
    path.write_text(TEXT)
    code = HARNESS.format(patch=patch, prepare=prepare or "pass", given=given, path=str(path))
    lines = [json.loads(line) for line in run_python(code).stdout.splitlines()]
    *raised, (built, built_behaviour, ran), (reference, reference_behaviour) = lines
    assert built == reference
    assert built_behaviour == reference_behaviour
    assert ran is not native
    assert len(raised) % 2 == 0 and raised[::2] == raised[1::2]
