"""One table of edits run under both readings, the tolerant one and the engine's (--strict): a file both can
read must come out of an edit as the same bytes, which the table spells out."""
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kestra_ini.cli import main

NEXT = b"[a]\nx = 1\n; among its keys\ny = 2\n\n# about b\n[b]\nz = 3\n"
MIXED = b"\xef\xbb\xbf[a]\r\nx = 1\ny = 2\r\nz = 3\r\n"

# (file, arguments, the file afterwards; None: refused and left alone)
EDITS = [
    # A removed section takes the comments among its keys; the comment above the next header stays.
    (NEXT, ["remove", "a"], b"# about b\n[b]\nz = 3\n"),
    (NEXT, ["remove", "b"], b"[a]\nx = 1\n; among its keys\ny = 2\n\n# about b\n"),
    (b"[a]\nx = 1\n\n[b]\ny = 2\n", ["remove", "b"], b"[a]\nx = 1\n"),
    # A changed line keeps its own line end; a new one takes the file's most common one.
    (MIXED, ["set", "a", "x", "5"], b"\xef\xbb\xbf[a]\r\nx = 5\ny = 2\r\nz = 3\r\n"),
    (MIXED, ["set", "a", "w", "5"], b"\xef\xbb\xbf[a]\r\nx = 1\ny = 2\r\nz = 3\r\nw = 5\r\n"),
    (MIXED, ["remove", "a", "y"], b"\xef\xbb\xbf[a]\r\nx = 1\nz = 3\r\n"),
    # New keys and sections take the style of the keys near them; names keep the file's spelling.
    (b"[a]\n  x: 1\n", ["set", "a", "y", "2"], b"[a]\n  x: 1\n  y: 2\n"),
    (b"[a]\nx=1", ["set", "u", "w", "1"], b"[a]\nx=1\n\n[u]\nw=1"),
    (b"[a]\nPort = 1 \n", ["set", "a", "port", "2"], b"[a]\nPort = 2\n"),
    (b"[a]\nx =\n\tone\n\ttwo\ny = 1\n", ["set", "a", "x", "3\n4"], b"[a]\nx = 3\n\t4\ny = 1\n"),
    (b"[c]\nbg = #282A2E\n", ["set", "c", "bg", "#000000"], b"[c]\nbg = #000000\n"),
    (b"[a]\nx = 1\n", ["set", "a", "x", "2", "+", "remove", "a", "nope"], None),
    (b"[a]\nx = 1\n", ["remove", "nope", "--missing-ok"], b"[a]\nx = 1\n"),
    (b"[a]\nx = 1\n", ["set", "a", "%x", "1"], b"[a]\nx = 1\n%x = 1\n"),
]


@pytest.fixture(params=["tolerant", "strict"])
def reading(request):
    return [] if request.param == "tolerant" else ["--strict"]


@pytest.mark.parametrize("old, args, new", EDITS)
def test_both_readings_make_the_same_edit(tmp_path, capsys, reading, old, args, new):
    path = tmp_path / "file.ini"
    path.write_bytes(old)
    code = main([str(path), *_each(args, reading)])
    err = capsys.readouterr().err
    assert (code, path.read_bytes()) == ((0, new) if new is not None else (1, old)), err


def _each(words, extra):
    """Every change of a chain with the reading's flags."""
    out = []
    for word in [*words, "+"]:
        if word == "+":
            out += [*extra, "+"]
        else:
            out.append(word)
    return out[:-1]


@pytest.mark.parametrize("chain", [["set", "a", "x", "1", "+", "remove", "b", "--missing-ok"],
                                   ["remove", "b", "--missing-ok", "+", "set", "a", "x", "1"]])
def test_a_chain_on_a_missing_file_creates_it(tmp_path, reading, chain):
    path = tmp_path / "new.ini"
    assert main([str(path), *_each(chain, reading)]) == 0
    assert path.read_bytes() == b"[a]\nx = 1\n"


