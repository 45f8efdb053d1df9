"""The command line on the INI dialects people edit: a table of hand-written files (examples/dialects) with
the exact output or the exact bytes each command must give, and one property over generated files of every
dialect that checks each edit against the change it means, line by line and line end by line end."""
import pathlib
import re
import shutil
import subprocess
from dataclasses import dataclass

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kestra_ini import document
from kestra_ini.cli import main

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


@dataclass(frozen=True)
class Refused:
    words: str


MIXED = b"\xef\xbb\xbf[a]\r\nx = 1\ny = 2\r\nz = 3\r\n"
ABOVE = b"[a]\nx = 1\n# about b\n[b]\ny = 2\n"
FORMATS = b"[s]\nm = one\n  two\nr = 1\nr = 2\nbare\n"
KDE = b"[Containments][1]\nactivityId=\n\n[Containments][1][General]\nToolBarsMovable=0\n\n[General][$i]\nName=x\n"
INF = (b'[Version]\r\nSignature="$WINDOWS NT$"\r\nDriverVer=01/01/2020,1.0\r\n\r\n'
       b'[Dev_AddReg]\r\nHKR,,DeviceType,0x10001,0x22\r\nHKR, , BusNumber, 0, "0"\r\n')
INNO = b"[Setup]\nAppName=Kestra\n\n[Code]\n{ skip the wizard }\nbegin\n  if WizardSilent then Exit;\nend;\n"
KRB5 = (b"[libdefaults]\n\tdefault_realm = EXAMPLE.ORG\n\n[realms]\n\tEXAMPLE.ORG = {\n\t\tkdc = kdc.example.org\n"
        b"\t\tauth_to_local = {\n\t\t\tRULE:[1:$1]\n\t\t}\n\t}\n\tOTHER.ORG = {\n\t}\n")
NESTED = b'[profiles]\n  [[default]]\n    cursor_color = "#aaa"\n[layouts]\nx = 1\n  [[[window0]]]\n  type = Window\n'

