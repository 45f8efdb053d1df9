"""A load, natively and through the engine's own code, against configparser's own read.

What runs while the file is read (the path's __fspath__, audit hooks, signal
handlers) acts on the store's load as on the engine's; a large file is read a
block at a time, so that a load holds no more than the engine's own read.
"""
from __future__ import annotations

import configparser
import json
import pathlib
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import paths
from conftest import run_module
from kestra_ini.ini_main import KestraIniMain

# What the one audit hook of this module does on the next open of the file
# under test (audit hooks cannot be removed).
on_open: dict[str, Any] = {}


def audited(event: str, args: tuple[Any, ...]) -> None:
    if event == "open" and on_open and str(args[0]) == str(on_open["path"]) and args[1] == "r":
        on_open.pop("action")()
        on_open.clear()


sys.addaudithook(audited)


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        call()
        return ("returned",)
    except Exception as error:  # every failure is compared, whatever it is
        return "raised", type(error), str(error), getattr(error, "errors", None)


def held(engine: configparser.ConfigParser) -> Any:
    return engine._sections, engine._defaults, list(engine._proxies)  # type: ignore[attr-defined]


def store_load(path: Path) -> tuple[Any, ...]:
    """A store's load of `path`, and what its engine then holds, failed or not."""
    store = KestraIniMain(path.with_name("empty.ini"))
    store._path = path
    return outcome(store._set_path), held(store._config)


def engine_read(path: Path) -> tuple[Any, ...]:
    engine = configparser.ConfigParser()
    return outcome(lambda: engine.read(path, encoding="utf-8-sig")), held(engine)


# --- code that runs as the file opens ----------------------------------------------------

def upper_keys(mp: pytest.MonkeyPatch) -> None:
    mp.setattr(configparser.ConfigParser, "optionxform", lambda self, name: name.upper(), raising=False)


def fspath_fails(mp: pytest.MonkeyPatch) -> None:
    def fspath(self: pathlib.PurePath) -> str:
        raise OSError("no path now")

    mp.setattr(pathlib.PurePath, "__fspath__", fspath)


def pattern_replaced(mp: pytest.MonkeyPatch) -> None:
    mp.setattr(configparser.ConfigParser, "SECTCRE", configparser.ConfigParser.NONSPACECRE)


OPENED = {
    "optionxform replaced": upper_keys,
    "the path's __fspath__ fails after the open": fspath_fails,
    "the section pattern replaced": pattern_replaced,
}


@pytest.mark.parametrize("change", OPENED.values(), ids=OPENED.keys())
def test_what_runs_as_the_file_opens_acts_as_on_the_engines_read(tmp_path: Path, way: str, change: Any,
                                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    path = tmp_path / "settings.ini"
    path.write_text("[s]\nKey = v\n[ t ]\nk = 1\n")
    (tmp_path / "empty.ini").write_text("")
    results = []
    for load in (store_load, engine_read):
        with monkeypatch.context() as mp:
            on_open.update(path=path, action=lambda mp=mp: change(mp))
            results.append(load(path))
    assert not on_open and results[0] == results[1]


# --- a file read a block at a time -------------------------------------------------------

BLOCK = 1 << 20  # the native read's size

# Text that meets the boundary between two blocks, each placed at a few offsets around it.
STRADDLING = [
    b"k = a\r\n  b\r\nbad\r\n", b"k = a\r\rb = c\r", b"k = a\n\n\n  b\n\n  c\n\nx = y\n", b"k = a\n  b\n\n\n\n[t]\n",
    b"k = \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n", b"k = \xff\n", b"bad line\n[s]\n", b"k = 1\nK = 2\n",
    b"k = " + b"v" * (BLOCK + 5) + b"\n  w\n",
]


@pytest.mark.parametrize("text", STRADDLING, ids=lambda text: repr(text[:24]))
def test_a_file_read_in_blocks_loads_as_the_engine_reads_it(tmp_path: Path, text: bytes) -> None:
    (tmp_path / "empty.ini").write_text("")
    path = tmp_path / "settings.ini"
    for shift in range(-4, 5):
        head = b"\xef\xbb\xbf[s]\n#"
        padding = BLOCK + shift - len(head) - 1 - len(text) // 2
        path.write_bytes(head + b"x" * padding + b"\n" + text)
        native = store_load(path)
        with paths.taken("engine"):
            assert native == store_load(path), shift


# --- what only a whole process shows --------------------------------------------------------

def test_a_signal_stops_a_load_at_once(tmp_path: Path, way: str) -> None:
    path = tmp_path / "many.ini"
    path.write_text("".join(f"[s{k}]\nk = v\n" for k in range(300_000)))
    stopped = json.loads(run_module("native_load", "interrupt", way, path))
    # The engine's read stops where the handler raised, keeping what it has
    # read; the native one, reading into dicts of its own, keeps nothing.
    assert stopped["interrupted"] and stopped["sections"] < 300_000
    assert way == "engine" or stopped["sections"] == 0


@pytest.fixture(scope="module")
def long_values(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, int]:
    """A 60 MB file of long values, and the peak of the engine's own read of it."""
    path = tmp_path_factory.mktemp("long") / "long.ini"
    value = "v" * 100_000
    path.write_text("".join(f"[s{k}]\n" + "".join(f"k{i} = {value}\n" for i in range(10)) for k in range(60)))
    return path, int(run_module("native_load", "peak", "configparser", path))


def test_a_large_load_peaks_as_the_engines_own_read(long_values: tuple[Path, int], way: str) -> None:
    path, engine = long_values
    assert int(run_module("native_load", "peak", way, path)) <= 1.25 * engine