# (file, a change reading standard input, what it reads there, the file afterwards; None: refused, left alone)
STDIN_EDITS = [
    # A key the document gives one value has that one value afterwards, however often the file had it.
    (b"[s]\nk = 1\nk = 2\n", ["load", "-"], b'{"s": {"k": "3"}}', b"[s]\nk = 3\n"),
    (b"[s]\nk = a\nk = b\nk = c\n", ["load", "-"], b'{"s": {"k": ["1", "2"]}}', b"[s]\nk = 1\nk = 2\n"),
    (b"[s]\nk = a\nk = b\n", ["merge", "-"], b"[s]\nk = 1\nk = 2\n", b"[s]\nk = 1\nk = 2\n"),
    # dump's JSON for a bare key
    (b"[s]\n", ["load", "-"], b'{"s": {"bare": null}}', b"[s]\nbare\n"),
    (b"[s]\nk = 1\n", ["merge", "-", "--existing"], b"[s]\nj = 2\n", None),
    (b"[s]\nk = 1\n", ["load", "-", "--existing"], b'{"s": {"j": "2"}}', None),
]


@pytest.mark.parametrize("old, args, given, new", STDIN_EDITS)
def test_merge_and_load_make_the_file_say_what_they_read(tmp_path, monkeypatch, old, args, given, new):
    import io
    import sys

    path = tmp_path / "file.ini"
    path.write_bytes(old)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(given)))
    assert (main([str(path), *args]), path.read_bytes()) == ((0, new) if new is not None else (1, old))


def test_backup_keeps_the_old_file_and_a_dash_edits_standard_input(tmp_path, monkeypatch, capfdbinary, reading):
    import io
    import sys

    path = tmp_path / "file.ini"
    path.write_bytes(NEXT)
    assert main([str(path), "set", "b", "z", "4", "--backup", *reading]) == 0
    assert ((tmp_path / "file.ini.bak").read_bytes(), path.read_bytes()) == (NEXT, NEXT.replace(b"3", b"4"))
    # A suffix given on a later change of a chain
    assert main([str(path), "set", "b", "z", "5", "+", "remove", "c", "--missing-ok", "--backup=.orig", *reading]) == 0
    assert (tmp_path / "file.ini.orig").read_bytes() == NEXT.replace(b"3", b"4")
    # A change that changes nothing prints the text as it is.
    for change, out in ((["set", "b", "z", "5"], NEXT.replace(b"3", b"5")), (["remove", "c", "--missing-ok"], NEXT)):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(NEXT)))
        capfdbinary.readouterr()
        assert main(["-", *change, *reading]) == 0
        assert capfdbinary.readouterr().out == out


# --- the property: on any file both readings read alike, an edit gives the same bytes under both ----------

NAMES = ["alpha", "beta", "gamma.1", "x y"]
VALUE = st.text("abZ09/.%=:,_#-", min_size=1, max_size=6).filter(lambda v: v != "--" and "%" not in v[:1])
SEPARATORS = ["=", " = ", " : ", "\t=\t", " ="]


@st.composite
def files(draw):
    """(bytes, sections): a file that the tolerant reading and the engine read as the same keys and values."""
    end = draw(st.sampled_from(["\n", "\r\n"]))
    lines, sections = [], {}
    for name in draw(st.lists(st.sampled_from(["main", "Peer", "x y"]), min_size=1, max_size=3,
                              unique=True)):
        lines += draw(st.lists(st.sampled_from(["", "# c", "; c"]), max_size=1)) + [f"[{name}]"]
        keys = draw(st.lists(st.sampled_from(NAMES), unique=True, max_size=3))
        sections[name] = keys
        for key in keys:
            lines.append(f"{key}{draw(st.sampled_from(SEPARATORS))}{draw(VALUE)}")
            lines += [f"\t{draw(VALUE)}" for _ in range(draw(st.integers(0, 1)))]
            lines += draw(st.lists(st.sampled_from(["", "# c", "; c"]), max_size=1))
    text = end.join(lines) + (end if draw(st.booleans()) else "")
    return text.encode(), sections


@st.composite
def edits(draw, sections):
    section = draw(st.sampled_from([*sections, "new"]))
    keys = sections.get(section, [])
    kind = draw(st.sampled_from(["set", "remove", "remove section"]))
    if kind == "remove section":
        return ["remove", "--", section]
    key = draw(st.sampled_from(keys + ["new.key"]) if kind == "set" else st.sampled_from(keys or ["nope"]))
    if kind == "remove":
        return ["remove", "--", section, key]
    return ["set", "--", section, key, draw(VALUE)]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_both_readings_give_the_same_bytes(tmp_path, data):
    old, sections = data.draw(files())
    command = data.draw(edits(sections))
    results = []
    for reading in ([], ["--strict"]):
        path = tmp_path / "file.ini"
        path.write_bytes(old)
        results.append((main([str(path), command[0], *reading, *command[1:]]), path.read_bytes()))
    assert results[0] == results[1]
