"""A FIFO is opened once, by the read itself: a writer already waiting for its reader hands its bytes to that read.
Nothing else may open the FIFO first: that open lets the writer go, its bytes are gone with the first reader, and
the read's own open then waits for a writer that never comes.

Run as `python -m test_fifo_load READER PATH` it is the reading child: with the fault shim preloaded, the first
close of the read is held back, so that a writer let go by an earlier open has finished by then."""
from __future__ import annotations

import ctypes
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent


def feed(path: Path, data: bytes) -> None:
    descriptor = os.open(path, os.O_WRONLY)  # waits for a reader's open
    try:
        os.write(descriptor, data)
    except BrokenPipeError:
        pass
    finally:
        os.close(descriptor)


@pytest.mark.parametrize("reader", ["store", "command line"])
@pytest.mark.parametrize("held", [False, True], ids=["as it comes", "first close held back"])
def test_a_waiting_writer_feeds_the_one_open(tmp_path: Path, reader: str, held: bool, request) -> None:
    path = tmp_path / "pipe.ini"
    os.mkfifo(path)
    writer = threading.Thread(target=feed, args=(path, b"[s]\nk = from the writer\n"), daemon=True)
    writer.start()
    time.sleep(0.3)  # the writer now waits in its open
    env = dict(os.environ)
    if held:
        shim = request.getfixturevalue("shim")
        env.update(SHIM=shim, LD_PRELOAD=" ".join(p for p in (os.environ.get("LD_PRELOAD"), shim) if p))
    try:
        done = subprocess.run([sys.executable, "-m", "test_fifo_load", reader, str(path)], capture_output=True,
                              text=True, timeout=20, stdin=subprocess.DEVNULL, cwd=HERE, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail("the read waited for a writer that had already been let go")
    assert (done.returncode, done.stdout) == (0, "from the writer\n"), done.stderr


def child(reader: str, path: str) -> None:
    from kestra_ini import _disk
    from kestra_ini.ini_main import KestraIniMain

    if "SHIM" in os.environ:
        shim = ctypes.CDLL(os.environ["SHIM"])
        shim.shim_arm.argtypes = [ctypes.c_char_p, ctypes.c_long]
        shim.shim_arm(b"close:1:-500", 0)
    if reader == "store":
        print(KestraIniMain(path)._get("s", "k"))
    else:  # what the command line reads before it parses
        print((_disk.read(path) or b"").decode().split(" = ")[-1], end="")


if __name__ == "__main__":
    child(*sys.argv[1:])
