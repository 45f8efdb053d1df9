"""The standard library treats KestraIniMain's methods as it treats a plain Python class's functions."""
import copy
import cProfile
import doctest
import functools
import inspect
import pstats
import pydoc
import types
from unittest import mock

from model_store import ModelStore
from test_functions import PARAMS


def plain_twin():
    """A plain Python class with the same signatures, whose bodies are the model's."""
    lines = ["class KestraIniMain(ModelStore):"]
    for name, params in PARAMS.items():
        args = "".join(f", {p.split('=')[0]}" for p in params.split(", ")[1:])
        lines += [f"    def {name}({params}):", f"        return ModelStore.{name}(self{args})"]
    namespace = {"ModelStore": ModelStore}
    exec("\n".join(lines), namespace)
    return namespace["KestraIniMain"]


def outcome(call):
    try:
        call()
    except Exception as exc:
        return type(exc).__name__
    return "ok"


def recorded(fake, cls):
    return [(name, tuple("instance" if isinstance(a, cls) else a for a in args), kwargs)
            for name, args, kwargs in fake.mock_calls]


def method_calls(target, cls):
    """The same calls, good and bad, on an autospecced mock of an instance."""
    return [outcome(lambda: target._get("s", "o")), outcome(lambda: target._get("s")),
            outcome(lambda: target._get("s", "o", colour=1)), outcome(lambda: target._set("s", "o", 1, save=False)),
            outcome(lambda: target._set("s", "o", 1, True, 2)),
            outcome(lambda: target._read(1)), outcome(lambda: setattr(target, "_unknown", 1)),
            outcome(lambda: target._unknown), recorded(target, cls)]


def mock_idioms(cls, path):
    store = cls(path)
    seen = {}
    klass = mock.create_autospec(cls)
    seen["class"] = [outcome(lambda: klass(path)), outcome(klass), outcome(lambda: klass(path, 1)),
                     outcome(lambda: klass._get("s", "o")), outcome(lambda: klass._get(store, "s", "o")),
                     recorded(klass, cls)]
    for label, target in [("instance", mock.create_autospec(cls, instance=True)),
                          ("strict instance", mock.create_autospec(cls, spec_set=True, instance=True)),
                          ("class's instance", klass.return_value),
                          ("live instance", mock.create_autospec(store, spec_set=True))]:
        seen[label] = method_calls(target, cls)
    originals = dict(vars(cls))
    with mock.patch.object(cls, "_save", autospec=True) as fake:
        seen["patched _save"] = [outcome(lambda: store._set_section("new")), outcome(lambda: store._save(1)),
                                 outcome(lambda: store._save(x=1)), outcome(lambda: cls._save()),
                                 outcome(lambda: fake.assert_called_once_with(store)), recorded(fake, cls)]
    with mock.patch.object(cls, "_has_section", autospec=True, spec_set=True, return_value=True) as fake:
        seen["patched _has_section"] = [outcome(lambda: store._set_section("new", False)),
                                        outcome(lambda: store._has_section("s", "o")), recorded(fake, cls)]
    with mock.patch.object(cls, "_get", autospec=True) as fake:  # calls compared through the signature
        store._get("s", option="o")
        seen["patched _get"] = outcome(lambda: fake.assert_called_once_with(store, section="s", option="o"))
    specced = mock.Mock(spec=cls._get)
    specced(store, "s", option="o")
    seen["spec"] = outcome(lambda: specced.assert_called_with(store, section="s", option="o"))
    with mock.patch.object(cls, "__init__", autospec=True, return_value=None) as fake:
        seen["patched __init__"] = [outcome(lambda: cls(path)), outcome(cls), recorded(fake, cls)]
    seen["restored"] = all(vars(cls)[name] is originals[name] for name in PARAMS)
    return seen


def introspection(cls, store):
    return {name: (isinstance(fn, types.FunctionType), inspect.isfunction(fn), inspect.isroutine(fn),
                   inspect.ismethoddescriptor(fn), inspect.isbuiltin(fn), str(inspect.signature(fn)),
                   str(inspect.signature(getattr(store, name))), pydoc.describe(fn),
                   pydoc.plain(pydoc.render_doc(fn)).splitlines()[2], copy.copy(fn) is copy.deepcopy(fn) is fn,
                   functools.wraps(fn)(lambda: None).__wrapped__ is fn, [a for a in dir(fn) if not hasattr(fn, a)])
            for name, fn in vars(cls).items() if name in PARAMS}


def test_mock_and_inspect_see_a_plain_class(ini_main, make_ini):
    twin, ours = plain_twin(), ini_main.KestraIniMain
    expected = mock_idioms(twin, make_ini("[s]\no = v\n"))
    # The reference itself: signatures enforced, self recorded.
    assert expected["instance"][:3] == ["ok", "TypeError", "TypeError"]
    assert expected["patched _save"][-1] == [("", ("instance",), {})] and expected["restored"]
    path = make_ini("[s]\no = v\n")  # the same path, as calls record it
    assert mock_idioms(ours, path) == expected
    assert introspection(ours, ours(path)) == introspection(twin, twin(path))
    assert type(ours._get).__name__ == "function" and type(ours._get) is not types.FunctionType


def test_doctest_and_profilers_still_walk_the_methods(ini_main, make_ini):
    found = {test.name.removeprefix(f"{ini_main.__name__}.KestraIniMain.")
             for test in doctest.DocTestFinder(exclude_empty=False).find(ini_main)}
    assert set(PARAMS) <= found
    # A value with '%' is interpolated by the engine's own code (a plain one
    # is answered natively, without it).
    store = ini_main.KestraIniMain(make_ini("[s]\no = %%v\n"))
    profile = cProfile.Profile()
    assert profile.runcall(store._get, "s", "o") == "%v"
    assert any(func[0] == inspect.getfile(ini_main.configparser) and func[2] == "get"
               for func in pstats.Stats(profile).stats)
