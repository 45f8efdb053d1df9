"""What a query keeps from one call to the next: every change made after a warmed-up call is seen by the next.

The store keeps its engine's structures between calls, and finds `self._config` without the full attribute
lookup while the class allows it. Each case below warms a store up, makes one change, and compares the next
answers with those of configparser's own code on whatever `store._config` now is.
"""
import configparser

import pytest

OTHER = "[x]\nk = other\n[s]\nk = from the other\n"
NAMES = [("s", "k"), ("x", "k"), ("t", "k"), ("t", "d"), ("s", "d")]


def outcome(call, *args):
    try:
        return ("value", call(*args))
    except Exception as exc:  # the engine's own exception, compared by type and arguments
        return ("raised", type(exc), exc.args)


def engine_answers(engine):
    plain = configparser.ConfigParser
    return [outcome(plain.has_section, engine, s) for s, _ in NAMES] + [
        outcome(plain.get, engine, s, o) for s, o in NAMES]


def store_answers(store):
    return [outcome(store._has_section, s) for s, _ in NAMES] + [
        outcome(store._get, s, o) for s, o in NAMES]


def set_in_a_loop(store, other):
    # Stores made by specialised bytecode, which write an object's attributes around its dict.
    for _ in range(50):
        store._config = store._config
    store._config = other


CHANGES = {
    "sections replaced": lambda store, other: setattr(store._config, "_sections", {"x": {"k": "new"}}),
    "defaults replaced": lambda store, other: setattr(store._config, "_defaults", {"d": "default"}),
    "a section's dict replaced": lambda store, other: store._config._sections.__setitem__("s", {"k": "s2"}),
    "defaults changed in place": lambda store, other: store._config._defaults.__setitem__("d", "in place"),
    "engine dict replaced": lambda store, other: setattr(
        store._config, "__dict__", dict(vars(store._config), _sections={"t": {"k": "t2"}})),
    "interpolation replaced": lambda store, other: setattr(
        store._config, "_interpolation", configparser.Interpolation()),
    "interpolation given an attribute": lambda store, other: setattr(
        store._config._interpolation, "before_get", lambda *args: "patched"),
    "sections deleted": lambda store, other: delattr(store._config, "_sections"),
    "another engine": lambda store, other: setattr(store, "_config", other),
    "another engine, by a loop": set_in_a_loop,
    "store dict replaced": lambda store, other: setattr(store, "__dict__", dict(vars(store), _config=other)),
    "engine deleted": lambda store, other: delattr(store, "_config"),
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_a_change_after_warm_calls_is_seen(ini_main, make_ini, change):
    store = ini_main.KestraIniMain(str(make_ini("[s]\nk = v\n[t]\nk = 1\n")))
    other = configparser.ConfigParser()
    other.read_string(OTHER)
    for _ in range(3):
        store_answers(store)
    interpolation = store._config._interpolation  # shared by every engine: left as found
    try:
        change(store, other)
        expected = engine_answers(store._config) if hasattr(store, "_config") else None
        answers = store_answers(store)
    finally:
        vars(interpolation).pop("before_get", None)
    if expected is None:
        assert all(a[:2] == ("raised", AttributeError) for a in answers)
    else:
        assert answers == expected


CLASS_CHANGES = {
    "property on the class": lambda cls, other: setattr(cls, "_config", property(lambda self: other)),
    "__getattribute__ on the class": lambda cls, other: setattr(
        cls, "__getattribute__", lambda self, name: other if name == "_config" else object.__getattribute__(
            self, name)),
}


@pytest.mark.parametrize("change", CLASS_CHANGES.values(), ids=CLASS_CHANGES.keys())
def test_a_class_change_after_warm_calls_is_seen(ini_main, make_ini, change):
    sub = type("Sub", (ini_main.KestraIniMain,), {})
    store = sub(str(make_ini("[s]\nk = v\n")))
    other = configparser.ConfigParser()
    other.read_string(OTHER)
    for _ in range(3):
        store_answers(store)
    change(sub, other)
    assert store_answers(store) == engine_answers(other)
