"""The command line's file access: reading the raw bytes, the edit lock, and the store's own durable writer."""
from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import struct
import time
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
    # Read as the store loads: after putting back what a killed in-place save of this user left, and while
    # holding off in-place saves (src/ini_main/disk/PROTOCOL.md, R4 and L4). Anything but a regular file comes
    # back as None and is opened here, once.
    data = _durable.read(path)
    if data is not None:
        return data
    try:
        with open(path, "rb") as file:
            return file.read()
    except FileNotFoundError:
        if not may_create:
            raise
    return None


def write(path: str, data: bytes) -> None:
    _durable.replace_file(path, data)


# The edit lock sits on one byte far beyond any real file's end, beside the byte on which the store's in-place
# writers serialise (src/ini_main/disk/file_lock.hpp), so that an edit can save while it holds its own lock.
_EDIT_BYTE = 0x7FFFFFFFFFFF0001
# How long an edit waits for another one before it gives up.
LOCK_WAIT_SECONDS = 10.0
_OFD = getattr(fcntl, "F_OFD_SETLK", None)


class LockBusy(OSError):
    """Another program that may write the file held its edit lock for longer than the wait allows."""


def _request(kind: int) -> bytes:
    # struct flock: l_type, l_whence, l_start, l_len, l_pid (and padding), as Linux lays it out.
    return struct.pack("hhqqi4x", kind, os.SEEK_SET, _EDIT_BYTE, 1, 0)


def _try_lock(descriptor: int, directory: bool) -> bool:
    try:
        if _OFD is None or directory:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        else:
            fcntl.fcntl(descriptor, _OFD, _request(fcntl.F_WRLCK))
    except (BlockingIOError, PermissionError):
        return False
    return True


def _held_by_writer(descriptor: int, directory: bool) -> bool:
    """Whether the lock that stopped us is an exclusive one, which only a writer of the file can take."""
    if _OFD is None or directory:
        return False  # anyone who can open it may hold an flock: not a reason to fail
    answer = fcntl.fcntl(descriptor, fcntl.F_OFD_GETLK, _request(fcntl.F_WRLCK))
    kind: int = struct.unpack("hhqqi4x", answer)[0]
    return kind == fcntl.F_WRLCK


def _open_lockable(path: str) -> tuple[int, bool] | None:
    """The file open for writing (its lock then needs write access), else its directory while it is missing;
    None when neither can carry the lock: the edit then goes on and meets open()'s own answer."""
    try:
        return os.open(path, os.O_RDWR | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC), False
    except FileNotFoundError:
        pass
    except OSError:
        return None
    try:
        return os.open(os.path.dirname(os.path.realpath(path)), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC), True
    except OSError:
        return None


def _wait(descriptor: int, directory: bool, path: str) -> bool:
    """Waits for the lock up to LOCK_WAIT_SECONDS, a deadline that signals do not move (a handler's exception
    ends the wait and passes; rule L6 of src/ini_main/disk/PROTOCOL.md). False when a mere reader holds it past
    the wait: the edit then goes on without it."""
    deadline = time.monotonic() + LOCK_WAIT_SECONDS
    pause = 0.001
    while not _try_lock(descriptor, directory):
        if time.monotonic() >= deadline:
            if _held_by_writer(descriptor, directory):
                raise LockBusy(errno.EAGAIN, f"another edit of this file has held its lock for "
                               f"{LOCK_WAIT_SECONDS:g} seconds; nothing written", path)
            return False
        time.sleep(pause)
        pause = min(2 * pause, 0.05)
    return True


def _still_names(path: str, descriptor: int, directory: bool) -> bool:
    """Whether the path still leads to what we locked: an edit that committed meanwhile renamed a new file over
    it, and a missing file may have been created."""
    try:
        named = os.stat(path)
    except FileNotFoundError:
        return directory
    if directory:
        return False
    opened = os.fstat(descriptor)
    return (named.st_dev, named.st_ino) == (opened.st_dev, opened.st_ino)


@contextlib.contextmanager
def exclusive(path: str) -> Iterator[None]:
    """Holds off every other editing command on this file, through any of its names, until the block ends.

    The lock is an open-file-description lock on the file itself, which only those who may write the file can
    take; while the file is missing, an flock on its directory. Each wait runs to a deadline. The command line's
    reads do not take it; the rename lets them read a whole old or a whole new file. Programs that save through
    the class do not take it."""
    while True:
        opened = _open_lockable(path)
        if opened is None:
            yield
            return
        descriptor, directory = opened
        try:
            if not _wait(descriptor, directory, path) or _still_names(path, descriptor, directory):
                yield
                return
        finally:
            os.close(descriptor)
