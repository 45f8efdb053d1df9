"""python -m kestra_ini, run as scripts run it: in a subprocess, judged by exit status, stdout and stderr."""
import json
import os
import pathlib
import resource
import shutil
import signal
import subprocess
import sys

import pytest

from conftest import run_python

SETTINGS = "[DEFAULT]\nzone = eu\n\n[server]\nhost = example.org\nport = 8080\npath = %(zone)s/x\n\n[client]\nName = késtra ✓\nnote = one\n\ttwo\n"
COMMANDS = ["sections", "options", "get", "set", "remove", "merge", "dump", "load"]


def cli(*args, stdin=b"", env=None):
    done = subprocess.run([sys.executable, "-m", "kestra_ini", *map(str, args)], input=stdin,
                          capture_output=True, timeout=60, env={**os.environ, **(env or {})})
    return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8", "backslashreplace")


def assert_one_line_error(result, where, words):
    code, out, err = result
    assert (code, out) == (1, ""), err
    assert err.count("\n") == 1 and "Traceback" not in err, err
    assert err.startswith(f"kestra-ini: {where}: ") and words in err, err


@pytest.mark.parametrize("args, out", [
    (["sections", "--strict"], "server\nclient\n"),
    (["options", "server", "--strict"], "host\nport\npath\nzone\n"),
    (["options", "client", "--strict"], "name\nnote\nzone\n"),
    (["get", "client", "NAME", "--strict"], "késtra ✓\n"),
    (["get", "client", "note", "--strict"], "one\ntwo\n"),
    (["get", "server", "path", "--expand"], "eu/x\n"),
    (["get", "server", "path", "--raw", "--strict"], "%(zone)s/x\n"),
])
def test_queries_print_one_item_a_line(make_ini, args, out):
    assert cli(make_ini(SETTINGS), *args, env={"PYTHONIOENCODING": "latin-1"}) == (0, out, "")


def test_dump_is_stable_json_in_file_order(make_ini):
    code, out, err = cli(make_ini(SETTINGS), "dump", "--expand")
    assert (code, err) == (0, "")
    assert out == json.dumps({"server": {"zone": "eu", "host": "example.org", "port": "8080", "path": "eu/x"},
                              "client": {"zone": "eu", "name": "késtra ✓", "note": "one\ntwo"}},
                             indent=2, ensure_ascii=False) + "\n"


@pytest.mark.parametrize("raw", [False, True])
def test_dump_then_load_into_a_new_file_gives_the_same_dump(make_ini, tmp_path, raw):
    odd = "[odd]\npercent = 50%%\nlone = 50%\nexec = vim %F\nref = %(zone)s%%\nzone = own\n"
    text = SETTINGS + (odd if raw else "[odd]\nempty =\n")
    raw = ["--strict"] if raw else ["--expand"]
    code, first, _ = cli(make_ini(text), "dump", *raw)
    copy = tmp_path / "sub" / "copy.ini"
    copy.parent.mkdir()
    assert cli(copy, "load", "-", stdin=first.encode()) == (0, "", "")
    # Raw, the defaults stay a section of their own; interpolated, every section carries them.
    assert copy.read_bytes().startswith(b"[DEFAULT]\nzone = eu\n\n[server]\nhost" if raw == ["--strict"]
                                        else b"[server]\nzone")
    assert (code, cli(copy, "dump", *raw)) == (0, (0, first, ""))


def test_set_creates_the_file_then_changes_it(tmp_path):
    path = tmp_path / "new.ini"
    assert cli(path, "set", "Srv", "Port", "8080") == (0, "", "")
    assert cli(path, "set", "Srv", "delta", "--", "-5") == (0, "", "")
    assert cli(path, "set", "Srv", "port", "9090") == (0, "", "")
    assert cli(path, "set", "--raw", "Srv", "exec", "vim %F") == (0, "", "")
    assert cli(path, "set", "--strict", "Srv", "exec", "vim %F") == (0, "", "")
    assert path.read_bytes() == b"[Srv]\nPort = 9090\ndelta = -5\nexec = vim %F\n"


def test_load_merges_and_keeps_numbers_as_written(make_ini):
    path = make_ini(SETTINGS)
    doc = b'{"server": {"port": 9090, "scale": 1e3, "ratio": -0.50}, "new": {}}'
    assert cli(path, "load", "-", stdin=doc) == (0, "", "")
    assert cli(path, "sections", "--strict") == (0, "server\nclient\nnew\n", "")
    assert cli(path, "get", "server", "scale")[1] + cli(path, "get", "server", "ratio")[1] == "1e3\n-0.50\n"
    assert cli(path, "get", "server", "port")[1:] == ("9090\n", "")


