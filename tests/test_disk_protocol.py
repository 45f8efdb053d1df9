"""Rules of src/ini_main/disk/PROTOCOL.md that no other module proves: the system calls of a rename save (S7),
the owner and group of the new file (S8), the kernel's protected_regular (S1), the settling step's identity
check (R3) and a file torn past the old text (R1), the lock a load holds until it has read and the removal of
what killed holders left (L4), an edit of a missing file (L7).

Run as `python -m test_disk_protocol ROLE PATH` it is a child with the fault shim preloaded (see `child`)."""
from __future__ import annotations

import configparser
import ctypes
import errno
import fcntl
import gc
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
ROOT = os.geteuid() == 0
PORTABLE = os.environ.get("KESTRA_PORTABLE") == "1"
OLD_STATE = {"a": {"x": "1", "pad": "p" * 300}, "keep": {"y": "2"}}
NEW_STATE = {"a": {"x": "2"}}
# The byte on which writers lock, on a file and on its private lock file (src/ini_main/disk/file_lock.hpp).
WRITER_BYTE = 0x7FFFFFFFFFFF0000


def rendered(state: dict[str, dict[str, str]]) -> bytes:
    engine = configparser.ConfigParser()
    engine.read_dict(state)
    text = io.StringIO()
    engine.write(text)
    return text.getvalue().encode("utf-8-sig")


OLD, NEW = rendered(OLD_STATE), rendered(NEW_STATE)


def spawn(shim: str, role: str, path: Path, rules: str = "", crash: int = 0) -> subprocess.Popen[str]:
    """A child in `role` with the shim preloaded; it prints "ready" once it has imported everything."""
    env = {**os.environ, "SHIM": shim, "RULES": rules, "CRASH": str(crash),
           "LD_PRELOAD": " ".join(p for p in (os.environ.get("LD_PRELOAD"), shim) if p)}
    child = subprocess.Popen([sys.executable, "-m", "test_disk_protocol", role, str(path)], cwd=HERE, env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout is not None and child.stdout.readline() == "ready\n", child.communicate()
    return child


def finish(child: subprocess.Popen[str]) -> dict:
    out, err = child.communicate(timeout=60)
    assert child.returncode in (0, -9), err
    return json.loads(out) if out else {}


def linked_file(tmp_path: Path, content: bytes) -> Path:
    """A file with a second name, so that saves write it in place behind a journal."""
    path = tmp_path / "settings.ini"
    path.write_bytes(content)
    os.link(path, tmp_path / "twin.ini")
    return path


def test_the_system_calls_of_a_rename_save(shim: str, private_home: Path) -> None:
    """S7: the second save of a process makes exactly the calls the protocol lists; none reads the directory."""
    if PORTABLE:
        pytest.skip("the portable build names its temporary and has no O_PATH")
    for number in range(1000):
        (private_home / f"other{number}.ini").write_bytes(b"")
    path = private_home / "settings.ini"
    path.write_bytes(OLD)
    calls = finish(spawn(shim, "save twice", path))["calls"]
    assert calls == ["open", "open", "fstat", "open", "openat", "fchmod", "listxattr", "pwrite", "fsync",
                     "getentropy", "linkat", "close", "renameat", "fstat", "fsync", "close", "close", "close"]


@pytest.mark.skipif(PORTABLE, reason="flock cannot tell one open file description from another")
def test_a_load_opens_the_file_once(ini_main, tmp_path: Path) -> None:
    """R10: the engine's file object is over the open that the settling made and locked, not a second open:
    seen from its descriptor, in the middle of the read, the load's own shared lock on the writer byte is no
    other open's lock."""
    path = tmp_path / "settings.ini"
    path.write_bytes(b"".join(b"[s%d]\nk = v\n" % n for n in range(20_000)))
    query = struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, WRITER_BYTE, 1, 0)
    seen: list[int] = []

    def look(phase: str, info: dict) -> None:
        for obj in [] if seen else gc.get_objects():
            if isinstance(obj, io.FileIO) and not obj.closed and obj.name == str(path):
                seen.append(struct.unpack("hhqqi4x", fcntl.fcntl(obj.fileno(), fcntl.F_OFD_GETLK, query))[0])

    threshold = gc.get_threshold()
    gc.callbacks.append(look)
    gc.set_threshold(1)
    try:
        ini_main.KestraIniMain(str(path))
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(look)
    assert seen and set(seen) == {fcntl.F_UNLCK}, seen


