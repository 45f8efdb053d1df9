"""The native paths under hostile Python code: same results as the engine's own code, and no crash.

Each change of hostile_store runs in a fresh interpreter twice: once as it
is, once with a sys.monitoring tool listening, which sends every store call
through the engine's own methods. Both runs print everything observable
(results, exceptions, the engine's state, the saved bytes, what the change
counted); the two must be identical. A crash or a hang fails the first run.
"""
from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import guard_probe
import hostile_store
import paths
import read_store
from conftest import run_module

TEXT = "[DEFAULT]\nd = 1\n[s]\nk = v\nkey2 = two\n  lines\n[t]\nn = 2\n"

def observe(tmp_path: Path, change: str, way: str) -> str:
    path = tmp_path / f"settings-{way}.ini"
    path.write_text(TEXT)
    return run_module("hostile_store", change, way, path, timeout=60).replace(str(path), "PATH")


@pytest.mark.parametrize("change", [*hostile_store.CHANGES, *hostile_store.BEFORE_IMPORT])
def test_hostile_change_answers_as_the_engine(tmp_path: Path, change: str) -> None:
    native = observe(tmp_path, change, "native")
    engine = observe(tmp_path, change, "engine")
    assert engine.endswith("ENGINE FRAMES True\n")  # the reference did run the engine's code
    assert native == engine.removesuffix("ENGINE FRAMES True\n")


# --- reading: one open, no hang, the engine's own errors -------------------------------

@pytest.mark.parametrize("case", read_store.READS)
def test_reading_opens_once_and_fails_as_the_engine(tmp_path: Path, case: str) -> None:
    outputs = []
    for way in paths.WAYS:
        path = tmp_path / f"{way}.ini"
        outputs.append(run_module("read_store", case, way, path, timeout=120).replace(str(path), "PATH"))
    assert outputs[0] == outputs[1]
    reloads = read_store.READS[case][0] is read_store.MANY_SECTIONS
    opens = r"\('r', \d+\)" + r", \('r', \d+\)" * reloads
    assert re.search(rf"^opens \[{opens}\]$", outputs[0], re.MULTILINE)  # one open a load, the engine's


# --- observers ---------------------------------------------------------------------------

def test_a_profiler_sees_the_engines_frames(make_ini) -> None:
    lines = run_module("guard_probe", "observers", make_ini("[s]\nk = v\n")).splitlines()
    assert lines == ["['get', 'has_section', 'options', 'read', 'set', 'write']"] * 2


# --- the guard's own table, every entry --------------------------------------------------

@pytest.fixture(scope="module")
def guard_outcomes(tmp_path_factory: pytest.TempPathFactory) -> dict[tuple[str, str, str], list[bool]]:
    path = tmp_path_factory.mktemp("guard") / "settings.ini"
    path.write_text("[s]\nk = v\n")
    output = run_module("guard_probe", "entries", path, timeout=120)
    return {tuple(row[:3]): row[3:] for row in map(json.loads, output.splitlines())}


@pytest.mark.parametrize("entry", guard_probe.ENTRIES, ids="-".join)
def test_every_guarded_entry_sends_calls_through_the_engine(guard_outcomes: dict, entry: tuple[str, str, str]) -> None:
    # Native before the change, the engine's code while it stands, native again once undone.
    assert guard_outcomes[entry] == [True, True, True]


def test_the_verified_fingerprint_is_this_interpreters() -> None:
    """tools/fingerprint prints a line of native/verified.def: the native paths run here."""
    tool = guard_probe.TABLE.parent.parent.parent.parent / "tools" / "fingerprint"
    printed = subprocess.run([sys.executable, tool], capture_output=True, text=True, check=True).stdout.strip()
    assert printed in (guard_probe.TABLE.parent / "verified.def").read_text().splitlines()
