"""The cases of test_trust.py, each run as root in a fresh interpreter:

    python -m trust_child TABLE CASE

from tests/, with FOLDER (a sticky directory everyone may write to), STATE (one state home per uid, as
XDG_STATE_HOME) and SHIM (the fault shim, also preloaded) in the environment. CASE is the JSON of the row's key
in TABLE. Real other uids act in forked grandchildren: the file's owner (OWNER), another user (OTHER) and root.
A failed check raises, so the interpreter exits non-zero.

`python -m trust_child two-names WHO PATH ROUNDS` is one of the writers (or the loader) of two names of one file.
"""
from __future__ import annotations

import configparser
import contextlib
import fcntl
import io
import json
import locale  # noqa: F401  (for the command line's encoding, as explained below)
import os
import re
import resource
import shutil
import signal
import stat
import struct
import sys
import time
from collections.abc import Callable
from typing import Any, TypedDict

from child_process import Shim, become, forked, own_var_tmp, rendered

# Imported here: the children that run as other users cannot read the interpreter's own files, and the
# store's native paths and the command line need some of them: locale above too.
from kestra_ini import _disk, cli, ini_main

OWNER, OTHER, GROUP = 4321, 65534, 777
folder = os.environ.get("FOLDER", "")
path = os.path.join(folder, "settings.ini")
# Where journals lived before they moved to the private directories: anyone may plant something there.
beside = os.path.join(folder, ".settings.ini.ini-journal")
STATE = os.environ.get("STATE", "")

OLD_STATE = {"a": {"x": "1", "pad": "p" * 200}, "keep": {"y": "2"}}
OLD = rendered(OLD_STATE)
NEW = rendered({"a": {"x": "2"}})
PLANTED = OLD.replace(b"x = 1", b"password = attacker")


def private(uid: int) -> str:
    return os.path.join(STATE, str(uid), "kestra-ini")


def journals(uid: int) -> list[str]:
    folder = private(uid)
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".journal")) if (
        os.path.isdir(folder)) else []


def as_user(uid: int, work: Callable[[], Any], groups: tuple[int, ...] = ()) -> Any:
    """Runs `work` in a forked child as `uid` (group `uid`, supplementary `groups`); its result, or the
    name of what it raised."""
    def child() -> Any:
        try:
            if uid != 0:
                become(uid, groups)
            os.environ["XDG_STATE_HOME"] = os.path.join(STATE, str(uid))
            return work()
        except BaseException as error:
            return f"raised {type(error).__name__}: {error}"
    status, result = forked(child)
    assert status in (0, 9), "child died"
    return result


def fresh_file(mode: int = 0o644, owner: int = OWNER, group: int = OWNER) -> None:
    for name in os.listdir(folder):
        (shutil.rmtree if os.path.isdir(os.path.join(folder, name)) else os.unlink)(os.path.join(folder, name))
    for uid in os.listdir(STATE):
        shutil.rmtree(os.path.join(STATE, uid, "kestra-ini"), ignore_errors=True)
    with open(path, "wb") as f:
        f.write(OLD)
    os.link(path, os.path.join(folder, "twin.ini"))  # a second name: saves go in place, behind the journal
    os.chown(path, owner, group)
    os.chmod(path, mode)


def save_killed(uid: int = OWNER, groups: tuple[int, ...] = (), content: bytes = NEW) -> bytes:
    """An in-place save of `content` by `uid`, killed just after its last write of the file's text."""
    def work() -> str:
        shim = Shim()
        from kestra_ini._durable import replace_file
        replace_file(path, content)  # makes the private directory, which the runs below then find
        shim.arm()
        replace_file(path, content)  # a clean run, to count the calls before the write
        log = shim.disarm().splitlines()
        writes = [i for i, line in enumerate(log, 1) if line.startswith("pwrite|" + path + "|")]
        with open(path, "r+b") as f:
            f.write(OLD)
            f.truncate()
        shim.arm("", writes[-1])  # the shorter new text is whole, the old text's end still after it
        replace_file(path, content)
        return "not killed"
    outcome = as_user(uid, work, groups)
    assert outcome is None, outcome
    torn = read(path)
    # A longer text is whole once written: the row's own setup tears it then.
    assert (torn not in (OLD, content) or len(content) > len(OLD)) and len(journals(uid)) == 1, torn
    return torn


