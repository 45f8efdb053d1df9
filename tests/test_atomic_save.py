"""_save replaces the file whole or not at all, and keeps the file's links, mode and owner."""
import configparser
import contextlib
import errno
import io
import os
import socket
import stat
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from conftest import locked, sections_as_dicts

ORIGINAL = b"[a]\nx = 1\n" + b"; padding, so that a shorter save must cut the file\n" * 20
ROOT = os.geteuid() == 0
# Set by tools/test-portable: the build without Linux-only features such as extended attributes.
PORTABLE = os.environ.get("KESTRA_PORTABLE") == "1"


def listing(top):
    return sorted(os.path.relpath(os.path.join(d, n), top) for d, dirs, files in os.walk(top) for n in dirs + files)


def saved_bytes(sections):
    """What a save of an engine holding `sections` must leave on disk."""
    engine = configparser.ConfigParser()
    engine.read_dict(sections)
    buffer = io.StringIO()
    engine.write(buffer)
    return buffer.getvalue().encode("utf-8-sig") if buffer.getvalue() else b""


class PartialEngine(configparser.ConfigParser):
    def __init__(self, tail):
        super().__init__()
        self.read_dict({"n": {"k": "v"}})
        self.tail = tail

    def write(self, fp, space_around_delimiters=True):
        fp.write("[partial]\nkey = value\n")
        fp.write(self.tail)  # bytes are refused by a text buffer
        raise RuntimeError("engine failed part way")


FAILURES = {
    "engine raises": (lambda s, t: setattr(s, "_config", PartialEngine("more\n")), RuntimeError),
    "engine writes bytes": (lambda s, t: setattr(s, "_config", PartialEngine(b"x")), TypeError),
    "lone surrogate": (lambda s, t: s._config.set("a", "x", "ok \udc80"), UnicodeEncodeError),
    "directory": (lambda s, t: setattr(s, "_path", (t / "d").mkdir() or t / "d"), IsADirectoryError),
    "missing directory": (lambda s, t: setattr(s, "_path", t / "missing" / "s.ini"), FileNotFoundError),
    "refused file": (None, PermissionError),
    "fd path": (lambda s, t: setattr(s, "_path", 10 ** 6), TypeError),
    "object path": (lambda s, t: setattr(s, "_path", object()), TypeError),
}


@pytest.mark.parametrize("case", FAILURES)
def test_failed_save_changes_nothing(ini_main, make_ini, tmp_path, case):
    path = make_ini(ORIGINAL)
    store = ini_main.KestraIniMain(path)
    store._config.set("a", "x", "2")
    change, expected = FAILURES[case]
    with locked(path) if change is None else contextlib.nullcontext():
        if change:
            change(store, tmp_path)
        before, kept, content = listing(tmp_path), store._config, sections_as_dicts(store._config)
        with pytest.raises(expected) as info:
            store._save()
    assert path.read_bytes() == ORIGINAL and listing(tmp_path) == before  # no temporary file left
    assert store._config is kept and sections_as_dicts(kept) == content
    assert not issubclass(expected, OSError) or info.value.filename == store._path


@pytest.mark.parametrize("mode, umask", [(0o600, 0o022), (0o640, 0o077), (0o604, 0o000), (0o6755, 0o022),
                                         (None, 0o022), (None, 0o077), (None, 0o002)])
def test_permission_bits_and_owner(ini_main, tmp_path, mode, umask):
    path = tmp_path / "s.ini"
    if mode is not None:
        path.write_bytes(ORIGINAL)
        if ROOT:
            os.chown(path, 4321, 4322)
        path.chmod(mode)  # after chown, which drops set-id bits
        os.setxattr(path, "user.kept", b"yes")
    old = os.umask(umask)
    try:
        store = ini_main.KestraIniMain(path)
        store._config.read_dict({"b": {"k": "v"}})
        expected = saved_bytes(sections_as_dicts(store._config))
        store._save()
    finally:
        os.umask(old)
    info = path.stat()
    assert path.read_bytes() == expected and listing(tmp_path) == ["s.ini"]
    assert stat.S_IMODE(info.st_mode) == (mode if mode is not None else 0o666 & ~umask)
    assert not ROOT or mode is None or (info.st_uid, info.st_gid) == (4321, 4322)
    assert mode is None or PORTABLE or os.getxattr(path, "user.kept") == b"yes"


