"""The seventeen function objects of KestraIniMain and how calls bind to their parameters."""
import builtins
import configparser
import inspect
import pickle
import textwrap
import threading
import types
import warnings

import pytest

from conftest import run_python

PARAMS = {
    "__init__": "self, path", "_set_path": "self", "_get": "self, section, option", "_get_option": "self, section",
    "_get_all": "self", "_set": "self, section, option, value, save=True", "_set_section": "self, section, save=True",
    "_set_option": "self, section, option_dict, save=True", "_set_all": "self, section_dict, save=True",
    "_sections": "self", "_options": "self, section", "_remove_section": "self, section, save=True",
    "_remove_option": "self, section, options, save=True", "_has_section": "self, section",
    "_has_option": "self, section, option", "_read": "self", "_save": "self",
}


@pytest.fixture
def store(ini_main, make_ini):
    return ini_main.KestraIniMain(make_ini("[s]\no = v\n"))


@pytest.mark.parametrize("name", PARAMS)
def test_function_attributes(ini_main, store, name):
    cls = ini_main.KestraIniMain
    fn = vars(cls)[name]
    assert repr(type(fn)) == "<class 'ini_main.function'>" and fn.__code__.co_name == name
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (
        name, f"KestraIniMain.{name}", "ini_main", f"KestraIniMain.{name}({PARAMS[name]})")
    assert fn.__defaults__ == ((True,) if "save" in PARAMS[name] else None)
    assert fn.__defaults__ is None or fn.__defaults__[0] is True
    assert (fn.__kwdefaults__, fn.__annotations__, fn.__closure__, fn.__type_params__) == (None, {}, None, ())
    assert fn.__builtins__ is vars(builtins)
    assert fn.__globals__ is vars(ini_main) and str(inspect.signature(fn)) == f"({PARAMS[name]})"
    bound = getattr(store, name)
    assert getattr(cls, name) is fn and pickle.loads(pickle.dumps(fn)) is fn
    assert isinstance(bound, types.MethodType) and bound.__self__ is store and bound.__func__ is fn
    fn.marker = name
    try:
        assert fn.__dict__ == {"marker": name} and [n for n in PARAMS if vars(cls)[n].__dict__] == [name]
    finally:
        del fn.marker


def test_attribute_assignment(ini_main, store):
    fn, saver = ini_main.KestraIniMain._get, ini_main.KestraIniMain._set_section
    saved = {a: getattr(fn, a) for a in ("__name__", "__qualname__", "__doc__", "__module__")}
    try:
        fn.__name__, fn.__qualname__, fn.__doc__, fn.__module__ = "n", "q", None, "m"
        assert (fn.__name__, fn.__qualname__, fn.__doc__, fn.__module__) == ("n", "q", None, "m")
        for attr, value in [("__name__", 1), ("__qualname__", None), ("__defaults__", 5), ("__type_params__", [])]:
            with pytest.raises(TypeError):
                setattr(fn, attr, value)
        with pytest.warns(RuntimeWarning, match="__defaults__"):
            saver.__defaults__ = (False,)
        assert saver.__defaults__ == (False,) and inspect.signature(saver).parameters["save"].default is False
        assert store._set_section("new") is True  # the call still saves
        assert b"[new]" in store._path.read_bytes()
    finally:
        for attr, value in saved.items():
            setattr(fn, attr, value)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            saver.__defaults__ = (True,)


