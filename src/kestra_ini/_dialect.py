"""The tolerant reading under its former names, for the crudini front end until it uses kestra_ini.document
and kestra_ini.changes itself. It reads any bytes: a line the tolerant grammar cannot read counts as a bare key.
"""
from __future__ import annotations

import re
from codecs import BOM_UTF8
from collections.abc import Sequence

from kestra_ini import document, encodings
from kestra_ini.changes import (
    ADD,
    ALL,
    LAST,
    ONE,
    AddSection,
    ChangeError,
    Merge,
    Remove,
    RemoveSection,
    Rename,
    Set,
    value_problem,
)
from kestra_ini.document import Block, Entry, Line
from kestra_ini.grammars import TOLERANT

__all__ = ["ADD", "ALL", "LAST", "ONE", "AddSection", "Block", "Change", "ChangeError", "Document", "Entry", "Merge",
           "Remove", "RemoveSection", "Rename", "Set", "edit", "read", "value_problem"]

Change = object
KEPT = encodings.Encoding(encodings.KEPT, b"")
# The former reading also took whitespace then '#' for an inline comment.
GRAMMAR = TOLERANT._replace(name="former", inline=re.compile(r"\s[;#]"))


def read(data: bytes) -> Document:
    text, encoding = encodings.decode(data)
    return Document(document.split_lines(text), bom=bool(encoding.bom), encoding=encoding)


class Document(document.Document):
    def __init__(self, lines: list[Line], *, bom: bool, encoding: encodings.Encoding | None = None) -> None:
        super().__init__(lines, GRAMMAR, encoding or (encodings.Encoding("utf-8", BOM_UTF8) if bom else KEPT))


def edit(doc: document.Document, changes: Sequence[object]) -> bytes:
    from kestra_ini import changes as model

    return model.edit(doc, changes).encode()
