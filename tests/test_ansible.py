"""kestra.ini.ini_file run by ansible-playbook on localhost: one table of tasks, each row run twice (the second
run must change nothing), in check mode and in diff mode. Rows marked with an issue number are the complaints
users filed against community.general.ini_file."""
from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

import pytest

PLAYBOOK = pathlib.Path(sys.executable).with_name("ansible-playbook")
FAILS = None  # the row's task fails and the file stays as it was

pytestmark = pytest.mark.skipif(not PLAYBOOK.exists(), reason="ansible-core is not installed beside this Python")

# Pipelining hands each module to the interpreter on its standard input: no temporary files, a shorter run.
QUIET = {"ANSIBLE_NOCOLOR": "1", "ANSIBLE_PIPELINING": "1", "ANSIBLE_PYTHON_INTERPRETER": sys.executable}

# (name, the file's bytes before (None: missing), the task's parameters, its bytes after (FAILS), msg)
ROWS = [
    ("new file", None, dict(section="drinks", option="fav", value="lemonade"),
     b"\n[drinks]\nfav = lemonade\n", "section and option added"),
    ("before the first section", b"[s]\nk = 1\n", dict(option="z", value="v"), b"z = v\n[s]\nk = 1\n",
     "option added"),
    ("changed", b"[s]\nk=1\nj = 2\n", dict(section="s", option="k", value="v"), b"[s]\nk = v\nj = 2\n",
     "option changed"),
    ("empty value", b"[s]\n", dict(section="s", option="k", value=""), b"[s]\nk = \n", "option added"),
    ("ignore_spaces", b"[s]\nk=v\n", dict(section="s", option="k", value="v", ignore_spaces=True), b"[s]\nk=v\n",
     "OK"),
    ("no_extra_spaces", b"[s]\n", dict(section="s", option="k", value="v", no_extra_spaces=True),
     b"[s]\nk=v\n", "option added"),
    ("final line end added", b"[s]\nk = v", dict(section="s", option="k", value="v"), b"[s]\nk = v\n", "OK"),
    ("byte-order mark dropped", b"\xef\xbb\xbf[s]\nk = 1\n", dict(section="s", option="k", value="2"),
     b"[s]\nk = 2\n", "option changed"),
    ("values, exclusive", b"[s]\nk = a\nk = b\nk = c\n", dict(section="s", option="k", values=["b", "d"]),
     b"[s]\nk = d\nk = b\n", "option changed"),
    ("values added", b"[s]\nk = a\n", dict(section="s", option="k", values=["b"], exclusive=False),
     b"[s]\nk = a\nk = b\n", "option added"),
    ("one value removed", b"[s]\nk = a\nk = b\n",
     dict(section="s", option="k", value="a", state="absent", exclusive=False), b"[s]\nk = b\n", "option changed"),
    ("every line of the option removed", b"[s]\nk = a\nk = b\nj = 1\n",
     dict(section="s", option="k", value="a", state="absent"), b"[s]\nj = 1\n", "option changed"),
    ("backup", b"[s]\nk = 1\n", dict(section="s", option="k", value="2", backup=True), b"[s]\nk = 2\n",
     "option changed"),
    ("bare key", b"[s]\n", dict(section="s", option="k", allow_no_value=True), b"[s]\nk\n", "option added"),
    ("only section added", b"[a]\nx = 1\n", dict(section="s", allow_no_value=True), b"[a]\nx = 1\n[s]\n",
     "only section added"),
    ("inactive option", b"[s]\n;k=1\nj = 3\n", dict(section="s", option="k", value="3"), b"[s]\nk = 3\nj = 3\n",
     "option changed"),
    ("inactive option kept", b"[s]\n# k = 1\n", dict(section="s", option="k", value="3",
                                                   modify_inactive_option=False),
     b"[s]\nk = 3\n# k = 1\n", "option added"),
    # Where ini_file puts a new key: after the section's last key, else right under its header.
    ("another value after the section's last key", b"[s]\nk = a\nj = 2\n\n[t]\n",
     dict(section="s", option="k", values=["b"], exclusive=False), b"[s]\nk = a\nj = 2\nk = b\n\n[t]\n",
     "option added"),
    ("each value once", b"[s]\n", dict(section="s", option="k", values=["a", "b", "a"]), b"[s]\nk = a\nk = b\n",
     "option added"),
    ("a section named with spaces around it", b"[foo]\nbar = 1\n", dict(section=" foo ", option="bar", value="2"),
     b"[foo]\nbar = 2\n", "option changed"),
    ("a new section named with spaces", b"", dict(section=" foo ", option="bar", value="1"), b"\n[ foo ]\nbar = 1\n",
     "section and option added"),
    ("section_has_values adds a section in ini_file's order", b"[s]\nk = a\n",
     dict(section="s", section_has_values=[{"option": "k", "values": ["c", "a"]}, {"option": "j", "value": "x"}],
          option="k", values=["a", "e"], exclusive=False),
     b"[s]\nk = a\n[s]\nj = x\nk = a\nk = e\nk = c\n", "section and option added"),
    ("an indented key keeps its indentation", b"[global]\n\tworkgroup = WORKGROUP\n\tserver string = Samba\n",
     dict(section="global", option="workgroup", value="X"), b"[global]\n\tworkgroup = X\n\tserver string = Samba\n",
     "option changed"),
    ("section_has_values", b"[Peer]\nIps = 1\nKey = a\n\n[Peer]\nIps = 2\nKey = b\n",
     dict(section="Peer", section_has_values=[{"option": "Ips", "value": "2"}], option="Key", value="c"),
     b"[Peer]\nIps = 1\nKey = a\n\n[Peer]\nIps = 2\nKey = c\n", "option changed"),
    ("section_has_values absent", b"[Peer]\nIps = 1\n\n[Peer]\nIps = 2\n",
     dict(section="Peer", section_has_values=[{"option": "Ips", "value": "1"}], state="absent"),
     b"[Peer]\nIps = 2\n", "section removed"),
    ("missing value", b"[s]\n", dict(section="s", option="k"), FAILS,
     "Parameter 'value(s)' must be defined if state=present and allow_no_value=False."),
    ("not INI", b"port 6379\n", dict(section="s", option="port", value="6380"), FAILS,
     "line 1: 'port 6379' is not a key = value line nor a comment, and the file has no [section] header: "
     "it does not read as INI"),
    ("a name the command line refuses", b"[s]\n", dict(section="s", option="a ;b", value="1"), FAILS,
     "option 'a ;b': a key name cannot start with '[', ';' or '#', read as a directive, nor hold ' ;' or '{'"),
    ("UTF-16 kept", "[s]\r\nk = 1\r\n".encode("utf-16"), dict(section="s", option="k", value="2"),
     "[s]\r\nk = 2\r\n".encode("utf-16"), "option changed"),
    # The complaints
    ("29711: multi-line value", b"[s]\nk = 1\n", dict(section="s", option="k", value="a\nb"),
     b"[s]\nk = a\n    b\n", "option changed"),
    ("4335: a multi-line value replaced whole", b"[s]\nk = a\n  b\nj = 2\n",
     dict(section="s", option="k", value="v"), b"[s]\nk = v\nj = 2\n", "option changed"),
    ("3663: a multi-line value removed whole", b"[s]\nk = a\n  b\nj = 2\n",
     dict(section="s", option="k", state="absent"), b"[s]\nj = 2\n", "option changed"),
    ("CRLF kept", b"[s]\r\nk = 1\r\n", dict(section="s", option="j", value="2"), b"[s]\r\nk = 1\r\nj = 2\r\n",
     "option added"),
    ("4522: comments kept", b"[s]\nk = 1\n# about t\n[t]\nj = 2\n", dict(section="s", state="absent"),
     b"# about t\n[t]\nj = 2\n", "section removed"),
    ("49340: a comment that matches the option kept", b"[s]\n# k = 1\nk = 2\n",
     dict(section="s", option="k", value="3"), b"[s]\n# k = 1\nk = 3\n", "option changed"),
    ("an inline comment kept", b"[s]\nk = 1 ; why\n", dict(section="s", option="k", value="2"),
     b"[s]\nk = 2 ; why\n", "option changed"),
    ("13152: brackets in a key", b"[php]\nphp_admin_value[sendmail_path] = /bin/true\n",
     dict(section="php", option="php_admin_value[sendmail_path]", value="/usr/sbin/sendmail -t"),
     b"[php]\nphp_admin_value[sendmail_path] = /usr/sbin/sendmail -t\n", "option changed"),
    ("2618: a section above has the option", b"[DEFAULT]\nk = 1\n[a]\nk = 1\n[s]\nj = 2\n",
     dict(section="s", option="k", value="1"), b"[DEFAULT]\nk = 1\n[a]\nk = 1\n[s]\nj = 2\nk = 1\n",
     "option added"),
    ("212: quotes and [] in values", b"[s]\nk = \"a\"\nx = [1]\ny = 'q'\n", dict(section="s", option="k", value="b"),
     b"[s]\nk = b\nx = [1]\ny = 'q'\n", "option changed"),
    ("a repeated section: the option where it is", b"[s]\na = 1\n[s]\nk = 1\n",
     dict(section="s", option="k", value="v"), b"[s]\na = 1\n[s]\nk = v\n", "option changed"),
]


