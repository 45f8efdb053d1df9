"""A journal, a link or a lock that someone else made never makes the store write what they choose, undo a
change, lose a setting, fail or hang where open(path, "w+") would not (src/ini_main/disk/PROTOCOL.md).

Each case runs in a child as root that takes real other uids in forked grandchildren: the file's owner
(OWNER), another user (OTHER) and root, each with a private state directory of its own. A save killed by the
fault shim (fault_shim.c) part way through its in-place write leaves a torn file and a genuine journal in the
saver's private directory; each case then changes the file, the journal, or plants something of another user,
and a fresh process loads the file."""
import configparser
import json
import os
import shutil
import tempfile

import pytest

from conftest import run_with_shim

OTHER = 65534  # the same user as in HARNESS
# Set by tools/test-portable. That build has no birth time to tell a reused inode, no extended attributes and
# flock() for its locks, which the rows below need.
PORTABLE = os.environ.get("KESTRA_PORTABLE") == "1"
# Its flock() cannot tell a writer's lock from a reader's either, so a load waits for neither longer than a
# reader's lock allows (L5).
LINUX_ONLY = {"the file replaced since", "a directory with a default ACL", ("write lock", "writer byte"),
              ("read lock", "writer byte"), ("flock", "file"), "while the file is torn",
              "while the journal is removed"}


def linux_only(case):
    if PORTABLE and (case in LINUX_ONLY or tuple(case[:2]) in LINUX_ONLY):
        pytest.skip("needs a feature that the portable build leaves out")

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="other users' files need root to set up")