def read(name: str) -> bytes:
    with open(name, "rb") as f:
        return f.read()


def write(name: str, data: bytes, mode: str = "wb") -> None:
    with open(name, mode) as f:
        f.write(data)


def load(who: str) -> tuple[int, str]:
    """A process that has not loaded the store before loads the file: the store as the owner or as another
    user (a forked child: other users cannot run this interpreter), root's command line, or another user's
    command line reading the file. Its exit code and output."""
    def work() -> str:
        if who == "owner's command line":
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                code = cli.main([path, "sections"])
            return f"exit {code}: {printed.getvalue()!r}"
        if who == "other user's command line":
            data = _disk.read(path)
            assert data is not None, "no file"
            return data.decode("utf-8-sig")
        if who.endswith("patched"):  # the engine's own code reads, not the native one
            reader = configparser.RawConfigParser._read  # type: ignore[attr-defined]
            configparser.RawConfigParser._read = (  # type: ignore[attr-defined]
                lambda self, fp, name: reader(self, fp, name))
        return str(ini_main.KestraIniMain(path)._get_all())
    out: str = as_user(OTHER if who.startswith("other user") else OWNER, work)
    return (1 if out.startswith("raised") or out.startswith("exit 1") else 0), out


Beside = tuple[int, int, int, bytes] | None


def state(uid: int = OWNER) -> tuple[bytes, list[bytes] | None, Beside]:
    """The file's bytes, the uid's journals and what stands beside the file where journals used to be."""
    try:
        st = os.lstat(beside)
    except FileNotFoundError:
        there: Beside = None
    else:
        there = (stat.S_IFMT(st.st_mode), st.st_uid, st.st_size, read(beside) if stat.S_ISREG(st.st_mode) else b"")
    return read(path), [read(j) for j in journals(uid)] or None, there


