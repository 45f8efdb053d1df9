"""A journal, a link or a lock that someone else made never makes the store write what they choose, undo a
change, lose a setting, fail or hang where open(path, "w+") would not (src/ini_main/disk/PROTOCOL.md).

Each case runs in a child as root that takes real other uids in forked grandchildren: the file's owner
(OWNER), another user (OTHER) and root, each with a private state directory of its own. A save killed by the
fault shim (fault_shim.c) part way through its in-place write leaves a torn file and a genuine journal in the
saver's private directory; each case then changes the file, the journal, or plants something of another user,
and a fresh process loads the file. The cases and their tables are in trust_child.py."""
import configparser
import json
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

from conftest import kernel_setting, run_module, shim_env
from trust_child import JOURNALS, LINKS, LOCKS, OTHER, OWNER, PRIVATE_DIRECTORIES, RACES, SAVES, SPELLINGS

# Set by tools/test-portable. That build has no birth time to tell a reused inode, no extended attributes and
# flock() for its locks, which the rows below need.
PORTABLE = os.environ.get("KESTRA_PORTABLE") == "1"
# Its flock() cannot tell a writer's lock from a reader's either, so a load waits for neither longer than a
# reader's lock allows (L5); nor does it see the byte locks the holders below take, the edits' included (L6).
LINUX_ONLY = {"the file replaced since", "a directory with a default ACL", ("write lock", "writer byte"),
              ("read lock", "writer byte"), ("write lock", "edit byte"), ("read lock", "edit byte"),
              ("flock", "file"), "while the file is torn",
              "while the journal is removed"}


def linux_only(case):
    if PORTABLE and (case in LINUX_ONLY or tuple(case[:2]) in LINUX_ONLY):
        pytest.skip("needs a feature that the portable build leaves out")


pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="other users' files need root to set up")


@pytest.fixture
def folder(monkeypatch):
    # A sticky directory that everyone may write to, as the system's temporary directory is; not pytest's own
    # tree, which other users cannot reach. Beside it, each user's state home (STATE/uid), as XDG_STATE_HOME.
    top = tempfile.mkdtemp(prefix="trust-")
    os.chmod(top, 0o1777)
    state = tempfile.mkdtemp(prefix="trust-state-")
    os.chmod(state, 0o755)
    for uid in (0, OWNER, OTHER):
        os.mkdir(os.path.join(state, str(uid)), 0o700)
        os.chown(os.path.join(state, str(uid)), uid, uid)
    monkeypatch.setenv("STATE", state)
    yield top
    shutil.rmtree(top)
    shutil.rmtree(state)


def run_case(shim, table, key, **env):
    """Runs one row of a table of trust_child in a fresh interpreter as root, the shim preloaded."""
    run_module("trust_child", table, json.dumps(key), timeout=300, env={**shim_env(shim), **env})


@pytest.mark.parametrize("case", JOURNALS)
def test_only_a_genuine_journal_of_the_files_writers_is_obeyed(shim, folder, case):
    linux_only(case)
    run_case(shim, "journals", case, FOLDER=folder)


@pytest.mark.parametrize("case", SAVES)
def test_a_save_goes_on_where_open_would(shim, folder, case):
    linux_only(case)
    run_case(shim, "saves", case, FOLDER=folder)


@pytest.mark.parametrize("case", PRIVATE_DIRECTORIES)
def test_journals_go_only_into_a_directory_nobody_else_can_write(shim, folder, case):
    run_case(shim, "private", case, FOLDER=folder)


@pytest.fixture
def protected_symlinks():
    with kernel_setting("protected_symlinks", "1"):
        yield


@pytest.mark.parametrize("row", LINKS, ids=str)
def test_links_are_followed_as_the_kernel_follows_them(shim, folder, protected_symlinks, row):
    private = tempfile.mkdtemp(prefix="trust-target-")
    os.chmod(private, 0o777)
    try:
        run_case(shim, "links", row, FOLDER=folder, PRIVATE=private)
    finally:
        shutil.rmtree(private)


@pytest.mark.parametrize("case", SPELLINGS)
def test_an_unread_file_is_refused_by_any_name(shim, folder, case):
    run_case(shim, "spellings", case, FOLDER=folder)


@pytest.mark.parametrize("row", LOCKS, ids=" / ".join)
def test_a_lock_held_by_others_is_waited_for_within_bounds(shim, folder, row):
    linux_only(row)
    run_case(shim, "locks", row, FOLDER=folder)


# One writer at a time per file, whatever its name: two names of one hard-linked file, in two directories,
# written at once by stores or by command-line edits, while a store loads through the first name.
@pytest.mark.parametrize("writers", ["stores", "command-line edits"])
def test_two_names_of_one_file_are_written_one_at_a_time(tmp_path, writers):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    first, second = tmp_path / "a" / "settings.ini", tmp_path / "b" / "twin.ini"
    first.write_text("[s]\nfirst = 1-\n")
    os.link(first, second)
    prefix = "store" if writers == "stores" else "edit"
    jobs = [(f"{prefix}{i}", str(name), 40 if writers == "stores" else 30)
            for i, name in enumerate([first, second, first, second])]
    jobs.append(("loader", str(first), 60))
    children = [subprocess.Popen([sys.executable, "-m", "trust_child", "two-names", *map(str, job)],
                                 cwd=os.path.dirname(__file__), stderr=subprocess.PIPE) for job in jobs]
    errors = [child.communicate(timeout=300)[1].decode()[-800:] for child in children]
    assert [child.returncode for child in children] == [0] * len(jobs), errors
    engine = configparser.ConfigParser()
    engine.read(first, encoding="utf-8-sig")  # whole: no NUL bytes, no torn lines
    assert os.stat(first).st_ino == os.stat(second).st_ino
    if writers == "command-line edits":
        assert dict(engine["s"]) == {"first": "1-", **{f"edit{i}_{n}": f"{n}-" for i in range(4) for n in range(30)}}


@pytest.mark.parametrize("race", RACES)
def test_a_load_during_an_in_place_save_waits_for_it(shim, folder, race):
    linux_only(race)
    run_case(shim, "races", race, FOLDER=folder)
