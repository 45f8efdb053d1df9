"""Uses every method of KestraIniMain as an application would; mypy --strict must accept it as it is."""
import configparser
import os
import pathlib
from collections.abc import Iterator
from typing import Literal, assert_type

from kestra_ini.ini_main import KestraIniMain


class Pairs:
    """Not a mapping: only an items() that returns a list of pairs, which the bulk setters also take."""

    def items(self) -> list[tuple[str, int]]:
        return [("retries", 3)]


class Where(os.PathLike[bytes]):
    def __fspath__(self) -> bytes:
        return b"settings.ini"


def every_path() -> Iterator[KestraIniMain]:
    yield KestraIniMain("settings.ini")
    yield KestraIniMain(b"settings.ini")
    yield KestraIniMain(pathlib.Path("settings.ini"))
    yield KestraIniMain(path=Where())


def use(store: KestraIniMain) -> None:
    assert_type(store._path, str | bytes | os.PathLike[str] | os.PathLike[bytes])
    assert_type(store._config, configparser.ConfigParser)
    assert_type(store._set_path(), None)
    assert_type(store._read(), None)
    assert_type(store._save(), None)
    assert_type(store._get("server", "host"), str)
    assert_type(store._get(section="server", option="host"), str)
    assert_type(store._get_option(section="server"), dict[str, str])
    assert_type(store._get_all(), dict[str, dict[str, str]])
    assert_type(store._sections(), list[str])
    assert_type(store._options(section="server"), list[str])
    assert_type(store._has_section(section="server"), bool)
    assert_type(store._has_option(section="server", option="host"), bool)
    assert_type(store._set("server", "port", 8080), Literal[True])
    assert_type(store._set(section="server", option="host", value=None, save=False), Literal[True])
    assert_type(store._set_section("client", None), Literal[True])
    assert_type(store._set_option("client", {"name": "kestra", "retries": 3}), Literal[True])
    assert_type(store._set_option(section="client", option_dict=Pairs(), save=0), Literal[True])
    assert_type(store._set_all({"client": {"retries": 3}, "server": Pairs()}), Literal[True])
    assert_type(store._set_all(section_dict={}, save=[]), Literal[True])
    assert_type(store._remove_option(section="client", options="name", save=False), bool)
    assert_type(store._remove_section(section="client"), bool)
    store._path = pathlib.Path("elsewhere.ini")
    if store._set("a", "b", "c"):
        values: dict[str, str] = store._get_option("a")
        print(values["b"].upper(), [name.upper() for name in store._sections()])


for each in every_path():
    use(each)
