"""A file's bytes as text and back, byte for byte.

UTF-8 (with or without its byte-order mark) and UTF-16 (known by its byte-order mark) are read and written in
their own encoding. Any other bytes are kept as they are: they go through the text as lone surrogates and come
back unchanged, so an edit touches none of them; new text for such a file must then be ASCII, unless the
caller names the file's encoding.
"""
from __future__ import annotations

import codecs
from collections import namedtuple

# codec: Python's name for it, or KEPT for bytes that are not UTF-8 carried through unchanged;
# bom: the byte-order mark the file starts with (b"" for none).
Encoding = namedtuple("Encoding", "codec bom")

KEPT = "bytes"
UTF8 = Encoding("utf-8", b"")
_MARKS = ((codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be"))


class EncodingError(ValueError):
    """Bytes that cannot be read in the encoding they claim or were said to have."""


def decode(data: bytes, codec: str | None = None) -> tuple[str, Encoding]:
    """The text of `data` and how to write it back. `codec` names the encoding of a file without a
    byte-order mark; without it such a file is UTF-8, else its bytes are kept. A NUL character makes it a
    binary file, refused: no text file holds one, and every byte after it would be edited blind."""
    text, encoding = _decode(data, codec)
    nul = text.find("\x00")
    if nul >= 0:
        offset = len(encoding.bom) + len(encode(text[:nul], encoding._replace(bom=b"")))
        raise EncodingError(f"a binary file, not text: it holds a NUL byte at offset {offset}")
    return text, encoding


def _decode(data: bytes, codec: str | None) -> tuple[str, Encoding]:
    for mark, name in _MARKS:
        if data.startswith(mark):
            return _strict(data[len(mark):], name), Encoding(name, mark)
    if codec is not None:
        name = codecs.lookup(codec).name  # raises LookupError for an unknown name
        return _strict(data, name), Encoding(name, b"")
    try:
        return data.decode("utf-8"), UTF8
    except UnicodeDecodeError:
        return data.decode("utf-8", "surrogateescape"), Encoding(KEPT, b"")


def _strict(data: bytes, codec: str) -> str:
    try:
        return data.decode(codec)
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise EncodingError(f"not {codec} text: byte 0x{data[exc.start]:02x} on line {line} ({exc.reason})") \
            from None


def encode(text: str, encoding: Encoding) -> bytes:
    if encoding.codec == KEPT:
        return text.encode("utf-8", "surrogateescape")
    data: bytes = encoding.bom + text.encode(encoding.codec)
    return data


def refusal(text: str, encoding: Encoding) -> str | None:
    """Why `text` cannot be written into a file of this encoding, or None."""
    if encoding.codec == KEPT:
        if text.isascii():
            return None
        return "the file is not UTF-8 and the text is not ASCII: --encoding NAME says how to write it"
    try:
        text.encode(encoding.codec)
    except UnicodeEncodeError as exc:
        return f"{text[exc.start:exc.end]!r} cannot be written in {encoding.codec}"
    return None
