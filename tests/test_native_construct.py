"""Engines and section proxies made natively are the ones the classes make.

Each case of construct_store runs in a fresh interpreter that imports the
module, changes configparser (or leaves it alone), then makes an engine
through the store, and another by calling configparser.ConfigParser() and
reading the same file. The two must agree attribute by attribute, down
through every proxy and getter, and behave alike afterwards; the classes'
own __init__ must run exactly where the native path may not.
"""
from __future__ import annotations

import json
from pathlib import Path

import pytest

import construct_store
from conftest import run_module

TEXT = "[DEFAULT]\nflag = yes\n[s]\nn = 7\nf = 1.5\nwords = a b c\n[t]\nx = %(flag)s\n"


@pytest.mark.parametrize("case", construct_store.CASES)
def test_a_native_engine_is_the_one_the_class_makes(tmp_path: Path, case: str) -> None:
    path = tmp_path / "settings.ini"
    path.write_text(TEXT)
    lines = [json.loads(line) for line in run_module("construct_store", case, path).splitlines()]
    *raised, (built, built_behaviour, ran), (reference, reference_behaviour) = lines
    assert built == reference
    assert built_behaviour == reference_behaviour
    assert ran is not construct_store.CASES[case].native
    assert len(raised) % 2 == 0 and raised[::2] == raised[1::2]
