"""Names and values the engine would write as text it cannot read back are refused before anything changes."""
import configparser
import contextlib

import pytest

from conftest import entries, loaded

START = "[s]\nx = 1\n"


def sec(name, what):
    return f"section name {name!r} {what}"


def opt(name, what, section="s"):
    return f"option name {name!r} in section {section!r} {what}"


def val(what, option="o", section="s"):
    return f"value of option {option!r} in section {section!r} {what}"


EMPTY, BREAK, UTF8 = "is empty", "contains a line break", "cannot be encoded as UTF-8"
SECTIONS = [("", sec("", EMPTY)), ("a\nb", sec("a\nb", BREAK)), ("a\rb", sec("a\rb", BREAK)),
            ("\ud800", sec("\ud800", UTF8)), ("\n\ud800", sec("\n\ud800", BREAK))]
SEP, START_CH = "contains '=' or ':'", "starts with '#', ';' or '['"
LEAD, TRAIL = "starts with whitespace", "ends with whitespace"
OPTIONS = [("", EMPTY), ("a\nb", BREAK), ("a\rb", BREAK), ("a=b", SEP), ("a:b", SEP), ("#a", START_CH),
           (";a", START_CH), ("[a]", START_CH), (" a", LEAD), ("\ta", LEAD), ("a ", TRAIL), ("a\xa0", TRAIL),
           ("\ud800", UTF8), ("=\n", BREAK), ("#=", SEP), (" #", LEAD), ("# ", START_CH), (" a\ud800", LEAD),
           ("a\ud800", UTF8), ("\ud800 ", TRAIL)]
CR, COMMENT = "contains a carriage return", "has a line that would be read back as a comment"
VALUES = [("a\rb", CR), ("a\n#b", COMMENT), ("a\n  ;b", COMMENT), ("a\n\x0c#b", COMMENT), ("\ud800", UTF8),
          ("\r\n#", CR), ("a\n#\ud800", COMMENT), ("x\ud800\n", UTF8)]


def load_outcome(path):
    """What a fresh engine makes of the file: its sections, or the type of the error that stops it."""
    try:
        return loaded(path)
    except configparser.Error as exc:
        return type(exc)


def Text(text):
    return type("Text", (), {"__str__": lambda self: text})()


CASES = (
    [(lambda s, n=n: s._set_section(n), m) for n, m in SECTIONS]
    + [(lambda s, n=n: s._set(n, "o", "v"), m) for n, m in SECTIONS]
    + [(lambda s, n=n: s._set_option(n, {"o": "v"}), m) for n, m in SECTIONS]
    + [(lambda s, n=n: s._set_all({n: {}}), m) for n, m in SECTIONS]
    + [(lambda s, n=n: s._set("s", n, "v"), opt(n, m)) for n, m in OPTIONS]
    + [(lambda s, n=n: s._set_option("s", {n: "v"}, False), opt(n, m)) for n, m in OPTIONS]
    + [(lambda s, n=n: s._set_all({"s": {n: "v"}}), opt(n, m)) for n, m in OPTIONS]
    + [(lambda s, v=v: s._set("s", "o", v), val(m)) for v, m in VALUES]
    + [(lambda s, v=v: s._set("s", "o", Text(v)), val(m)) for v, m in VALUES]
    + [(lambda s, v=v: s._set_option("s", {"o": v}), val(m)) for v, m in VALUES]
    + [(lambda s: s._set("", "", "\r"), sec("", EMPTY)), (lambda s: s._set("s", "", "\r"), opt("", EMPTY)),
       (lambda s: s._set("new", "=", "\r"), opt("=", SEP, "new")),
       (lambda s: s._set("new", "o", "\r"), val(CR, "o", "new"))]
)


@pytest.mark.parametrize("call, message", CASES)
def test_refusal_leaves_engine_and_file_untouched(ini_main, make_ini, call, message):
    path = make_ini(START)
    store = ini_main.KestraIniMain(str(path))
    store._set("s", "pending", "unsaved", False)
    before, content = path.read_bytes(), store._get_all()
    with pytest.raises(ValueError) as info:
        call(store)
    assert str(info.value) == message
    method = call.__code__.co_names[0]  # the method the case calls
    assert f"ini_main.KestraIniMain.{method}" in entries(info.value)
    assert path.read_bytes() == before and store._get_all() == content


@pytest.mark.parametrize(
    "section, option, value",
    [(n, "o", "v") for n, _ in SECTIONS] + [("s", n, "v") for n, _ in OPTIONS[:13]]
    + [("s", "o", v) for v, _ in VALUES[:5]] + [("s", "x ", "v"), ("s", "X\t", "v")],
)
def test_each_refused_text_would_corrupt_the_file(ini_main, make_ini, tmp_path, section, option, value):
    plain = configparser.ConfigParser()
    plain.read_string(START)
    intended = {"s": {"x": "1"}}
    intended.setdefault(section, {})[plain.optionxform(option)] = value
    plain_path = tmp_path / "plain.ini"
    if not plain.has_section(section):
        plain.add_section(section)
    plain.set(section, option, value)  # the engine takes it without a word
    unencodable = any("\ud800" <= ch <= "\udfff" for ch in section + option + value)
    with open(plain_path, "w", encoding="utf-8-sig") as f:
        # A lone surrogate stops the save part way, leaving the file cut short.
        with pytest.raises(UnicodeEncodeError) if unencodable else contextlib.nullcontext():
            plain.write(f)
    assert load_outcome(plain_path) != intended

    path = make_ini(START)
    with pytest.raises(ValueError):
        ini_main.KestraIniMain(str(path))._set(section, option, value)
    assert path.read_bytes() == START.encode() and loaded(path) == {"s": {"x": "1"}}


@pytest.mark.parametrize(
    "section, option, value, expected",
    [("a b", "in ner", "v", "v"), ("a]b", "o", "v", "v"), ("[x]", "o]", "v", "v"), (" ", "o", "v", "v"),
     ("s", "o", "line1\nline2\n\nline4", "line1\nline2\n\nline4"), ("s", "o", "#first\n x;y", "#first\nx;y"),
     ("s", "o", "100%%", "100%"), ("ünï ☃", "日本", "значение ✓", "значение ✓"), ("s", "o", "  padded  ", "padded"),
     ("s", "a[b", "x=y: z", "x=y: z"), ("#s", "o", ";v", ";v"), ("s", "o", 42, "42")],
)
def test_accepted_texts_round_trip(ini_main, make_ini, section, option, value, expected):
    path = make_ini(START)
    store = ini_main.KestraIniMain(str(path))
    assert store._set(section, option, value) is True
    assert store._get(section, option) == expected
    fresh = configparser.ConfigParser()
    fresh.read(path, encoding="utf-8-sig")
    assert fresh.get(section, option) == expected and fresh.get("s", "x") == "1"
    assert ini_main.KestraIniMain(str(path))._get_all() == loaded(path)


@pytest.mark.parametrize(
    "call, engine_call",
    [(lambda s: s._set_section(5), lambda c: c.add_section(5)),
     (lambda s: s._set("s", 5, "v"), lambda c: c.set("s", 5, "v")),
     (lambda s: s._set("s", b"o\n", "v"), lambda c: c.set("s", b"o\n", "v"))],
)
def test_names_that_are_not_str_go_to_the_engine(ini_main, make_ini, call, engine_call):
    plain = configparser.ConfigParser()
    plain.read_string(START)
    with pytest.raises(Exception) as expected:
        engine_call(plain)
    with pytest.raises(type(expected.value)) as info:
        call(ini_main.KestraIniMain(str(make_ini(START))))
    assert info.value.args == expected.value.args
