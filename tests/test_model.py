"""Random call sequences on the store and on the plain-Python model: same answers, same errors, same bytes."""
import configparser
import pathlib
import shutil
import tempfile

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import kestra_ini.ini_main as ini_main
from model_store import ModelStore

CHARS = st.sampled_from(list("ab A\n\r=:#;[]%\t") + ["\ud800", "é", "\x0c"])
NAMES = st.one_of(st.sampled_from(["s", "t", "S", "DEFAULT", "a b", "x ", " x", "#x", "[x]", "a=b", "ü"]),
                  st.text(CHARS, max_size=3))
VALUES = st.one_of(st.text(CHARS, max_size=6), st.integers(), st.none(), st.booleans(),
                   st.sampled_from(["v", "1\n2", "%%", "%(x)s", "a\n;b", "a\n \x0c#b", "a\rb", "1\n\n2", "#v"]))
SAVES = st.sampled_from([True, False, 0, 1, None, "", "y"])
OPTION_DICTS = st.dictionaries(NAMES, VALUES, max_size=3)
START = b"\xef\xbb\xbf[s]\nx = 1\ny = %%\n\n[t]\n\n"


def outcome(call):
    try:
        return "ok", call()
    except Exception as exc:  # both sides must fail alike
        return type(exc), str(exc)


class StoreVersusModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="ini-model-"))
        self.paths = [self.root / side / "settings.ini" for side in ("store", "model")]
        for path in self.paths:
            path.parent.mkdir()
            path.write_bytes(START)
        self.sides = ini_main.KestraIniMain(str(self.paths[0])), ModelStore(str(self.paths[1]))

    def teardown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def both(self, method, *args):
        got, want = (outcome(lambda: getattr(side, method)(*args)) for side in self.sides)
        assert got == want, (method, args)

    @rule(method=st.sampled_from(["_sections", "_get_all", "_save", "_read", "_set_path"]))
    def no_arguments(self, method):
        self.both(method)

    @rule(method=st.sampled_from(["_options", "_has_section", "_get_option"]), section=NAMES)
    def query_section(self, method, section):
        self.both(method, section)

    @rule(method=st.sampled_from(["_get", "_has_option"]), section=NAMES, option=NAMES)
    def query_option(self, method, section, option):
        self.both(method, section, option)

    @rule(method=st.sampled_from(["_set_section", "_remove_section"]), section=NAMES, save=SAVES)
    def change_section(self, method, section, save):
        self.both(method, section, save)

    @rule(section=NAMES, option=NAMES, value=VALUES, save=SAVES)
    def set(self, section, option, value, save):
        self.both("_set", section, option, value, save)

    @rule(section=NAMES, option=NAMES, save=SAVES)
    def remove_option(self, section, option, save):
        self.both("_remove_option", section, option, save)

    @rule(section=NAMES, option_dict=OPTION_DICTS, save=SAVES)
    def set_option(self, section, option_dict, save):
        self.both("_set_option", section, option_dict, save)

    @rule(section_dict=st.dictionaries(NAMES, OPTION_DICTS, max_size=2), save=SAVES)
    def set_all(self, section_dict, save):
        self.both("_set_all", section_dict, save)

    @invariant()
    def same_bytes_same_engine_and_the_file_loads(self):
        assert self.paths[0].read_bytes() == self.paths[1].read_bytes()
        configparser.ConfigParser().read(self.paths[0], encoding="utf-8-sig")
        raw = [[(n, side._config.items(n, raw=True)) for n in side._config.sections()] for side in self.sides]
        assert raw[0] == raw[1]  # raw texts, so a stored "%(x)s" hides nothing


StoreVersusModel.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
test_store_against_model = StoreVersusModel.TestCase
