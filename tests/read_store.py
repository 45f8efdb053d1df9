"""A store's load of one kind of file, in a fresh interpreter: what it loaded or raised, and its opens.

    python -m read_store CASE WAY PATH

CASE names an entry of READS: the bytes written to PATH (none: no file), and
what is set up before the load (a FIFO and its writer, a signal). WAY is one
of paths.WAYS. Prints the store's content or the error, then the "open" audit
events of PATH, which test_native_hostile compares over both ways.
"""
from __future__ import annotations

import gc
import io
import os
import signal
import sys
import threading
from collections.abc import Callable

import paths
from kestra_ini.ini_main import KestraIniMain


def fifo_writing(content: bytes) -> Callable[[str], None]:
    def setup(path: str) -> None:
        os.mkfifo(path)

        def write() -> None:
            with open(path, "wb") as fifo:
                fifo.write(content)
        threading.Thread(target=write, daemon=True).start()
    return setup


def interrupted(signum: int, frame: object) -> None:
    signal.setitimer(signal.ITIMER_REAL, 0)
    raise KeyboardInterrupt("from the handler")


def interrupted_while_opening(path: str) -> None:
    os.mkfifo(path)  # no writer: the open blocks
    signal.signal(signal.SIGALRM, interrupted)

    # The alarm is set as the open starts, however slow the build or busy the machine: one set
    # beforehand could come before the open (which then blocks for good) or before the load
    # reached it. It repeats until the handler runs, since an alarm that lands after the open's
    # audit event but before its system call interrupts nothing.
    def arm(event: str, args: tuple) -> None:
        if event == "open" and args[0] == path:
            signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)
    sys.addaudithook(arm)


KEPT: list[object] = []


def close_the_file(path: str) -> None:
    """Closes every file object open on `path`, as code that found the read's file could."""
    for obj in gc.get_objects():
        if isinstance(obj, (io.FileIO, io.BufferedReader, io.TextIOWrapper)) and not obj.closed \
                and getattr(obj, "name", None) == path:
            obj.close()


def at_the_reload(arm: Callable[[str], None]) -> Callable[[str], None]:
    """Arms a fault as the store's second load opens the file: in the middle of that read."""
    def setup(path: str) -> None:
        opens = []

        def hook(event: str, args: tuple) -> None:
            if event == "open" and args[0] == path:
                opens.append(args)
                if len(opens) == 2:
                    arm(path)
        sys.addaudithook(hook)
    return setup


def handler_replacing_the_file(path: str) -> None:
    def handler(signum: int, frame: object) -> None:
        signal.setitimer(signal.ITIMER_REAL, 0)
        close_the_file(path)
        KEPT.append(open(path + ".other"))  # takes the descriptor just closed
    with open(path + ".other", "w") as other:
        other.write("[secret]\nsecret = 42\n")
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)


def collector_closing_the_file(path: str) -> None:
    def callback(phase: str, info: dict) -> None:
        if phase == "start":
            gc.callbacks.remove(callback)
            close_the_file(path)
    gc.callbacks.append(callback)


MANY_SECTIONS = b"".join(b"[s%d]\nk = v\n" % i for i in range(20_000))

READS: dict[str, tuple[bytes | None, Callable[[str], None] | None]] = {
    "regular file": (b"[s]\nk = v\n", None),
    "no file": (None, None),
    "regular file, not UTF-8": (b"[s]\nk = v\xff\n", None),
    "not UTF-8 past the first chunk": (b"[s]\n" + b"k%d = value\n" * 2000 + b"x = \xe9\xff\n", None),
    "a BOM, then bad bytes": (b"\xef\xbb\xbf[s]\nk = \xc3\n", None),
    "FIFO with bytes that are not UTF-8": (None, fifo_writing(b"[s]\nk = \xff\xfe\n")),
    "FIFO with text": (None, fifo_writing(b"[s]\nk = v\n")),
    "signal while the open blocks": (None, interrupted_while_opening),
    # Then reloaded and saved: the reload raises what the engine's read raises, and the save still works.
    "handler closes the file and opens another": (MANY_SECTIONS, at_the_reload(handler_replacing_the_file)),
    "collector's callback closes the file": (MANY_SECTIONS, at_the_reload(collector_closing_the_file)),
}


def reload_and_save(store: KestraIniMain) -> None:
    for operation in (store._read, store._save):
        try:
            print(operation.__name__, operation())
        except Exception as error:  # the engine's own error is compared
            print(operation.__name__, "raised", type(error).__name__, error.args)


def main(case: str, way: str, path: str) -> None:
    content, setup = READS[case]
    if content is not None:
        with open(path, "wb") as file:
            file.write(content)
    opens = []
    sys.addaudithook(lambda event, args: opens.append(args[1:])
                     if event == "open" and args[0] == path and args[1] == "r" else None)
    if setup is not None:
        setup(path)
    try:
        with paths.taken(way):
            store = KestraIniMain(path)
            if content is MANY_SECTIONS:
                print("loaded", len(store._get_all()))
                reload_and_save(store)
            else:
                print("loaded", store._get_all())
    except BaseException as error:  # a signal's KeyboardInterrupt too
        print("raised", type(error).__name__, error.args, vars(error) if hasattr(error, "__dict__") else "")
        if isinstance(error, UnicodeDecodeError):
            print(error.object[:20], error.start, error.end, len(error.object))
    print("opens", opens)


if __name__ == "__main__":
    main(*sys.argv[1:])
