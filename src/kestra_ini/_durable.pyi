from collections.abc import Buffer

from _typeshed import StrOrBytesPath

def replace_file(path: StrOrBytesPath, data: Buffer, /) -> None: ...