def acl(entries: list[tuple[int, int, int]]) -> bytes:
    """A POSIX ACL as the kernel takes it in an extended attribute: (tag, permissions, id) entries."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


ANYONE = ~0 & 0xFFFFFFFF  # the id of the entries that name no user or group


# After the owner's killed in-place save, what a case changes and what the load must do (R1-R5): "restore"
# (the old text back, the journal gone), "ignore" (file and journal untouched, the load reads what open()
# reads), "stale" (the file untouched, the journal gone). Each setup sees the torn bytes and the journal's.
# Another user may write the file through an ACL (`mask::rw-`) or a setgid directory: nothing they plant is
# obeyed, and nothing they change is undone.
def nothing() -> None:
    pass


def plant_beside() -> None:
    write(beside, PLANTED)
    os.chown(beside, OTHER, OWNER)


def journal_of_other_user() -> None:
    os.makedirs(private(OTHER), exist_ok=True)
    shutil.copy(journals(OWNER)[0], private(OTHER))
    os.chown(private(OTHER), OTHER, OTHER)


def write_through_twin() -> None:
    with open(os.path.join(folder, "twin.ini"), "r+b") as f:
        f.write(b"\xef\xbb\xbf[b]\n")


def replace_since() -> None:
    data = read(path)
    os.unlink(path)
    os.unlink(os.path.join(folder, "twin.ini"))
    write(path + ".new", data)
    os.chown(path + ".new", OWNER, OWNER)
    os.rename(path + ".new", path)


def change_journal(offset: int, data: bytes) -> None:
    with open(journals(OWNER)[0], "r+b") as f:
        f.seek(offset)
        f.write(data)


LONGER = rendered({"a": {"x": "2", "pad": "q" * 400}, "keep": {"y": "2"}})  # a text some rows' killed save wrote
# Each row: what the owner's load must leave (R1, R3, R5, R7): "complete" the torn file to the new text and
# drop the journal; "complete, journal kept" where the private directory cannot change; "keep" the file as it
# is and drop the journal; "ignore" both; "read new" without writing.
JOURNALS: dict[str, tuple[str, Callable[[], None]]] = {
    "genuine": ("complete", nothing),
    # R5: only the saver's uid obeys its journal; others read what open() reads.
    "loaded by a user who may only read the file": ("ignore", nothing),
    "the old journal's place beside the file, planted": ("complete", plant_beside),
    "a journal of the other user's own for this file": ("complete", journal_of_other_user),
    "a FIFO beside the file": ("complete", lambda: os.mkfifo(beside)),
    # R5: the owner, who may not write the file now, reads the new text from the journal and writes nothing.
    "the owner may only read the file now": ("read new", lambda: os.chmod(path, 0o444)),
    # R7: a whole state stays, whoever wrote it: the same change made by someone else, the old text.
    "the new text whole in the file": ("keep", lambda: write(path, NEW)),
    "the old copy put back by hand": ("keep", lambda: write(path, OLD)),
    # R3: completed only from a state its own killed write can leave, in the same file.
    "the file changed since through another name": ("keep", write_through_twin),
    "the file emptied": ("keep", lambda: os.truncate(path, 0)),
    "the file cut within the old text": ("keep", lambda: os.truncate(path, len(OLD) // 2)),
    "a prefix of the new text": ("keep", lambda: os.truncate(path, len(NEW) - 3)),
    "the file replaced since": ("ignore", replace_since),
    "a journal cut short": ("keep", lambda: os.truncate(journals(OWNER)[0], os.path.getsize(journals(OWNER)[0]) - 1)),
    "a corrupt old text": ("keep", lambda: change_journal(80, b"!")),
    "a committed journal": ("keep", lambda: change_journal(0, bytes(8))),
    # R1: the new text's first bytes reaching past the old text's end.
    "torn past the old text's end": ("complete", lambda: write(path, LONGER[:len(OLD) + 40])),
    # R7: recovery writes only the target; the journal waits for a directory that can change again.
    "the private directory read-only": ("complete, journal kept", lambda: os.chmod(private(OWNER), 0o500)),
}
WRITTEN = {"torn past the old text's end": LONGER}  # the rows whose killed save wrote another text than NEW
LOADERS = {"loaded by a user who may only read the file": [
    "other user", "other user, configparser patched", "other user's command line"]}


def journal_case(case: str) -> None:
    expectation, setup = JOURNALS[case]
    written = WRITTEN.get(case, NEW)
    for who in LOADERS.get(case, ["owner", "owner's command line"]):
        fresh_file(0o664, OWNER, OWNER)
        save_killed(content=written)
        setup()
        before = state()
        code, out = load(who)
        after = state()
        if expectation == "read new":
            assert code == 0 and after == before and "keep" not in out, (who, out[:80])
        elif expectation.startswith("complete"):
            assert code == 0 and after[0] == written, (who, out, after[0][:60])
            assert expectation.endswith("kept") == (after[1] is not None), (who, after[1])
            assert after[2] == before[2], (who, "something planted was touched")
        elif expectation == "ignore":
            assert after == before, (who, after[0][:60], before[1], after[1])
        else:
            assert after[0] == before[0] and after[1] is None, (who, after[0][:60], after[1])
        assert b"attacker" not in after[0], who


# Saves that meet something of someone else's, or a file that a rename cannot replace. Each row: how to set
# up (after a fresh hard-linked file, or a plain one with `single`), who saves, shim rules, and what the save
# must leave.
class SaveRow(TypedDict, total=False):
    single: bool
    rules: str
    in_place: bool
    setup: Callable[[], None]
    keep: bool
    attributes: list[str]
    mode: int
    owner: int
    saver: int


def others_file_beside() -> None:
    write(beside, b"x")
    os.chown(beside, OTHER, OTHER)


def default_acl_on_folder() -> None:
    os.setxattr(folder, "system.posix_acl_default", acl(
        [(1, 6, ANYONE), (2, 6, OTHER), (4, 4, ANYONE), (16, 6, ANYONE), (32, 4, ANYONE)]))


SAVES: dict[str, SaveRow] = {
    # A single file bind-mounted into a container: rename gives EBUSY; across file systems EXDEV.
    "rename refused with EBUSY": dict(single=True, rules="renameat:1:16", in_place=True),
    "rename refused with EXDEV": dict(single=True, rules="renameat:1:18", in_place=True),
    # S5: no room for the new file (its first write fails with ENOSPC), where a write over the file still fits.
    "no room for a second copy": dict(single=True, rules="pwrite:1:28", in_place=True),
    "no quota for a second copy": dict(single=True, rules="pwrite:1:122", in_place=True),
    # An owner that this user namespace does not map (fchown: EINVAL) is kept as one refused (EPERM) is.
    "an owner unmapped in a user namespace": dict(single=True, rules="fchown:1:22", in_place=True),
    # A file system without record locks (ENOLCK on some network ones) still saves.
    "locks refused": dict(rules="fcntl:1:37"),
    # Nothing beside the file is ever opened but the save's own temporary (J1).
    "a FIFO where journals used to be": dict(setup=lambda: os.mkfifo(beside), keep=True),
    "another user's file there": dict(setup=others_file_beside, keep=True),
    "a directory there": dict(setup=lambda: os.mkdir(beside), keep=True),
    "a link to the file there": dict(setup=lambda: os.symlink(path, beside), keep=True),
    # Set-id bits that a plain write by a user without CAP_FSETID drops are put back for the owner.
    # The new file has the old one's attributes only: not the ACL that its directory gives new files.
    "a directory with a default ACL": dict(single=True, setup=default_acl_on_folder, attributes=[]),
    "set-id file saved by its owner by rename": dict(single=True, mode=0o6755, owner=OTHER, saver=OTHER),
    "set-id file saved by its owner in place": dict(mode=0o6755, owner=OTHER, saver=OTHER),
}


def save_case(case: str) -> None:
    row = SAVES[case]
    owner = row.get("owner", OWNER)
    fresh_file(row.get("mode", 0o644), owner, owner)
    if row.get("single"):
        os.unlink(os.path.join(folder, "twin.ini"))
    row.get("setup", nothing)()
    before, inode = state(), os.stat(path).st_ino

    def work() -> str:
        shim = Shim()
        from kestra_ini.ini_main import KestraIniMain
        store = KestraIniMain(path)
        store._config.read_dict({"a": {"x": "2"}})
        shim.arm(row.get("rules", ""))
        try:
            store._save()
        finally:
            log = shim.disarm()
        return log
    log: str = as_user(row.get("saver", 0), work, (OTHER,))
    assert not log.startswith("raised"), log
    data, _, there = state()
    configparser.ConfigParser().read_string(data.decode("utf-8-sig"))  # whole: it parses
    assert b"x = 2" in data, data
    assert os.stat(path).st_mode & 0o7777 == row.get("mode", 0o644), oct(os.stat(path).st_mode)
    if row.get("in_place"):
        assert "pwrite|" + path + "|" in log and os.stat(path).st_ino == inode, log
    if row.get("keep"):
        assert there == before[2] and beside not in log, (there, before[2])
    if "attributes" in row:
        assert os.listxattr(path) == row["attributes"], os.listxattr(path)


# J1: the journal goes only into a private directory that nobody else can write to, checked as OpenSSH's
# StrictModes checks ~/.ssh; where there is none, the in-place save goes on without a journal, as open() would.
# Each row: how the owner's state home (or the system's) is changed, who saves, and where the journal goes
# (J1, J6, J7): into the state home, under HOME, into the saver's per-user directory under /var/tmp, or nowhere
# (S6). Run in a mount namespace of the case's own, with a fresh /var/tmp.
home = os.path.join(STATE, str(OWNER))
PER_USER = f"/var/tmp/kestra-ini-{OWNER}"


def group_writable_private() -> None:
    os.makedirs(private(OWNER))
    os.chown(private(OWNER), OWNER, OWNER)
    os.chmod(private(OWNER), 0o770)


def home_of_other_user() -> None:
    os.chown(home, OTHER, OTHER)
    os.chmod(home, 0o777)


def acl_for_other() -> None:
    os.setxattr(home, "system.posix_acl_access", acl(
        [(1, 7, ANYONE), (2, 7, OTHER), (4, 0, ANYONE), (16, 7, ANYONE), (32, 0, ANYONE)]))


def squatted(kind: str) -> Callable[[], None]:
    """The per-user directory made first by someone else, with no state home to go to before it."""
    def setup() -> None:
        shutil.rmtree(home)
        if kind == "link":
            os.makedirs("/var/tmp/elsewhere", 0o700)
            os.chown("/var/tmp/elsewhere", OWNER, OWNER)
            os.symlink("/var/tmp/elsewhere", PER_USER)
            return
        os.mkdir(PER_USER, 0o700 if kind == "owner" else 0o755)
        os.chown(PER_USER, OTHER if kind == "owner" else OWNER, OWNER)
        os.chmod(PER_USER, 0o700 if kind == "owner" else 0o755)
    return setup


def root_beside_owner() -> None:
    """The owner's state home, its kestra-ini a link to a folder of root's holding files named as lock files."""
    os.makedirs("/var/tmp/roots", 0o755)
    for name in ("Cargo.lock", "poetry.lock", "x.journal.new"):
        write(os.path.join("/var/tmp/roots", name), b"")
    os.symlink("/var/tmp/roots", private(OWNER))


PRIVATE_DIRECTORIES: dict[str, tuple[Callable[[], None], int, str | None]] = {
    "made by the save": (nothing, OWNER, "state home"),
    "its folder writable by the group": (group_writable_private, OWNER, "home"),
    "a folder above it another user's": (home_of_other_user, OWNER, "per-user"),
    "an ACL entry that lets another user write": (acl_for_other, OWNER, "per-user"),
    "no state home at all": (lambda: shutil.rmtree(home), OWNER, "per-user"),
    "the per-user directory another user's": (squatted("owner"), OWNER, None),
    "the per-user directory open to others": (squatted("mode"), OWNER, None),
    "the per-user directory a link": (squatted("link"), OWNER, None),
    "root with the owner's state home and HOME": (root_beside_owner, 0, "elsewhere"),
}


def private_case(case: str) -> None:
    setup, saver, where = PRIVATE_DIRECTORIES[case]
    fresh_file(0o664, OWNER, OWNER)
    setup()

    def work() -> str:
        shim = Shim()
        from kestra_ini._durable import read, replace_file
        os.environ["XDG_STATE_HOME"] = home  # root's too
        shim.arm()
        replace_file(path, NEW)
        read(path)
        return shim.disarm()
    # J7: this process finds root's directory first, with the environment its child keeps when it becomes the
    # saver.
    os.environ["XDG_STATE_HOME"] = os.environ["HOME"] = home
    _disk.read(path)
    log: str = as_user(saver, work)
    assert read(path) == NEW and sorted(os.listdir(folder)) == ["settings.ini", "twin.ini"], log
    made = [line.split("|")[1] for line in log.splitlines() if line.startswith("openat|") and ".journal" in line]
    assert bool(made) == (where is not None), log
    inside = {"state home": private(OWNER), "home": os.path.join(home, ".local", "state", "kestra-ini"),
              "per-user": PER_USER}.get(where or "")
    if inside:
        assert all(name.startswith(inside + "/") for name in made), made
        st = os.stat(inside)
        assert (st.st_uid, st.st_mode & 0o777) == (OWNER, 0o700), (st.st_uid, oct(st.st_mode))
    assert not any(name.startswith((home, "/var/tmp/roots")) for name in made if saver == 0), made
    if saver == 0:
        assert sorted(os.listdir("/var/tmp/roots")) == ["Cargo.lock", "poetry.lock", "x.journal.new"]
        assert os.listdir(home) == ["kestra-ini"] and os.path.islink(private(OWNER))


# Links as the kernel follows them, under fs.protected_symlinks: a link that another user planted in a sticky
# directory is refused by open(path, "w+") (EACCES), and so by the save; the saver's own link is followed.
# (who made the link, whether its target exists) -> the errno of the save, 0 for success. PRIVATE names a
# directory of the target's own.
LINKS = {("another user", True): 13, ("another user", False): 13, ("the saver", True): 0, ("the saver", False): 0}


def link_case(planter: str, exists: bool) -> None:
    target = os.path.join(os.environ["PRIVATE"], "victim.ini")
    if exists:
        write(target, OLD)
        os.chown(target, OWNER, OWNER)
    link = os.path.join(folder, "settings.ini")
    os.symlink(target, link)
    os.lchown(link, OTHER if planter == "another user" else OWNER, OWNER)

    def work() -> int:
        from kestra_ini._durable import replace_file  # the store's save, without the load's own refusal
        try:
            replace_file(link, NEW)
        except OSError as error:
            return -1 if error.errno is None else error.errno
        return 0
    expected = LINKS[planter, exists]
    assert as_user(OWNER, work) == expected
    assert os.path.islink(link)
    if expected:
        assert (read(target) if exists else os.path.exists(target)) == (OLD if exists else False)
    else:
        assert b"x = 2" in read(target)


# The refusal to replace a file that the store could not read follows the file, not the spelling of its path.
# Each row changes what the store saves to after its read failed (no descriptors left); the save must be
# refused, except where the file is gone.
def respell(store: ini_main.KestraIniMain) -> None:
    store._path = os.path.join(folder, ".", "settings.ini")


def link_to(store: ini_main.KestraIniMain) -> None:
    os.symlink(path, path + ".link")
    store._path = path + ".link"


SPELLINGS: dict[str, tuple[Callable[[ini_main.KestraIniMain], object], bool]] = {
    "another spelling": (respell, True),
    "a symbolic link": (link_to, True),
    "a second store read it since": (lambda store: ini_main.KestraIniMain(path), True),
    "the file deleted since": (lambda store: os.unlink(path), False),
}


def spelling_case(case: str) -> None:
    change, refused = SPELLINGS[case]
    fresh_file()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) - 1, hard))
    store = ini_main.KestraIniMain(path)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert store._sections() == []
    change(store)
    try:
        store._save()
    except OSError as error:
        assert refused and "could not be read, so it is not replaced" in str(error), error
        assert read(path) == OLD
    else:
        assert not refused, "an unread file was replaced"


# Locks that others hold on the file, its lock bytes or its directory (L1-L3). The store's in-place writers
# lock one byte far beyond the end of the file, the command line's edits the next one; only a descriptor open
# for writing can take a write lock there. Each row: (what a holder takes, as whom, which operation runs) ->
# "quick" (done within the readers' wait of about 100 ms), "after the writers' wait" (done, once the bounded
# wait for a writer of the file gave up), "busy" (refused after the writers' waits of the load and the save),
# "interrupted" (a signal ended the wait).
WRITER, EDIT = 0x7FFFFFFFFFFF0000, 0x7FFFFFFFFFFF0001
LOCKS = {
    ("read lock", "writer byte", "a reader", "in-place save"): "quick",
    ("read lock", "writer byte", "a reader", "in-place save, periodic alarm"): "quick",
    ("read lock", "writer byte", "a reader", "load"): "quick",
    ("write lock", "writer byte", "a writer", "load"): "after the writers' wait",
    ("write lock", "writer byte", "a writer", "in-place save"): "busy",
    ("write lock", "writer byte", "a writer", "in-place save, alarm"): "interrupted",
    ("flock", "file", "a reader", "in-place save"): "quick",
    ("flock", "directory", "a reader", "command line set"): "quick",
    ("read lock", "edit byte", "a reader", "command line set"): "quick",
    ("write lock", "edit byte", "a writer", "command line set"): "busy",
}


def hold(kind: str, where: str, holder: str) -> int:
    """Takes the lock in a child as the holder, who may read the file or also write it; returns its pid."""
    byte = {"writer byte": WRITER, "edit byte": EDIT}.get(where, 0)
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        become(OTHER, [GROUP] if holder == "a writer" else [])
        flags = os.O_RDWR if holder == "a writer" else os.O_RDONLY
        fd = os.open(folder if where == "directory" else path, os.O_RDONLY if where == "directory" else flags)
        if kind == "flock":
            fcntl.flock(fd, fcntl.LOCK_EX)
        else:
            lock = fcntl.F_WRLCK if kind == "write lock" else fcntl.F_RDLCK
            fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", lock, 0, byte, 1, 0))
        os.write(ready_w, b"x")
        time.sleep(60)
        os._exit(0)
    assert os.read(ready_r, 1) == b"x"
    return pid


def lock_case(kind: str, where: str, holder: str, operation: str) -> None:
    expected = LOCKS[kind, where, holder, operation]
    fresh_file(0o664, OWNER, GROUP)

    def run() -> object:
        from kestra_ini.ini_main import KestraIniMain
        _disk.LOCK_WAIT_SECONDS = 2
        if operation.startswith("command line"):
            return cli.main([path, "set", "a", "x", "2"])
        if operation.endswith(", alarm"):
            def ring(*_: object) -> None:
                raise TimeoutError("the alarm rang")
            signal.signal(signal.SIGALRM, ring)
            signal.setitimer(signal.ITIMER_REAL, 0.3)
        if operation.endswith("periodic alarm"):  # L1: a deadline, not a wait started again after each signal
            signal.signal(signal.SIGALRM, lambda *_: None)
            signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
        store = KestraIniMain(path)
        if operation == "load":
            return str(store._sections())
        store._config.read_dict({"a": {"x": "2"}})
        store._save()
        return 0

    pid = hold(kind, where, holder)
    try:
        start = time.monotonic()
        outcome = as_user(0, run)
        took = time.monotonic() - start
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    changed = b"x = 2" in read(path)
    done = outcome in (0, "['a', 'keep']") and changed == (operation != "load")
    if expected == "quick":
        assert done and took < 1.5, (outcome, took)
    elif expected == "after the writers' wait":
        assert done and 9.5 < took < 15, (outcome, took)
    elif expected == "busy":
        low, high = (1.5, 6) if operation.startswith("command line") else (19, 26)
        assert outcome != 0 and not changed and low < took < high, (outcome, took)
    else:
        assert "the alarm rang" in str(outcome) and not changed and took < 1.5, (outcome, took)


# One writer at a time per file, whatever its name: each of the writers, and the loader, of
# test_two_names_of_one_file_are_written_one_at_a_time.
SHAPE = re.compile(r"(\d+)-(x*)")


def two_names(who: str, path: str, rounds: int) -> None:
    for n in range(rounds):
        if who == "loader":
            for name, section in ini_main.KestraIniMain(path)._get_all().items():
                for value in section.values() if name != "s" else ():  # a whole saved value: as long as it says
                    m = SHAPE.fullmatch(value)
                    assert m and len(m[2]) == int(m[1]) * 37 % 900, value[:40]
        elif who.startswith("store"):
            store = ini_main.KestraIniMain(path)
            store._set_all({who: {"v": f"{n}-{'x' * (n * 37 % 900)}"},
                            "pad": {"p": f"{n % 3}-{'x' * (n % 3 * 37 % 900)}"}})
        else:
            assert cli.main([path, "set", "s", f"{who}_{n}", f"{n}-"]) == 0


# A load that starts while an in-place save is held open at one call (a delay rule of the shim) waits for
# that save to finish, never puts the old text back under it, and reads the new text.
RACES = {"while the file is torn": "ftruncate:1:-700", "while the journal is removed": "unlink:1:-700"}


def race_case(race: str) -> None:
    fresh_file()

    def save() -> str:
        shim = Shim()
        from kestra_ini._durable import replace_file
        shim.arm(RACES[race])
        replace_file(path, NEW)
        return "saved"

    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(writer, json.dumps(as_user(0, save)).encode())
        os._exit(0)
    time.sleep(0.3)
    loaded = load("owner")
    os.close(writer)
    os.waitpid(pid, 0)
    assert json.loads(os.read(reader, 1000)) == "saved"
    assert loaded == (0, "{'a': {'x': '2'}}") and state(0)[:2] == (NEW, None), (loaded, state(0))


CASES: dict[str, Callable[..., None]] = {
    "journals": journal_case, "saves": save_case, "private": private_case, "links": link_case,
    "spellings": spelling_case, "locks": lock_case, "races": race_case,
}


def main(argv: list[str]) -> None:
    if argv[0] == "two-names":
        two_names(argv[1], argv[2], int(argv[3]))
        return
    os.environ["XDG_STATE_HOME"] = os.path.join(STATE, "0")
    if argv[0] == "private":
        own_var_tmp()
    key = json.loads(argv[1])
    CASES[argv[0]](*key) if isinstance(key, list) else CASES[argv[0]](key)


if __name__ == "__main__":
    main(sys.argv[1:])