@pytest.mark.parametrize("args, left", [
    (["remove", "client"], "server\n"),
    (["remove", "server", "port"], "host\npath\nzone\n"),
])
def test_remove(make_ini, args, left):
    path = make_ini(SETTINGS)
    assert cli(path, *args) == (0, "", "")
    listing = ["sections", "--strict"] if len(args) == 2 else ["options", "server", "--strict"]
    assert cli(path, *listing) == (0, left, "")


@pytest.mark.parametrize("args, words", [
    (["remove", "nope"], "no section 'nope'"),
    (["remove", "nope", "host"], "no section 'nope'"),
    (["remove", "server", "nope"], "no option 'nope' in section 'server'"),
    (["remove", "server", "zone"], "option 'zone' in section 'server' comes from [DEFAULT]"),
    (["get", "nope", "host"], "no section 'nope'"),
    (["get", "server", "nope"], "no option 'nope' in section 'server'"),
    (["options", "nope"], "no section 'nope'"),
    (["set", "a\nb", "o", "v"], "section name 'a\\nb' contains a line break"),
    (["set", "s", "o=x", "v"], "option name 'o=x' in section 's' contains '=' or ':'"),
    (["set", "s", "o", "a\n#b"], "would be read back as a comment"),
    (["set", "s", "o", "50%", "--expand"], "a literal '%' is written '%%'"),
    (["set", "DEFAULT", "o", "v"], "Invalid section name: 'DEFAULT'"),
    (["load", "-"], "option name 'a=b' in section 's' contains '=' or ':'"),
])
def test_expected_errors_are_one_line_and_change_nothing(make_ini, args, words):
    path = make_ini(SETTINGS)
    before = path.stat()
    stdin = b'{"fine": {"x": "1"}, "s": {"a=b": "1"}}'
    assert_one_line_error(cli(path, *args, "--strict", stdin=stdin), path, words)
    assert (path.read_text(), path.stat().st_ino, path.stat().st_mtime_ns) == (SETTINGS, before.st_ino,
                                                                              before.st_mtime_ns)


@pytest.mark.parametrize("args", [["remove", "nope", "--missing-ok"], ["remove", "server", "x", "--missing-ok"]])
def test_remove_missing_ok_succeeds_without_writing(make_ini, args):
    path = make_ini(SETTINGS)
    inode = path.stat().st_ino
    assert cli(path, *args) == (0, "", "")
    assert path.stat().st_ino == inode


UNLOADABLE = [
    (b"x = 1\n", "line 1: text before the first section header: 'x = 1'"),
    (b"[a]\n[a]\n", "line 2: section 'a' appears twice"),
    (b"[a]\nx = 1\nX = 2\n", "line 3: option 'X' appears twice in section 'a'"),
    (b"[a]\nx\ny\n", "line 2: cannot parse 'x' (and 1 more line)"),
    (b"[a]\nx = \xff\n", "not UTF-8 text"),
    (b"\xff\xfe[\x00a\x00]\x00", "not UTF-8 text: it starts with a UTF-16 byte-order mark"),
    (b"[a]\nx = caf\xe9\n", "byte 0xe9 on line 2 (invalid continuation byte); it looks like a legacy 8-bit"),
]


@pytest.mark.parametrize("content, words, args", [
    *[(content, words, args) for content, words in UNLOADABLE
      for args in (["get", "a", "x", "--strict"], ["set", "a", "y", "1", "--strict"])],
    (b"[a]\nx = %(nope)s\n", "key 'nope' which is not a valid option name", ["get", "a", "x", "--expand"]),
    (b"[a]\nX = 5%\n", "option 'X' in section 'a': '%' must be followed by '%' or '(', found: '%' (without --expand",
     ["get", "a", "x", "--expand"]),
])
def test_a_file_that_does_not_load_is_reported_and_left_alone(make_ini, content, words, args):
    path = make_ini(content)
    assert_one_line_error(cli(path, *args), path, words)
    assert path.read_bytes() == content


@pytest.mark.parametrize("name, args, words", [
    ("missing.ini", ["sections"], "No such file or directory"),
    ("missing.ini", ["remove", "a", "--missing-ok"], "No such file or directory"),
    ("no/dir.ini", ["set", "a", "b", "c"], "No such file or directory"),
    ("file/x.ini", ["set", "a", "b", "c"], "Not a directory"),
    (".", ["dump"], "Is a directory"),
    (".", ["set", "a", "b", "c"], "Is a directory"),
])
def test_paths_that_cannot_be_used(tmp_path, name, args, words):
    (tmp_path / "file").write_text("")
    path = tmp_path / name
    assert_one_line_error(cli(path, *args), path, words)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads and writes any file")