PARAMETERS = ("section", "option", "value", "values", "state", "exclusive", "allow_no_value", "no_extra_spaces",
              "ignore_spaces", "modify_inactive_option", "section_has_values", "backup")


def _playbook(tmp: pathlib.Path, flags: list[str], tasks: list[dict]) -> dict:
    """Runs the tasks on localhost and gives the result each registered (as `r`) by name."""
    names = [task["name"] for task in tasks]
    every = "{{ {" + ", ".join(f"'{n}': {n}" for n in names) + "} | to_json }}"
    tasks = [dict(task, register=task["name"], ignore_errors=True) for task in tasks]
    tasks.append({"ansible.builtin.copy": {"dest": str(tmp / "results.json"), "content": every}, "check_mode": False})
    play = tmp / "play.yml"
    play.write_text(json.dumps([{"hosts": "localhost", "gather_facts": False, "tasks": tasks}]))
    done = subprocess.run([str(PLAYBOOK), "-c", "local", "-i", "localhost,", str(play), *flags],
                          capture_output=True, text=True, timeout=900,
                          env={**os.environ, **QUIET, "ANSIBLE_LOCAL_TEMP": str(tmp / ".tmp")})
    assert (tmp / "results.json").exists(), done.stdout[-4000:] + done.stderr[-4000:]
    return json.loads((tmp / "results.json").read_text())