# (file in examples/ or the bytes themselves, arguments, what must come of it): a str is the whole standard
# output of a query; a tuple of (old, new) pairs is the edit, each old part found once and replaced in turn,
# nothing else changing; Refused is a one-line error that leaves the file alone.
TABLE = [
    ("dialects/unit.service", ["get", "Unit", "Documentation"], "man:kestra(8)\nhttps://example.org/kestra/docs\n"),
    ("dialects/unit.service", ["get", "Unit", "Documentation", "--format=json"],
     '[\n  "man:kestra(8)",\n  "https://example.org/kestra/docs"\n]\n'),
    ("dialects/unit.service", ["set", "Unit", "Documentation", "x"], Refused("appears 2 times: --all replaces")),
    ("dialects/unit.service", ["remove", "Unit", "Documentation"], Refused("appears 2 times: --all removes")),
    ("dialects/unit.service", ["set", "Unit", "documentation", "man:x", "--add"],
     ((b"kestra/docs\n", b"kestra/docs\nDocumentation=man:x\n"),)),
    ("dialects/unit.service", ["set", "Unit", "Documentation", "man:x", "--all"],
     ((b"Documentation=man:kestra(8)\nDocumentation=https://example.org/kestra/docs\n", b"Documentation=man:x\n"),)),
    ("dialects/unit.service", ["remove", "Unit", "Documentation", "--all"],
     ((b"Documentation=man:kestra(8)\nDocumentation=https://example.org/kestra/docs\n", b""),)),
    ("dialects/unit.service", ["get", "Unit", "Description", "--strict"], Refused("appears twice in section 'Unit'")),
    ("dialects/kestra.desktop", ["get", "Desktop Entry", "Exec"], "kestra-edit %F\n"),
    ("dialects/kestra.desktop", ["set", "Desktop Entry", "Exec", "kestra-edit --new %U"],
     ((b"Exec=kestra-edit %F", b"Exec=kestra-edit --new %U"),)),
    ("dialects/my.cnf", ["options", "mysqld"], "skip-networking\nmax_connections\n"),
    # Only ' ;' starts an inline comment: '#' after a value is part of it, as configparser and crudini read it.
    ("dialects/my.cnf", ["get", "mysqld", "max_connections"], "200  # raised for the batch jobs\n"),
    ("dialects/my.cnf", ["get", "mysqld", "skip-networking", "--format=json"], "null\n"),
    ("dialects/my.cnf", ["set", "mysqld", "max_connections", "300"],
     ((b"max_connections = 200  # raised for the batch jobs", b"max_connections = 300"),)),
    ("dialects/my.cnf", ["set", "mysqld", "skip-name-resolve", "--bare"],
     ((b"batch jobs\n", b"batch jobs\nskip-name-resolve\n"),)),
    ("dialects/my.cnf", ["remove", "mysqld"],
     ((b"[mysqld]\nskip-networking\nmax_connections = 200  # raised for the batch jobs\n", b""),)),
    ("dialects/my.cnf", ["set", "client", "port", "1 ; 2"], Refused("would start an inline comment")),
    ("dialects/editorconfig", ["sections"], "\n*\n*.{ini,cfg}\n"),
    ("dialects/editorconfig", ["get", "", "root"], "true\n"),
    ("dialects/editorconfig", ["set", "", "root", "false"], ((b"root = true", b"root = false"),)),
    ("dialects/editorconfig", ["set", "", "charset", "utf-8"],
     ((b"root = true\n", b"root = true\ncharset = utf-8\n"),)),
    ("dialects/editorconfig", ["remove", "*"], ((b"[*]\nindent_style = space\nindent_size = 4\n\n", b""),)),
    ("dialects/smb.conf", ["options", "global"], "workgroup\nserver string\nlog level\n"),
    ("dialects/smb.conf", ["get", "global", "server string"], "Kestra file server\n"),
    ("dialects/smb.conf", ["set", "global", "log level", "2"], ((b"\tlog level = 1 ;", b"\tlog level = 2 ;"),)),
    ("dialects/smb.conf", ["set", "shared", "browseable", "yes"],
     ((b"\tread only = no\n", b"\tread only = no\n\tbrowseable = yes\n"),)),
    ("dialects/wg0.conf", ["sections"], "Interface\nPeer\n"),
    ("dialects/wg0.conf", ["get", "Peer", "Endpoint"], "one.example.org:51820\ntwo.example.org:51820\n"),
    ("dialects/wg0.conf", ["set", "Peer", "Endpoint", "x"], Refused("appears 2 times")),
    ("dialects/wg0.conf", ["set", "Peer", "AllowedIPs", "10.0.0.0/24", "--all"],
     ((b"10.0.0.2/32", b"10.0.0.0/24"), (b"AllowedIPs = 10.0.0.3/32\n", b""))),
    ("dialects/wg0.conf", ["remove", "Peer"],
     ((b"\n[Peer]\nEndpoint = one.example.org:51820\nAllowedIPs = 10.0.0.2/32\n"
       b"\n[Peer]\nEndpoint = two.example.org:51820\nAllowedIPs = 10.0.0.3/32\n", b""),)),
    ("dialects/wg0.conf", ["set", "Peer", "PersistentKeepalive", "25"],
     ((b"10.0.0.3/32\n", b"10.0.0.3/32\nPersistentKeepalive = 25\n"),)),
    # Comments among a section's keys go with it; those after its last key stay, such as a commented-out
    # section, and so does a comment right above the next header.
    ("dialects/supervisord.conf", ["remove", "program:worker"],
     ((b"[program:worker]\ncommand=/usr/bin/kestra-worker\n; restarts are cheap\nautostart=true\n\n", b""),)),
    (ABOVE, ["remove", "a"], ((b"[a]\nx = 1\n", b""),)),
    ("dialects/supervisord.conf", ["set", "supervisord", "logfile", "/tmp/s.log"],
     ((b"logfile=/var/log/kestra/supervisord.log ;", b"logfile=/tmp/s.log ;"),)),
    ("dialects/gitconfig", ["get", "alias", "--format=sh"], "lg='log --graph --oneline'\nst=status\n"),
    ("dialects/gitconfig", ["set", "alias", "co", "checkout"],
     ((b"\tst = status\n", b"\tst = status\n\tco = checkout\n"),)),
    ("dialects/gitconfig", ["remove", "alias"], ((b"[alias]\n\tlg = log --graph --oneline\n\tst = status\n", b""),)),
    ("dialects/setup.cfg", ["get", "options", "install_requires"], "\nrequests>=2.0\nclick\n"),
    ("dialects/setup.cfg", ["set", "options", "install_requires", "\nrequests>=2.0\nclick\nrich"],
     ((b"    click\n", b"    click\n    rich\n"),)),
    # A changed line keeps its own line end, whatever most lines of the file end with.
    (MIXED, ["set", "a", "x", "5"], ((b"x = 1\n", b"x = 5\n"),)),
    (MIXED, ["remove", "a", "z"], ((b"z = 3\r\n", b""),)),
    (b"[a]\r\nx = 1\r\ny = 2", ["remove", "a", "y"], ((b"\r\ny = 2", b""),)),
    ("settings.ini", ["get", "server", "--format=lines"], "[server] host = example.org\n[server] port = 8080\n"),
    ("settings.ini", ["dump", "--format=ini"], (EXAMPLES / "settings.ini").read_text()),
    ("settings.ini", ["set", "server", "port", "9090", "+", "remove", "client", "retries"],
     ((b"port = 8080", b"port = 9090"), (b"retries = 3\n", b""))),
    ("settings.ini", ["merge", str(EXAMPLES / "more.ini")],
     ((b"port = 8080", b"port = 9090"), (b"retries = 3\n", b"retries = 3\n\n[logging]\nlevel = debug\n"))),
    ("settings.ini", ["set", "server", "port", "9090", "+", "remove", "nope"], Refused("no section 'nope'")),
    ("settings.ini", ["set", "server", "port", " 9090"], Refused("leading or trailing whitespace")),
    ("settings.ini", ["set", "server", "timeout", "5", "--existing"], Refused("no key 'timeout' in section 'server'")),
    ("settings.ini", ["remove", "nope", "--missing-ok"], ()),
    ("settings.ini", ["remove", "client", "nope", "--missing-ok"], ()),
    # Only a line starting with '#' or ';' is a comment, and only ' ;' starts one after a value.
    (b"[c]\nbg = #282A2E\nh = abc #1\nx = 1 ; c\n", ["dump", "--format=lines"],
     "[c] bg = #282A2E\n[c] h = abc #1\n[c] x = 1\n"),
    # Only a file with no INI structure is refused, naming its first line that is not INI and why; so is a
    # header's look-alike, whose keys would be read as the section's above, and a block never closed.
    (b"# redis\nport 6379\n", ["set", "", "port", "6380"], Refused(
        "line 2: 'port 6379' is not a key = value line nor a comment, and the file has no [section] header")),
    (b"[a]\nx = 1\n[unclosed\n", ["sections"], Refused("line 3: '[unclosed' starts like a [section] header")),
    (b"[a] junk\n", ["sections"], Refused("line 1: '[a] junk' starts like a [section] header but is not one")),
    (b"[realms]\nEX = {\n  kdc = k\n", ["sections"], Refused("line 2: the '{' of 'EX = {' opens a block that no")),
    # A binary file, whatever the command; NUL in UTF-16 text too.
    (b"QB\x00\x01\x00", ["sections"], Refused("a binary file, not text: it holds a NUL byte at offset 2")),
    (b"[a]\nx = 1\x00\n", ["set", "a", "x", "2"], Refused("NUL byte at offset 9")),
    (b"\xff\xfe" + "[a]\r\nx = \x00\r\n".encode("utf-16-le"), ["get", "a", "x"], Refused("NUL byte at offset 20")),
    # KDE's nested groups and kiosk flags, configobj's nested sections: sections named by their bracketed text.
    (KDE, ["sections"], "Containments][1\nContainments][1][General\nGeneral][$i\n"),
    (KDE, ["set", "Containments][1][General", "ToolBarsMovable", "1"], ((b"Movable=0", b"Movable=1"),)),
    (KDE, ["set", "Containments][2", "activityId", "a"],
     ((b"Name=x\n", b"Name=x\n\n[Containments][2]\nactivityId=a\n"),)),
    (KDE, ["rename", "General][$i", "General][$e"], ((b"[General][$i]", b"[General][$e]"),)),
    (KDE, ["set", "a] ;b", "k", "v"], Refused("a section name cannot hold")),
    (NESTED, ["sections"], "profiles\n[default]\nlayouts\n[[window0]]\n"),
    (NESTED, ["get", "[default]", "cursor_color"], '"#aaa"\n'),
    (NESTED, ["get", "layouts", "x"], "1\n"),
    # Lines of a section that are no key (.inf registry lines, Inno Setup's code) stay, and go with it.
    (INF, ["set", "Version", "DriverVer", "02/02/2022,2.0"], ((b"01/01/2020,1.0", b"02/02/2022,2.0"),)),
    (INF, ["remove", "Dev_AddReg"],
     ((b'\r\n\r\n[Dev_AddReg]\r\nHKR,,DeviceType,0x10001,0x22\r\nHKR, , BusNumber, 0, "0"', b""),)),
    (INNO, ["set", "Setup", "AppVersion", "1.0"], ((b"AppName=Kestra\n", b"AppName=Kestra\nAppVersion=1.0\n"),)),
    (INNO, ["remove", "Code"],
     ((b"\n\n[Code]\n{ skip the wizard }\nbegin\n  if WizardSilent then Exit;\nend;\n", b"\n"),)),
    # krb5's relation blocks belong whole to their key.
    (KRB5, ["get", "realms", "EXAMPLE.ORG"], "{\nkdc = kdc.example.org\nauth_to_local = {\nRULE:[1:$1]\n}\n}\n"),
    (KRB5, ["options", "realms"], "EXAMPLE.ORG\nOTHER.ORG\n"),
    (KRB5, ["set", "libdefaults", "default_realm", "OTHER.ORG"], ((b"= EXAMPLE.ORG", b"= OTHER.ORG"),)),
    (KRB5, ["remove", "realms", "OTHER.ORG"], ((b"\tOTHER.ORG = {\n\t}\n", b""),)),
    (KRB5, ["set", "realms", "OTHER.ORG", "{\nkdc = k\n}"],
     ((b"\tOTHER.ORG = {\n\t}\n", b"\tOTHER.ORG = {\n\tkdc = k\n\t}\n"),)),
    # '//' starts a comment line, but not a line that continues a value.
    (b"// db\n[Game]\n// Name = old\nName = Kestra\n\t//server/share\n", ["dump", "--format=lines"],
     "[Game] Name = Kestra\n\t//server/share\n"),
    (b"[s] ; the server\nk = 1\n", ["get", "s", "k"], "1\n"),
    # asterisk: templates and additions to a section are sections of their own name.
    (b"[general](!)\ntype = friend\n[peer](general)\nhost = x\n[peer](+)\nport = 1\n", ["sections"],
     "general\npeer\n"),
    (b"[t](!)\ntype = friend\n[general]\nx = 1\n", ["remove", "general"], ((b"[general]\nx = 1\n", b""),)),
    # systemd's reset idiom: --last changes the last one and keeps the reset line.
    (b"[Service]\nExecStart=\nExecStart=/old\n", ["set", "Service", "ExecStart", "/new", "--last"],
     ((b"=/old", b"=/new"),)),
    ("settings.ini", ["rename", "client", "retries", "attempts"], ((b"retries = 3", b"attempts = 3"),)),
    (b"[t](!)\nx = 1\n", ["rename", "t", "u"], ((b"[t](!)", b"[u](!)"),)),
    ("settings.ini", ["rename", "client", "server"], Refused("section 'server' exists already")),
    (b"[a]\nPort = 1\n", ["rename", "a", "Port", "port"], ((b"Port", b"port"),)),
    (b"[a]\nPort = 1\nx = 2\n", ["rename", "a", "Port", "x"], Refused("key 'x' in section 'a' exists already")),
    ("settings.ini", ["get", "client", "nope", "--default", "7"], "7\n"),
    ("settings.ini", ["get", "nope", "x", "--default", ""], "\n"),
    (None, ["get", "a", "x", "--default", "7"], "7\n"),  # an optional file that is missing
    (None, ["get", "a", "x"], Refused("No such file or directory")),
    (b"[a]\r\nx = 1\r\ny = 2", ["set", "a", "y", "3", "--dry-run"],
     "--- {path}\n+++ {path}\n@@ -1,3 +1,3 @@\n [a]\r\n x = 1\r\n-y = 2\n\\ No newline at end of file\n+y = 3\n"
     "\\ No newline at end of file\n"),
    ("[a]\nx = 1\x0c2\u2028\ny = 2\n".encode(), ["set", "a", "y", "3", "--dry-run"],
     "--- {path}\n+++ {path}\n@@ -1,3 +1,3 @@\n [a]\n x = 1\x0c2\u2028\n-y = 2\n+y = 3\n"),
    ("settings.ini", ["sections", "--format=json"], '[\n  "server",\n  "client"\n]\n'),
    ("settings.ini", ["options", "client", "--format=json"], '[\n  "name",\n  "retries"\n]\n'),
    ("settings.ini", ["set", "server", "port", "1", "--dry-run"],
     "--- {path}\n+++ {path}\n@@ -1,6 +1,6 @@\n [server]\n host = example.org\n-port = 8080\n+port = 1\n \n"
     " [client]\n name = kestra\n"),
    ("settings.ini", ["set", "server", "host", "x", "+", "set", "server", "port", "1", "--dry-run"],
     "--- {path}\n+++ {path}\n@@ -1,6 +1,6 @@\n [server]\n-host = example.org\n-port = 8080\n+host = x\n"
     "+port = 1\n \n [client]\n name = kestra\n"),
    ("settings.ini", ["set", "server", "port", "8080", "--dry-run"], ""),
    ("settings.ini", ["remove", "nope", "--missing-ok", "--dry-run", "--strict"], ""),
    (b"[a]\nx = 1\n", ["set", "a", "y", "1", "+", "set", "a", "x", "50%", "--expand"],
     Refused("invalid interpolation syntax in '50%'")),
    (b"[s]\nk = 1", ["set", "s", "k", "2", "--dry-run"],
     "--- {path}\n+++ {path}\n@@ -1,2 +1,2 @@\n [s]\n-k = 1\n\\ No newline at end of file\n+k = 2\n"
     "\\ No newline at end of file\n"),
    # my.cnf's directives, a spaced header, classic Mac line ends, a key spelled two ways (neither is 'key'),
    # a key line indented under a bare key.
    (b"[s]\n%include /etc/x.cnf\nk = 1\n%unset k\n", ["get", "s", "k"], "1\n"),
    (b"[ s ]\nk = 1\n", ["sections"], "s\n"),
    (b"[s]\rk = 1\rj = 2\r", ["get", "s", "j"], "2\n"),
    (b"[s]\nKey = 1\nKEY = 2\n", ["get", "s", "key"], Refused("no key 'key' in section 's'")),
    (b"[s]\nbare\n  k = 1\n", ["options", "s"], "bare\nk\n"),
    (b"[s]\na = 1\n[t]\n[s]\nb = 2\n", ["rename", "s", "u"], ((b"[s]\na", b"[u]\na"), (b"[s]\nb", b"[u]\nb"))),
    (b"[s]\nk = 1\nk = 2\n", ["set", "s", "k", "1", "--all"], ((b"k = 2\n", b""),)),
    # UTF-16 is read and written as UTF-16; other bytes that are not UTF-8 stay as they are.
    (b"\xff\xfe" + "[a]\r\nx = 1\r\n".encode("utf-16-le"), ["set", "a", "x", "Größe"],
     ((b"1\x00", "Größe".encode("utf-16-le")),)),
    (b"[a]\nx = caf\xe9\n", ["set", "a", "y", "2"], ((b"caf\xe9\n", b"caf\xe9\ny = 2\n"),)),
    (b"[a]\nx = caf\xe9\n", ["set", "a", "y", "Größe"], Refused("--encoding NAME")),
    (b"[a]\nx = caf\xe9\n", ["set", "a", "y", "Größe", "--encoding", "cp1252"],
     ((b"caf\xe9\n", b"caf\xe9\ny = Gr\xf6\xdfe\n"),)),
    (b"[a]\nx = caf\xe9\n", ["get", "a", "x", "--encoding", "rot13"], Refused("not a text encoding")),
    (b"[a]\nx = caf\xe9\n", ["get", "a", "x", "--encoding", "nope"], Refused("unknown encoding: nope")),
    # Every format over a multi-line value, a repeated key and a bare key.
    (FORMATS, ["dump"], '{\n  "s": {\n    "m": "one\\ntwo",\n    "r": [\n      "1",\n      "2"\n    ],\n'
     '    "bare": null\n  }\n}\n'),
    (FORMATS, ["dump", "--format=ini"], "[s]\nm = one\n\ttwo\nr = 1\nr = 2\nbare\n"),
    (FORMATS, ["dump", "--format=lines"], "[s] m = one\n\ttwo\n[s] r = 1\n[s] r = 2\n[s] bare\n"),
    (FORMATS, ["dump", "--format=sh"], Refused("key 'r' in section 's' has more than one value")),
    (FORMATS, ["get", "s", "m", "--format=sh"], "m='one\ntwo'\n"),
]