HARNESS = r'''
import configparser, contextlib, ctypes, io, json, os, shutil, stat, subprocess, sys

# Imported here: the children that run as other users cannot read the interpreter's own files, and the
# store's native paths need some of them.
from kestra_ini import _disk, cli, ini_main

folder, case = os.environ["FOLDER"], os.environ.get("CASE", "")
OWNER, OTHER, GROUP = 4321, 65534, 777
path = os.path.join(folder, "settings.ini")
# Where journals lived before they moved to the private directories: anyone may plant something there.
beside = os.path.join(folder, ".settings.ini.ini-journal")
STATE = os.environ["STATE"]  # one state home per uid, as XDG_STATE_HOME
os.environ["XDG_STATE_HOME"] = os.path.join(STATE, "0")

def private(uid):
    return os.path.join(STATE, str(uid), "kestra-ini")

def journals(uid):
    folder = private(uid)
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".journal")) if (
        os.path.isdir(folder)) else []

def rendered(state):
    engine = configparser.ConfigParser()
    engine.read_dict(state)
    text = io.StringIO()
    engine.write(text)
    return text.getvalue().encode("utf-8-sig")

OLD_STATE = {"a": {"x": "1", "pad": "p" * 200}, "keep": {"y": "2"}}
OLD = rendered(OLD_STATE)
NEW = rendered({"a": {"x": "2"}})

def as_user(uid, work, groups=()):
    """Runs `work` in a forked child as `uid` (group `uid`, supplementary `groups`); its result, or the
    name of what it raised."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reader)
        try:
            if uid != 0:
                os.setgroups(list(groups))
                os.setresgid(uid, uid, uid)
                os.setresuid(uid, uid, uid)
            os.environ["XDG_STATE_HOME"] = os.path.join(STATE, str(uid))
            result = work()
        except BaseException as error:
            result = f"raised {type(error).__name__}: {error}"
        os.write(writer, json.dumps(result).encode())
        os._exit(0)
    os.close(writer)
    data = b""
    while chunk := os.read(reader, 1 << 16):
        data += chunk
    os.close(reader)
    assert os.waitpid(pid, 0)[1] in (0, 9), "child died"
    return json.loads(data) if data else None

def fresh_file(mode=0o644, owner=OWNER, group=OWNER):
    for name in os.listdir(folder):
        (shutil.rmtree if os.path.isdir(os.path.join(folder, name)) else os.unlink)(os.path.join(folder, name))
    for uid in os.listdir(STATE):
        shutil.rmtree(os.path.join(STATE, uid, "kestra-ini"), ignore_errors=True)
    with open(path, "wb") as f:
        f.write(OLD)
    os.link(path, os.path.join(folder, "twin.ini"))  # a second name: saves go in place, behind the journal
    os.chown(path, owner, group)
    os.chmod(path, mode)

def save_killed(uid=OWNER, groups=(), content=NEW):
    """An in-place save of `content` by `uid`, killed just after its last write of the file's text."""
    def work():
        shim = ctypes.CDLL(os.environ["SHIM"])
        shim.shim_arm.argtypes = [ctypes.c_char_p, ctypes.c_long]
        shim.shim_disarm.restype = ctypes.c_char_p
        from kestra_ini._durable import replace_file
        replace_file(path, content)  # makes the private directory, which the runs below then find
        shim.shim_arm(b"", 0)
        replace_file(path, content)  # a clean run, to count the calls before the write
        log = shim.shim_disarm().decode().splitlines()
        writes = [i for i, line in enumerate(log, 1) if line.startswith("pwrite|" + path + "|")]
        with open(path, "r+b") as f:
            f.write(OLD)
            f.truncate()
        shim.shim_arm(b"", writes[-1])  # the shorter new text is whole, the old text's end still after it
        replace_file(path, content)
        return "not killed"
    outcome = as_user(uid, work, groups)
    assert outcome is None, outcome
    torn = open(path, "rb").read()
    assert torn not in (OLD, content) and len(journals(uid)) == 1, torn
    return torn

def load(who):
    """A process that has not loaded the store before loads the file: the store as the owner or as another
    user (a forked child: other users cannot run this interpreter), root's command line, or another user's
    command line reading the file. Its exit code and output."""
    def work():
        if who == "owner's command line":
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                code = cli.main([path, "sections"])
            return f"exit {code}: {printed.getvalue()!r}"
        if who == "other user's command line":
            return _disk.read(path).decode("utf-8-sig")
        if who.endswith("patched"):  # the engine's own code reads, not the native one
            reader = configparser.RawConfigParser._read
            configparser.RawConfigParser._read = lambda self, fp, name: reader(self, fp, name)
        return str(ini_main.KestraIniMain(path)._get_all())
    out = as_user(OTHER if who.startswith("other user") else OWNER, work)
    return (1 if out.startswith("raised") or out.startswith("exit 1") else 0), out

def state(uid=OWNER):
    """The file's bytes, the uid's journals and what stands beside the file where journals used to be."""
    try:
        st = os.lstat(beside)
    except FileNotFoundError:
        there = None
    else:
        there = (stat.S_IFMT(st.st_mode), st.st_uid, st.st_size,
                 open(beside, "rb").read() if stat.S_ISREG(st.st_mode) else b"")
    return open(path, "rb").read(), [open(j, "rb").read() for j in journals(uid)] or None, there
'''