def _table_task(name: str, directory: pathlib.Path, **extra: object) -> dict:
    """One task over every row, a loop item each (a loop costs far less than a task per row)."""
    items = []
    for i, (_, before, params, _, _) in enumerate(ROWS):
        path = directory / f"{i}.ini"
        if before is not None:
            path.write_bytes(before)
        items.append(dict(params, path=str(path)))
    args = {"path": "{{ item['path'] }}"}  # get(): item.values, even item['values'], would find the dict's method
    args.update({key: f"{{{{ item.get('{key}', omit) }}}}" for key in PARAMETERS})
    return {"name": name, "kestra.ini.ini_file": args, "loop": items, **extra}


def _text(data: bytes | None) -> str:
    if not data:
        return ""
    return data.decode("utf-16" if data[:2] in (b"\xff\xfe", b"\xfe\xff") else "utf-8-sig")


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """The table run twice in diff mode, and once in check mode over copies of the files, in one play."""
    applied, checked = tmp_path_factory.mktemp("applied"), tmp_path_factory.mktemp("checked")
    tasks = [_table_task("first", applied), _table_task("second", applied),
             _table_task("check", checked, check_mode=True)]
    # the second run over the files as the first left them
    tasks[1]["loop"] = tasks[0]["loop"]
    results = _playbook(applied, ["--diff"], tasks)
    return applied, checked, {name: results[name]["results"] for name in ("first", "second", "check")}