@pytest.mark.parametrize("mode", [0o200, 0o400])
def test_permission_denied_keeps_the_file(make_ini, mode):
    path = make_ini(SETTINGS)
    path.chmod(mode)
    path.parent.chmod(0o500)
    try:
        assert_one_line_error(cli(path, "set", "a", "b", "c"), path, "Permission denied")
    finally:
        path.parent.chmod(0o700)
        path.chmod(0o600)
    assert path.read_text() == SETTINGS


def test_permission_denied_on_save_names_the_file(make_ini):
    path = make_ini(SETTINGS)
    done = run_python(f"""
        import sys
        from kestra_ini import _durable
        from kestra_ini.cli import main
        def refuse(path, *_):
            raise PermissionError(13, "Permission denied", path)
        _durable.replace_file = _durable.replace_file_if = refuse
        sys.exit(main([{str(path)!r}, "set", "a", "b", "c"]))
    """, check=False)
    assert_one_line_error((done.returncode, done.stdout, done.stderr), path, "Permission denied")


@pytest.mark.parametrize("doc, words", [
    (b"[1]", "expected a JSON object of sections, found an array"),
    (b'{"a": 5}', "section 'a': expected an object of options, found a number"),
    (b'{"a": "x=1"}', "found a string"),
    (b'{"a": {"b": true}}', "option 'b' in section 'a': expected a string or a number, found true"),
    (b'{"a": {"b": null}}', "found null"),
    (b'{"a": {"b": {}}}', "found an object"),
    (b'{"a": {"b": "1", "b": "2"}}', "key 'b' appears twice in one JSON object"),
    (b'{"a": {"b": NaN}}', "not valid JSON: NaN is not a JSON number"),
    (b'{"a": ', "not valid JSON: Expecting value at line 1 column 7"),
    (b'\xff{}', "not UTF-8 text"),
])
def test_load_refuses_a_bad_document_naming_it(make_ini, tmp_path, doc, words):
    path = make_ini(SETTINGS)
    (tmp_path / "doc.json").write_bytes(doc)
    assert_one_line_error(cli(path, "load", "-", "--strict", stdin=doc), "<stdin>", words)
    assert_one_line_error(cli(path, "load", tmp_path / "doc.json", "--strict"), tmp_path / "doc.json", words)
    assert_one_line_error(cli(path, "load", tmp_path / "none.json"), tmp_path / "none.json", "No such file")
    assert path.read_text() == SETTINGS


@pytest.mark.parametrize("args", [[], ["f"], ["f", "nope"], ["f", "get"], ["f", "set", "s", "o"],
                                  ["f", "sections", "extra"], ["f", "dump", "--nope"], ["f", "remove"]])
def test_usage_errors_exit_2(tmp_path, args):
    code, out, err = cli(*args)
    assert (code, out) == (2, "") and err.startswith("usage: python -m kestra_ini") and "Traceback" not in err


@pytest.mark.parametrize("command", COMMANDS)
def test_every_command_has_help(command):
    code, out, err = cli("f", command, "--help")
    assert (code, err) == (0, "") and out.startswith(f"usage: python -m kestra_ini FILE {command} [-h]")


def test_the_installed_script_is_the_same_command_line(make_ini):
    script = os.path.join(os.path.dirname(sys.executable), "kestra-ini")
    done = subprocess.run([script, str(make_ini(SETTINGS)), "get", "server", "path", "--expand"], capture_output=True,
                          text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "eu/x\n", "")
    assert subprocess.run([script], capture_output=True, text=True).stderr.startswith(
        "usage: kestra-ini [-h] [--version] FILE")


@pytest.mark.parametrize("sink", ["reader that goes away", "file that hits its size limit"])
def test_output_that_cannot_be_written_whole_is_a_failure(make_ini, tmp_path, sink):
    path = make_ini("[big]\n" + "".join(f"option{i} = {'v' * 60}\n" for i in range(20000)))
    command = [sys.executable, "-m", "kestra_ini", str(path), "dump"]
    if sink == "reader that goes away":
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert child.stdout.read(1) == b"{"
        child.stdout.close()
        assert (child.wait(timeout=60), child.stderr.read()) == (1, b"")
        return

    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))

    with open(tmp_path / "out.json", "wb") as out:
        done = subprocess.run(command, stdout=out, stderr=subprocess.PIPE, preexec_fn=limit_file_size, timeout=60)
    assert_one_line_error((done.returncode, "", done.stderr.decode()), "<stdout>", "File too large")


