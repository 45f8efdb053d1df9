"""Random call sequences on each store and on the plain-Python model: same answers, same errors, same bytes.

The stores are the extension and the benchmark's pure-Python store, the peer
that every benchmark ratio is measured against. Where the model has nothing to
say (the file on disk, pair walks over odd objects) the extension itself is
the pure store's reference.
"""
import configparser
import contextlib
import os
import pathlib
import resource
import shutil
import signal
import stat
import tempfile
import time
from types import SimpleNamespace

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

import kestra_ini.ini_main as ini_main
from conftest import load_pure_store, locked, sections_as_dicts
from model_store import ModelStore

STORES = {"module": ini_main.KestraIniMain, "pure": load_pure_store().PureStore}

CHARS = st.sampled_from(list("ab A\n\r=:#;[]%\t") + ["\ud800", "é", "\x0c"])
NAMES = st.one_of(st.sampled_from(["s", "t", "S", "DEFAULT", "a b", "x ", " x", "#x", "[x]", "a=b", "ü"]),
                  st.text(CHARS, max_size=3))
VALUES = st.one_of(st.text(CHARS, max_size=6), st.integers(), st.none(), st.booleans(),
                   st.sampled_from(["v", "1\n2", "%%", "%(x)s", "a\n;b", "a\n \x0c#b", "a\rb", "1\n\n2", "#v"]))
SAVES = st.sampled_from([True, False, 0, 1, None, "", "y"])
OPTION_DICTS = st.dictionaries(NAMES, VALUES, max_size=3)
START = b"\xef\xbb\xbf[s]\nx = 1\ny = %%\n\n[t]\n\n"


def outcome(call, *args):
    try:
        return "ok", call(*args)
    except Exception as exc:  # both sides must fail alike
        return type(exc), str(exc)


class StoreVersusModel(RuleBasedStateMachine):
    def __init__(self, store_class):
        super().__init__()
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="ini-model-"))
        self.paths = [self.root / side / "settings.ini" for side in ("store", "model")]
        for path in self.paths:
            path.parent.mkdir()
            path.write_bytes(START)
        self.sides = store_class(str(self.paths[0])), ModelStore(str(self.paths[1]))

    def teardown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def both(self, method, *args):
        got, want = (outcome(getattr(side, method), *args) for side in self.sides)
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


@pytest.mark.parametrize("store_class", STORES.values(), ids=STORES)
def test_store_against_model(store_class):
    run_state_machine_as_test(lambda: StoreVersusModel(store_class),
                              settings=settings(max_examples=60, stateful_step_count=30, deadline=None))


# --- the pure store against the extension ----------------------------------------------------------------

def folder_state(top):
    """Every entry under `top`: its content (or link target), permission bits, owner and link count."""
    found = {}
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                content = os.readlink(path)
            else:
                content = "folder" if stat.S_ISDIR(info.st_mode) else pathlib.Path(path).read_bytes()
            found[os.path.relpath(path, top)] = (content, stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid,
                                                 info.st_nlink)
    return found


def side_by_side(tmp_path, layout, act):
    """What `act` does on a store of each kind, each in a folder of its own laid out by `layout`.

    The store is made on settings.ini in that folder, as the working directory,
    and its `_path` then set to the path that `layout` yields, so that the
    names in error messages agree between the two.
    """
    seen = []
    for kind, store_class in STORES.items():
        (tmp_path / kind).mkdir()
        with contextlib.chdir(tmp_path / kind):
            with layout() as path:
                store = store_class("settings.ini")
                store._path = path
                result = outcome(act, store)
            engine = store._config
            held = sections_as_dicts(engine) if isinstance(engine, configparser.ConfigParser) else None
            seen.append((result, folder_state("."), held))
    return seen


def write(path="settings.ini", text="[s]\nx = 1\n" + "; padding\n" * 30):
    pathlib.Path(path).write_text(text)
    return path


@contextlib.contextmanager
def as_is(path):
    yield path


