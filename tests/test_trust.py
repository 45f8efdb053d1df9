"""A journal, a link or a lock that someone else made never makes the store write what they choose, lose a
setting, fail or hang where open(path, "w+") would not.

Each case runs in a child as root that takes real other uids in forked grandchildren: the file's owner
(OWNER), another user (OTHER) and root. A save killed by the fault shim (fault_shim.c) part way through its
in-place write leaves a torn file and a genuine journal; each case then changes what stands at the journal's
path, or the file, and a fresh process loads the file."""
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
LINUX_ONLY = {"the file replaced since", "a directory with a default ACL", ("write lock", "writer byte"),
              ("read lock", "writer byte"), ("flock", "file")}


def linux_only(case):
    if PORTABLE and (case in LINUX_ONLY or tuple(case[:2]) in LINUX_ONLY):
        pytest.skip("needs a feature that the portable build leaves out")

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="other users' files need root to set up")

HARNESS = r'''
import configparser, ctypes, io, json, os, shutil, stat, subprocess, sys

# Imported here: the children that run as other users cannot read the interpreter's own files, and the
# store's native paths need some of them.
from kestra_ini import _disk, ini_main

folder, case = os.environ["FOLDER"], os.environ.get("CASE", "")
OWNER, OTHER, GROUP = 4321, 65534, 777
path = os.path.join(folder, "settings.ini")
journal = os.path.join(folder, ".settings.ini.ini-journal")

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
    with open(path, "wb") as f:
        f.write(OLD)
    os.link(path, os.path.join(folder, "twin.ini"))  # a second name: saves go in place, behind the journal
    os.chown(path, owner, group)
    os.chmod(path, mode)

def save_killed(uid=0, groups=(), content=NEW):
    """An in-place save of `content` by `uid`, killed just after its last write of the file's text."""
    def work():
        shim = ctypes.CDLL(os.environ["SHIM"])
        shim.shim_arm.argtypes = [ctypes.c_char_p, ctypes.c_long]
        shim.shim_disarm.restype = ctypes.c_char_p
        from kestra_ini._durable import replace_file
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
    assert torn not in (OLD, content) and os.path.exists(journal), torn
    return torn

def load(who):
    """A process that has not loaded the store before loads the file: the store as the owner or as another
    user (a forked child: other users cannot run this interpreter), root's command line, or another user's
    command line reading the file. Its exit code and output."""
    if who == "root's command line":
        run = subprocess.run([sys.executable, "-m", "kestra_ini", path, "sections"], capture_output=True,
                             text=True, timeout=60, stdin=subprocess.DEVNULL)
        return run.returncode, run.stdout + run.stderr
    def work():
        if who == "other user's command line":
            return _disk.read(path).decode("utf-8-sig")
        if who.endswith("patched"):  # the engine's own code reads, not the native one
            reader = configparser.RawConfigParser._read
            configparser.RawConfigParser._read = lambda self, fp, name: reader(self, fp, name)
        return str(ini_main.KestraIniMain(path)._get_all())
    out = as_user(OTHER if who.startswith("other user") else OWNER, work)
    return (1 if out.startswith("raised") else 0), out

def state():
    """The file's bytes and what stands at the journal's path (None: nothing)."""
    try:
        st = os.lstat(journal)
    except FileNotFoundError:
        there = None
    else:
        there = (stat.S_IFMT(st.st_mode), st.st_uid, st.st_size,
                 open(journal, "rb").read() if stat.S_ISREG(st.st_mode) and st.st_size < 1 << 20 else b"")
    return open(path, "rb").read(), there
'''

