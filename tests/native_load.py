"""One load in a fresh interpreter, for what only a whole process shows.

    python -m native_load peak WAY PATH
        prints the load's peak resident memory, in KiB above what was resident before it
    python -m native_load interrupt WAY PATH
        loads PATH into a store, interrupted by a SIGALRM handler 50 ms in; prints,
        as JSON, whether KeyboardInterrupt came out of the load, how many seconds it
        took, and how many sections the store's engine then held

WAY is one of paths.WAYS, or "configparser": the engine's own read, called directly.
"""
from __future__ import annotations

import configparser
import json
import signal
import sys
import time

import paths
from kestra_ini.ini_main import KestraIniMain


def status(field: str) -> int:
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(field + ":"))


def peak(way: str, path: str) -> int:
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak starts again from what is resident now
    before = status("VmRSS")
    if way == "configparser":
        configparser.ConfigParser().read(path, encoding="utf-8-sig")
    else:
        with paths.taken(way):
            KestraIniMain(path)
    return status("VmHWM") - before


def interrupted(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def interrupt(way: str, path: str) -> dict[str, object]:
    empty = path + ".empty"
    open(empty, "w").close()
    store = KestraIniMain(empty)
    store._path = path
    signal.signal(signal.SIGALRM, interrupted)
    started = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        with paths.taken(way):
            store._set_path()
        stopped = False
    except KeyboardInterrupt:
        stopped = True
    return {"interrupted": stopped, "seconds": time.monotonic() - started, "sections": len(store._config._sections)}


if __name__ == "__main__":
    command, way, path = sys.argv[1:]
    print(json.dumps(peak(way, path) if command == "peak" else interrupt(way, path)))
