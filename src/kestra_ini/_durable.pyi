from _typeshed import StrOrBytesPath
from collections.abc import Buffer

def replace_file(path: StrOrBytesPath, data: Buffer, /) -> None: ...
