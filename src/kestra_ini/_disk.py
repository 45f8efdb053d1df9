"""The command line's file access: reading the raw bytes, the edit lock, and the store's own durable writer."""
from __future__ import annotations

import contextlib
import fcntl
import os
from collections.abc import Iterator

from kestra_ini import _durable

_UTF16_BOMS = (b"\xff\xfe", b"\xfe\xff")


def not_utf8(error: UnicodeDecodeError) -> str:
    """What to tell about a file whose bytes failed to decode as UTF-8."""
    data = bytes(error.object)
    if data.startswith(_UTF16_BOMS):
        return "not UTF-8 text: it starts with a UTF-16 byte-order mark; save it as UTF-8"
    line = data.count(b"\n", 0, error.start) + 1
    return (f"not UTF-8 text: byte 0x{data[error.start]:02x} on line {line} ({error.reason}); it looks like "
            f"a legacy 8-bit encoding such as Latin-1 or Windows-1252; save it as UTF-8")


def read(path: str, *, may_create: bool = False) -> bytes | None:
    """The file's bytes; None for a missing file that the command may create."""
    # A save killed while writing over a hard-linked file leaves a journal; the store puts the old text
    # back before every load, and so does the command line before it reads (a live save is left alone).
    _durable.recover(path)
    try:
        with open(path, "rb") as file:
            return file.read()
    except FileNotFoundError:
        if not may_create:
            raise
    return None


def write(path: str, data: bytes) -> None:
    _durable.replace_file(path, data)


@contextlib.contextmanager
def exclusive(path: str) -> Iterator[None]:
    """Holds off every other editing command in the directory of the file until the block ends.

    The lock is an flock on the directory that holds the file (its real one, symbolic links resolved): it
    outlives the rename that gives the file a new inode, creates no file of its own, and dies with the process.
    Readers never take it; the rename lets them read a whole old or a whole new file. It serialises all edits
    made by this command line in that directory, not only those of one file, which costs nothing at the rate
    people edit settings. Programs that save through the class do not take it."""
    directory = os.path.dirname(os.path.realpath(path))
    try:
        descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as exc:
        # Name the settings file: the directory is an implementation detail of the lock.
        raise OSError(exc.errno, exc.strerror, path) from None
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        os.close(descriptor)