# After the owner's killed in-place save, what a case changes and what the load must do (R1-R5): "restore"
# (the old text back, the journal gone), "ignore" (file and journal untouched, the load reads what open()
# reads), "stale" (the file untouched, the journal gone). Each setup sees the torn bytes and the journal's.
# Another user may write the file through an ACL (`mask::rw-`) or a setgid directory: nothing they plant is
# obeyed, and nothing they change is undone.
ATTACKER = "PLANTED = OLD.replace(b'x = 1', b'password = attacker'); "
JOURNALS = {
    "genuine": ("restore", ""),
    # R5: only the saver's uid obeys its journal; others read what open() reads.
    "loaded by a user who may only read the file": (
        "ignore", "LOADERS = ['other user', 'other user, configparser patched', \"other user's command line\"]"),
    "the old journal's place beside the file, planted": (
        "restore", ATTACKER + "open(beside, 'wb').write(PLANTED); os.chown(beside, OTHER, OWNER)"),
    "a journal of the other user's own for this file": (
        "restore", ATTACKER + "os.makedirs(private(OTHER), exist_ok=True); "
                   "shutil.copy(journals(OWNER)[0], private(OTHER)); os.chown(private(OTHER), OTHER, OTHER)"),
    "a FIFO beside the file": ("restore", "os.mkfifo(beside)"),
    # R5: the owner, who may not write the file now, reads the old text from the journal and writes nothing.
    "the owner may only read the file now": ("read old", "os.chmod(path, 0o444)"),
    # R3: restored only from a state its own killed write can leave, in the same file.
    "the new text whole in the file": ("restore", "open(path, 'wb').write(NEW)"),
    "the file changed since through another name": (
        "stale", "(f := open(os.path.join(folder, 'twin.ini'), 'r+b'), f.write(b'\\xef\\xbb\\xbf[b]\\n'), f.close())"),
    "the file emptied": ("stale", "os.truncate(path, 0)"),
    "the file cut within the old text": ("stale", "os.truncate(path, len(OLD) // 2)"),
    "the old copy put back by hand": ("stale", "open(path, 'wb').write(OLD)"),
    "a prefix of the new text": ("stale", "os.truncate(path, len(NEW) - 3)"),
    "the file replaced since": (
        "ignore", "data = open(path, 'rb').read(); os.unlink(path); os.unlink(os.path.join(folder, 'twin.ini'));"
                  "open(path + '.new', 'wb').write(data); os.chown(path + '.new', OWNER, OWNER);"
                  "os.rename(path + '.new', path)"),
    "a journal cut short": ("stale", "os.truncate(journals(OWNER)[0], os.path.getsize(journals(OWNER)[0]) - 1)"),
    "a corrupt old text": ("stale", "(f := open(journals(OWNER)[0], 'r+b'), f.seek(80), f.write(b'!'), f.close())"),
    "a committed journal": ("stale", "(f := open(journals(OWNER)[0], 'r+b'), f.write(bytes(8)), f.close())"),
}

JOURNAL_CASE = HARNESS + r'''
expectation, setup = os.environ["EXPECT"], os.environ["SETUP"]
LOADERS = ["owner", "owner's command line"]
exec(setup.split(";")[0] if setup.startswith("LOADERS") else "")
for who in LOADERS:
    fresh_file(0o664, OWNER, OWNER)
    torn = save_killed()
    exec(setup)
    before = state()
    code, out = load(who)
    after = state()
    if expectation == "read old":
        assert after == before and "keep" in out, (who, out[:80])
    elif expectation == "restore":
        assert code == 0 and after[0] == OLD and after[1] is None and "keep" in out, (who, out, after[0][:60], after[1])
        assert after[2] == before[2], (who, "something planted was touched")
    elif expectation == "ignore":
        assert after == before, (who, after[0][:60], before[1], after[1])
    else:
        assert after[0] == before[0] and after[1] is None, (who, after[0][:60], after[1])
    assert b"attacker" not in after[0], who
'''


@pytest.fixture
def folder(monkeypatch):
    # A sticky directory that everyone may write to, as the system's temporary directory is; not pytest's own
    # tree, which other users cannot reach. Beside it, each user's state home (STATE/uid), as XDG_STATE_HOME.
    top = tempfile.mkdtemp(prefix="trust-")
    os.chmod(top, 0o1777)
    state = tempfile.mkdtemp(prefix="trust-state-")
    os.chmod(state, 0o755)
    for uid in (0, 4321, OTHER):
        os.mkdir(os.path.join(state, str(uid)), 0o700)
        os.chown(os.path.join(state, str(uid)), uid, uid)
    monkeypatch.setenv("STATE", state)
    yield top
    shutil.rmtree(top)
    shutil.rmtree(state)


@pytest.mark.parametrize("case", JOURNALS)
def test_only_a_genuine_journal_of_the_files_writers_is_obeyed(shim, folder, case):
    linux_only(case)
    expectation, setup = JOURNALS[case]
    run_with_shim(JOURNAL_CASE, shim, FOLDER=folder, EXPECT=expectation, SETUP=setup)


