"""kestra-crudini beside crudini itself: each invocation runs against both on fresh copies of one file, and the
standard output, exit status and resulting bytes must agree, except where a row lists a sound difference; then
ours must give the listed result and crudini must really give another."""
import io
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass

import pytest

from kestra_ini.crudini import main

CRUDINI = shutil.which("crudini", path=os.path.dirname(sys.executable))

BASE = b"# top comment\n[s]\na = 1\nb=2\nc = x, y\n\n# about t\n[t]\nKey = Value\nd = %F\n"
DEFAULTS = b"[DEFAULT]\ng = 0\n\n[s]\na = 1\n"
NO_END = b"[s]\na = 1"
CRLF = b"[s]\r\na = 1\r\n\r\n[t]\r\nb = 2\r\n"
MULTI = b"[s]\nm = one\n  two\ne =\n"
LATIN1 = b"[s]\na = caf\xe9\n"
BLANKS = b"[s]\na = 1\n\n\n[t]\nb = 2\n\n\n"
MISSING = None  # the file does not exist


@dataclass(frozen=True)
class Sound:
    """Where we differ from crudini on purpose: what ours gives instead (None: the same as crudini)."""

    why: str
    stdout: bytes | None = None
    status: int | None = None
    file: bytes | None = None
    stderr: bytes | None = None  # a part of ours, missing from crudini's


@dataclass(frozen=True)
class Case:
    args: str  # W stands for the file's name
    file: bytes | None = BASE
    stdin: bytes = b""
    sound: Sound | None = None


