"""A pytest plugin for interpreters without the class (ini_main is built for CPython 3.13 only), loaded by
`make test-py311`: a test of the engine's grammar (--strict, --expand) or of the class itself is skipped there,
saying why, instead of failing on the ImportError that such a command or import meets by design."""
from __future__ import annotations

import importlib.util
import inspect

import pytest

NEEDS_CLASS = ("--strict", "--expand", "ini_main", "KestraIniMain", "_strict")


def _class_missing() -> bool:
    try:
        import kestra_ini.ini_main  # noqa: F401
    except ImportError:
        return importlib.util.find_spec("kestra_ini") is not None
    return False


def _needs_class(item: pytest.Item) -> bool:
    words = [repr(value) for value in getattr(getattr(item, "callspec", None), "params", {}).values()]
    function = getattr(item, "function", None)
    if function is not None:
        try:
            words.append(inspect.getsource(function))
        except (OSError, TypeError):
            pass
    return any(word in text for text in words for word in NEEDS_CLASS)


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    if not _class_missing():
        return
    skip = pytest.mark.skip(reason="needs the class, which is built for CPython 3.13 only")
    for item in items:
        # The Ansible module runs without the class; its tests say so where they name it.
        if _needs_class(item) and not item.path.name.startswith("test_ansible"):
            item.add_marker(skip)
