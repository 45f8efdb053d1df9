"""Each system call of a save failing in turn, or the process dying just after it.

A shim preloaded into a child process (fault_shim.c) logs the save's calls,
fails the Nth call of a name with an errno, or kills the process after the
Kth call. Each layout takes a different road through the save: a new file
renamed over the old one (unnamed or named temporary, a name at the length
limit), or the old file written over in place behind a journal (hard links,
a file whose owner a new file could not keep). The checks are in save_fault_child.py."""
import os
import shutil
import tempfile

import pytest

from conftest import run_module, shim_env

LAYOUTS = ["rename", "named", "long name", "hard link", "long hard link", "non-owner", "mount point"]


@pytest.fixture(params=LAYOUTS)
def layout(request):
    if request.param == "non-owner" and os.geteuid() != 0:
        pytest.skip("taking another user's identity needs root")
    folder = tempfile.mkdtemp(prefix="fault-save-")
    os.chmod(folder, 0o777)  # the non-owner may create files here
    yield request.param, folder
    shutil.rmtree(folder)


def run_check(check, shim, **env):
    run_module("save_fault_child", check, timeout=300, env={**shim_env(shim), **env})


def run_harness(check, shim, layout):
    """Runs a check; the saver's private directory lives in a fresh state home of its own, except where the
    layout says that no private directory can be had."""
    if layout[0] == "refusing directory":
        run_check(check, shim, LAYOUT=layout[0], FOLDER=layout[1], HOME="/nonexistent", XDG_STATE_HOME="")
        return
    top = tempfile.mkdtemp(prefix="fault-state-")
    os.chmod(top, 0o755)
    state = os.path.join(top, "state")
    os.mkdir(state, 0o700)
    os.chown(state, 65534 if layout[0] == "non-owner" else 0, -1)
    try:
        run_check(check, shim, LAYOUT=layout[0], FOLDER=layout[1], XDG_STATE_HOME=state)
    finally:
        shutil.rmtree(top)


def test_each_failing_call_leaves_the_old_file_and_reports_it(shim, layout):
    run_harness("failures", shim, layout)


def test_a_crash_after_any_call_leaves_the_old_or_the_new_state(shim, layout):
    run_harness("crashes", shim, layout)


def test_the_text_is_durable_before_it_takes_the_name(shim, layout):
    run_harness("order", shim, layout)


@pytest.mark.skipif(os.geteuid() != 0, reason="a directory that refuses root needs another user to save")
@pytest.mark.parametrize("harness", ["failures", "refused"], ids=["failing calls", "kills"])
def test_where_no_journal_can_exist_the_file_is_written_over(shim, harness):
    folder = tempfile.mkdtemp(prefix="fault-save-")
    try:
        run_harness(harness, shim, ("refusing directory", folder))
    finally:
        shutil.rmtree(folder)


def test_stale_temporaries_of_long_names_are_told_apart(shim, tmp_path):
    run_check("leftovers", shim, FOLDER=str(tmp_path))