# Saves that meet something of someone else's, or a file that a rename cannot replace. Each row: how to set
# up (after a fresh hard-linked file, or a plain one with `single`), who saves, shim rules, and what the save
# must leave.
SAVES = {
    # A single file bind-mounted into a container: rename gives EBUSY; across file systems EXDEV.
    "rename refused with EBUSY": dict(single=True, rules="rename:1:16", in_place=True),
    "rename refused with EXDEV": dict(single=True, rules="rename:1:18", in_place=True),
    # S5: no room for the new file (its first write fails with ENOSPC), where a write over the file still fits.
    "no room for a second copy": dict(single=True, rules="pwrite:1:28", in_place=True),
    # A file system without record locks (ENOLCK on some network ones) still saves.
    "locks refused": dict(rules="fcntl:1:37"),
    # Nothing beside the file is ever opened but the save's own temporary (J1).
    "a FIFO where journals used to be": dict(setup="os.mkfifo(beside)", keep=True),
    "another user's file there": dict(setup="open(beside, 'wb').write(b'x'); os.chown(beside, OTHER, OTHER)",
                                      keep=True),
    "a directory there": dict(setup="os.mkdir(beside)", keep=True),
    "a link to the file there": dict(setup="os.symlink(path, beside)", keep=True),
    # Set-id bits that a plain write by a user without CAP_FSETID drops are put back for the owner.
    # The new file has the old one's attributes only: not the ACL that its directory gives new files.
    "a directory with a default ACL": dict(single=True, setup=(
        "import struct; os.setxattr(folder, 'system.posix_acl_default', struct.pack('<I', 2) + b''.join("
        "struct.pack('<HHI', *e) for e in [(1, 6, ~0 & 0xFFFFFFFF), (2, 6, OTHER), (4, 4, ~0 & 0xFFFFFFFF),"
        "(16, 6, ~0 & 0xFFFFFFFF), (32, 4, ~0 & 0xFFFFFFFF)]))"), attributes=[]),
    "set-id file saved by its owner by rename": dict(single=True, mode=0o6755, owner=OTHER, saver=OTHER),
    "set-id file saved by its owner in place": dict(mode=0o6755, owner=OTHER, saver=OTHER),
}

SAVE_CASE = HARNESS + r'''
row = json.loads(os.environ["ROW"])
owner = row.get("owner", OWNER)
fresh_file(row.get("mode", 0o644), owner, owner)
if row.get("single"):
    os.unlink(os.path.join(folder, "twin.ini"))
exec(row.get("setup", ""))
before, inode = state(), os.stat(path).st_ino
def work():
    shim = ctypes.CDLL(os.environ["SHIM"])
    shim.shim_arm.argtypes = [ctypes.c_char_p, ctypes.c_long]
    shim.shim_disarm.restype = ctypes.c_char_p
    from kestra_ini.ini_main import KestraIniMain
    store = KestraIniMain(path)
    store._config.read_dict({"a": {"x": "2"}})
    shim.shim_arm(row.get("rules", "").encode(), 0)
    try:
        store._save()
    finally:
        log = shim.shim_disarm().decode()
    return log
log = as_user(row.get("saver", 0), work, [OTHER])
assert not log.startswith("raised"), log
data, _, there = state()
assert configparser.ConfigParser().read_string(data.decode("utf-8-sig")) is None and b"x = 2" in data, data
assert os.stat(path).st_mode & 0o7777 == row.get("mode", 0o644), oct(os.stat(path).st_mode)
if row.get("in_place"):
    assert "pwrite|" + path + "|" in log and os.stat(path).st_ino == inode, log
if row.get("keep"):
    assert there == before[2] and beside not in log, (there, before[2])
if "attributes" in row:
    assert os.listxattr(path) == row["attributes"], os.listxattr(path)
'''


@pytest.mark.parametrize("case", SAVES)
def test_a_save_goes_on_where_open_would(shim, folder, case):
    linux_only(case)
    run_with_shim(SAVE_CASE, shim, FOLDER=folder, ROW=json.dumps(SAVES[case]))


