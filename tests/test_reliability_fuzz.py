"""Hostile files and random calls: only documented exceptions, and every save loads again."""
import configparser
import os
import tempfile
from pathlib import Path

from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import run_python, sections_as_dicts

ENDS = ["\n", "\r\n", "\r", "\n\r", "\x0b", "\x0c", "\x1c", "\x85", "\u2028", ""]
PIECES = ["[main]", "[DEFAULT]", "[ x ]", "[]", "[a]b]", "[", "a = 1", "a: 2", "A = 3", " cont", "\tcont",
          "# c", "; c", "=x", "k =", "k", "k = %(a)s", "k = 50%", "\x00", "[\x00]", "k\x00 = v\x00", "\ufeff[b]"]
# Long lines without spaces: the engine's option pattern backtracks
# quadratically on long runs of whitespace, which says nothing about us.
LONG = st.builds(lambda c, n: c * n, st.sampled_from("x=[#\u00e9"), st.integers(1000, 20000))
LINES = st.lists(st.tuples(st.one_of(st.sampled_from(PIECES), st.text(max_size=30), LONG), st.sampled_from(ENDS)),
                 max_size=25)
HEADS = st.sampled_from(["[main]\n", "[main]\r\n", "[DEFAULT]\nd = 1\n[main]\n", "[main]\r[main]\n", ""])
STRUCTURED = st.builds(lambda boms, head, lines, tail: b"\xef\xbb\xbf" * boms
                       + (head + "".join(a + b for a, b in lines)).encode() + tail,
                       st.integers(0, 2), HEADS, LINES, st.sampled_from([b"", b"", b"\xff", b"\x00"]))
FILES = st.one_of(st.binary(max_size=400), STRUCTURED, STRUCTURED, STRUCTURED)

NAMES = st.one_of(st.sampled_from(["main", "a", "A", "x", "DEFAULT", "", " a", "a ", "a\nb", "#a", "[a", "a=b",
                                   "\ud800", "k\r", "\x00", "]"]), st.text(max_size=8))
VALUES = st.one_of(st.text(max_size=20), st.integers(), st.none(), st.booleans(),
                   st.sampled_from(["a\n#b", "a\n  ;b", "50%", "%(a)s", "%%", "a\rb", "x\n[y]", "\ud800",
                                    "line\n\tnext", "a\n\nb", "\n", " v ", "\x00"]))
OPTIONS = st.dictionaries(NAMES, VALUES, max_size=3)
SAVE = st.booleans()
CALLS = st.one_of(
    st.tuples(st.just("_set"), NAMES, NAMES, VALUES, SAVE), st.tuples(st.just("_set_section"), NAMES, SAVE),
    st.tuples(st.just("_set_option"), NAMES, OPTIONS, SAVE),
    st.tuples(st.just("_set_all"), st.dictionaries(NAMES, OPTIONS, max_size=2), SAVE),
    st.tuples(st.just("_remove_section"), NAMES, SAVE), st.tuples(st.just("_remove_option"), NAMES, NAMES, SAVE),
    st.tuples(st.just("_get"), NAMES, NAMES), st.tuples(st.just("_get_option"), NAMES),
    st.tuples(st.just("_options"), NAMES), st.tuples(st.just("_has_option"), NAMES, NAMES),
    st.tuples(st.sampled_from(["_get_all", "_sections", "_save", "_read", "_set_path"])),
)
# A call that, when it returns, has saved and reloaded (or loaded) the file.
RELOADING = {"_set", "_set_option", "_set_all", "_remove_section", "_remove_option"}


@settings(max_examples=int(os.environ.get("FUZZ_EXAMPLES", 400)), deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(FILES, st.lists(CALLS, min_size=1, max_size=12))
def hostile_files_then_random_calls(data, calls):
    from kestra_ini.ini_main import KestraIniMain

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "settings.ini"
        path.write_bytes(data)
        try:
            store = KestraIniMain(str(path))
        except (configparser.Error, UnicodeDecodeError):
            path.unlink()  # refused as it should be; the calls then start from no file
            store = KestraIniMain(str(path))
        for name, *args in calls:
            try:
                getattr(store, name)(*args)
            except (configparser.Error, ValueError, TypeError, KeyError):
                # The engine's errors and the store's refusals; an OSError,
                # SystemError or any other would be a fault.
                continue
            finally:
                # Whatever the call did to the file, the next construction loads it.
                fresh = KestraIniMain(str(path))
            if (name in RELOADING and args[-1]) or name == "_set_path":
                saved, held = (sections_as_dicts(s._config, with_default=True) for s in (fresh, store))
                assert saved == held, (name, args)
        assert set(os.listdir(folder)) <= {"settings.ini"}


def test_hostile_files_and_random_calls():
    # In a child: a crash on some input must not take the suite down with it.
    run_python(f"""
        import sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        from test_reliability_fuzz import hostile_files_then_random_calls
        hostile_files_then_random_calls()
    """, timeout=600)
