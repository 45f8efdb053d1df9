"""Mutations: writes per call, the `save` object handed on, value texts and the pair walk."""
from types import SimpleNamespace

import pytest

from conftest import entries, loaded

START = "[s]\na = 1\nb = 2\n"
CHANGED = "dictionary changed size during iteration"


@pytest.fixture
def store(ini_main, make_ini):
    class Counting(ini_main.KestraIniMain):
        def _save(self):
            self.log.append("save")
            return super()._save()

        def _read(self):
            vars(self).setdefault("log", []).append("read")
            return super()._read()

    store = Counting(str(make_ini(START)))
    store.log.clear()
    return store


def file_bytes(store):
    with open(store._path, "rb") as f:
        return f.read()


class Falsy:
    def __bool__(self):
        return False


class Bomb:
    def __bool__(self):
        raise ZeroDivisionError("truth")


FALSE_SAVES = [False, 0, None, Falsy()]


@pytest.mark.parametrize(
    "method, args, writes, result",
    [("_set_section", ("s",), 0, True), ("_set_section", ("new",), 1, True), ("_set", ("s", "a", "x"), 1, True),
     ("_set", ("new", "a", "x"), 2, True), ("_set_option", ("s", {"a": 3, "c": 4}), 1, True),
     ("_set_option", ("s", {}), 1, True), ("_set_option", ("new", {"a": 3}), 2, True),
     ("_set_option", ("new", {}), 2, True), ("_set_all", ({},), 1, True),
     ("_set_all", ({"s": {"a": 5}, "n1": {}, "n2": {"x": 1}},), 1, True), ("_remove_section", ("s",), 1, True),
     ("_remove_section", ("missing",), 1, False), ("_remove_option", ("s", "a"), 1, True),
     ("_remove_option", ("s", "missing"), 1, False)],
)
@pytest.mark.parametrize("save", [True, 1, "yes", [0]] + FALSE_SAVES, ids=repr)
def test_writes_per_successful_call(store, method, args, writes, result, save):
    before = file_bytes(store)
    assert getattr(store, method)(*args, save) is result
    if save in FALSE_SAVES:
        writes = 0
        assert file_bytes(store) == before
    assert store.log == ["save", "read"] * writes
    expected = store._get_all()
    if not writes:  # an unsaved change is taken along by the next write
        store._save()
    assert loaded(store._path) == expected


def test_save_is_handed_on_as_the_very_object(ini_main, make_ini):
    seen = []

    def spy(name):
        def method(self, *args, **kwargs):
            seen.append((name, args, kwargs))
            return getattr(ini_main.KestraIniMain, name)(self, *args, **kwargs)
        return method

    names = ("_set_section", "_set", "_set_option")
    store = type("Spy", (ini_main.KestraIniMain,), {n: spy(n) for n in names})(str(make_ini(START)))
    flag, od = Falsy(), {"o": 1}
    store._set_all({"t": od}, flag)
    store._set("u", "o", 2, flag)
    store._set_option("v", {}, flag)
    assert seen == [
        ("_set_option", ("t", od), {"save": False}), ("_set_section", ("t", False), {}),
        ("_set", ("t", "o", 1), {"save": False}), ("_set_section", ("t", False), {}),
        ("_set", ("u", "o", 2, flag), {}), ("_set_section", ("u", flag), {}),
        ("_set_option", ("v", {}, flag), {}), ("_set_section", ("v", flag), {}),
    ]
    saves = [kwargs.get("save", args[-1]) for name, args, kwargs in seen]
    assert [type(x) for x in saves[:4]] == [bool] * 4 and all(x is flag for x in saves[4:])


class Recorder:
    def __init__(self):
        self.calls, self.answer = [], object()

    def __getattr__(self, name):
        return lambda *args, **kwargs: self.calls.append((name, args, kwargs)) or self.answer


class StrSub(str):
    def __str__(self):
        return "converted"


@pytest.mark.parametrize("value, text", [(42, "42"), (True, "True"), (None, "None"), (1.5, "1.5"),
                                         (StrSub("raw"), "converted"), (b"x", "b'x'"), ("exact", "exact")])
def test_value_text_and_engine_results(store, value, text):
    store._config = engine = Recorder()
    assert store._set("s", "o", value, False) is True
    assert engine.calls == [("has_section", ("s",), {}), ("set", ("s", "o", text), {})]
    sent = engine.calls[1][1][2]
    assert type(sent) is str and (sent is value or type(value) is not str)
    names = ["a", "b"]
    assert store._remove_option("s", names, False) is engine.answer
    assert store._remove_section("s", False) is engine.answer
    assert engine.calls[2:] == [("remove_option", ("s", names), {}), ("remove_section", ("s",), {})]
    assert engine.calls[2][1][1] is names


def Adder(change):
    """A value whose text conversion changes the mapping being walked."""
    return type("Adder", (), {"__str__": lambda self: (change(), "added")[1]})()


def Items(result):
    return SimpleNamespace(items=lambda: result)


class Pair(tuple):
    def __iter__(self):
        raise AssertionError("a tuple is judged by its size")


def changing(change, **extra):
    d = {"a": "x", "c": None, **extra}
    d["c"] = Adder(lambda: change(d))
    return d


