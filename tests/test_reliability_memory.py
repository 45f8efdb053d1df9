"""A long run through every method, succeeding and failing, leaks nothing."""
import configparser
import gc
import os
import sys
import tempfile
import tracemalloc
from pathlib import Path
from types import SimpleNamespace

import pytest

CP = configparser


def fresh(text):
    """A new, non-interned str, so that its reference count is ours to watch."""
    return "".join([text, "\u00e9"])


class Flag:
    def __init__(self, truth, text="flag"):
        self.truth, self.text = truth, text

    def __bool__(self):
        return self.truth if isinstance(self.truth, bool) else self.truth()

    def __str__(self):
        return self.text if isinstance(self.text, str) else self.text()


def refuse():
    raise LookupError("cannot")


class Pairs(list):
    """Not a dict: the walk asks it for items()."""

    def items(self):
        return self


def growing():
    """A dict that one of its values adds an entry to while it is walked."""
    walked = {}
    walked["x"] = Flag(True, lambda: walked.setdefault(len(walked), "grown"))
    return walked


class OddEngine(CP.ConfigParser):
    """An engine whose pairs are not pairs."""

    def items(self, section, *rest):
        return {"one": [("a",)], "none": [[]], "flat": [5]}.get(section, [("a", "b", "c")])

    def sections(self):
        return ["three"]


@pytest.fixture
def world(ini_main, tmp_path):
    # Thousands of saves, each with two fsyncs: on a RAM disk, where there is
    # one, they cost nothing and the run measures memory, not the disk.
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else tmp_path) as place:
        yield make_world(ini_main.KestraIniMain, Path(place))


def make_world(K, tmp_path):
    (tmp_path / "bad.ini").write_text("no header\n")
    (tmp_path / "twice.ini").write_text("[a]\n[a]\n")
    (tmp_path / "latin.ini").write_bytes(b"[a]\nk = \xff\n")
    (tmp_path / "raw.ini").write_text("[raw]\nk = %(nowhere)s\n")
    c = SimpleNamespace(K=K, sec=fresh("sec"), new=fresh("new"), opt=fresh("opt"), opt2=fresh("two"),
                        value=fresh("value"), missing=fresh("none"),
                        yes=Flag(True), no=Flag(False), faulty=Flag(refuse, refuse), number=12345678901234,
                        path=str(tmp_path / "settings.ini"), dir=str(tmp_path),
                        bad=[str(tmp_path / n) for n in ("bad.ini", "twice.ini", "latin.ini")])
    c.store = K(c.path)
    c.store._set_all({c.sec: {c.opt: c.value}})
    c.raw, c.other, c.odd = K(str(tmp_path / "raw.ini")), K(c.path), K(c.path)
    c.on_dir, c.lost = K(c.dir), K(str(tmp_path / "gone" / "x.ini"))
    c.odd._config = OddEngine()
    c.opts = {c.opt: c.value, c.opt2: c.number}
    c.secs = {c.sec: c.opts, c.new: Pairs([(c.opt, c.value)])}
    c.lost._set_section(c.sec, c.no)
    return c


