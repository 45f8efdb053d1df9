"""The child of test_cli_edits.py's recovery test, run from tests/ under the fault shim as

    python -m cli_recovery_child

with FOLDER and XDG_STATE_HOME in the environment. A save of NEW over OLD, written in place (the file has a
second name), is killed after each of its calls in turn; the command line then reads the file, whole. A failed check
raises, so the interpreter exits non-zero.
"""
from __future__ import annotations

import os

from child_process import Shim
from kestra_ini import _durable
from kestra_ini.cli import main

OLD, NEW = b"# kept\n[a]\nx = 1\n", b"[a]\nx = 22222222\ny = 2\n"


def read(path: str, size: int = -1) -> bytes:
    with open(path, "rb") as file:
        return file.read(size)


def killed_saves_are_put_back(folder: str, state: str) -> None:
    shim = Shim()
    path = os.path.join(folder, "settings.ini")
    private = os.path.join(state, "kestra-ini")  # where this user's journals live
    torn = 0
    for crash in range(1, 100):
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        with open(path, "wb") as file:
            file.write(OLD)
        os.link(path, os.path.join(folder, "twin.ini"))  # a second name: the save writes over the file in place
        pid = os.fork()
        if pid == 0:
            shim.arm("", crash)
            _durable.replace_file(path, NEW)
            os._exit(0)
        if not os.WIFSIGNALED(os.waitpid(pid, 0)[1]):
            break  # the save ran to its end
        journals = [os.path.join(private, n) for n in (os.listdir(private) if os.path.isdir(private) else [])
                    if n.endswith(".journal")]
        # A journal whose magic is wiped belongs to a save that committed; only a hot one undoes it.
        journal = any(read(j, 8) != bytes(8) for j in journals)
        before = read(path)
        torn += journal and before != OLD
        assert main([path, "sections"]) == 0
        data = read(path)
        # A journal means the save never ended: a file it had begun to write is completed to the new text, one
        # it had not touched keeps the old.
        assert data in (OLD, NEW) and (not journal or (data == OLD) == (before == OLD)), crash
        assert sorted(os.listdir(folder)) == ["settings.ini", "twin.ini"], crash
    assert torn, "no kill landed inside the in-place write"


if __name__ == "__main__":
    killed_saves_are_put_back(os.environ["FOLDER"], os.environ["XDG_STATE_HOME"])