def growing():
    pairs = [("a", "x")]
    pairs.append(("c", Adder(lambda: pairs.append(("d", "late")))))
    return Items(pairs)


def failing_iterator():
    yield "a", "x"
    raise KeyError("from the iterator")


WALKS = [  # (option dict factory, expected error, message, options in the engine afterwards)
    (lambda: None, AttributeError, "'NoneType' object has no attribute 'items'", {}),
    (lambda: [("a", "x")], AttributeError, "'list' object has no attribute 'items'", {}),
    (lambda: {"a": "x", "c": 7}, None, None, {"a": "x", "c": "7"}),
    (lambda: changing(lambda d: d.setdefault("d", 0)), RuntimeError, CHANGED, {"a": "x", "c": "added"}),
    (lambda: changing(lambda d: d.pop("d"), d="y"), RuntimeError, CHANGED, {"a": "x", "c": "added"}),
    (lambda: type("D", (dict,), {"items": lambda self: [("c", "y")]})(a="x"), None, None, {"c": "y"}),
    (lambda: Items((("c", "y"), ("e", "z"))), None, None, {"c": "y", "e": "z"}),
    (lambda: Items([("a", "x"), ["c", "y"], "dz", iter(["e", "w"])]), None, None,
     {"a": "x", "c": "y", "d": "z", "e": "w"}),
    (growing, None, None, {"a": "x", "c": "added", "d": "late"}),
    (lambda: Items(failing_iterator()), KeyError, "'from the iterator'", {"a": "x"}),
    (lambda: Items([("a", "x"), ("c", "y", "z")]), ValueError, "too many values to unpack (expected 2)", {"a": "x"}),
    (lambda: Items([("a", "x"), ["c"]]), ValueError, "need more than 1 value to unpack", {"a": "x"}),
    (lambda: Items([("a", "x"), iter([])]), ValueError, "need more than 0 values to unpack", {"a": "x"}),
    (lambda: Items([("a", "x"), 42]), TypeError, None, {"a": "x"}),
    (lambda: Items([Pair(("c", "y"))]), None, None, {"c": "y"}),
]


@pytest.mark.parametrize("make, error, message, result", WALKS)
@pytest.mark.parametrize("method", ["_set_option", "_set_all"])
def test_pair_walk(store, method, make, error, message, result):
    before = file_bytes(store)
    call = (lambda: store._set_all({"s": {}, "w": make()})) if method == "_set_all" else (
        lambda: store._set_option("w", make()))
    if error is None:
        assert call() is True and store._get_option("w") == result
        return
    with pytest.raises(error) as info:
        call()
    assert message is None or str(info.value) == message
    assert f"ini_main.KestraIniMain.{method}" in entries(info.value)
    assert store._get_option("w") == result  # the pairs before the failure stay in the engine
    if method == "_set_option":  # the new section alone was written, before the walk
        assert store.log == ["save", "read"] and file_bytes(store).endswith(b"[w]\n\n")
    else:
        assert store.log == [] and file_bytes(store) == before


def test_set_all_walks_an_exact_dict_directly(store):
    outer = {"s": {}}
    outer["s"]["a"] = Adder(lambda: outer.setdefault("n", {}))
    with pytest.raises(RuntimeError, match=CHANGED):
        store._set_all(outer)
    assert store._get("s", "a") == "added" and not store._has_section("n")


@pytest.mark.parametrize(
    "call, method, after",
    [
        (lambda s: s._remove_section("s", Bomb()), "_remove_section", lambda s: not s._has_section("s")),
        (lambda s: s._remove_option("s", "a", Bomb()), "_remove_option", lambda s: s._options("s") == ["b"]),
        (lambda s: s._set("s", "a", "9", Bomb()), "_set", lambda s: s._get("s", "a") == "9"),
        (lambda s: s._set_all({}, Bomb()), "_set_all", lambda s: s._sections() == ["s"]),
        (lambda s: s._set_all(None), "_set_all", lambda s: s._sections() == ["s"]),
        (lambda s: s._set_section("new", Bomb()), "_set_section", lambda s: s._has_section("new")),
        (lambda s: s._remove_option("gone", "a"), "_remove_option", lambda s: s._sections() == ["s"]),
        (lambda s: s._set("s", "a", "50%"), "_set", lambda s: s._get("s", "a") == "1"),
        (lambda s: s._set("t", "a", type("Bad", (), {"__str__": lambda self: 1 / 0})()), "_set",
         lambda s: s._sections() == ["s"]),
    ],
)
def test_failures_pass_on_with_the_method_entry_and_nothing_undone(store, call, method, after):
    before = file_bytes(store)
    with pytest.raises(Exception) as info:
        call(store)
    assert f"ini_main.KestraIniMain.{method}" in entries(info.value)
    assert store.log == [] and file_bytes(store) == before and after(store)


def test_existing_section_never_tests_save_and_a_new_one_is_written_before_set_fails(store):
    assert store._set_section("s", Bomb()) is True and store.log == []
    with pytest.raises(ValueError, match="invalid interpolation syntax"):
        store._set("fresh", "a", "50%")
    assert store.log == ["save", "read"] and file_bytes(store).endswith(b"[fresh]\n\n")