@contextlib.contextmanager
def size_limit(size):
    """Writes past `size` bytes fail with EFBIG (instead of killing the process) while it lasts."""
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, limits[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        signal.signal(signal.SIGXFSZ, handler)


@contextlib.contextmanager
def other_owner():
    write()
    if os.geteuid() == 0:
        os.chown("settings.ini", 4321, 4322)
    os.chmod("settings.ini", 0o6755)  # after chown, which drops set-id bits
    yield "settings.ini"


@contextlib.contextmanager
def stale_temporaries():
    os.mkdir(".settings.ini.00000000000000aa.ini-tmp")  # ours by name, but not a file
    for name in [".settings.ini.0123456789abcdef.ini-tmp", ".settings.ini.0123456789ABCDEF.ini-tmp",
                 ".settings.ini.not-ours.ini-tmp", ".other.ini.0123456789abcdef.ini-tmp"]:
        write(name)
    old = time.time() - 120
    for name in os.listdir():
        os.utime(name, (old, old))
    write(".settings.ini.fedcba9876543210.ini-tmp")  # too young to be a leftover
    yield write()


@contextlib.contextmanager
def link_chain():
    os.mkdir("real")
    write("real/target.ini")
    os.symlink("real/target.ini", "mid.ini")
    os.symlink("mid.ini", "link.ini")
    yield "link.ini"


@contextlib.contextmanager
def dangling_link():
    os.symlink("real/target.ini", "link.ini")
    os.mkdir("real")
    yield "link.ini"


@contextlib.contextmanager
def hard_link():
    os.link(write(), "twin.ini")
    yield "settings.ini"


@contextlib.contextmanager
def locked_folder():
    os.mkdir("locked")
    write("locked/s.ini")
    with locked(pathlib.Path("locked")):
        yield "locked/s.ini"


@contextlib.contextmanager
def locked_file():
    with locked(pathlib.Path(write())):
        yield "settings.ini"


@contextlib.contextmanager
def over_the_size_limit(layout):
    with layout() as path, size_limit(2000):
        yield path


LAYOUTS = {
    "new file": lambda: as_is("settings.ini"),
    "bytes path": lambda: as_is(write() and b"settings.ini"),
    "path-like": lambda: as_is(pathlib.Path(write())),
    "other owner, set-id bits": other_owner,
    "stale temporaries": stale_temporaries,
    "chain of links": link_chain,
    "dangling link": dangling_link,
    "hard link": hard_link,
    "locked folder": locked_folder,
    "locked file": locked_file,
    "a folder": lambda: as_is(os.mkdir("d") or "d"),
    "trailing slash": lambda: as_is(write() + "/"),
    "below a file": lambda: as_is(write() + "/s.ini"),
    "missing folder": lambda: as_is("missing/s.ini"),
    "empty path": lambda: as_is(""),
    "null byte": lambda: as_is("set\0tings.ini"),
    "descriptor number": lambda: as_is(10 ** 6),
    "size limit": lambda: over_the_size_limit(lambda: as_is(write())),
    "size limit, hard link": lambda: over_the_size_limit(hard_link),
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS)
def test_pure_store_saves_as_the_module(tmp_path, layout):
    # Two saves: the new section, then the option, too big for the size limit.
    module, pure = side_by_side(tmp_path, layout, lambda s: s._set("new", "big", "x" * 3000))
    assert pure == module


class Pairs:
    """Not a mapping: only an items() that returns what it was given."""

    def __init__(self, *pairs):
        self.pairs = pairs

    def items(self):
        return list(self.pairs)


class Faulty:
    def __str__(self):
        raise LookupError("no text")

    def __bool__(self):
        raise LookupError("no truth")


def growing():
    grows = {}
    grows["a"] = type("Grows", (), {"__str__": lambda self: grows.setdefault("z", "late")})()
    return grows


def answering(*elements):
    """Asks for a section of an engine whose items() answers with these elements."""

    def act(store):
        store._config = SimpleNamespace(items=lambda section: iter(elements))
        return store._get_option("s")

    return act


WALKS = {
    "None": lambda s: s._set_option("s", None),
    "list of pairs": lambda s: s._set_all([("s", {})]),
    "three items": lambda s: s._set_all(Pairs(("s", {}, 1))),
    "one item": lambda s: s._set_option("s", Pairs(("a", 1), ["b"])),
    "no item": lambda s: s._set_option("s", Pairs(("a", 1), "")),
    "no pair at all": lambda s: s._set_option("s", Pairs(("a", 1), 5)),
    "growing dict": lambda s: s._set_option("s", growing()),
    "value without text": lambda s: s._set("s", "o", Faulty()),
    "save without truth": lambda s: s._set_section("new", Faulty()),
    "engine: three items": answering(("a", 1), ("b", 2, 3)),
    "engine: one item": answering("a"),
    "engine: no pair at all": answering(("a", 1), 5),
}


@pytest.mark.parametrize("act", WALKS.values(), ids=WALKS)
def test_pure_store_walks_and_fails_as_the_module(tmp_path, act):
    module, pure = side_by_side(tmp_path, lambda: as_is(write()), act)
    assert pure == module
