"""Import, registration and the module and class objects the import leaves behind."""
import builtins
import shutil
import subprocess
import sys

import pytest

from conftest import run_python
from test_functions import PARAMS

CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


@pytest.mark.parametrize("first", ["kestra_ini.ini_main", "ini_main", "foreign"])
def test_every_way_of_importing_gives_one_module(first):
    run_python(f"""
        import importlib, importlib.util, os, sys, types, warnings
        sys.path.insert(0, os.path.dirname(importlib.util.find_spec("kestra_ini.ini_main").origin))
        foreign = types.ModuleType("ini_main") if {first!r} == "foreign" else None
        if foreign:
            sys.modules["ini_main"] = foreign
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("error")  # no version warning on 3.13
            m = importlib.import_module({first!r} if {first!r} != "foreign" else "kestra_ini.ini_main")
        assert not caught and m.__name__ == {first!r}.replace("foreign", "kestra_ini.ini_main")
        assert sys.modules["ini_main"] is (foreign or m) and m.KestraIniMain.__module__ == "ini_main"
        if foreign:
            raise SystemExit(0 if not hasattr(foreign, "KestraIniMain") else 1)
        import kestra_ini.ini_main as pkg
        cls, fn, cp = m.KestraIniMain, m.KestraIniMain._get, m.configparser
        for name in ("ini_main", "kestra_ini.ini_main"):
            del sys.modules[name]
        import kestra_ini.ini_main as again
        import ini_main as bare
        assert pkg is m and again is m and bare is m and importlib.reload(m) is m
        assert m.KestraIniMain is cls and cls._get is fn and m.configparser is cp
        """)


def test_second_module_object_is_refused_at_exec():
    out = run_python("""
        import _imp, importlib.util
        spec = importlib.util.find_spec("kestra_ini.ini_main")
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)  # the same object again is a no-op
        assert _imp.create_dynamic(spec) is first
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            print(e)
        """).stdout
    assert out == "Module 'ini_main' has already been imported. Re-initialisation is not supported.\n"


@pytest.mark.parametrize("config, main_first, expected", [
    ("legacy", True, CHANGE),
    ("isolated", True, "module kestra_ini.ini_main does not support loading in subinterpreters"),
    ("legacy", False, CHANGE),  # the subinterpreter imported first and is gone: the main one is refused
])
def test_second_interpreter_is_refused(config, main_first, expected):
    out = run_python(f"""
        import _interpreters
        if {main_first}:
            import kestra_ini.ini_main
        iid = _interpreters.create(_interpreters.new_config({config!r}))
        err = _interpreters.exec(iid, "import kestra_ini.ini_main")
        if {main_first}:
            print(err.type.__name__, err.msg, sep=": ")
        else:
            assert err is None
            _interpreters.destroy(iid)
            try:
                import kestra_ini.ini_main
            except ImportError as e:
                print("ImportError", e, sep=": ")
        """).stdout
    assert out == f"ImportError: {expected}\n"


def test_missing_open_fails_the_import_and_a_later_import_succeeds():
    out = run_python("""
        import builtins, sys, traceback
        saved = builtins.open
        del builtins.open
        try:
            import kestra_ini.ini_main
        except NameError as e:
            err = e
        builtins.open = saved
        last = traceback.extract_tb(err.__traceback__)[-1]
        left = {"ini_main", "kestra_ini.ini_main"} & set(sys.modules)
        print(err, last.filename, last.name, 7 <= last.lineno <= 14, left)
        import kestra_ini.ini_main as m
        import ini_main
        assert ini_main is m and m.KestraIniMain.__name__ == "KestraIniMain" and m.__builtins__.open is saved
        """).stdout
    assert out == "name 'open' is not defined ini_main init ini_main True set()\n"


def test_module_namespace_and_class(ini_main):
    assert set(vars(ini_main)) == {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__",
                                   "__builtins__", "configparser", "KestraIniMain", "__test__"}
    spec = ini_main.__spec__
    assert (ini_main.__loader__, ini_main.__file__, ini_main.__package__) == (spec.loader, spec.origin, "kestra_ini")
    assert ini_main.__builtins__ is builtins and ini_main.configparser is sys.modules["configparser"]
    assert ini_main.__test__ == {} and type(ini_main.__test__) is dict and ini_main.__doc__.strip()
    cls = ini_main.KestraIniMain
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (
        "KestraIniMain", "KestraIniMain", "ini_main", None)
    names = list(vars(cls))
    assert names[:18] == ["__module__", *PARAMS] and set(names[18:21]) == {"__dict__", "__weakref__", "__doc__"}
    assert type("Sub", (cls,), {})._get is cls._get


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_library_exports_only_the_entry_point(ini_main):
    out = subprocess.run(["nm", "-D", "--defined-only", ini_main.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_ini_main"]
