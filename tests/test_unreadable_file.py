"""A file that exists but cannot be read loads as nothing, and no save replaces it until a read succeeds."""
import errno
import shutil
import tempfile
from pathlib import Path

import pytest

from conftest import run_python

# Each way makes the store's read of an existing file fail, in a child (privileges and descriptor
# limits are per process); `unblock()` makes the file readable again.
WAYS = {
    "no permission": """
        os.chmod(directory, 0o777); os.chmod(path, 0o600)
        os.setresgid(65534, 65534, 65534); os.setresuid(65534, 65534, 65534)
        def unblock(): pass  # a read as the owner is not possible any more: move on with another path
        store = KestraIniMain(path)
    """,
    "no descriptors left": """
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        def unblock(): resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) - 1, hard))
        store = KestraIniMain(path)
        unblock()
    """,
    "reload after a save": """
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        def unblock(): resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        store = KestraIniMain(path)
        store._save = lambda: (KestraIniMain._save(store), resource.setrlimit(
            resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) - 1, hard)))
        store._set("a", "x", "2")  # saved, then the reload finds no descriptor left
        del store._save
        unblock()
    """,
}
EXPECTED = {"no permission": errno.EACCES, "no descriptors left": errno.EMFILE, "reload after a save": errno.EMFILE}


@pytest.mark.parametrize("way", WAYS)
def test_an_unread_file_is_never_replaced(way):
    # Not pytest's own temporary tree: an unprivileged child could not reach into it.
    tmp_path = Path(tempfile.mkdtemp())
    try:
        check_never_replaced(tmp_path, way)
    finally:
        shutil.rmtree(tmp_path)


def check_never_replaced(tmp_path, way):
    path = tmp_path / "settings.ini"
    path.write_text("[a]\nx = 1\n[keep]\ny = 2\n")
    code = f"""
import os, resource, textwrap
from kestra_ini.ini_main import KestraIniMain
directory, path = {str(tmp_path)!r}, {str(path)!r}
exec(textwrap.dedent({WAYS[way]!r}))
before = open(path, "rb").read() if os.access(path, os.R_OK) else None
assert store._sections() == [], store._sections()
for attempt in (lambda: store._set("b", "y", "new"), store._save, lambda: store._remove_section("a")):
    try:
        attempt()
    except OSError as error:
        assert (error.errno, error.filename) == ({EXPECTED[way]}, path), error
        assert "could not be read, so it is not replaced" in str(error), error
    else:
        raise AssertionError("a save replaced a file that was not read")
unblock()
store._path = path + ".other"  # another file: saved as usual
store._save()
if before is not None:
    assert open(path, "rb").read() == before
    store._path = path
    store._read()  # a read that succeeds lifts the refusal, and the next save keeps every setting
    store._set("b", "y", "new")
    assert store._get_all() == {{"a": {{"x": "2" if "reload" in {way!r} else "1"}}, "keep": {{"y": "2"}},
                                "b": {{"y": "new"}}}}, store._get_all()
print("ok", flush=True)
os._exit(0)  # an unprivileged child may not be able to write a sanitizer's exit-time report
"""
    assert run_python(code).stdout.strip() == "ok"
    if way == "no permission":
        assert path.read_text() == "[a]\nx = 1\n[keep]\ny = 2\n"


def test_a_missing_file_is_created_by_the_first_save(ini_main, tmp_path):
    store = ini_main.KestraIniMain(tmp_path / "new.ini")
    store._set("a", "x", "1")
    assert (tmp_path / "new.ini").read_text(encoding="utf-8-sig") == "[a]\nx = 1\n\n"
