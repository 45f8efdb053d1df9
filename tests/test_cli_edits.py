"""The command line's edits: only the lines of what changed move, the engine reads exactly what was asked, and
concurrent edits of one file all land."""
import configparser
import fcntl
import io
import json
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time
from dataclasses import dataclass

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import run_module, shim_env
from kestra_ini import _disk
from kestra_ini.cli import main

NAME_CHARS = "aXYZé_-.0"
VALUE_CHARS = "ab Z=:;#[]%é✓\t."
SEPARATORS = [" = ", "=", " : ", ":", "\t=\t", " =", "= "]
MOSTLY = st.sampled_from([True, True, True, False])
# The byte of the file on which the command line's edits lock (src/ini_main/disk/file_lock.hpp).
EDIT_BYTE = 0x7FFFFFFFFFFF0001


def name(first="aXYZé_.0"):  # no leading "-", which argparse would take for a flag
    return st.builds(lambda a, b: a + b, st.sampled_from(first), st.text(NAME_CHARS + " ", max_size=5)).map(
        str.rstrip)


@dataclass
class Option:
    name: str
    separator: str
    first: str
    more: list  # later value lines: (indentation, text), or None for a blank line inside the value
    comments: list  # comment lines after the option, outside its value


@st.composite
def options(draw, indent):
    more = draw(st.lists(st.one_of(st.none(), st.tuples(st.sampled_from(["\t", "    ", " "]),
                                                        st.text(VALUE_CHARS, min_size=1, max_size=8))), max_size=3))
    # A later value line holds text; a blank or comment-like one only ever sits between two of them.
    more = [line if line is None or line[1].strip()[:1] not in ("", "#", ";") else None for line in more]
    while more and more[-1] is None:
        more.pop()
    return Option(draw(name()), draw(st.sampled_from(SEPARATORS)), draw(st.text(VALUE_CHARS, max_size=8)),
                  [None if line is None else (indent + line[0], line[1]) for line in more],
                  draw(st.lists(st.sampled_from(["", "  ", "# note", "; other", "  # indented"]), max_size=2)))


@st.composite
def ini_files(draw):
    """(bytes, lines with their owner, line end): an owner is ("header", section), ("option", section, key)
    for an option line, ("value", section, key) for the lines of its value after the first, or
    ("free", section) for blank and comment lines that belong to no value."""
    names = draw(st.lists(name(), unique_by=str.lower, min_size=1, max_size=4))
    if draw(st.booleans()):
        names.insert(draw(st.integers(0, len(names))), "DEFAULT")
    end = draw(st.sampled_from(["\n", "\r\n"]))
    lines = [(text, ("free", None)) for text in draw(st.lists(st.sampled_from(["# top", "", "; x"]), max_size=2))]
    for section in names:
        lines.append((f"[{section}]", ("header", section)))
        indent = draw(st.sampled_from(["", "  "]))
        least = draw(st.sampled_from([0, 1, 2]))
        for option in draw(st.lists(options(indent), unique_by=lambda o: o.name.lower(), min_size=least, max_size=5)):
            key = option.name.lower()
            lines.append((f"{indent}{option.name}{option.separator}{option.first}", ("option", section, key)))
            lines += [("" if line is None else line[0] + line[1], ("value", section, key)) for line in option.more]
            lines += [(text, ("free", section)) for text in option.comments]
    text = end.join(line for line, _ in lines) + (end if lines and draw(st.booleans()) else "")
    return (b"\xef\xbb\xbf" if draw(st.booleans()) else b"") + text.encode(), lines, end


def values(percent=True):
    return st.lists(st.text("ab Zé%=" if percent else "ab Zé=", max_size=6), min_size=1, max_size=3).map("\n".join)


@st.composite
def operations(draw, lines):
    """A command line and how plain configparser, whole-file, would carry it out."""
    sections = [owner[1] for _, owner in lines if owner[0] == "header" and owner[1] != "DEFAULT"]
    keys = [(owner[1], owner[2]) for _, owner in lines if owner[0] == "option" and owner[1] != "DEFAULT"]
    # Mostly what the file has (an option in another case than the file's), sometimes something new.
    section = draw(st.sampled_from(sections)) if sections and draw(MOSTLY) else draw(name())
    known = [key for s, key in keys if s == section]
    option = draw(st.sampled_from(known).map(str.upper)) if known and draw(MOSTLY) else draw(name())
    kind = draw(st.sampled_from(["set", "remove", "remove option", "load"]))
    if kind == "set":
        return ["set", section, option, draw(values(percent=draw(st.booleans())))]
    if kind == "remove":
        return ["remove", section]
    if kind == "remove option":
        return ["remove", section, option]
    document = draw(st.dictionaries(st.sampled_from(["DEFAULT", section]) | name(),
                                    st.dictionaries(st.sampled_from([option]) | name(), values()), max_size=3))
    return ["load", document]