@pytest.mark.parametrize("layout", ["absolute", "relative", "chain", "dangling", "hard link", "locked directory"])
def test_links_and_in_place_writes(ini_main, tmp_path, layout):
    (tmp_path / "real").mkdir()
    target, link = tmp_path / "real" / "target.ini", tmp_path / "link.ini"
    if layout != "dangling":
        target.write_bytes(ORIGINAL)
    if layout == "absolute":
        link.symlink_to(target)
    elif layout in ("relative", "dangling"):
        link.symlink_to(os.path.join("real", "target.ini"))  # relative to the link, not the working directory
    elif layout == "chain":
        (tmp_path / "mid.ini").symlink_to(target)
        link.symlink_to("mid.ini")
    elif layout == "hard link":
        os.link(target, link)
    else:
        link = target
    inode = target.exists() and target.stat().st_ino
    before = sorted(set(listing(tmp_path)) | {"real/target.ini"})
    store = ini_main.KestraIniMain(link)
    store._config.read_dict({"new": {"k": "v"}})
    expected = saved_bytes(sections_as_dicts(store._config))
    with locked(tmp_path / "real") if layout == "locked directory" else contextlib.nullcontext():
        store._save()
    assert target.read_bytes() == expected == link.read_bytes() and listing(tmp_path) == before
    assert link.is_symlink() == (layout in ("absolute", "relative", "chain", "dangling"))
    if layout in ("hard link", "locked directory"):  # written in place: same inode, links intact
        assert target.stat().st_ino == inode and target.stat().st_nlink == (2 if layout == "hard link" else 1)