@pytest.mark.parametrize("source, args, expected", TABLE)
def test_each_dialect_reads_and_edits_as_its_users_expect(tmp_path, capsys, source, args, expected):
    old = source if isinstance(source, bytes) or source is None else (EXAMPLES / source).read_bytes()
    path = tmp_path / "file"
    if old is not None:
        path.write_bytes(old)
    code = main([str(path), *args])
    out, err = capsys.readouterr()
    now = path.read_bytes() if path.exists() else None
    if isinstance(expected, Refused):
        assert (code, out, now) == (1, "", old)
        assert err.count("\n") == 1 and expected.words in err, err
    elif isinstance(expected, str):
        assert (code, out, err, now) == (0, expected.replace("{path}", str(path)), "", old)
    else:
        want = old
        for part, replacement in expected:
            assert want.count(part) == 1, part
            want = want.replace(part, replacement)
        assert (code, out, err, path.read_bytes()) == (0, "", "", want)


@pytest.mark.skipif(shutil.which("patch") is None, reason="needs GNU patch")
@pytest.mark.parametrize("old", [b"[a]\r\nx = 1\r\ny = 2", b"[a]\nx = 1\r\ny = 2\r\n",
                                 "[a]\nx = 1\x0c2\u2028\ny = 2\n".encode()])