# What a query imports beyond what reading its file in the tolerant grammar needs (re, and so enum, functools and
# collections): argparse (with gettext and locale), typing, dataclasses, random, json or shutil here would cost
# it more than the whole of its own work.
QUERY_IMPORTS = {"__future__", "collections.abc", "contextlib", "errno",
                 *(f"kestra_ini{name}" for name in ("", ".cli", "._errors", "._files", "._formats", "._disk",
                                                     "._durable", ".document", ".encodings", ".grammars"))}


def test_a_query_imports_only_what_it_needs(make_ini):
    def imported(*args):
        done = subprocess.run([sys.executable, "-X", "importtime", *args], capture_output=True, text=True,
                              check=True, timeout=60)
        return {line.split("|")[-1].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}

    script = os.path.join(os.path.dirname(sys.executable), "kestra-ini")
    extra = imported(script, str(make_ini(SETTINGS)), "get", "server", "port") - imported("-c", "import re")
    assert "kestra_ini.document" in extra and extra <= QUERY_IMPORTS, sorted(extra - QUERY_IMPORTS)


# Plain queries are read without argparse; they and every odd form, which must reach argparse, come out as
# argparse alone makes them: (arguments, read without argparse).
QUERY_FORMS = [
    (["FILE", "sections"], True), (["FILE", "options", "server"], True), (["FILE", "get", "server", "port"], True),
    (["FILE", "get", "client"], True), (["FILE", "get", "", "zone"], True), (["FILE", "get", "server", "nope"], True),
    (["FILE", "options", "nope"], True), (["FILE", "get", "server", "port=1"], True), (["FILE", "get", "a b", "+x"], True),
    (["missing.ini", "get", "server", "port"], True), (["FILE", "dump"], False), (["FILE", "sections", "x"], False),
    (["FILE", "get", "--", "server", "port"], False), (["FILE", "get", "server", "port", "--format=json"], False),
    (["FILE", "get", "server", "port", "--format", "sh"], False), (["FILE", "options"], False),
    (["FILE", "get", "-h"], False), (["--version", "FILE", "get", "server", "port"], False), (["-h"], False),
    (["FILE", "get", "server", "port", "extra"], False), (["FILE", "get", "server", "-"], False),
    (["-", "sections"], False), (["FILE", "get", "server", "port", "+", "set", "server", "port", "1"], False),
    (["FILE", "get", "server", "nope", "--default", "x"], False), (["FILE", "get", "+", "set"], False),
    (["FILE", "gets", "server"], False), (["FILE"], False), ([], False),
]


@pytest.mark.parametrize("words, quick", QUERY_FORMS)
def test_plain_queries_read_as_argparse_reads_them(make_ini, capfd, monkeypatch, words, quick):
    from kestra_ini import cli

    words = [str(make_ini(SETTINGS)) if word == "FILE" else word for word in words]

    def outcome():
        try:
            code = cli.main(words)
        except SystemExit as exc:
            code = exc.code
        return code, *capfd.readouterr()

    assert (cli._quick(words) is not None) == quick
    quickly = outcome()
    monkeypatch.setattr(cli, "_quick", lambda words: None)
    assert outcome() == quickly


def test_the_readme_and_help_examples_run_as_written(tmp_path):
    """From the top of a fresh clone: every command line of the README's command-line section, then every
    example of --help, in order, each exiting 0 (comments after '#' are the shell's)."""
    root = pathlib.Path(__file__).resolve().parent.parent
    shutil.copytree(root / "examples", tmp_path / "examples")
    section = (root / "README.md").read_text().split("\n## The command line\n")[1].split("\n## ")[0]
    lines = [line.strip() for line in section.splitlines()
             if line.startswith(("    cp ", "    kestra-ini ")) and "FILE" not in line]
    script = os.path.join(os.path.dirname(sys.executable), "kestra-ini")
    usage = subprocess.run([script, "--help"], capture_output=True, text=True, check=True).stdout
    lines += ["cp examples/settings.ini settings.ini"]
    lines += [line.split(None, 1)[1] for line in usage.split("an example each")[1].splitlines()
              if line.startswith("  ") and " kestra-ini " in line]
    assert len(lines) > 15
    env = {**os.environ, "PATH": os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"]}
    for line in lines:
        done = subprocess.run(["bash", "-o", "pipefail", "-c", line], cwd=tmp_path, env=env, capture_output=True,
                              text=True, timeout=60)
        assert (done.returncode, done.stderr) == (0, ""), line
        query = any(f" {word}" in line.split("|")[-1].split("#")[0] for word in ("get ", "dump", "sections"))
        assert done.stdout or not query, line
    # They change copies only: a reader who runs them in a clone keeps its examples as they are.
    for example in (root / "examples").rglob("*"):
        if example.is_file():
            assert (tmp_path / example.relative_to(root)).read_bytes() == example.read_bytes(), example
