"""The locks of the command line's edits (rules L2, L3, L6 and L7 of src/ini_main/disk/PROTOCOL.md): a reader
holding read locks on every lock byte of the file delays an edit by about 100 ms at most and makes no change be
lost; a writer is waited for while it keeps changing the file.

Run as `python -m test_edit_lock PATH WHO ROUNDS` it is one editor: ROUNDS `kestra-ini set` of its own options."""
from __future__ import annotations

import configparser
import fcntl
import os
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
# The store's writers, the command line's edits and the edits a reader kept out (src/ini_main/disk/file_lock.hpp).
LOCK_BYTES = (0x7FFFFFFFFFFF0000, 0x7FFFFFFFFFFF0001, 0x7FFFFFFFFFFF0002)
EDITORS, ROUNDS = 6, 15


def read_locked(path: Path) -> int:
    """A descriptor of the file holding read locks on all its lock bytes, as anyone who may read it can."""
    holder = os.open(path, os.O_RDONLY)
    for byte in LOCK_BYTES:
        fcntl.fcntl(holder, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_RDLCK, os.SEEK_SET, byte, 1, 0))
    return holder


@pytest.fixture
def edited(private_home: Path) -> Path:
    path = private_home / "settings.ini"
    path.write_bytes(b"# kept\n[s]\nfirst = 1\n")
    return path


@pytest.mark.skipif(not hasattr(fcntl, "F_OFD_SETLK"), reason="open-file-description locks are Linux's")
@pytest.mark.parametrize("save, editors, rounds", [("by rename", EDITORS, ROUNDS), ("in place", EDITORS, ROUNDS),
                                                    ("by rename", 64, 5)])
def test_edits_behind_a_readers_locks_all_land(edited: Path, save: str, editors: int, rounds: int) -> None:
    """L6, L7: with every lock byte read-locked, the edits take turns on the byte after the edit byte and
    serialise through the compare inside the save; many at once lose none."""
    if save == "in place":
        os.link(edited, edited.with_name("twin.ini"))
    holder = read_locked(edited)
    try:
        children = [subprocess.Popen([sys.executable, "-m", "test_edit_lock", str(edited), str(who), str(rounds)],
                                     cwd=HERE, stdin=subprocess.DEVNULL) for who in range(editors)]
        assert [child.wait(timeout=600) for child in children] == [0] * editors
    finally:
        os.close(holder)
    engine = configparser.ConfigParser()
    engine.read(edited)
    wanted = {f"p{who}_{n}": str(n) for who in range(editors) for n in range(rounds)}
    assert dict(engine["s"]) == {"first": "1", **wanted}
    assert edited.read_text().startswith("# kept\n[s]\nfirst = 1\n")


@pytest.mark.skipif(not hasattr(fcntl, "F_OFD_SETLK"), reason="open-file-description locks are Linux's")
def test_a_reader_delays_an_edit_briefly(edited: Path) -> None:
    """L2, L6: the edit byte and the save's writer byte are passed over within about 100 ms in all."""
    from kestra_ini.cli import main

    holder = read_locked(edited)
    try:
        start = time.monotonic()
        assert main([str(edited), "set", "s", "k", "v"]) == 0
        took = time.monotonic() - start
    finally:
        os.close(holder)
    assert took < 0.5, took
    assert b"k = v" in edited.read_bytes()


@pytest.mark.skipif(not hasattr(fcntl, "F_OFD_SETLK"), reason="open-file-description locks are Linux's")
@pytest.mark.parametrize("writing, outcome", [(True, "locked"), (False, "writer")], ids=["saving", "stuck"])
def test_a_writer_is_given_up_on_only_once_it_stops_changing_the_file(edited: Path, writing: bool,
                                                                     outcome: str) -> None:
    """L3: writers saving one after another, however slowly, are waited for past the writers' bound (here
    0.5 s); one that holds the lock over an unchanged file is given up on at that bound."""
    from kestra_ini import _durable

    other = os.open(edited, os.O_RDWR)
    fcntl.fcntl(other, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, LOCK_BYTES[1], 1, 0))

    def hold() -> None:
        for n in range(30):
            if writing:
                os.pwrite(other, b"#%02d" % n, 0)
            time.sleep(0.05)
        os.close(other)

    holder = threading.Thread(target=hold)
    mine = os.open(edited, os.O_RDWR)
    try:
        holder.start()
        start = time.monotonic()
        got = _durable.lock(mine, "edit", 0.0, 0.5)
        took = time.monotonic() - start
    finally:
        os.close(mine)
        holder.join()
    assert got == outcome
    assert 1.3 < took < 5 if writing else 0.4 < took < 1.3, took


def editor(path: str, who: str, rounds: str) -> None:
    from kestra_ini.cli import main

    for n in range(int(rounds)):
        assert main([path, "set", "s", f"p{who}_{n}", str(n)]) == 0


if __name__ == "__main__":
    editor(*sys.argv[1:])