CASES = {
    # --get and its formats
    "get sections": Case("--get W"),
    "get sections with defaults": Case("--get W", DEFAULTS),
    "get section keys": Case("--get W s"),
    "get value": Case("--get W s a"),
    "get value any case": Case("--get W t key"),
    "get percent as written": Case("--get W t d"),
    "get inherited default": Case("--get W s g", DEFAULTS),
    "get default section empty name": Case("--get W '' g", DEFAULTS),
    "get DEFAULT keys": Case("--get W DEFAULT", DEFAULTS),
    "get empty default section": Case("--get W ''"),
    "get missing section": Case("--get W nosuch"),
    "get missing param": Case("--get W s nosuch"),
    "get missing file": Case("--get W s a", MISSING),
    "get multi-line value": Case("--get W s m", MULTI),
    "get chained": Case("--get W s a --get W t Key"),
    "get chained stops at a miss": Case("--get W s a --get W s zz --get W t Key"),
    "get from stdin": Case("--get - s a", stdin=b"[s]\na = 7\n"),
    "sh whole": Case("--get --format=sh W", DEFAULTS),
    "sh section": Case("--get --format=sh W t"),
    "sh value quoted": Case("--get --format=sh W s c"),
    "sh name as asked": Case("--get --format=sh W t KEY"),
    "sh multi-line": Case("--get --format=sh W s", MULTI),
    "sh bad identifier": Case("--get --format=sh W s x-y", b"[s]\nx-y = 1\n"),
    "ini whole": Case("--get --format=ini W"),
    "ini section": Case("--get --format=ini W s", MULTI),
    "ini default section": Case("--get --format=ini W ''", DEFAULTS),
    "ini value": Case("--get --format=ini W s a"),
    "lines whole": Case("--get --format=lines W", DEFAULTS + b"[empty]\n"),
    "lines section": Case("--get --format=lines W s", MULTI),
    "lines value": Case("--get --format=lines W s g", DEFAULTS),
    "format as a separate word": Case("--format sh --get W s"),
    "format after the file": Case("--get W --format=sh s"),
    # --set
    "set existing": Case("--set W s a 5"),
    "set keeps no-space spelling": Case("--set W s b 5"),
    "set keeps colon": Case("--set W s c 5", b"[s]\nc : 3\n"),
    "set new after colon": Case("--set W s n 5", b"[s]\nc : 3\n", sound=Sound(
        "a new option takes the delimiter and spacing of the option above it", file=b"[s]\nc : 3\nn : 5\n")),
    "set any case": Case("--set W t KEY v2"),
    "set new param": Case("--set W s new 5"),
    "set new param spelled": Case("--set W s NewKey 5"),
    "set new section": Case("--set W u new 5"),
    "set section only": Case("--set W u"),
    "set existing section only": Case("--set W s"),
    "set default": Case("--set W '' g 7", DEFAULTS),
    "set unchanged": Case("--set W s a 1"),
    "set value starting with dash": Case("--set W s a -5"),
    "set after double dash": Case("--set W s a -- --x"),
    "set creates file": Case("--set W s a 1", MISSING),
    "set crlf": Case("--set W t c 3", CRLF),
    "set in blank-separated section": Case("--set W s c 3", BLANKS),
    "set no final newline": Case("--set W s b 2", NO_END, sound=Sound(
        "the file keeps its missing final newline", file=b"[s]\na = 1\nb = 2")),
    "set empty value": Case("--set W s a", sound=Sound(
        "no trailing space after an empty value",
        file=b"# top comment\n[s]\na =\nb=2\nc = x, y\n\n# about t\n[t]\nKey = Value\nd = %F\n")),
    "set value with trailing space": Case("--set W s a 'x '", sound=Sound(
        "a value that would not read back as given is refused", status=1, file=BASE)),
    "set not utf-8": Case("--set W s b 1", LATIN1, sound=Sound("a message, not a traceback", stderr=b"not UTF-8")),
    # --del
    "del param": Case("--del W s a"),
    "del param any case": Case("--del W t key"),
    "del section": Case("--del W s", sound=Sound(
        "the blank line that ends the section goes with it",
        file=b"# top comment\n# about t\n[t]\nKey = Value\nd = %F\n")),
    "del last section": Case("--del W t"),
    "del missing param": Case("--del W s zz"),
    "del missing section": Case("--del W zz a"),
    "del missing file": Case("--del W s a", MISSING),
    "del value refused": Case("--del W s a 1"),
    "del default param": Case("--del W '' g", DEFAULTS),
    # --existing
    "existing set param": Case("--set --existing W s zz 1"),
    "existing set section": Case("--set --existing W zz a 1"),
    "existing=param set": Case("--set --existing=param W s zz 1"),
    "existing=section set new param": Case("--set --existing=section W s zz 1"),
    "existing=section set missing": Case("--set --existing=section W zz zz 1"),
    "existing=file set new section": Case("--set --existing=file W zz zz 1"),
    "existing=file missing file": Case("--set --existing=file W s a 1", MISSING),
    "existing del param": Case("--del --existing W s zz"),
    "existing del section": Case("--del --existing W zz"),
    "existing=section del param": Case("--del --existing=section W s zz"),
    "existing del missing file": Case("--del --existing W s", MISSING),
    "existing after the operation": Case("--set W s zz 1 --existing"),
    "existing bad": Case("--set --existing=bogus W s a 2"),
    # chains
    "chain set set del": Case("--set W s a 2 --set W s n 3 --del W t"),
    "chain set twice": Case("--set W s n 1 --set W s n 2"),
    "chain del then set": Case("--set W s a 2 --del W s --set W s c 1", sound=Sound(
        "the blank line that ends the section goes with it",
        file=b"# top comment\n# about t\n[t]\nKey = Value\nd = %F\n\n[s]\nc = 1\n")),
    "chain all or nothing": Case("--set W s a 2 --set --existing W s zz 3"),
    "chain two files": Case("--set W s a 2 --set other.ini s b 3"),
    "chain get with set": Case("--set W s a 2 --get W s a"),
    "double dash ends options": Case("--set W s a 4 -- --set W s b 5"),
    # --merge
    "merge into section": Case("--merge W s", stdin=b"a=9\nn = 3\n"),
    "merge sections": Case("--merge W", stdin=b"[s]\na=9\n[new]\nn = 3\n"),
    "merge all into one": Case("--merge W x", stdin=b"[s]\na=9\n[new]\nn = 3\n"),
    "merge existing section": Case("--merge --existing W", stdin=b"[s]\na=9\n[new]\nn = 3\n"),
    "merge existing param skips": Case("--merge --existing=param W t", stdin=b"key=5\nother=6\n"),
    "merge twice": Case("--merge W s --merge W t", stdin=b"x=1\n"),
    # --list
    "list add": Case("--list --set W s c z"),
    "list add present": Case("--list --set W s c y"),
    "list add new param": Case("--list --set W s zz q"),
    "list remove": Case("--list --del W s c y"),
    "list remove param": Case("--list --del W s c"),
    "list whitespace sep": Case("--list --list-sep= --set W s c q"),
    "list other sep": Case("--list --list-sep=';' --set W s c q"),
    # output, verbose, usage, version
    "output stdout": Case("--output=- --set W s a 2"),
    "verbose": Case("--verbose --set W s a 2"),
    "inplace": Case("--inplace --set W s a 2"),
    "no operation": Case("W"),
    "unknown option": Case("--bogus --get W"),
    "ambiguous prefix": Case("--ver --get W"),
    "prefix": Case("--verb --set W s a 2"),
    "flag with a value": Case("--verbose=1 --get W"),
    "bad format": Case("--format=json --get W"),
    "get too many words": Case("--get W s a b"),
    "set too few words": Case("--set W"),
    "help": Case("--help", sound=Sound("our own help text")),
    "version": Case("--version", sound=Sound("names kestra-crudini after crudini's version",
                                             stdout=b"crudini 0.9.6 (kestra-crudini)\n")),
}


