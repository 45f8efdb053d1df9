"""Writes that the operating system refuses: the file keeps its last good content."""
import pytest

from conftest import run_python

CHILD = """
    import errno, os, resource, signal
    from kestra_ini.ini_main import KestraIniMain
    layout, folder = os.environ["LAYOUT"], os.environ["FOLDER"]
    real = path = os.path.join(folder, "settings.ini")
    if layout == "symlink":
        path = os.path.join(folder, "link.ini")
        os.symlink(real, path)
    s = KestraIniMain(path)
    s._set_option("main", {"a": "1", "pad": "y" * 300})
    if layout == "hardlink":
        os.link(real, os.path.join(folder, "twin.ini"))
    good, listing = open(real, "rb").read(), sorted(os.listdir(folder))
    # Writes past the limit fail with EFBIG instead of killing the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
    resource.setrlimit(resource.RLIMIT_FSIZE, (len(good) + 100, hard))
    s._set("main", "big", "x" * 4000, False)
    # Each would save the engine, which now holds more than the limit allows.
    mutations = [
        lambda: s._save(), lambda: s._set("main", "b", "2"), lambda: s._set("new", "b", "2"),
        lambda: s._set_section("other"), lambda: s._set_option("main", {"c": "3"}),
        lambda: s._set_option("fresh", {}), lambda: s._set_all({}), lambda: s._set_all({"new": {"d": 4}}),
        lambda: s._remove_section("other"), lambda: s._remove_option("main", "a"),
    ]
    for number, mutation in enumerate(mutations):
        try:
            mutation()
        except OSError as error:
            assert type(error) is OSError and error.errno == errno.EFBIG, (number, error)
            assert error.filename == path, (number, error.filename)
        else:
            raise AssertionError(f"mutation {number} saved past the limit")
        assert open(real, "rb").read() == good, (number, open(real, "rb").read()[:60])
        assert sorted(os.listdir(folder)) == listing, number
        # A failed save leaves the engine as it was, unsaved change included.
        assert s._get("main", "big") == "x" * 4000, number
    resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
    assert s._set("main", "after", "ok") is True
    again = KestraIniMain(path)._get_all()
    assert again == s._get_all() and again["main"]["big"] == "x" * 4000
    # What the failed calls changed before their save stays: the section of
    # the failed _set, but not its option; the removals.
    assert (sorted(again), sorted(again["main"])) == (["fresh", "main", "new"], ["after", "b", "big", "c", "pad"])
    assert again["new"] == {"d": "4"}, again["new"]
    assert os.path.islink(path) == (layout == "symlink")
    assert os.stat(real).st_nlink == (2 if layout == "hardlink" else 1)
"""


@pytest.mark.parametrize("layout", ["plain", "symlink", "hardlink"])
def test_a_file_size_limit_fails_every_save_and_keeps_the_file(tmp_path, layout):
    run_python(CHILD, env={"LAYOUT": layout, "FOLDER": str(tmp_path)})
