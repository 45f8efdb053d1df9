"""Processes and threads working on one file at once never see a torn file."""
import os
import subprocess
import sys

from conftest import run_module

TESTS = os.path.dirname(__file__)


def start(*args):
    """A process of concurrency_child, started; its error output is kept."""
    return subprocess.Popen([sys.executable, "-m", "concurrency_child", *map(str, args)], cwd=TESTS,
                            stderr=subprocess.PIPE, text=True)


def seed(path):
    run_module("concurrency_child", "seed", path)


def test_processes_on_one_file_never_read_a_partial_file(tmp_path):
    (tmp_path / "data").mkdir()
    path, stop = tmp_path / "data" / "settings.ini", tmp_path / "stop"
    seed(path)
    jobs = [("work", path, f"p{n}", 300) for n in range(3)]
    jobs.append(("read", path, stop))  # reads until the writers are done
    children = [start(*job) for job in jobs]
    errors = [child.communicate(timeout=300)[1] for child in children[:-1]]
    stop.touch()
    errors.append(children[-1].communicate(timeout=300)[1])
    assert [child.returncode for child in children] == [0] * len(jobs), errors
    # The last save wins: whatever it held, the file is whole and loads.
    run_module("concurrency_child", "check", path)
    assert os.listdir(path.parent) == ["settings.ini"]


def test_threads_sharing_one_store_or_owning_one_each(tmp_path):
    path = tmp_path / "settings.ini"
    seed(path)
    for mode in ("own", "shared"):
        done = subprocess.run([sys.executable, "-m", "concurrency_child", "threads", str(path), mode], cwd=TESTS,
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, (mode, done.stdout[-2000:], done.stderr[-3000:])
    assert sorted(os.listdir(tmp_path)) == ["settings.ini"]
