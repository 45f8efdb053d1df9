"""Where the command line meets the file: every read and write goes through here, and so through kestra_ini._disk,
whose lock makes an edit all or nothing against other edits. FILE '-' is standard input, and the edited text
goes to standard output."""
from __future__ import annotations

import sys
from collections.abc import Callable

STDIN = "-"


def load(path: str) -> bytes:
    """The file's bytes, for a query."""
    if path == STDIN:
        return sys.stdin.buffer.read()
    from kestra_ini import _disk

    data = _disk.read(path)
    assert data is not None
    return data


def update(path: str, make: Callable[[bytes | None], bytes | None], *, create: bool, dry_run: bool = False,
           backup: str | None = None) -> tuple[bytes | None, bytes | None]:
    """(old, new) bytes after `make` turned the file's bytes (None for a missing file it may create) into new
    ones (None: no change). The new bytes are written once, under the edit lock, unless `dry_run`; with
    `backup`, the old bytes are first saved beside the file under that suffix."""
    if path == STDIN:
        old = sys.stdin.buffer.read()
        return old, make(old)
    from kestra_ini import _disk


    def attempt(edit: _disk.Edit) -> tuple[bytes | None, bytes | None]:
        old = edit.read(may_create=create)
        new = make(old)
        if new is None or new == old or old is None and not new or dry_run:
            return old, new
        if backup and old is not None:
            _disk.write(path + backup, old)
        edit.write(new)
        return old, new

    return _disk.edit(path, attempt)