# What stands at the journal's path after a killed save, and what a load must do with it: "restore" (the
# old text back, the journal gone), "read old" (the old text loaded, file and journal untouched), "ignore"
# (file and journal untouched, the load succeeds), "stale" (the file untouched, the journal removed). Each
# setup gets the torn bytes and the genuine journal's bytes.
JOURNALS = {
    # Only someone who may write the file anyway is obeyed.
    "genuine": ("restore", ""),
    # A user who may only read the file writes nothing: they read the old text where they may read the
    # journal, else what open() reads.
    "genuine, loaded by a user who may only read the file": (
        "read old", "LOADERS = ['other user', 'other user, configparser patched', \"other user's command line\"]"),
    "genuine, unreadable to a user who may only read the file": (
        "ignore", "LOADERS = ['other user', \"other user's command line\"]; os.chmod(journal, 0o600)"),
    "another user's": ("ignore", "os.chown(journal, OTHER, OTHER)"),
    "another user's, the file world-writable": ("restore", "os.chown(journal, OTHER, OTHER); os.chmod(path, 0o666)"),
    "a group member's, the file group-writable": (
        "restore", "os.chown(path, OWNER, GROUP); os.chmod(path, 0o664); os.chown(journal, OTHER, GROUP)"),
    "another group's, the file group-writable": (
        "ignore", "os.chown(path, OWNER, GROUP); os.chmod(path, 0o664); os.chown(journal, OTHER, OTHER)"),
    "writable by its group": ("ignore", "os.chmod(journal, 0o664)"),
    "a symbolic link to a genuine one": (
        "ignore", "os.rename(journal, path + '.j'); os.symlink(path + '.j', journal)"),
    "a second name of a genuine one": ("ignore", "os.link(journal, path + '.j')"),
    "a FIFO": ("ignore", "os.unlink(journal); os.mkfifo(journal); os.chown(journal, OWNER, OWNER)"),
    "a directory": ("ignore", "os.unlink(journal); os.mkdir(journal); os.chown(journal, OWNER, OWNER)"),
    "unreadable": ("ignore", "os.chown(journal, OTHER, OTHER); os.chmod(journal, 0o600)"),
    # Obeyed only to undo the very save it records.
    "the new text whole in the file": ("restore", "open(path, 'wb').write(NEW)"),
    "a corrupt old text": ("stale", "open(journal, 'r+b').write(bytes(8)) if False else "
                                    "(f := open(journal, 'r+b'), f.seek(64), f.write(bytes(8)), f.close())"),
    "cut short": ("stale", "os.truncate(journal, os.path.getsize(journal) - 1)"),
    "committed": ("stale", "(f := open(journal, 'r+b'), f.write(bytes(8)), f.close())"),
    "the file changed since": ("stale", "(f := open(path, 'r+b'), f.write(b'\\xef\\xbb\\xbf[b]\\n'), f.close())"),
    "the file replaced since": (
        "stale", "data = open(path, 'rb').read(); os.unlink(path); os.unlink(os.path.join(folder, 'twin.ini'));"
                 "open(path + '.new', 'wb').write(data); os.chown(path + '.new', OWNER, OWNER);"
                 "os.rename(path + '.new', path)"),
    "claiming a gigabyte": ("stale", "(f := open(journal, 'r+b'), f.seek(8 + 24), "
                                     "f.write((1 << 30).to_bytes(8, 'little')), f.close());"
                                     "os.truncate(journal, 64 + (1 << 30) + len(NEW))"),
}

JOURNAL_CASE = HARNESS + r'''
expectation, setup = os.environ["EXPECT"], os.environ["SETUP"]
LOADERS = ["owner", "root's command line"]
exec(setup.split(";")[0] if setup.startswith("LOADERS") else "")
for who in LOADERS:
    fresh_file()
    torn = save_killed()
    exec(setup)
    before = state()
    code, out = load(who)
    assert code == 0, (who, out)
    after = state()
    if expectation == "read old":
        assert after == before and out in (str(OLD_STATE), OLD.decode("utf-8-sig")), (who, out[:60])
    elif expectation == "restore":
        # Only its owner (or root) may remove another user's journal from a sticky directory.
        gone = after[1] is None or (after[1][1] == OTHER and who == "owner")
        assert after[0] == OLD and gone and "keep" in out, (who, after[0][:60], after[1])
    elif expectation == "ignore":
        assert after == before, (who, after[0][:60], before[1], after[1])
    else:
        assert after[0] == before[0] and after[1] is None, (who, after[0][:60], after[1])
'''


@pytest.fixture
def folder():
    # A sticky directory that everyone may write to, as the system's temporary directory is; not pytest's own
    # tree, which other users cannot reach.
    top = tempfile.mkdtemp(prefix="trust-")
    os.chmod(top, 0o1777)
    yield top
    shutil.rmtree(top)


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
    # A file system without record locks (ENOLCK on some network ones) still saves.
    "locks refused": dict(rules="fcntl:1:37"),
    "a FIFO at the journal's path": dict(setup="os.mkfifo(journal)", keep=True),
    "another user's file there": dict(setup="open(journal, 'wb').write(b'x'); os.chown(journal, OTHER, OTHER)",
                                      keep=True),
    "a directory there": dict(setup="os.mkdir(journal)", keep=True),
    "a link to the file there": dict(setup="os.symlink(path, journal)", keep=True),
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
data, there = state()
assert configparser.ConfigParser().read_string(data.decode("utf-8-sig")) is None and b"x = 2" in data, data
assert os.stat(path).st_mode & 0o7777 == row.get("mode", 0o644), oct(os.stat(path).st_mode)
if row.get("in_place"):
    assert "|" + journal + "|" in log and os.stat(path).st_ino == inode, log
