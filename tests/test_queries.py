"""Queries: engine answers handed back untouched, and the dicts built from the engine's pairs."""
import configparser

import pytest

from conftest import entries

TOO_MANY, NEED = "too many values to unpack (expected 2)", "need more than {} value{} to unpack"
NEED0, NEED1 = NEED.format(0, "s"), NEED.format(1, "")


class Engine:
    """Stands in for the engine: records each call and answers with a chosen object."""

    def __init__(self, answer):
        self.answer, self.calls = answer, []

    def __getattr__(self, name):
        def op(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return self.answer(*args) if name == "items" else self.answer

        return op


class Iterable:
    """An element that is neither tuple nor list; its iterator may grow a list or raise at its end."""

    def __init__(self, *items, fail=None, grow=None):
        self.items, self.fail, self.grow = items, fail, grow

    def __iter__(self):
        if self.grow is not None:
            self.grow.append(("late", "L"))
        yield from self.items
        if self.fail:
            raise self.fail


@pytest.fixture
def store(ini_main, make_ini):
    return ini_main.KestraIniMain(str(make_ini("[s]\nk = v\nn = 1\n[t]\n")))


@pytest.mark.parametrize("answer", [object(), 0, [1], "yes", None])
@pytest.mark.parametrize("method, args", [("_get", ("s", "o")), ("_sections", ()), ("_options", ("s",)),
                                          ("_has_section", ("s",)), ("_has_option", ("s", "o"))])
def test_engine_answer_is_returned_as_the_very_object(store, method, args, answer):
    store._config = engine = Engine(answer)
    assert getattr(store, method)(*args) is answer
    assert engine.calls == [(method[1:], args, {})]


@pytest.mark.parametrize("shape", [list, tuple, iter, lambda pairs: (Iterable(*p) for p in pairs)])
def test_get_option_keeps_first_value_and_engine_objects(store, shape):
    values = [object(), object(), object()]
    store._config = engine = Engine(lambda section: shape([["a", values[0]], ("b", values[1]), ("a", values[2])]))
    result = store._get_option("x")
    assert list(result) == ["a", "b"] and result["a"] is values[0] and result["b"] is values[1]
    assert engine.calls == [("items", ("x",), {})]


@pytest.mark.parametrize(
    "element, error, message",
    [((), ValueError, NEED0), (("a",), ValueError, NEED1), (("a", 1, 2), ValueError, TOO_MANY),
     ([], ValueError, NEED0), (["a"], ValueError, NEED1), (["a", 1, 2, 3], ValueError, TOO_MANY),
     (Iterable(), ValueError, NEED0), (Iterable("a"), ValueError, NEED1), (Iterable("a", 1, 2), ValueError, TOO_MANY),
     ("", ValueError, NEED0), ("abc", ValueError, TOO_MANY), (Iterable("a", fail=KeyError("own")), KeyError, "'own'"),
     (Iterable("a", 1, fail=KeyError("3rd")), KeyError, "'3rd'"), (42, TypeError, None),
     ((["unhashable"], 1), TypeError, None)],
)
def test_get_option_refuses_elements_that_are_not_pairs(store, element, error, message):
    store._config = Engine(lambda section: [("ok", 1), element])
    with pytest.raises(error) as info:
        store._get_option("s")
    assert message is None or str(info.value) == message
    assert "ini_main.KestraIniMain._get_option" in entries(info.value)


def test_get_option_rereads_list_length_and_takes_two_item_iterables(store):
    pairs = [("a", 1)]
    pairs.append(Iterable("b", 2, grow=pairs))
    store._config = Engine(lambda section: pairs)
    assert store._get_option("s") == {"a": 1, "b": 2, "late": "L"}


def test_get_all_goes_through_own_sections_and_get_option(ini_main, make_ini):
    other, calls = object(), []

    class Sub(ini_main.KestraIniMain):
        def _sections(self):
            return (name for name in ["b", "a", "b", "c"])

        def _get_option(self, section):
            calls.append(section)
            return other if section == "c" else [section, len(calls)]

    store = Sub(str(make_ini("")))
    del store._config  # the section dict is built without touching the engine
    result = store._get_all()
    assert calls == ["b", "a", "b", "c"] and list(result) == ["b", "a", "c"]
    assert result["b"] == ["b", 1] and result["c"] is other


def test_get_all_uses_instance_attributes_and_rereads_list_length(store):
    names = ["s"]
    store._sections = lambda: names
    store._get_option = lambda name: names.append(name + "+") if len(names) < 3 else name
    assert store._get_all() == {"s": None, "s+": None, "s++": "s++"}


def test_results_are_new_dicts_on_each_call(store):
    first, second = store._get_all(), store._get_all()
    assert first == second == {"s": {"k": "v", "n": "1"}, "t": {}}
    assert first is not second and first["s"] is not second["s"]
    first["s"]["k"] = "changed"
    store._get_option("s").clear()
    assert store._get_option("s") == {"k": "v", "n": "1"} == store._get_all()["s"]
    assert store._get_option("s") is not store._get_option("s")


@pytest.mark.parametrize(
    "method, args",
    [("_get", ("nope", "k")), ("_get", ("s", "nope")), ("_options", ("nope",)), ("_get_option", ("nope",)),
     ("_has_section", ("nope",)), ("_has_option", ("nope", "k")), ("_has_option", ("s", "nope")),
     ("_get", ("s", "K")), ("_options", (["unhashable"],))],
)
def test_missing_names_behave_as_the_engine(store, method, args):
    plain = configparser.ConfigParser()
    plain.read(store._path, encoding="utf-8-sig")
    try:
        expected = getattr(plain, {"_get_option": "items"}.get(method, method[1:]))(*args)
    except Exception as exc:
        with pytest.raises(type(exc)) as info:
            getattr(store, method)(*args)
        assert info.value.args == exc.args and f"ini_main.KestraIniMain.{method}" in entries(info.value)
    else:
        assert getattr(store, method)(*args) == (dict(expected) if method == "_get_option" else expected)