def test_reader_never_sees_a_partial_file(tmp_path):
    source = ('[{"big": {f"k{i}": "a" * 80 for i in range(3000)}},'
              ' {"big": {f"k{i}": "b" * 60 for i in range(2000)}, "tail": {"end": "yes"}}]')
    wanted = [saved_bytes(state) for state in eval(source)]
    path, rounds = tmp_path / "s.ini", 40
    path.write_bytes(wanted[0])
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import kestra_ini.ini_main as m
        store, states = m.KestraIniMain({str(path)!r}), {source}
        for i in range({rounds}):
            store._config.read_dict(states[i % 2])
            store._save()
        """)], stderr=subprocess.PIPE)
    seen, deadline = set(), time.monotonic() + 10
    try:
        while child.poll() is None and time.monotonic() < deadline:
            data = path.read_bytes()
            assert data in wanted, f"read {len(data)} bytes matching neither state"
            seen.add(wanted.index(data))
    finally:
        child.kill()
        err = child.communicate()[1]
    assert child.returncode == 0, err.decode()
    assert seen == {0, 1}, "the reads never overlapped the saves"
    assert path.read_bytes() == wanted[(rounds - 1) % 2] and listing(tmp_path) == ["s.ini"]


def test_stale_temporaries_are_removed_and_fresh_ones_kept(ini_main, make_ini, tmp_path):
    path = make_ini(ORIGINAL)
    old = time.time() - 120
    names = {
        "stale": ".settings.ini.0123456789abcdef.ini-tmp",
        "fresh": ".settings.ini.fedcba9876543210.ini-tmp",
        "foreign": ".settings.ini.not-ours.ini-tmp",
        "other file's": ".other.ini.0123456789abcdef.ini-tmp",
    }
    for kind, name in names.items():
        (tmp_path / name).write_bytes(b"[a]\n")
        if kind != "fresh":
            os.utime(tmp_path / name, (old, old))
    ini_main.KestraIniMain(str(path))._set("a", "x", "2")
    assert listing(tmp_path) == sorted(["settings.ini"] + [n for k, n in names.items() if k != "stale"])


@pytest.mark.parametrize("kind", ["character device", "fifo", "socket"])
def test_anything_but_a_regular_file_is_written_as_open_would(ini_main, tmp_path, kind):
    special, link = tmp_path / "special", tmp_path / "link.ini"
    link.symlink_to(special)  # a settings name pointing at /dev/null, say
    reader = None
    if kind == "character device":
        try:
            os.mknod(special, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a second /dev/null
        except PermissionError:
            pytest.skip("mknod is not allowed here")
    elif kind == "fifo":
        os.mkfifo(special)
        reader = os.open(special, os.O_RDONLY | os.O_NONBLOCK)  # so that opening for writing never waits
    else:
        server = socket.socket(socket.AF_UNIX)
        server.bind(str(special))
    before = os.lstat(special)
    store = ini_main.KestraIniMain(tmp_path / "unused.ini")
    store._config.read_dict({"a": {"k": "v"}})
    expected = saved_bytes(sections_as_dicts(store._config))
    store._path = link
    try:
        if kind == "socket":
            with pytest.raises(OSError) as info:
                store._save()
            assert (info.value.errno, info.value.filename) == (errno.ENXIO, link)
        else:
            store._save()
            assert reader is None or os.read(reader, 1 << 16) == expected
    finally:
        if reader is not None:
            os.close(reader)
        if kind == "socket":
            server.close()
    after = os.lstat(special)
    assert (after.st_ino, stat.S_IFMT(after.st_mode)) == (before.st_ino, stat.S_IFMT(before.st_mode))
    assert link.is_symlink() and listing(tmp_path) == ["link.ini", "special"]


@pytest.mark.parametrize("depth", [1, 3, 40])
def test_a_path_through_proc_self_fd(ini_main, tmp_path, depth):
    folder = tmp_path.joinpath(*["d" * 30] * depth)  # the file's own path: about 60 to 1300 characters
    folder.mkdir(parents=True)
    target = folder / "settings.ini"
    target.write_bytes(ORIGINAL)
    fd = os.open(target, os.O_RDONLY)
    try:
        store = ini_main.KestraIniMain(f"/proc/self/fd/{fd}")
        store._config.read_dict({"new": {"k": "v"}})
        expected = saved_bytes(sections_as_dicts(store._config))
        store._save()
    finally:
        os.close(fd)
    assert target.read_bytes() == expected and os.listdir(folder) == ["settings.ini"]


def long_path(tmp_path):
    """A file whose path is as long as open() takes (4,095 bytes), each directory's name as long as one may be."""
    folder = str(tmp_path)
    while len(folder) + 1 + 255 + 1 + 20 < 4095:
        folder = os.path.join(folder, "d" * 255)
    os.makedirs(folder)
    path = os.path.join(folder, "f" * (4095 - len(folder) - 1))
    with open(path, "wb") as f:
        f.write(b"[a]\nx = 1\n")
    return path


@pytest.mark.parametrize("kind", ["a path of 4,095 bytes", "a pseudo file of size 0"])
def test_where_open_works_the_disk_layer_does(ini_main, tmp_path, kind):
    """R9: a save's temporary is named relative to the directory, never longer than the target's name; a file
    reporting size 0 (/proc/PID/cmdline) is read to its end, as read() reads it."""
    from kestra_ini import _durable
    if kind == "a pseudo file of size 0":
        # Its command line is INI text: argv[0] holds a section, and the rest follows a comment's mark.
        sleeper = subprocess.Popen(["[a]\nx = 1\n#", "-c", "import time; time.sleep(30)"], executable=sys.executable)
        try:
            path = f"/proc/{sleeper.pid}/cmdline"
            while not Path(path).read_bytes().startswith(b"[a]"):  # until it has run the interpreter
                time.sleep(0.01)
            assert os.stat(path).st_size == 0
            with open(path, "rb") as f:
                assert _durable.read(path) == f.read()
            assert ini_main.KestraIniMain(path)._get("a", "x") == "1"
        finally:
            sleeper.kill()
            sleeper.wait()
        return
    path = long_path(tmp_path)
    store = ini_main.KestraIniMain(path)
    store._set("a", "x", "2")
    with open(path, "rb") as f:
        assert f.read() == saved_bytes({"a": {"x": "2"}})
    _durable.replace_file(path, b"[a]\nx = 3\n")
    with open(path, "rb") as f:
        assert f.read() == b"[a]\nx = 3\n"
    assert sorted(os.listdir(os.path.dirname(path))) == [os.path.basename(path)]