@pytest.mark.skipif(not ROOT, reason="giving a file to another owner or group needs root")
@pytest.mark.parametrize("owner", [(0, 4322), (4321, 0), (4321, 4322)], ids=str)
def test_owner_and_group_survive_a_save_by_rename(ini_main, tmp_path: Path, owner: tuple[int, int]) -> None:
    """S8: each of owner and group is kept, also when only one of them differs from the saver's."""
    path = tmp_path / "s.ini"
    path.write_bytes(OLD)
    os.chown(path, *owner)
    before = path.stat().st_ino
    ini_main.KestraIniMain(path)._set("a", "x", "2")
    info = path.stat()
    assert (info.st_uid, info.st_gid) == owner and info.st_ino != before and b"x = 2" in path.read_bytes()


@pytest.mark.skipif(not ROOT, reason="another user's file needs root to set up")
def test_a_planted_file_in_a_sticky_directory_is_refused_as_open_refuses_it() -> None:
    """S1: with fs.protected_regular, where open(path, "w+") fails on another user's file in a sticky
    directory, the save fails alike and writes nothing into it."""
    knob = Path("/proc/sys/fs/protected_regular")
    try:
        old = knob.read_text()
        knob.write_text("1")
    except OSError:
        pytest.skip("fs.protected_regular cannot be turned on here")
    # Where the other user can reach it: pytest's own folders are 0700, whose walk would refuse whatever the save.
    reachable = Path(tempfile.mkdtemp(prefix="sticky-"))
    reachable.chmod(0o755)
    try:
        sticky = reachable / "shared"
        sticky.mkdir()
        sticky.chmod(0o1777)
        planted = sticky / "victim.ini"
        planted.write_bytes(b"[planted]\n")
        os.chown(planted, 65534, 65534)
        planted.chmod(0o666)
        code = ("import os, sys\nos.setresgid(4321, 4321, 4321); os.setresuid(4321, 4321, 4321)\n"
                "from kestra_ini._durable import replace_file\n"
                "for opener in (lambda p: open(p, 'w+'), lambda p: replace_file(p, b'[a]\\nx = 2\\n')):\n"
                "    try:\n        opener(sys.argv[1])\n    except OSError as error:\n        print(error.errno)\n"
                "    else:\n        print(0)\n")
        done = subprocess.run([sys.executable, "-c", code, str(planted)], capture_output=True, text=True,
                              timeout=60, cwd="/")
        assert done.stdout.split() == [str(errno.EACCES)] * 2, done
        assert planted.read_bytes() == b"[planted]\n"
    finally:
        knob.write_text(old)
        shutil.rmtree(reachable)


def tear(shim: str, path: Path) -> None:
    """A save of NEW over OLD killed just after its last write of the file's text: the file is torn and this
    user's journal of it stands."""
    finish(spawn(shim, "tear", path))
    assert path.read_bytes() not in (OLD, NEW)