def model(text, command):
    """The engine's data after the command, done by plain configparser and its own write and read."""
    interpolation = None if command[0] == "load" else configparser.BasicInterpolation()
    engine = configparser.ConfigParser(interpolation=interpolation)
    engine.read_string(text)
    if command[0] == "set":
        if any(line != line.strip() for line in command[3].split("\n")):
            raise ValueError("set refuses a value whose whitespace would not read back")
        if not engine.has_section(command[1]):
            engine.add_section(command[1])
        engine.set(*command[1:])
    elif command[0] == "remove" and not (engine.remove_section(command[1]) if len(command) == 2
                                         else engine.remove_option(*command[1:])):
        raise KeyError("nothing to remove")
    elif command[0] == "load":
        for section, items in command[1].items():
            if section != "DEFAULT" and not engine.has_section(section):
                engine.add_section(section)
            for option, value in items.items():
                engine.set(section, option, value)
    written = io.StringIO()
    engine.write(written)
    return read(written.getvalue())


def read(text):
    engine = configparser.ConfigParser(interpolation=None)
    engine.read_string(text)
    return [(section, list(engine[section].items())) for section in engine]


def touched(command, owner):
    if command[0] == "remove" and len(command) == 2:
        return owner[1] == command[1]  # a section goes with its comments and blank lines
    if owner[0] not in ("option", "value"):
        return False
    if command[0] == "remove":
        return owner[1:] == (command[1], command[2].lower())
    wanted = {(command[1], command[2].lower())} if command[0] == "set" else {
        (s, o.lower()) for s, items in command[1].items() for o in items}
    return (owner[1], owner[2]) in wanted


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_an_edit_changes_only_the_lines_of_what_changed(tmp_path, data):
    old, lines, end = data.draw(ini_files())
    command = data.draw(operations(lines))
    path = tmp_path / "settings.ini"
    path.write_bytes(old)
    text = old.decode("utf-8-sig").replace("\r\n", "\n")
    # The engine's grammar and its model; set and remove check '%' as the class does.
    args = [str(path), *command, "--strict" if command[0] == "load" else "--expand"]
    if command[0] == "load":
        (tmp_path / "doc.json").write_text(json.dumps(command[1]))
        args[-2] = str(tmp_path / "doc.json")
    try:
        expected = model(text, command)
    except (ValueError, KeyError, configparser.Error):
        assert main(args) == 1 and path.read_bytes() == old
        return
    assert main(args) == 0
    new = path.read_bytes()
    assert read(new.decode("utf-8-sig").replace("\r\n", "\n")) == expected
    assert new.startswith(b"\xef\xbb\xbf") == old.startswith(b"\xef\xbb\xbf")
    end = end if end in old.decode() else "\n"  # a file without a line end gets line feeds
    new_lines = new.decode("utf-8-sig").split(end)
    if old.strip(b"\xef\xbb\xbf") and new.strip(b"\xef\xbb\xbf"):
        assert new.endswith(end.encode()) == old.endswith(end.encode())
    assert not any("\r" in line or "\n" in line for line in new_lines), "a line end not the file's own"

    matched = check_untouched_lines_stay(lines, new_lines, command)
    check_new_lines_come_from_the_command(lines, new_lines, matched, command)


def check_untouched_lines_stay(lines, new_lines, command):
    """What the command did not touch is still there, byte for byte and in order; returns where it is."""
    remaining = iter(enumerate(new_lines))
    matched = set()
    for number, (line, owner) in enumerate(lines):
        # Blank lines right above a section that goes at the end of the file may go with it.
        following = next((later for text, later in lines[number + 1:] if text.strip()), None)
        separator = command[:1] == ["remove"] and not line.strip() and following == ("header", command[1])
        if not touched(command, owner) and not separator:
            found = next((index for index, candidate in remaining if candidate == line), None)
            # A blank line can only go at the very end, where the file must not gain a final newline.
            assert found is not None or not line.strip() and next(remaining, None) is None, f"{line!r} is gone"
            matched.add(found)
    return matched


def check_new_lines_come_from_the_command(lines, new_lines, matched, command):
    """A removal only takes whole lines away; a set or load adds only the headers, names and values it was
    given, and blank lines; an option that was there keeps the file's spelling of its name."""
    if command[0] == "remove":
        left = iter(line for line, _ in lines)
        assert all(any(line == candidate for candidate in left) for line in new_lines if line), command
        return
    given = {command[1]: {command[2]: command[3]}} if command[0] == "set" else command[1]
    names = {option.lower() for options in given.values() for option in options}
    texts = {part.strip() for options in given.values() for value in options.values() for part in value.split("\n")}
    headers = {f"[{section}]" for section in given}
    for index, line in enumerate(new_lines):
        clean = line.strip()
        assert (index in matched or not clean or clean in headers or clean in texts
                or any(clean.lower().startswith(name) for name in names)), (line, command)
    for line, owner in lines:
        if owner[0] == "option" and touched(command, owner):
            spelled = line.strip().split(":")[0].split("=")[0].rstrip()
            assert any(candidate.strip().startswith(spelled) for candidate in new_lines), spelled