if row.get("keep"):
    assert there == before[1], (there, before[1])
if "attributes" in row:
    assert os.listxattr(path) == row["attributes"], os.listxattr(path)
'''


@pytest.mark.parametrize("case", SAVES)
def test_a_save_goes_on_where_open_would(shim, folder, case):
    linux_only(case)
    run_with_shim(SAVE_CASE, shim, FOLDER=folder, ROW=json.dumps(SAVES[case]))


# Who may read the journal may read the file: it is created 0600 and then takes the file's owner, group and
# read bits where the saver may give them. (file mode, file group, saver, saver's groups) -> journal's
# (owner, group, mode).
JOURNAL_PERMISSIONS = [
    ((0o640, "GROUP", 0, ()), ("OWNER", "GROUP", 0o640)),
    ((0o604, "GROUP", 0, ()), ("OWNER", "GROUP", 0o604)),
    ((0o666, "GROUP", "OTHER", ()), ("OTHER", "OTHER", 0o604)),
    ((0o660, "GROUP", "OTHER", ("GROUP",)), ("OTHER", "GROUP", 0o640)),
]

PERMISSIONS_CASE = HARNESS + r'''
(mode, group, saver, groups), expected = json.loads(os.environ["ROW"])
names = {"OWNER": OWNER, "OTHER": OTHER, "GROUP": GROUP, 0: 0}
fresh_file(mode, OWNER, names[group])
save_killed(names[saver], [names[g] for g in groups])
st = os.stat(journal)
assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (names[expected[0]], names[expected[1]], expected[2]), (
    st.st_uid, st.st_gid, oct(st.st_mode))
'''


@pytest.mark.parametrize("row", JOURNAL_PERMISSIONS, ids=str)
def test_whoever_may_read_the_journal_may_read_the_file(shim, folder, row):
    run_with_shim(PERMISSIONS_CASE, shim, FOLDER=folder, ROW=json.dumps(row))


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


# Locks that others hold on the file, its lock bytes or its directory. The store's in-place writers lock one
# byte far beyond the end of the file, the command line's edits the next one; only a descriptor open for
# writing can take a write lock there. Each row: (what a holder takes, as whom, which operation runs) ->
# "quick" (done at once), "after the wait" (done, once the bounded wait gave up on a mere reader's lock),
# "busy" (refused after the wait: a writer of the file holds it), "interrupted" (a signal ended the wait).
WRITER, EDIT = 0x7FFFFFFFFFFF0000, 0x7FFFFFFFFFFF0001
LOCKS = {
    ("read lock", "writer byte", "a reader", "in-place save"): "after the wait",
    ("read lock", "writer byte", "a reader", "load"): "quick",
    ("write lock", "writer byte", "a writer", "load"): "after the wait",
    ("write lock", "writer byte", "a writer", "in-place save"): "busy",
    ("write lock", "writer byte", "a writer", "in-place save, alarm"): "interrupted",
    ("flock", "file", "a reader", "in-place save"): "quick",
    ("flock", "directory", "a reader", "command line set"): "quick",
    ("read lock", "edit byte", "a reader", "command line set"): "after the wait",
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
    if operation.endswith("alarm"):
        def ring(*_):
            raise TimeoutError("the alarm rang")
        signal.signal(signal.SIGALRM, ring)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
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
elif expected == "after the wait":
    assert done and 1.5 < took < 6, (outcome, took)
elif expected == "busy":
    assert outcome != 0 and not changed and 1.5 < took < 6, (outcome, took)
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
assert loaded == (0, "{'a': {'x': '2'}}") and state() == (NEW, None), (loaded, state())
'''


@pytest.mark.parametrize("race", RACES)
def test_a_load_during_an_in_place_save_waits_for_it(shim, folder, race):
    run_with_shim(RACE_CASE, shim, FOLDER=folder, RULES=RACES[race])
