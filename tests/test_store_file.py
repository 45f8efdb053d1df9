"""A store on its file: construction, reading, saving, path binding and late lookup."""
import builtins
import configparser
import io
import types

import pytest

from conftest import sections_as_dicts

BOM = b"\xef\xbb\xbf"
TEXT = b"[a]\nx = 1\ny = \xc3\xa9\n\n[b]\nz = multi\n\tline\n"
LOADED = {"a": {"x": "1", "y": "é"}, "b": {"z": "multi\nline"}}


@pytest.mark.parametrize("data, expected", [
    (None, {}), (b"", {}), (BOM, {}), (TEXT, LOADED), (BOM + TEXT, LOADED),
    (b"x = 1\n", configparser.MissingSectionHeaderError),
    (b"[a]\n[a]\n", configparser.DuplicateSectionError),
    (b"[a]\nx = \xff\n", UnicodeDecodeError),
    (b"\xfe\xff\x00[\x00a\x00]", UnicodeDecodeError),
])
def test_construction(ini_main, make_ini, tmp_path, data, expected):
    path = tmp_path / "settings.ini" if data is None else make_ini(data)
    if isinstance(expected, type):
        with pytest.raises(expected):
            ini_main.KestraIniMain(path)
        return
    store = ini_main.KestraIniMain(path)
    assert store._path is path and type(store._config) is configparser.ConfigParser
    assert sections_as_dicts(store._config) == expected and sorted(vars(store)) == ["_config", "_path"]
    assert path.exists() == (data is not None)  # loading creates nothing


@pytest.mark.parametrize("kind", [str, bytes, None])
def test_save_bytes_then_empty_engine_then_read(ini_main, make_ini, kind):
    path = make_ini(TEXT)
    store = ini_main.KestraIniMain(kind(path) if kind else path)
    buffer = io.StringIO()
    store._config.write(buffer)
    assert store._save() is None and path.read_bytes() == BOM + buffer.getvalue().encode()
    assert store._sections() == [] and store._read() is None and sections_as_dicts(store._config) == LOADED
    store._config.clear()
    store._save()
    assert path.read_bytes() == b""


def test_set_path_drops_unsaved_changes_and_follows_path(ini_main, make_ini):
    first, second = make_ini("[a]\nx = 1\n"), make_ini("[b]\ny = 2\n", name="other.ini")
    store = ini_main.KestraIniMain(first)
    old_engine = store._config
    store._config.set("a", "x", "changed")
    assert store._set_path() is None and store._config is not old_engine
    assert sections_as_dicts(store._config) == {"a": {"x": "1"}}
    store._path = second
    store._read()  # merges into what the engine holds
    store._save()
    assert second.read_bytes() == BOM + b"[a]\nx = 1\n\n[b]\ny = 2\n\n" and first.read_bytes() == b"[a]\nx = 1\n"
    store._set_path()
    assert sections_as_dicts(store._config) == {"a": {"x": "1"}, "b": {"y": "2"}}


def test_late_lookup_of_configparser_open_and_overrides(ini_main, make_ini, monkeypatch):
    path = make_ini("[a]\nx = 1\n")
    made, calls = [], []

    class Engine(configparser.ConfigParser):
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            super().__init__()

    monkeypatch.setattr(ini_main, "configparser", types.SimpleNamespace(ConfigParser=Engine))
    store = ini_main.KestraIniMain(path)
    assert type(store._config) is Engine and made == [((), {})]
    assert sections_as_dicts(store._config) == {"a": {"x": "1"}}
    monkeypatch.delattr(ini_main, "configparser")
    with pytest.raises(NameError, match="^name 'configparser' is not defined$"):
        store._set_path()
    monkeypatch.setattr(builtins, "configparser", types.SimpleNamespace(ConfigParser=Engine), raising=False)
    store._set_path()
    assert len(made) == 2
    monkeypatch.setattr(builtins, "open", lambda *a, **k: calls.append("open"))  # resolved at import, not now
    store._config.set("a", "x", "2")
    store._save()
    monkeypatch.undo()
    assert path.read_bytes() == BOM + b"[a]\nx = 2\n\n" and calls == []
    assert type(ini_main.KestraIniMain(path)._config) is configparser.ConfigParser

    class Logged(ini_main.KestraIniMain):
        def _read(self):
            calls.append(("read", self._path))

        def _set_path(self):
            calls.append(("set_path", self._path))
            super()._set_path()

    assert sections_as_dicts(Logged(path)._config) == {} and calls == [("set_path", path), ("read", path)]
    plain = ini_main.KestraIniMain(path)
    plain._read = lambda: calls.append("instance read")
    plain._set_path()
    assert calls[-1] == "instance read" and sections_as_dicts(plain._config) == {}