def test_patch_applies_a_dry_run_diff_as_the_edit_itself(tmp_path, capsys, old):
    path = tmp_path / "file"
    path.write_bytes(old)
    assert main([str(path), "set", "a", "y", "3", "--dry-run"]) == 0
    (tmp_path / "diff").write_bytes(capsys.readouterr().out.encode())
    subprocess.run(["patch", "--quiet", str(path), str(tmp_path / "diff")], check=True)
    patched = path.read_bytes()
    path.write_bytes(old)
    assert main([str(path), "set", "a", "y", "3"]) == 0
    assert patched == path.read_bytes()


# --- the property -------------------------------------------------------------------------------------

NAMES = ["alpha", "Beta", "gamma.1", "+Paths", "Dir"]  # no two the same but for case
SECTIONS = ["main", "Peer", "x y", "DEFAULT"]
VALUE = st.text("abZ09/.%=:,_-", min_size=1, max_size=6).filter(lambda v: v != "--")  # argparse eats a lone --
SEPARATORS = ["=", " = ", " : ", "\t=\t", " ="]
INLINE = ["", "", " ; note", "\t; why"]
OPAQUE = ['HKR, , BusNumber, 0, "0"']


@dataclass
class Line:
    text: str
    end: str
    owner: tuple  # ("header", b) | ("key", b, e) | ("among", b) | ("after", b)
    parts: tuple = ()  # (before the value, after it) for a key line with a value