@pytest.mark.parametrize("call, message", [
    ("C()", "__init__() takes exactly 2 positional arguments (1 given)"),
    ("C('a', 'b')", "__init__() takes exactly 2 positional arguments (3 given)"),
    ("s._get('a')", "_get() takes exactly 3 positional arguments (2 given)"),
    ("s._read(1)", "_read() takes exactly 1 positional argument (2 given)"),
    ("s._sections(1, x=1)", "_sections() takes exactly 1 positional argument (2 given)"),
    ("s._set('s')", "_set() takes at least 4 positional arguments (2 given)"),
    ("s._set('s', 'o', 'v', True, 1)", "_set() takes at most 5 positional arguments (6 given)"),
    ("s._set('s', 'o', 'v', True, 1, save=1)", "_set() takes at most 5 positional arguments (6 given)"),
    ("C._set_section(s)", "_set_section() takes at least 2 positional arguments (1 given)"),
    ("s._set(option='o', value='v')", "_set() takes at least 4 positional arguments (1 given)"),
    ("s._set(section='s', value='v')", "_set() takes at least 4 positional arguments (2 given)"),
    ("s._set_option(section='s', save=False)", "_set_option() takes at least 3 positional arguments (2 given)"),
    ("s._get(option='o')", "_get() takes exactly 3 positional arguments (1 given)"),
    ("s._get(section='s')", "_get() takes exactly 3 positional arguments (2 given)"),
    ("s._set('s', option='o')", "_set() takes at least 4 positional arguments (3 given)"),
    ("s._get('s', section='x')", "_get() takes exactly 3 positional arguments (2 given)"),
    ("s._get('s', 'o', section='x')", "_get() got multiple values for keyword argument 'section'"),
    ("C._get(s, 's', 'o', self=s)", "_get() got multiple values for keyword argument 'self'"),
    ("s._set('s', 'o', 'v', True, save=False)", "_set() got multiple values for keyword argument 'save'"),
    ("s._get('s', 'o', colour=1)", "_get() got an unexpected keyword argument 'colour'"),
    ("s._save(x=1)", "_save() got an unexpected keyword argument 'x'"),
    ("s._set_all({}, False, saves=1)", "_set_all() got an unexpected keyword argument 'saves'"),
    ("C._get(**{1: 2})", "keywords must be strings"),  # refused by the interpreter before the call
    ("C._get.__call__(s, 's', 'o', **{1: 2})", "keywords must be strings"),
])
def test_binding_errors(ini_main, store, call, message):
    before = store._path.read_bytes()
    with pytest.raises(TypeError) as info:
        eval(call, {"C": ini_main.KestraIniMain, "s": store})
    assert str(info.value) == message
    assert store._path.read_bytes() == before and store._get("s", "o") == "v"