def operations(c):
    s, K = c.store, c.K
    return [
        (lambda: K(c.path), None), (lambda: K(), TypeError), (lambda: K(c.path, c.sec), TypeError),
        (lambda: K(path=c.path, other=1), TypeError), (lambda: K(c.bad[0]), CP.MissingSectionHeaderError),
        (lambda: K(c.bad[1]), CP.DuplicateSectionError), (lambda: K(c.bad[2]), UnicodeDecodeError),
        (lambda: c.other._set_path(), None), (lambda: s._set_path(c.sec), TypeError),
        (lambda: s._read(), None), (lambda: s._read(c.sec), TypeError),
        (lambda: s._get(c.sec, c.opt), None), (lambda: s._get(c.sec), TypeError),
        (lambda: s._get(c.missing, c.opt), CP.NoSectionError), (lambda: s._get(c.sec, c.missing), CP.NoOptionError),
        (lambda: c.raw._get("raw", "k"), CP.InterpolationMissingOptionError),
        (lambda: c.raw._get_all(), CP.InterpolationMissingOptionError),
        (lambda: s._get(c.sec, c.opt, section=c.sec), TypeError),
        (lambda: s._get_option(c.sec), None), (lambda: s._get_option(c.missing), CP.NoSectionError),
        (lambda: s._get_all(), None), (lambda: c.odd._get_all(), ValueError),
        (lambda: c.odd._get_option("one"), ValueError), (lambda: c.odd._get_option("none"), ValueError),
        (lambda: c.odd._get_option("flat"), TypeError), (lambda: s._sections(), None),
        (lambda: s._options(c.sec), None), (lambda: s._options(c.missing), CP.NoSectionError),
        (lambda: s._has_section(c.sec), None), (lambda: s._has_option(c.sec, c.opt), None),
        (lambda: s._has_option(c.sec), TypeError),
        (lambda: s._set(c.sec, c.opt, c.value), None), (lambda: s._set(c.new, c.opt, c.number, c.no), None),
        (lambda: s._set(c.sec, c.opt, c.value, c.yes, c.no), TypeError),
        (lambda: s._set(c.sec, c.opt, c.faulty), LookupError),
        (lambda: s._set(c.sec, c.opt, 1, c.faulty), LookupError),
        (lambda: s._set("", c.opt, 1), ValueError), (lambda: s._set(c.sec, "#x", 1), ValueError),
        (lambda: s._set(c.sec, c.opt, "a\n;b"), ValueError), (lambda: s._set(c.sec, c.opt, "50%"), ValueError),
        (lambda: s._set(c.sec, 7, c.value), TypeError), (lambda: s._set_section("a\ud800"), ValueError),
        (lambda: s._set_section("DEFAULT"), ValueError), (lambda: s._set_section(c.sec, c.yes), None),
        (lambda: s._set_section(c.new, save=c.no), None), (lambda: s._set_section(c.sec, c.no, c.no), TypeError),
        (lambda: s._set_option(c.sec, c.opts), None), (lambda: s._set_option(c.new, c.secs[c.new], c.no), None),
        (lambda: s._set_option(c.sec, None, c.no), AttributeError),
        (lambda: s._set_option(c.sec, [(c.opt, 1)], c.no), AttributeError),
        (lambda: s._set_option(c.sec, Pairs([(c.opt, 1, 2)]), c.no), ValueError),
        (lambda: s._set_option(c.sec, Pairs([[c.opt]]), c.no), ValueError),
        (lambda: s._set_option(c.sec, Pairs([5]), c.no), TypeError),
        (lambda: s._set_option(c.sec, {c.opt: "\r"}, c.no), ValueError),
        (lambda: s._set_option(c.sec, growing(), c.no), RuntimeError),
        (lambda: s._set_all(c.secs), None), (lambda: s._set_all(None), AttributeError),
        (lambda: s._set_all(Pairs([(c.sec,)])), ValueError), (lambda: s._set_all({c.sec: 5}, c.no), AttributeError),
        (lambda: s._remove_option(c.sec, c.opt2), None),
        (lambda: s._remove_option(c.missing, c.opt), CP.NoSectionError),
        (lambda: s._remove_section(c.new, c.yes), None), (lambda: s._remove_section(c.missing), None),
        (lambda: s._remove_section(), TypeError),
        (lambda: c.on_dir._save(), IsADirectoryError),
        (lambda: c.on_dir._set(c.sec, c.opt, c.value), IsADirectoryError),
        (lambda: c.lost._remove_option(c.sec, c.opt), FileNotFoundError),
        (lambda: c.lost._set_all({}, c.yes), FileNotFoundError),
        # Back to the state each round starts from: the engine holds only what it read from the file.
        (lambda: s._save(), None), (lambda: s._read(), None),
    ]


def run(ops, rounds):
    for _ in range(rounds):
        for call, expected in ops:
            try:
                call()
            except expected or ():  # noqa: B030 (no exception class: a call meant to succeed catches nothing)
                continue
            assert expected is None, f"no {expected.__name__}"


def settle():
    # The interpreter's type attribute cache keeps up to 4096 attribute names
    # alive and fills slowly over a long run: it would pass for a leak.
    sys._clear_internal_caches()
    gc.collect()


def test_every_method_succeeding_and_failing_leaks_nothing(world, ini_main):
    ops = operations(world)
    methods = [v for k, v in vars(world.K).items() if not k.startswith("__") or k == "__init__"]
    assert len(methods) == 17
    watched = [*vars(world).values(), world.store._config, ini_main, world.K, ini_main.configparser, *methods]
    tracemalloc.start(1)  # before the warm-up, so the state that each round replaces is traced too
    try:
        run(ops, 20)  # warm-up: the traceback entries, the engine's caches and free lists fill once
        settle()
        refs_before = [sys.getrefcount(o) for o in watched]
        before = tracemalloc.take_snapshot()
        run(ops, 500)
        settle()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs_before
    ignore = [tracemalloc.Filter(False, tracemalloc.__file__)]
    diffs = after.filter_traces(ignore).compare_to(before.filter_traces(ignore), "lineno")
    # 500 rounds of the 70 calls above: one leaked object per round in any
    # single call (the smallest, a bare object(), takes 16 bytes) adds 8000
    # bytes, a leaked str, tuple, frame or exception several times that.
    # Without a leak the growth stays near 1 KB whatever the number of rounds
    # (engines swapped for equal ones, the engine's own caches), so 4 KB has
    # room both ways.
    assert sum(d.size_diff for d in diffs if d.size_diff > 0) < 4096, diffs[:5]