def _invoke(command, tmp_path, case):
    path = tmp_path / "w.ini"
    if case.file is not None:
        path.write_bytes(case.file)
    args = ["w.ini" if word == "W" else word for word in _split(case.args)]
    return command(args, case.stdin, tmp_path), (path.read_bytes() if path.exists() else None)


def _split(text):
    import shlex
    return shlex.split(text)


def _crudini(args, stdin, cwd):
    done = subprocess.run([CRUDINI, *args], input=stdin, capture_output=True, cwd=cwd, timeout=60)
    return done.stdout, done.stderr, done.returncode


def _ours(args, stdin, cwd, capfdbinary, monkeypatch):
    monkeypatch.chdir(cwd)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    status = main(args)
    out, err = capfdbinary.readouterr()
    return out, err, status


@pytest.mark.skipif(CRUDINI is None, reason="crudini is a dev requirement")
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_like_crudini(case, tmp_path, capfdbinary, monkeypatch):
    theirs_dir, ours_dir = tmp_path / "theirs", tmp_path / "ours"
    theirs_dir.mkdir()
    ours_dir.mkdir()
    (theirs_out, theirs_err, theirs_status), theirs_file = _invoke(_crudini, theirs_dir, case)
    capfdbinary.readouterr()
    (ours_out, ours_err, ours_status), ours_file = _invoke(
        lambda args, stdin, cwd: _ours(args, stdin, cwd, capfdbinary, monkeypatch), ours_dir, case)
    theirs = {"stdout": theirs_out, "status": theirs_status, "file": theirs_file}
    ours = {"stdout": ours_out, "status": ours_status, "file": ours_file}
    sound = case.sound or Sound("")
    if case.sound and case.sound.why == "our own help text":
        assert ours_status == theirs_status == 0 and b"--existing[=WHAT]" in ours_out
        return
    for what in ("stdout", "status", "file"):
        expected = getattr(sound, what)
        if expected is None:
            assert ours[what] == theirs[what], what
        else:
            assert ours[what] == expected, what
            assert theirs[what] != expected, f"crudini gives the listed {what} too"
    if sound.stderr is not None:
        assert sound.stderr in ours_err and sound.stderr not in theirs_err
