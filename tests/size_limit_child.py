"""The child of test_reliability_faults.py, run from tests/ as

    python -m size_limit_child

with LAYOUT (plain, symlink, hardlink) and FOLDER in the environment: under a file size limit that the engine's
text has outgrown, every call that saves fails with EFBIG and keeps the file. A failed check raises, so the
interpreter exits non-zero.
"""
from __future__ import annotations

import errno
import os
import resource
import signal
from collections.abc import Callable

from kestra_ini.ini_main import KestraIniMain


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def every_save_fails_and_keeps_the_file(layout: str, folder: str) -> None:
    real = path = os.path.join(folder, "settings.ini")
    if layout == "symlink":
        path = os.path.join(folder, "link.ini")
        os.symlink(real, path)
    s = KestraIniMain(path)
    s._set_option("main", {"a": "1", "pad": "y" * 300})
    if layout == "hardlink":
        os.link(real, os.path.join(folder, "twin.ini"))
    good, listing = read(real), sorted(os.listdir(folder))
    # Writes past the limit fail with EFBIG instead of killing the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
    resource.setrlimit(resource.RLIMIT_FSIZE, (len(good) + 100, hard))
    s._set("main", "big", "x" * 4000, False)
    # Each would save the engine, which now holds more than the limit allows.
    mutations: list[Callable[[], object]] = [
        lambda: s._save(), lambda: s._set("main", "b", "2"), lambda: s._set("new", "b", "2"),
        lambda: s._set_section("other"), lambda: s._set_option("main", {"c": "3"}),
        lambda: s._set_option("fresh", {}), lambda: s._set_all({}), lambda: s._set_all({"new": {"d": 4}}),
        lambda: s._remove_section("other"), lambda: s._remove_option("main", "a"),
    ]
    for number, mutation in enumerate(mutations):
        try:
            mutation()
        except OSError as error:
            assert type(error) is OSError and error.errno == errno.EFBIG, (number, error)
            assert error.filename == path, (number, error.filename)
        else:
            raise AssertionError(f"mutation {number} saved past the limit")
        assert read(real) == good, (number, read(real)[:60])
        assert sorted(os.listdir(folder)) == listing, number
        # A failed save leaves the engine as it was, unsaved change included.
        assert s._get("main", "big") == "x" * 4000, number
    resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
    assert s._set("main", "after", "ok") is True
    again = KestraIniMain(path)._get_all()
    assert again == s._get_all() and again["main"]["big"] == "x" * 4000
    # What the failed calls changed before their save stays: the section of
    # the failed _set, but not its option; the removals.
    assert (sorted(again), sorted(again["main"])) == (["fresh", "main", "new"], ["after", "b", "big", "c", "pad"])
    assert again["new"] == {"d": "4"}, again["new"]
    assert os.path.islink(path) == (layout == "symlink")
    assert os.stat(real).st_nlink == (2 if layout == "hardlink" else 1)


if __name__ == "__main__":
    every_save_fails_and_keeps_the_file(os.environ["LAYOUT"], os.environ["FOLDER"])
