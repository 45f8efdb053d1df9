"""The command line's file access: reading the raw bytes, the edit lock, and the store's own durable writer."""
from __future__ import annotations

import contextlib
import errno
import os
import stat
import time

from kestra_ini import _durable

TYPE_CHECKING = False  # typing, and random below, cost a query a good part of its start-up
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import TypeVar

    _Result = TypeVar("_Result")

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


# How long an edit waits for another one before it gives up.
LOCK_WAIT_SECONDS = 10.0


class LockBusy(OSError):
    """Another program that may write the file held its edit lock for longer than the wait allows."""


def _open_lockable(path: str) -> tuple[int, bool] | None:
    """The regular file open for writing (its lock then needs write access), else its directory while it is
    missing; None when neither can carry the lock: the edit then goes on and meets open()'s own answer. A FIFO
    or a device is never opened here: a FIFO held open for writing would keep its reader from ever seeing the
    end, and it is written as read anyway."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        descriptor = os.open(path, os.O_RDWR | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError:
        descriptor = -1
    except OSError:
        return None
    if descriptor >= 0:
        if stat.S_ISREG(os.fstat(descriptor).st_mode):
            return descriptor, False
        os.close(descriptor)  # replaced by a FIFO or a device since the look
        return None
    try:
        return os.open(os.path.dirname(os.path.realpath(path)), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC), True
    except OSError:
        return None


def _wait(descriptor: int, directory: bool, path: str, began: float) -> bool:
    """Takes the edit lock with the save's own waits (rules L1-L3, L6): False when a mere reader still held it
    100 ms after the edit began (`began`, time.monotonic()), the edit then going on and counting on the compare
    inside its save (L7). LockBusy when another edit held it for about LOCK_WAIT_SECONDS. No locks at all
    (ENOLCK, a network file system without its lock service): False, as the store saves there (L8)."""
    try:
        if directory:
            return _durable.lock(descriptor, "directory", time.monotonic() - began, LOCK_WAIT_SECONDS) == "locked"
        held = _durable.lock(descriptor, "edit", time.monotonic() - began, LOCK_WAIT_SECONDS)
    except OSError as error:
        if error.errno == errno.ENOLCK:
            return False
        raise
    if held == "writer":
        raise LockBusy(errno.EAGAIN, f"another edit of this file has held its lock for "
                       f"{LOCK_WAIT_SECONDS:g} seconds; nothing written", path)
    if held == "reader":  # the edits kept out take turns among themselves on the next byte
        _durable.lock(descriptor, "turn", time.monotonic() - began, LOCK_WAIT_SECONDS)
    return held == "locked"


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
def exclusive(path: str, *, began: float | None = None) -> Iterator[bool]:
    """Holds off every other editing command on this file, through any of its names, until the block ends;
    yields whether it got the lock (a reader's lock or a file it may not write can keep it away).

    The lock is an open-file-description lock on the file itself, which only those who may write the file can
    take; while the file is missing, an flock on its directory. Each wait runs to a deadline counted from
    `began` (time.monotonic(), by default now), when the edit began. The command line's reads do not take it;
    the rename lets them read a whole old or a whole new file. Programs that save through the class do not take
    it."""
    began = time.monotonic() if began is None else began
    while True:
        opened = _open_lockable(path)
        if opened is None:
            yield False
            return
        descriptor, directory = opened
        try:
            if not _wait(descriptor, directory, path, began):
                yield False
                return
            if _still_names(path, descriptor, directory):
                yield True
                return
        finally:
            os.close(descriptor)


# How often an edit that others' writes overtook reads and computes again before it gives up.
EDIT_ATTEMPTS = 20


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

    def __init__(self, path: str, began: float) -> None:
        self.path = path
        self.began = began
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
        """Writes the file, unless it changed since this attempt read it (then _Overtaken, nothing written).
        The save compares under the file's writer lock and this user's private lock, before any byte changes (rule
        L7 of src/ini_main/disk/PROTOCOL.md)."""
        assert self._seen is not None, "an edit writes only what it computed from a read"
        identity, seen = self._seen
        if identity is not None and not identity[2]:
            write(self.path, data)  # a FIFO or a device cannot be read a second time to compare: written as read
            return
        expected = None
        if identity is not None:
            assert seen is not None, "a regular file reads as bytes"
            expected = identity[0], identity[1], seen
        if not _durable.replace_file_if(self.path, data, expected, time.monotonic() - self.began):
            raise _Overtaken


def edit(path: str, attempt: Callable[[Edit], _Result]) -> _Result:
    """Runs `attempt` (read through the Edit, compute, write through it) under the edit lock, and again with a
    fresh read whenever the file changed before its write: no other writer's change is lost, whether or not the
    lock could be had (rule L7; git updates its refs so). EditConflict after EDIT_ATTEMPTS tries."""
    began = time.monotonic()
    for tries in range(1, EDIT_ATTEMPTS + 1):
        with exclusive(path, began=began):
            try:
                return attempt(Edit(path, began))
            except _Overtaken:
                pass
        # The writers who overtook us are spread out so that the next round does not meet them in step.
        import random

        time.sleep(random.uniform(0.0, 0.005 * tries))
    raise EditConflict(errno.EAGAIN, f"others changed the file while this edit ran, {EDIT_ATTEMPTS} times over; "
                       f"nothing written", path)