# J1: the journal goes only into a private directory that nobody else can write to, checked as OpenSSH's
# StrictModes checks ~/.ssh; where there is none, the in-place save goes on without a journal, as open() would.
# Each row: how the owner's state home is changed -> whether the save writes a journal.
ACL_FOR_OTHER = ("import struct; os.setxattr(home, 'system.posix_acl_access', struct.pack('<I', 2) + b''.join("
                 "struct.pack('<HHI', *e) for e in [(1, 7, ~0 & 0xFFFFFFFF), (2, 7, OTHER), (4, 0, ~0 & 0xFFFFFFFF),"
                 "(16, 7, ~0 & 0xFFFFFFFF), (32, 0, ~0 & 0xFFFFFFFF)]))")
PRIVATE_DIRECTORIES = {
    "made by the save": ("", True),
    "its folder writable by the group": ("os.makedirs(private(OWNER)); os.chown(private(OWNER), OWNER, OWNER);"
                                         "os.chmod(private(OWNER), 0o770)", False),
    "a folder above it another user's": ("os.chown(home, OTHER, OTHER); os.chmod(home, 0o777)", False),
    "an ACL entry that lets another user write": (ACL_FOR_OTHER, False),
    "no state home at all": ("shutil.rmtree(home)", False),
}

PRIVATE_CASE = HARNESS + r'''
setup, journaled = os.environ["SETUP"], os.environ["JOURNALED"] == "1"
fresh_file(0o664, OWNER, OWNER)
home = os.path.join(STATE, str(OWNER))
exec(setup)
def work():
    shim = ctypes.CDLL(os.environ["SHIM"])
    shim.shim_arm.argtypes = [ctypes.c_char_p, ctypes.c_long]
    shim.shim_disarm.restype = ctypes.c_char_p
    from kestra_ini._durable import replace_file
    shim.shim_arm(b"", 0)
    replace_file(path, NEW)
    return shim.shim_disarm().decode()
log = as_user(OWNER, work)
assert open(path, "rb").read() == NEW and sorted(os.listdir(folder)) == ["settings.ini", "twin.ini"], log
made = [line for line in log.splitlines() if line.startswith("open|") and ".journal" in line]
assert bool(made) == journaled, log
if journaled:
    assert all(line.split("|")[1].startswith(private(OWNER) + "/") for line in made), made
    st = os.stat(private(OWNER))
    assert (st.st_uid, st.st_mode & 0o777) == (OWNER, 0o700), (st.st_uid, oct(st.st_mode))
'''


@pytest.mark.parametrize("case", PRIVATE_DIRECTORIES)
def test_journals_go_only_into_a_directory_nobody_else_can_write(shim, folder, case):
    setup, journaled = PRIVATE_DIRECTORIES[case]
    run_with_shim(PRIVATE_CASE, shim, FOLDER=folder, SETUP=setup, JOURNALED=str(int(journaled)))


# Links as the kernel follows them, under fs.protected_symlinks: a link that another user planted in a sticky
# directory is refused by open(path, "w+") (EACCES), and so by the save; the saver's own link is followed.
# (who made the link, whether its target exists) -> the errno of the save, 0 for success.
LINKS = {("another user", True): 13, ("another user", False): 13, ("the saver", True): 0, ("the saver", False): 0}

LINK_CASE = HARNESS + r'''
planter, exists = json.loads(os.environ["ROW"])
target = os.path.join(os.environ["PRIVATE"], "victim.ini")
if exists:
    open(target, "wb").write(OLD)
    os.chown(target, OWNER, OWNER)
link = os.path.join(folder, "settings.ini")
os.symlink(target, link)
os.lchown(link, OTHER if planter == "another user" else OWNER, OWNER)
def work():
    from kestra_ini._durable import replace_file  # the store's save, without the load's own refusal
    try:
        replace_file(link, NEW)
    except OSError as error:
        return error.errno
    return 0
expected = int(os.environ["EXPECTED"])
assert as_user(OWNER, work) == expected
assert os.path.islink(link)
if expected:
    assert (open(target, "rb").read() if exists else os.path.exists(target)) == (OLD if exists else False)
else:
    assert b"x = 2" in open(target, "rb").read()
'''