@st.composite
def dialect_files(draw):
    """A file of one or more dialect features, as lines with their owners, and its reading block by block.
    A key owns its line and its continuation lines; a section its header, its lines that are no key, and the
    blank and comment lines among its keys; blank, comment and directive lines after its last key belong to
    what follows."""
    feature = set(draw(st.lists(st.sampled_from(
        ["preamble", "repeated keys", "bare", "directive", "repeated sections", "indent", "inline",
         "continuation", "opaque"]), max_size=4)))
    ends = draw(st.sampled_from([["\n"], ["\r\n"], ["\n", "\r\n"]]))
    lines: list[Line] = []
    reading = [("", [])]

    def add(text, owner, parts=()):
        lines.append(Line(text, draw(st.sampled_from(ends)), owner, parts))

    def keys(b, indented):
        names = list(NAMES)
        for _ in range(draw(st.integers(0 if b else 1, 4))):
            name = draw(st.sampled_from(names))
            if "repeated keys" not in feature:
                names.remove(name)
            for _ in range(draw(st.integers(0, 1))):
                add(draw(st.sampled_from(["# c", "; c", "", *OPAQUE[:"opaque" in feature]])), ("among", b))
            indent = draw(st.sampled_from(["\t", "  ", "    "])) if indented else ""
            e = len(reading[b][1])
            if "bare" in feature and not indented and draw(st.booleans()):
                add(name, ("key", b, e))
                reading[b][1].append((name, None))
            else:
                value = draw(VALUE)
                before = f"{indent}{name}{draw(st.sampled_from(SEPARATORS))}"
                after = draw(st.sampled_from(INLINE)) if "inline" in feature else ""
                add(before + value + after, ("key", b, e), (before, after))
                if "continuation" in feature and not indented and draw(st.booleans()):
                    more = draw(VALUE)
                    add(f"\t{more}", ("key", b, e))
                    value += "\n" + more
                reading[b][1].append((name, value))
            if not names:
                break
        if "opaque" in feature and draw(st.booleans()):
            add(OPAQUE[0], ("among", b))  # the section's own line after its keys: it goes with the section
        if "directive" in feature and draw(st.booleans()):
            add("!include /etc/kestra.d/extra.cnf", ("after", b))
        for _ in range(draw(st.integers(0, 2))):
            add(draw(st.sampled_from(["", ";[old]", "# old = 1"])), ("after", b))

    if "preamble" in feature:
        keys(0, False)
    names = draw(st.lists(st.sampled_from(SECTIONS), min_size=1, max_size=4,
                          unique="repeated sections" not in feature))
    for name in names:
        reading.append((name, []))
        add(f"[{name}]", ("header", len(reading) - 1))
        keys(len(reading) - 1, "indent" in feature)
    bom = b"\xef\xbb\xbf" if draw(st.booleans()) else b""
    if draw(st.booleans()):
        lines[-1].end = ""
    return bom, lines, reading