def test_a_file_torn_past_the_old_texts_length_is_completed(shim: str, private_home: Path) -> None:
    """R1: a save of a longer text, killed inside its write of the file (a short write), leaves the new text's
    first part reaching past the old text's end: the next read completes the new text."""
    path = linked_file(private_home, NEW)
    finish(spawn(shim, "journal", path))
    with open(path, "r+b") as file:
        file.write(OLD[:len(NEW) + 10])
    done = subprocess.run([sys.executable, "-m", "kestra_ini", str(path), "get", "a", "x"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    assert (done.stdout, path.read_bytes()) == ("1\n", OLD), done.stderr


@pytest.mark.skipif(PORTABLE, reason="the portable build has no birth time to tell the file by")
def test_the_settling_writes_only_the_file_it_read(shim: str, private_home: Path) -> None:
    """R3: a file renamed over the path while a load settles the journal of the file it opened never gets that
    journal's text: the load reopens the path for writing only under its lock, and checks it is the same file."""
    path = linked_file(private_home, OLD)
    tear(shim, path)
    # Held back at the open that reopens the path for writing, after the lock.
    loader = spawn(shim, "load", path, rules="open:3:-800")
    time.sleep(0.4)
    other = private_home / "other.ini"
    other.write_bytes(b"[other]\nz = 9\n")
    os.rename(other, path)
    outcome = finish(loader)
    assert outcome["held"].startswith(f"open|{path}|") and "flags=80902" in outcome["held"], outcome
    assert path.read_bytes() == b"[other]\nz = 9\n", outcome


def test_a_load_holds_off_an_in_place_save_until_it_has_read(shim: str, private_home: Path) -> None:
    """L4: a load of this user holds its private lock until it has read the file, so that an in-place save of
    this user, stalled half written, never shows a torn file to it."""
    path = linked_file(private_home, OLD)
    loader = spawn(shim, "load", path, rules="hold the engine's open")
    time.sleep(0.3)
    saver = spawn(shim, "save", path, rules="ftruncate:1:-2500")  # held back while the file is torn
    outcome = finish(loader)
    finish(saver)
    assert outcome["loaded"] == OLD_STATE and outcome["held"] == "open", outcome
    assert path.read_bytes() == NEW


def test_an_edit_that_found_no_file_never_replaces_one_made_meanwhile(shim: str, private_home: Path) -> None:
    """L7: an edit of a missing file links its new file to the name; one created after the edit read nothing
    stays, and the edit tries again over it."""
    path = private_home / "settings.ini"
    editor = spawn(shim, "add a key", path, rules="fsync:1:-800")  # held back with its text not yet named
    time.sleep(0.4)
    path.write_bytes(b"[s]\nother = 2\n")
    finish(editor)
    assert path.read_bytes() == b"[s]\nother = 2\nmine = 3\n"


def test_a_load_past_its_own_stopped_save_reads_the_whole_old_text(shim: str, private_home: Path) -> None:
    """R8: this user's in-place save stopped while the file is torn holds the private lock; this user's load
    reads the old text from its journal within a reader's wait, not the torn file after the save's."""
    path = linked_file(private_home, OLD)
    saver = spawn(shim, "save", path, rules="ftruncate:1:-6000")
    time.sleep(0.5)
    outcome = finish(spawn(shim, "load", path))
    stopped = saver.poll() is None  # the load ended while the save still held the file torn
    finish(saver)
    assert outcome["loaded"] == OLD_STATE and stopped, outcome
    assert path.read_bytes() == NEW


@pytest.mark.parametrize("kind", ["no locks (ENOLCK)", "a FIFO"])
def test_the_command_line_edits_where_open_works(shim: str, private_home: Path, kind: str) -> None:
    """L8: where no lock can be had at all the command line edits as the store saves, counting on the compare
    inside the save. R6: a FIFO is never held open by the edit's lock, so its read sees the end."""
    path = private_home / "settings.ini"
    if kind == "a FIFO":
        os.mkfifo(path)
        reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # keeps what the edit writes, for the check
        writer = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        os.write(writer, b"[a]\nx = 1\n")
        editor = spawn(shim, "edit a x", path)
        time.sleep(0.5)
        os.close(writer)
        outcome = finish(editor)
        written = os.read(reader, 1 << 16)
        os.close(reader)
    else:
        path.write_bytes(b"[a]\nx = 1\n")
        outcome = finish(spawn(shim, "edit a x", path, rules=",".join(f"fcntl:{n}:37" for n in range(1, 8))))
        written = path.read_bytes()
    assert outcome["code"] == 0 and written == b"[a]\nx = 3\n", (outcome, written)


def fnv1a(data: bytes) -> int:
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return value


def test_what_killed_processes_left_in_the_private_directory_goes_once_nobody_holds_it(
        private_home: Path) -> None:
    """L4, J8: unfinished journals whose lock nobody holds are removed by this user's next load; one whose lock
    someone holds, journals, and every name not of exactly that pattern stay; the one lock file is kept."""
    folder = Path(os.environ["XDG_STATE_HOME"]) / "kestra-ini"
    folder.mkdir(mode=0o700)
    free, held = "0" * 16 + "-b" + "1" * 32, "2" * 16 + "-d" + "3" * 16
    names = [f"{free}.journal.new", f"{held}.journal.new", f"{free}.journal", f"{free}.lock", "Cargo.lock",
             "poetry.lock", "x.journal.new", f"{free}x.journal.new"]
    for name in names:
        (folder / name).write_bytes(b"")
    at = fnv1a(held.encode()) % (1 << 62)  # the byte of the held key's lock (disk/private_dir.cpp)
    if PORTABLE:
        holder = os.open(folder / f"lock-{at % 64}", os.O_RDWR | os.O_CREAT, 0o600)
        fcntl.flock(holder, fcntl.LOCK_EX)
    else:
        holder = os.open(folder / "lock", os.O_RDWR | os.O_CREAT, 0o600)
        fcntl.fcntl(holder, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, at, 1, 0))
    path = private_home / "settings.ini"
    path.write_bytes(OLD)
    try:
        for _ in range(2):  # no lock file is made or removed per load
            subprocess.run([sys.executable, "-m", "kestra_ini", str(path), "get", "a", "x"], check=True,
                           stdin=subprocess.DEVNULL, capture_output=True)
    finally:
        os.close(holder)
    listed = {entry.name for entry in folder.iterdir()}
    locks = {name for name in listed if name == "lock" or name.startswith("lock-")}
    assert sorted(listed - locks) == sorted(set(names) - {f"{free}.journal.new"})
    assert PORTABLE or locks == {"lock"}


def child(role: str, path: str) -> None:
    """The child's part: arms the shim with RULES (and CRASH) around one operation and prints what it saw."""
    from kestra_ini._durable import replace_file
    from kestra_ini.ini_main import KestraIniMain

    shim = ctypes.CDLL(os.environ["SHIM"])
    shim.shim_arm.argtypes = [ctypes.c_char_p, ctypes.c_long]
    shim.shim_disarm.restype = ctypes.c_char_p
    rules = os.environ["RULES"].encode()
    print("ready", flush=True)
    if role == "save twice":
        replace_file(path, NEW)
        shim.shim_arm(b"", 0)
        replace_file(path, OLD)
        log = shim.shim_disarm().decode().splitlines()
        print(json.dumps({"calls": [line.split("|")[0] for line in log]}))
    elif role == "tear":
        replace_file(path, OLD)  # makes the private directory, which the runs below then find
        shim.shim_arm(b"", 0)
        replace_file(path, NEW)
        log = shim.shim_disarm().decode().splitlines()
        last_write = max(i for i, line in enumerate(log, 1) if line.startswith(f"pwrite|{path}|"))
        replace_file(path, OLD)
        shim.shim_arm(b"", last_write)
        replace_file(path, NEW)
    elif role == "add a key":
        from kestra_ini.cli import main

        shim.shim_arm(rules, 0)
        main([path, "set", "s", "mine", "3"])
        shim.shim_disarm()
    elif role == "journal":  # a save of OLD over NEW killed once its journal stands, before it writes the file
        replace_file(path, NEW)
        shim.shim_arm(b"", 0)
        replace_file(path, OLD)
        log = shim.shim_disarm().decode().splitlines()
        first_write = min(i for i, line in enumerate(log, 1) if line.startswith(f"pwrite|{path}|"))
        replace_file(path, NEW)
        shim.shim_arm(b"", first_write - 1)
        replace_file(path, OLD)
    elif role == "save":
        shim.shim_arm(rules, 0)
        replace_file(path, NEW)
        shim.shim_disarm()
    elif role == "edit a x":
        from kestra_ini import cli
        shim.shim_arm(rules, 0)
        code = cli.main([path, "set", "a", "x", "3"])
        print(json.dumps({"code": code, "log": shim.shim_disarm().decode()}))
    elif rules == b"hold the engine's open":
        held: list[str] = []

        def hold(event: str, args: tuple) -> None:
            if event == "open" and args[0] == path and not held:
                held.append(event)
                time.sleep(2)

        sys.addaudithook(hold)
        try:
            loaded: object = KestraIniMain(path)._get_all()
        except configparser.Error as error:
            loaded = f"{type(error).__name__}: {error}"
        print(json.dumps({"loaded": loaded, "held": "".join(held)}))
    else:
        shim.shim_arm(rules, 0)
        try:
            loaded = KestraIniMain(path)._get_all()
        except configparser.Error as error:
            loaded = f"{type(error).__name__}: {error}"
        log = shim.shim_disarm().decode().splitlines()
        delayed = int(rules.split(b":")[1]) if rules else 0
        opens = [line for line in log if line.startswith("open|")]
        print(json.dumps({"loaded": loaded, "held": opens[delayed - 1] if 0 < delayed <= len(opens) else ""}))


if __name__ == "__main__":
    child(*sys.argv[1:])
