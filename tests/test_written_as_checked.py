"""What a save writes is exactly the text that was checked, whatever a str subclass makes of itself."""
import configparser

import pytest


def twisted(name, **methods):
    return type(name, (str,), methods)


KINDS = [
    twisted("Str", __str__=lambda s: "x\nbroken]"),
    twisted("Format", __format__=lambda s, spec: "x]\n[y"),
    twisted("Lower", lower=lambda s: "a = b\n[c"),
    twisted("Repr", __repr__=lambda s: "x\ny"),
]
VALUE = type("Value", (), {"__str__": lambda s: KINDS[0]("v")})


def text(value):
    """A value is stored as its str(), and that as the characters it holds."""
    return str.__str__(str(value))


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)
def test_str_subclasses_are_written_as_their_characters(ini_main, tmp_path, kind):
    path = tmp_path / "settings.ini"
    store = ini_main.KestraIniMain(path)
    store._set(kind("sec"), kind("Opt"), kind("val"))
    store._set("plain", "v", VALUE())
    store._set_option(kind("bulk"), {kind("k"): kind("w")})
    store._set_all({kind("all"): {kind("K2"): kind("w2")}})
    store._set_section(kind("empty"))
    fresh = configparser.ConfigParser()
    fresh.read(path, encoding="utf-8-sig")
    assert {s: dict(fresh.items(s, raw=True)) for s in fresh.sections()} == {
        "sec": {"opt": text(kind("val"))}, "plain": {"v": "v"}, "bulk": {"k": text(kind("w"))},
        "all": {"k2": text(kind("w2"))}, "empty": {}}
    assert store._get_all() == {s: dict(fresh.items(s)) for s in fresh.sections()}