@pytest.fixture
def protected_symlinks():
    knob = "/proc/sys/fs/protected_symlinks"
    try:
        with open(knob) as f:
            old = f.read()
        with open(knob, "w") as f:
            f.write("1")
    except OSError:
        pytest.skip("fs.protected_symlinks cannot be turned on here")
    yield
    with open(knob, "w") as f:
        f.write(old)


@pytest.mark.parametrize("row", LINKS, ids=str)
def test_links_are_followed_as_the_kernel_follows_them(shim, folder, protected_symlinks, row):
    private = tempfile.mkdtemp(prefix="trust-target-")
    os.chmod(private, 0o777)
    try:
        run_with_shim(LINK_CASE, shim, FOLDER=folder, PRIVATE=private, ROW=json.dumps(row),
                      EXPECTED=str(LINKS[row]))
    finally:
        shutil.rmtree(private)


# The refusal to replace a file that the store could not read follows the file, not the spelling of its path.
# Each row changes what the store saves to after its read failed (no descriptors left); the save must be
# refused, except where the file is gone.
SPELLINGS = {
    "another spelling": ("store._path = os.path.join(folder, '.', 'settings.ini')", True),
    "a symbolic link": ("os.symlink(path, path + '.link'); store._path = path + '.link'", True),
    "a second store read it since": ("KestraIniMain(path)", True),
    "the file deleted since": ("os.unlink(path)", False),
}

SPELLING_CASE = HARNESS + r'''
from kestra_ini.ini_main import KestraIniMain
change, refused = os.environ["CHANGE"], os.environ["REFUSED"] == "1"
fresh_file()
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) - 1, hard))
store = KestraIniMain(path)
resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
assert store._sections() == []
exec(change)
try:
    store._save()
except OSError as error:
    assert refused and "could not be read, so it is not replaced" in str(error), error
    assert open(path, "rb").read() == OLD
else:
    assert not refused, "an unread file was replaced"
'''


@pytest.mark.parametrize("case", SPELLINGS)
def test_an_unread_file_is_refused_by_any_name(shim, folder, case):
    change, refused = SPELLINGS[case]
    run_with_shim(SPELLING_CASE.replace("import configparser,", "import resource, configparser,"), shim,
                  FOLDER=folder, CHANGE=change, REFUSED=str(int(refused)))


# Locks that others hold on the file, its lock bytes or its directory (L1-L3). The store's in-place writers
# lock one byte far beyond the end of the file, the command line's edits the next one; only a descriptor open
# for writing can take a write lock there. Each row: (what a holder takes, as whom, which operation runs) ->
# "quick" (done within the readers' wait of about 100 ms), "after the writers' wait" (done, once the bounded
# wait for a writer of the file gave up), "busy" (refused after the writers' waits of the load and the save),
# "interrupted" (a signal ended the wait), "after the edit's wait" (the command line's own edit lock).
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

LOCK_CASE = HARNESS + r'''
import fcntl, signal, struct, time
(kind, where, holder, operation), expected = json.loads(os.environ["ROW"])
fresh_file(0o664, OWNER, GROUP)
byte = {"writer byte": int(os.environ["WRITER"]), "edit byte": int(os.environ["EDIT"])}.get(where)

def hold():
    """Takes the lock in a child as the holder, who may read the file or also write it; returns its pid."""
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.setgroups([GROUP] if holder == "a writer" else [])
        os.setresgid(OTHER, OTHER, OTHER)
        os.setresuid(OTHER, OTHER, OTHER)
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

def run():
    from kestra_ini import _disk
    from kestra_ini.cli import main
    from kestra_ini.ini_main import KestraIniMain
    _disk.LOCK_WAIT_SECONDS = 2
    if operation.startswith("command line"):
        return main([path, "set", "a", "x", "2"])
    if operation.endswith(", alarm"):
        def ring(*_):
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

pid = hold()
try:
    start = time.monotonic()
    outcome = as_user(0, run)
    took = time.monotonic() - start
finally:
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
changed = b"x = 2" in open(path, "rb").read()
done = outcome in (0, "['a', 'keep']") and changed == (operation != "load")
if expected == "quick":
    assert done and took < 1.5, (outcome, took)
elif expected == "after the edit's wait":
    assert done and 1.5 < took < 6, (outcome, took)
elif expected == "after the writers' wait":
    assert done and 9.5 < took < 15, (outcome, took)
elif expected == "busy":
    low, high = (1.5, 6) if operation.startswith("command line") else (19, 26)
    assert outcome != 0 and not changed and low < took < high, (outcome, took)
else:
    assert "the alarm rang" in str(outcome) and not changed and took < 1.5, (outcome, took)
'''