def encode(bom, lines):
    return bom + "".join(line.text + line.end for line in lines).encode()


def split(data):
    """Lines with their own ends, as (text, end)."""
    text = data.decode("utf-8-sig")
    return [(m.group(1), m.group(2)) for m in re.finditer(r"(.*?)(\r\n|\n|$)", text) if m.group(0)]


@st.composite
def commands(draw, reading):
    """(arguments, the reading they mean or None for a refusal, what they take away, the key occurrence
    whose line they rewrite in place or None). What goes away is a set of block numbers for a removed
    section, else of ("key", block, entry) owners."""
    section = draw(st.sampled_from([name for name, items in reading if name or items] + ["new"]))
    found = [(b, e) for b, (name, items) in enumerate(reading) if name == section
             for e, _ in enumerate(items)]
    kind = draw(st.sampled_from(["set", "set new", "remove", "remove section"]))
    want = [(name, list(items)) for name, items in reading]
    if kind == "remove section":
        if not section:
            return ["remove", "--", ""], [("", [])] + want[1:], {("key", 0, e) for e in range(len(reading[0][1]))}, None
        gone = {b for b, (name, _) in enumerate(reading) if name == section}
        return ["remove", "--", section], [item for b, item in enumerate(want) if b not in gone] if gone else None, \
            gone, None
    if kind == "set new" or not found:
        present = {reading[b][1][e][0] for b, e in found}
        key = draw(st.sampled_from([name for name in NAMES + ["new.key"] if name not in present]))
        value = draw(VALUE)
        blocks = [b for b, (name, _) in enumerate(reading) if name == section]
        if blocks:
            want[blocks[-1]][1].append((key, value))
        else:
            want.append((section, [(key, value)]))
        return ["set", "--", section, key, value], want, set(), None
    b, e = draw(st.sampled_from(found))
    key = reading[b][1][e][0]
    same = [(b2, e2) for b2, e2 in found if reading[b2][1][e2][0] == key]
    if kind == "remove":
        flags = ["--all"] if len(same) > 1 and draw(st.booleans()) else []
        for b2, e2 in reversed(same):
            del want[b2][1][e2]
        refused = len(same) > 1 and not flags
        return ["remove", *flags, "--", section, key], None if refused else want, {("key", *o) for o in same}, None
    value = draw(VALUE)
    mode = draw(st.sampled_from([[], ["--all"], ["--add"]]))
    if mode == ["--add"]:
        last = same[-1]
        want[last[0]][1].insert(last[1] + 1, (key, value))
        return ["set", *mode, "--", section, key, value], want, set(), None
    first, *others = same
    for b2, e2 in reversed(others):
        del want[b2][1][e2]
    want[first[0]][1][first[1]] = (key, value)
    refused = len(same) > 1 and not mode
    return ["set", *mode, "--", section, key, value], None if refused else want, {("key", *o) for o in others}, first


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_an_edit_of_any_dialect_makes_exactly_the_change_it_means(tmp_path, data):
    bom, lines, reading = data.draw(dialect_files())
    old = encode(bom, lines)
    assert document.read(old).reading() == reading  # the reading the generator meant
    command, want, gone, rewritten = data.draw(commands(reading))
    path = tmp_path / "file"
    path.write_bytes(old)
    code = main([str(path), *command])
    new = path.read_bytes()
    if want is None:
        assert (code, new) == (1, old)
        return
    assert code == 0
    assert document.read(new).reading() == want
    assert new.startswith(b"\xef\xbb\xbf") == bool(bom)

    def taken(owner):
        if owner[0] in ("header", "among", "key") and owner[1] in gone:
            return True  # a removed section's own lines
        return owner in gone or rewritten is not None and owner == ("key", *rewritten)

    # Every line the command does not take away stays, text and line end, in order; only a line that ended
    # the file may gain an end, and only the line that now ends it may lose its own.
    kept = [(line.text, line.end) for line in lines if not taken(line.owner) and line.text]
    got = [line for line in split(new) if line[0]]
    position = 0
    for text, end in kept:
        while position < len(got) and got[position][0] != text:
            position += 1
        assert position < len(got), f"{text!r} is gone"
        assert got[position][1] == end or not end or position == len(got) - 1, f"{text!r} lost its line end"
        position += 1
    # Nothing else appears but the new or rewritten key line and a new section's header.
    assert len(got) - len(kept) <= (2 if command[0] == "set" else 0)
    old_line = next((line for line in lines if rewritten and line.owner == ("key", *rewritten)), None)
    if old_line is not None and old_line.parts:
        # A rewritten key line keeps its indentation, name, separator, inline comment and its own line end.
        text = old_line.parts[0] + command[-1] + old_line.parts[1]
        ends = [end for line, end in split(new) if line == text]
        assert old_line.end in ends or "" in ends or not old_line.end, (text, ends)