@pytest.mark.parametrize("reader", [False, True], ids=["lock free", "a reader holds the edit lock"])
def test_concurrent_edits_of_one_file_all_land(make_ini, reader):
    path = make_ini("# kept\n[s]\nfirst = 1\n")
    if reader:
        # A second name makes every save write in place, so the reader's lock stays on the file throughout;
        # the edits then go on without the lock and must still lose nothing.
        os.link(path, path.with_name("other name.ini"))
        holder = os.open(path, os.O_RDONLY)
        fcntl.fcntl(holder, fcntl.F_OFD_SETLK,
                    struct.pack("hhqqi4x", fcntl.F_RDLCK, os.SEEK_SET, EDIT_BYTE, 1, 0))
    code = textwrap.dedent(f"""
        import sys
        from kestra_ini.cli import main
        for n in range(15):
            assert main([{str(path)!r}, "set", "s", f"p{{sys.argv[1]}}_{{n}}", str(n)]) == 0
    """)
    children = [subprocess.Popen([sys.executable, "-c", code, str(p)]) for p in range(6)]
    assert [child.wait(timeout=300) for child in children] == [0] * 6
    if reader:
        os.close(holder)
    engine = configparser.ConfigParser()
    engine.read(path)
    assert dict(engine["s"]) == {"first": "1", **{f"p{p}_{n}": str(n) for p in range(6) for n in range(15)}}
    assert path.read_text().startswith("# kept\n[s]\nfirst = 1\np")


def test_an_edit_that_a_reader_kept_out_still_waits_for_another_edits_lock(make_ini):
    """Its next attempt passes over a reader at once, but not another edit, which may hold the lock a while."""
    path = make_ini("[s]\n")
    other = os.open(path, os.O_RDWR)
    fcntl.fcntl(other, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, EDIT_BYTE, 1, 0))
    threading.Timer(0.2, os.close, [other]).start()
    with _disk.exclusive(str(path), began=time.monotonic() - 1) as locked:
        assert locked


@pytest.mark.parametrize("first", [True, False], ids=["a file", "no file"])
@pytest.mark.parametrize("front", ["kestra-ini", "kestra-crudini", "kestra-crudini --merge", "ini_file"])
def test_a_write_that_lands_between_an_edits_read_and_its_write_is_kept(make_ini, monkeypatch, front, first):
    """Another writer who holds no lock (a store saving, an edit that a reader's lock kept out) changes the file,
    or creates it, right after an edit read it: the edit reads again and keeps that change (L7)."""
    from kestra_ini import _ini_file, crudini

    path = make_ini("[s]\nfirst = 1\n")
    if not first:
        path.unlink()
    read = _disk.Edit.read
    interloped = []

    def read_then_overtaken(edit, **kwargs):
        data = read(edit, **kwargs)
        if not interloped:
            interloped.append(True)
            _disk.write(str(path), (data or b"[s]\n") + b"other = 2\n")
        return data

    monkeypatch.setattr(_disk.Edit, "read", read_then_overtaken)
    if front == "kestra-ini":
        assert main([str(path), "set", "s", "mine", "3"]) == 0
    elif front == "kestra-crudini":
        assert crudini.main(["--set", str(path), "s", "mine", "3"]) == 0
    elif front == "kestra-crudini --merge":  # the second attempt merges the same standard input
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"[s]\nmine = 3\n")))
        assert crudini.main(["--merge", str(path)]) == 0
    else:
        params = {"section": "s", "option": "mine", "value": "3", "state": "present", "create": True,
                  "exclusive": True, "allow_no_value": False, "ignore_spaces": False, "modify_inactive_option": True}
        assert _ini_file.update(str(path), params, check_mode=False)[2] == "option added"
    engine = configparser.ConfigParser()
    engine.read(path)
    assert dict(engine["s"]) == {**({"first": "1"} if first else {}), "other": "2", "mine": "3"}


@pytest.mark.parametrize("fault", ["an edit that lands on the wrong line", "a store that changes more"])
def test_an_edit_that_would_not_read_back_as_intended_writes_nothing(make_ini, monkeypatch, capsys, fault):
    import kestra_ini._strict as cli

    path = make_ini("[a]\nx = 1\n[b]\ny = 2\n")
    if fault == "an edit that lands on the wrong line":
        real = cli.model_changes
        monkeypatch.setattr(cli, "model_changes", lambda before, after, names: real(
            before, {**after, "b": {"y": "3"}}, names))
    else:
        real = cli.settled
        monkeypatch.setattr(cli, "settled", lambda engine: {**real(engine), "b": {}})
    assert main([str(path), "set", "a", "x", "5", "--strict"]) == 1
    assert "nothing written: " in capsys.readouterr().err
    assert path.read_text() == "[a]\nx = 1\n[b]\ny = 2\n"


def test_a_save_killed_while_writing_in_place_is_put_back_before_the_command_line_reads(shim, tmp_path):
    (tmp_path / "files").mkdir()
    run_module("cli_recovery_child", timeout=300,
               env={**shim_env(shim), "FOLDER": str(tmp_path / "files"), "XDG_STATE_HOME": str(tmp_path / "state")})
