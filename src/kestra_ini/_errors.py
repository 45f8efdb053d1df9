"""How the command line tells a failure: one line, "kestra-ini: WHERE: MESSAGE"."""
from __future__ import annotations

import os

PROGRAM = "kestra-ini"


class CommandError(Exception):
    """An expected failure, reported as "kestra-ini: WHERE: MESSAGE"."""

    def __init__(self, where: str, message: str) -> None:
        super().__init__(message)
        self.where = where
        self.message = message


def one_line(text: str) -> str:
    return "; ".join(part.strip() for part in text.splitlines() if part.strip())


def describe_common(exc: Exception, path: str) -> tuple[str, str] | None:
    """(where, message) for the failures every way of reading meets; None for the others."""
    from kestra_ini.changes import ChangeError
    from kestra_ini.document import NotIni
    from kestra_ini.encodings import EncodingError

    if isinstance(exc, CommandError):
        return exc.where, exc.message
    if isinstance(exc, OSError):
        where = os.fsdecode(exc.filename) if isinstance(exc.filename, (str, bytes, os.PathLike)) else path
        return where, exc.strerror or one_line(str(exc))
    if isinstance(exc, (ChangeError, NotIni, EncodingError)):
        return path, str(exc)
    if isinstance(exc, LookupError) and str(exc).startswith("unknown encoding"):
        return path, str(exc)
    return None
