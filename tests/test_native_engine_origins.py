"""A change to a proven engine is seen however the engine was made.

Each case of origins_store makes an engine one way, in a fresh interpreter,
lets the store prove it with one native call, then changes one of the
settings the guard proves (read from the guard's own table). The store's
answers, saves and reads that follow must be the engine's own: each call
runs natively first, then again through the engine's code, from the same
state.
"""
from __future__ import annotations

import re
from pathlib import Path

import pytest

import origins_store
from conftest import run_module

GUARD = Path(__file__).resolve().parent.parent / "src" / "ini_main" / "native" / "guard.cpp"
SETTINGS = re.findall(r'key\(keys\.\w+, "(\w+)"\)', GUARD.read_text())


@pytest.mark.parametrize("setting", SETTINGS)
@pytest.mark.parametrize("origin", origins_store.ORIGINS)
def test_a_changed_setting_is_seen_however_the_engine_was_made(tmp_path: Path, origin: str, setting: str) -> None:
    path = tmp_path / "settings.ini"
    path.write_text(origins_store.TEXT)
    assert run_module("origins_store", origin, setting, path, timeout=60) == "same\n"


def test_the_settings_come_from_the_guard() -> None:
    assert len(SETTINGS) >= 14 and "_strict" in SETTINGS and "default_section" in SETTINGS
    assert set(SETTINGS) <= set(origins_store.CHANGES)