def test_successful_bindings(ini_main, store):
    before = store._path.read_bytes()
    assert ini_main.KestraIniMain._get(self=store, section="s", option="o") == "v"
    assert store._get(option="o", section="s") == "v"
    assert store._get(**{"".join(["sec", "tion"]): "s", "option": "o"}) == "v"  # not interned: equal, not identical
    assert store._set("s", "o", "w", save=False) is True and store._get("s", "o") == "w"
    assert store._set_section("t", None) is True and store._has_section("t")
    assert store._set("s", "p", 1, **{"".join(["sa", "ve"]): 0}) is True
    assert store._path.read_bytes() == before
    assert pickle.loads(pickle.dumps(store._get))("s", "o") == "w"
    other = types.SimpleNamespace(_config=configparser.ConfigParser())  # self is not type-checked
    other._config.add_section("x")
    assert ini_main.KestraIniMain._sections(other) == ["x"]

    class Raising(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            raise ZeroDivisionError("compared")

    with pytest.raises(ZeroDivisionError, match="compared"):
        store._get(**{Raising("section"): "s", "option": "o"})


def test_raw_vectorcall_keyword_names(make_ini):
    path = make_ini("[s]\no = v\np = w\n")
    out = run_python(f"""
        import ctypes
        import kestra_ini.ini_main as m
        call = ctypes.pythonapi.PyObject_Vectorcall
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
        s = m.KestraIniMain({str(path)!r})
        args = (ctypes.py_object * 4)(s, "s", "o", "p")
        for nargs, names in [(3, (1,)), (2, ("option", 2)), (3, ("option",)), (2, (b"option",)),
                             (2, ("option", "option"))]:
            try:
                print(call(m.KestraIniMain._get, ctypes.addressof(args), nargs, names))
            except TypeError as e:
                print(e)
        """).stdout.splitlines()
    assert out == ["_get() keywords must be strings", "_get() keywords must be strings",
                   "_get() got multiple values for keyword argument 'option'",
                   "_get() takes exactly 3 positional arguments (2 given)",
                   "w"]  # a repeated name binds again: the last value wins


# Each loop runs through the store's own methods with no Python frame between
# them (the last two rows: with a Python frame), entered through `start`; `setup` builds the
# store `s` over the file `p` and the class `C`.
RECURSION_LOOPS = {
    "alias": ("class S(C): _has_section = C._set_section\ns = S(p)", "_set_section", "s._set_section('x')"),
    "bulk chain": ("class S(C): _has_section = C._set_section\ns = S(p)", "_set_all",
                   "s._set_all({'x': {'o': 1}})"),
    "constructor": ("class S(C): _read = C._set_path", "__init__", "S(p)"),
    "query": ("class S(C): _sections = C._get_all\ns = S(p)", "_get_all", "s._get_all()"),
    "bound method": ("s = C(p)\ns._read = s._set_path", "_set_path", "s._set_path()"),
    "partial": ("s = C.__new__(C)\ns._read = functools.partial(C.__init__, s, p)", "__init__", "C.__init__(s, p)"),
    "through the engine": (
        "class Engine:\n    def has_section(self, section): return s._has_section(section)\n"
        "s = C(p)\ns._config = Engine()", "_has_section", "s._has_section('x')"),
    "through python": (
        "class S(C):\n    def _has_section(self, section): return self._set_all({section: {'o': 1}})\ns = S(p)",
        "_set", "s._set('x', 'o', 1)"),
}


@pytest.mark.parametrize("setup, start, call", RECURSION_LOOPS.values(), ids=RECURSION_LOOPS)
def test_recursion_among_methods_raises_recursion_error(make_ini, setup, start, call):
    path = make_ini("[s]\no = v\n")
    out = run_python(f"""
        import functools, sys, traceback
        from kestra_ini.ini_main import KestraIniMain as C
        p = {str(path)!r}
        {textwrap.indent(setup, " " * 8).lstrip()}
        try:
            {call}
        except RecursionError as e:
            entries = traceback.extract_tb(e.__traceback__)
            ours = sum(entry.filename == "ini_main" for entry in entries)  # one per call, as frames count
            print(type(e).__name__, (entries[1].filename, entries[1].name), ours <= sys.getrecursionlimit() + 1)
        print(C(p)._get("s", "o"))  # the interpreter is still sound
        """, timeout=60).stdout
    assert out == f"RecursionError ('ini_main', 'ini_main.KestraIniMain.{start}') True\nv\n"


def test_call_depth_is_counted_per_thread(ini_main, make_ini):
    """A thread parked deep inside the methods leaves another thread's recursion budget whole."""
    depth, parked, release = 600, threading.Event(), threading.Event()

    class Engine:
        def has_section(self, n):
            if n:
                return store._has_section(n - 1)
            if not parked.is_set():
                parked.set()
                release.wait(60)
            return True

    store = ini_main.KestraIniMain(make_ini())
    store._config = Engine()
    first = threading.Thread(target=store._has_section, args=(depth,))
    first.start()
    try:
        assert parked.wait(60) and store._has_section(depth) is True
    finally:
        release.set()
        first.join()


def test_function_cleared_by_the_collector_stays_sound(make_ini):
    """A finalizer that runs while the collector clears a function still sees sane attributes."""
    path = make_ini("[s]\no = v\n")
    out = run_python(f"""
        import gc, weakref
        from kestra_ini.ini_main import KestraIniMain as C
        fn = vars(C)["_set"]
        delattr(C, "_set")
        seen, refs = {{}}, []

        class Late:  # made during finalization, so its __del__ runs inside the function's clear
            def __del__(self):
                f = refs[0]()
                seen.update((name, type(getattr(f, name)).__name__) for name in dir(f))
                seen.update(name=f.__name__, qualname=f.__qualname__, defaults=f.__defaults__, doc=f.__doc__,
                            code=f.__code__.co_name, annotations=f.__annotations__, reduce=f.__reduce__(),
                            repr=repr(f).split(" at ")[0],
                            call=f(C({str(path)!r}), "s", "o", "w", False))

        class Trigger:
            def __init__(self, f):
                self.f = f

            def __del__(self):
                refs.append(weakref.ref(self.f))
                self.f.__type_params__ = (Late(),)  # a tuple: released by nothing but the function

        fn.me = fn
        fn.trigger = Trigger(fn)
        fn.__doc__ = fn.__module__ = fn  # cycles that only the function's own clear can break
        fn.__defaults__ = (fn,)
        del fn
        gc.collect()
        print(refs[0]() is None, sorted(seen.pop(k) for k in ("__globals__", "__dict__", "__code__")))
        print(seen.pop("name"), seen.pop("qualname"), seen.pop("code"), seen.pop("reduce"), seen.pop("repr"))
        print(seen.pop("call"), seen.pop("annotations"), seen.pop("defaults"), seen.pop("doc"))
        """, env={"PYTHONWARNINGS": "ignore"}).stdout.splitlines()
    assert out == ["True ['NoneType', 'code', 'dict']",
                   "_set KestraIniMain._set _set KestraIniMain._set <function KestraIniMain._set",
                   "True {} None None"]