@pytest.mark.parametrize("row", LOCKS, ids=" / ".join)
def test_a_lock_held_by_others_is_waited_for_within_bounds(shim, folder, row):
    linux_only(row)
    run_with_shim(LOCK_CASE, shim, FOLDER=folder, ROW=json.dumps([row, LOCKS[row]]), WRITER=str(WRITER),
                  EDIT=str(EDIT))


# One writer at a time per file, whatever its name: two names of one hard-linked file, in two directories,
# written at once by stores or by command-line edits, while a store loads through the first name.
TWO_NAMES = r'''
import configparser, os, re, sys
from kestra_ini.cli import main
from kestra_ini.ini_main import KestraIniMain
who, path, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
SHAPE = re.compile(r"(\d+)-(x*)")
for n in range(rounds):
    if who == "loader":
        for name, section in KestraIniMain(path)._get_all().items():
            for value in section.values() if name != "s" else ():  # a whole saved value: as long as it says
                m = SHAPE.fullmatch(value)
                assert m and len(m[2]) == int(m[1]) * 37 % 900, value[:40]
    elif who.startswith("store"):
        store = KestraIniMain(path)
        store._set_all({who: {"v": f"{n}-{'x' * (n * 37 % 900)}"}, "pad": {"p": f"{n % 3}-{'x' * (n % 3 * 37 % 900)}"}})
    else:
        assert main([path, "set", "s", f"{who}_{n}", f"{n}-"]) == 0
'''


@pytest.mark.parametrize("writers", ["stores", "command-line edits"])
def test_two_names_of_one_file_are_written_one_at_a_time(tmp_path, writers):
    import subprocess
    import sys

    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    first, second = tmp_path / "a" / "settings.ini", tmp_path / "b" / "twin.ini"
    first.write_text("[s]\nfirst = 1-\n")
    os.link(first, second)
    prefix = "store" if writers == "stores" else "edit"
    jobs = [(f"{prefix}{i}", str(name), 40 if writers == "stores" else 30)
            for i, name in enumerate([first, second, first, second])]
    jobs.append(("loader", str(first), 60))
    children = [subprocess.Popen([sys.executable, "-c", TWO_NAMES, *map(str, job)], stderr=subprocess.PIPE)
                for job in jobs]
    errors = [child.communicate(timeout=300)[1].decode()[-800:] for child in children]
    assert [child.returncode for child in children] == [0] * len(jobs), errors
    engine = configparser.ConfigParser()
    engine.read(first, encoding="utf-8-sig")  # whole: no NUL bytes, no torn lines
    assert os.stat(first).st_ino == os.stat(second).st_ino
    if writers == "command-line edits":
        assert dict(engine["s"]) == {"first": "1-", **{f"edit{i}_{n}": f"{n}-" for i in range(4) for n in range(30)}}


# A load that starts while an in-place save is held open at one call (a delay rule of the shim) waits for
# that save to finish, never puts the old text back under it, and reads the new text.
RACES = {"while the file is torn": "ftruncate:1:-700", "while the journal is removed": "unlink:1:-700"}

RACE_CASE = HARNESS + r'''
import time
fresh_file()
def save():
    shim = ctypes.CDLL(os.environ["SHIM"])
    shim.shim_arm.argtypes = [ctypes.c_char_p, ctypes.c_long]
    from kestra_ini._durable import replace_file
    shim.shim_arm(os.environ["RULES"].encode(), 0)
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
'''


@pytest.mark.parametrize("race", RACES)
def test_a_load_during_an_in_place_save_waits_for_it(shim, folder, race):
    linux_only(race)
    run_with_shim(RACE_CASE, shim, FOLDER=folder, RULES=RACES[race])
