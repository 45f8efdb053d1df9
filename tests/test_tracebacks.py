"""Traceback entries that failures carry out of the module."""
import configparser
import traceback

import pytest

from test_functions import PARAMS

HEADER = {name: 100 * (index + 1) for index, name in enumerate(PARAMS)}


def failure(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value, [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(info.value.__traceback__)]


@pytest.mark.parametrize("name", PARAMS)
def test_binding_failure_entry_is_the_header_line(ini_main, make_ini, name):
    store = ini_main.KestraIniMain(make_ini("[s]\n"))
    required = [p for p in PARAMS[name].split(", ")[1:] if "=" not in p]
    exc, entries = failure(lambda: getattr(store, name)(*required, bogus=1))
    assert entries[-2][1] == "<lambda>" and entries[-1] == ("ini_main", f"ini_main.KestraIniMain.{name}", HEADER[name])
    assert "".join(traceback.format_exception(exc)).endswith(
        f'  File "ini_main", line {HEADER[name]}, in ini_main.KestraIniMain.{name}\n'
        f"TypeError: {name}() got an unexpected keyword argument 'bogus'\n")


# A grammar error found by the native reader is raised at the store's entry,
# with no engine frames below it.
@pytest.mark.parametrize("text, call, methods, error, engine_frames", [
    ("[s]\n", lambda C, p: C(p)._get("missing", "o"), ["_get"], configparser.NoSectionError, True),
    ("x = 1\n", lambda C, p: C(p), ["__init__", "_set_path", "_read"], configparser.MissingSectionHeaderError,
     False),
])
def test_entries_stand_between_caller_and_engine(ini_main, make_ini, text, call, methods, error, engine_frames):
    exc, entries = failure(lambda: call(ini_main.KestraIniMain, make_ini(text)))
    assert isinstance(exc, error)
    first = next(i for i, entry in enumerate(entries) if entry[0] == "ini_main")
    assert entries[first - 1][1] == "<lambda>"
    assert [e[:2] for e in entries[first:first + len(methods)]] == [
        ("ini_main", f"ini_main.KestraIniMain.{m}") for m in methods]
    # Each entry stands at a line of its method's body.
    assert all(HEADER[m] < e[2] < HEADER[m] + 100 for m, e in zip(methods, entries[first:], strict=False))
    rest = entries[first + len(methods):]
    assert bool(rest) == engine_frames and all(e[0] == configparser.__file__ for e in rest)


def test_code_objects_are_made_once_per_line(ini_main, make_ini):
    store = ini_main.KestraIniMain(make_ini("[s]\n"))

    def our_frame(call):
        tb = failure(call)[0].__traceback__
        while tb.tb_frame.f_code.co_filename != "ini_main":
            tb = tb.tb_next
        return tb.tb_frame, tb.tb_lineno

    (f1, l1), (f2, l2), (f3, l3) = map(our_frame, [
        lambda: store._get("missing", "o"), lambda: store._get("missing", "other"), lambda: store._get("missing")])
    assert l1 == l2 != l3 and f1 is not f2 and f1.f_code is f2.f_code and f1.f_code is not f3.f_code
    assert (f1.f_code.co_filename, f1.f_code.co_name, f1.f_lineno) == ("ini_main", "ini_main.KestraIniMain._get", l1)
    assert f1.f_globals is vars(ini_main)