@pytest.mark.parametrize("i", range(len(ROWS)), ids=[row[0] for row in ROWS])
def test_a_task_changes_its_lines_once_and_check_mode_predicts_it(runs, i):
    applied, checked, results = runs
    _, before, _, after, msg = ROWS[i]
    first, second, check = results["first"][i], results["second"][i], results["check"][i]
    path = applied / f"{i}.ini"
    if after is FAILS:
        assert first["failed"] and second["failed"] and check["failed"]
        assert first["msg"] == msg and not first["changed"]
        assert path.read_bytes() == before
        return
    assert (path.read_bytes(), first["msg"], first["changed"]) == (after, msg, after != before)
    assert (second["msg"], second["changed"]) == ("OK", False)
    assert (first["diff"]["before"], first["diff"]["after"]) == (_text(before), _text(after))
    assert (check["msg"], check["changed"]) == (msg, after != before)
    copy = checked / f"{i}.ini"
    assert (copy.read_bytes() if copy.exists() else None) == before
    assert not check.get("backup_file") and not list(checked.glob(f"{i}.ini?*")), "check mode made a backup"


def test_backup_mode_a_missing_file_and_links(tmp_path):
    path = tmp_path / "a.ini"
    path.write_bytes(b"[s]\nk = 1\n")
    links = {follow: tmp_path / f"link-{follow}.ini" for follow in (False, True)}
    for follow, link in links.items():
        (tmp_path / f"target-{follow}.ini").write_bytes(b"[s]\nk = 1\n")
        link.symlink_to(f"target-{follow}.ini")
    plays = [{"kestra.ini.ini_file": dict(path=str(path), section="s", option="k", value="2", backup=True,
                                          mode="0600")},
             {"kestra.ini.ini_file": dict(path=str(tmp_path / "none.ini"), section="s", option="k", value="2",
                                          create=False)},
             *({"kestra.ini.ini_file": dict(path=str(link), section="s", option="k", value="2", follow=follow)}
               for follow, link in links.items())]
    results = _playbook(tmp_path, [], [dict(task, name=f"t{n}") for n, task in enumerate(plays)])
    # follow: false replaces the link with a regular file, as ini_file does; follow: true edits its target
    assert not links[False].is_symlink() and links[False].read_bytes() == b"[s]\nk = 2\n"
    assert (tmp_path / "target-False.ini").read_bytes() == b"[s]\nk = 1\n"
    assert links[True].is_symlink() and (tmp_path / "target-True.ini").read_bytes() == b"[s]\nk = 2\n"
    assert results["t2"]["changed"] and results["t3"]["changed"]
    backup = pathlib.Path(results["t0"]["backup_file"])
    assert backup.read_bytes() == b"[s]\nk = 1\n" and path.read_bytes() == b"[s]\nk = 2\n"
    assert oct(path.stat().st_mode & 0o777) == "0o600" and results["t0"]["mode"] == "0600"
    assert results["t1"]["failed"] and results["t1"]["msg"] == f"Destination {tmp_path / 'none.ini'} does not exist!"
    assert not (tmp_path / "none.ini").exists()


def test_the_class_says_which_interpreter_it_needs():
    if sys.version_info[:2] == (3, 13):
        import kestra_ini.ini_main  # noqa: F401
        return
    with pytest.raises(ImportError, match=r"needs CPython 3\.13"):
        import kestra_ini.ini_main  # noqa: F401


def test_ansible_doc_finds_the_module():
    shown = subprocess.run([str(PLAYBOOK.with_name("ansible-doc")), "kestra.ini.ini_file"], capture_output=True,
                           text=True, timeout=300, env={**os.environ, **QUIET})
    assert shown.returncode == 0 and "MODULE kestra.ini.ini_file" in shown.stdout, shown.stderr
    assert "section_has_values" in shown.stdout and "modify_inactive_option" in shown.stdout
