"""The command line's file access: reading the raw bytes, the edit lock, and the store's own durable writer."""
from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import random
import stat
import struct
import time
from collections.abc import Callable, Iterator
from typing import TypeVar

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
# Where the edits that a reader's lock on the edit byte kept out take turns among themselves, for as long as they
# can have it soon: the compare before each write (Edit.write) then leaves only writers of other kinds its window.
_TURN_BYTE = _EDIT_BYTE + 1
_TURN_WAIT_SECONDS = 1.0
# How long an edit waits for another one before it gives up.
LOCK_WAIT_SECONDS = 10.0
_OFD = getattr(fcntl, "F_OFD_SETLK", None)


class LockBusy(OSError):
    """Another program that may write the file held its edit lock for longer than the wait allows."""


def _request(kind: int, byte: int = _EDIT_BYTE) -> bytes:
    # struct flock: l_type, l_whence, l_start, l_len, l_pid (and padding), as Linux lays it out.
    return struct.pack("hhqqi4x", kind, os.SEEK_SET, byte, 1, 0)


def _try_lock(descriptor: int, directory: bool, byte: int) -> bool:
    try:
        if _OFD is None or directory:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        else:
            fcntl.fcntl(descriptor, _OFD, _request(fcntl.F_WRLCK, byte))
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


def _wait(descriptor: int, directory: bool, path: str, seconds: float, byte: int = _EDIT_BYTE) -> bool:
    """Waits for the lock, to deadlines that signals do not move (a handler's exception ends the wait and passes;
    rule L6 of src/ini_main/disk/PROTOCOL.md). False when a mere reader still holds it after `seconds`: the edit
    then goes on without it, and counts on its compare before the write (rule L7). Another edit's lock is waited
    for up to LOCK_WAIT_SECONDS, then LockBusy."""
    start = time.monotonic()
    pause = 0.001
    while not _try_lock(descriptor, directory, byte):
        waited = time.monotonic() - start
        if waited >= seconds:
            if byte != _EDIT_BYTE or not _held_by_writer(descriptor, directory):
                return False
            if waited >= LOCK_WAIT_SECONDS:
                raise LockBusy(errno.EAGAIN, f"another edit of this file has held its lock for "
                               f"{LOCK_WAIT_SECONDS:g} seconds; nothing written", path)
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
def exclusive(path: str, *, wait: bool = True) -> Iterator[bool]:
    """Holds off every other editing command on this file, through any of its names, until the block ends;
    yields whether it got the lock (a reader's lock or a file it may not write can keep it away).

    The lock is an open-file-description lock on the file itself, which only those who may write the file can
    take; while the file is missing, an flock on its directory. Each wait runs to a deadline; without `wait`,
    a reader's lock gets one try. The command line's reads do not take it; the rename lets them read a whole
    old or a whole new file. Programs that save through the class do not take it."""
    while True:
        opened = _open_lockable(path)
        if opened is None:
            yield False
            return
        descriptor, directory = opened
        try:
            if not _wait(descriptor, directory, path, LOCK_WAIT_SECONDS if wait else 0.0):
                if not directory and _OFD is not None:
                    _wait(descriptor, directory, path, _TURN_WAIT_SECONDS, _TURN_BYTE)
                yield False
                return
            if _still_names(path, descriptor, directory):
                yield True
                return
        finally:
            os.close(descriptor)


# How often an edit that others' writes overtook reads and computes again before it gives up.
EDIT_ATTEMPTS = 20
_Result = TypeVar("_Result")


class EditConflict(OSError):
    """The file changed between each of an edit's reads and its write, EDIT_ATTEMPTS times."""


class _Overtaken(Exception):
    """The file no longer holds what this attempt read."""


def _identity(path: str) -> tuple[int, int, bool] | None:
    """The file's device and inode, and whether it is a regular file; None while it is missing."""
    try:
        found = os.stat(path)
    except FileNotFoundError:
        return None
    return found.st_dev, found.st_ino, stat.S_ISREG(found.st_mode)


class Edit:
    """One attempt at an edit: what it read, so that its write goes ahead only over exactly that."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._seen: tuple[tuple[int, int, bool] | None, bytes | None] | None = None

    def read(self, *, may_create: bool = False) -> bytes | None:
        before = _identity(self.path)
        data = read(self.path, may_create=may_create)
        after = _identity(self.path)
        if before != after:
            raise _Overtaken  # renamed over while we read: which file the bytes came from is not known
        self._seen = after, data
        return data

    def write(self, data: bytes) -> None:
        """Writes the file, unless it changed since this attempt read it (then _Overtaken, nothing written)."""
        assert self._seen is not None, "an edit writes only what it computed from a read"
        # A FIFO or a device cannot be read a second time to compare: it is written as read.
        if (self._seen[0] is None or self._seen[0][2]) and self._now() != self._seen:
            raise _Overtaken
        # What remains open: another writer that replaces the file from here until the save's rename (its
        # temporary written and fsynced, rule S3; the whole in-place write, S4) is overwritten unseen. Only
        # writers that hold neither lock can meet there; the save offers no hook to compare any later.
        write(self.path, data)

    def _now(self) -> tuple[tuple[int, int, bool] | None, bytes | None]:
        """The file's identity and bytes as they are, read through a descriptor so that both are of one file;
        nothing waits on what is no longer a regular file."""
        try:
            descriptor = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
        except FileNotFoundError:
            return None, None
        with os.fdopen(descriptor, "rb") as file:
            found = os.fstat(descriptor)
            regular = stat.S_ISREG(found.st_mode)
            return (found.st_dev, found.st_ino, regular), file.read() if regular else None


def edit(path: str, attempt: Callable[[Edit], _Result]) -> _Result:
    """Runs `attempt` (read through the Edit, compute, write through it) under the edit lock, and again with a
    fresh read whenever the file changed before its write: no other writer's change is lost, whether or not the
    lock could be had (rule L7; git updates its refs so). EditConflict after EDIT_ATTEMPTS tries."""
    wait = True
    for tries in range(1, EDIT_ATTEMPTS + 1):
        with exclusive(path, wait=wait) as locked:
            try:
                return attempt(Edit(path))
            except _Overtaken:
                pass
        # A reader who kept the lock away once is not waited for again; the writers who overtook us are
        # spread out so that the next round does not meet them in step.
        wait = locked
        time.sleep(random.uniform(0.0, 0.005 * tries))
    raise EditConflict(errno.EAGAIN, f"others changed the file while this edit ran, {EDIT_ATTEMPTS} times over; "
                       f"nothing written", path)
