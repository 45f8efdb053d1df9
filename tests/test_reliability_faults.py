"""Writes that the operating system refuses: the file keeps its last good content (size_limit_child.py)."""
import pytest

from conftest import run_module


@pytest.mark.parametrize("layout", ["plain", "symlink", "hardlink"])
def test_a_file_size_limit_fails_every_save_and_keeps_the_file(tmp_path, layout):
    run_module("size_limit_child", env={"LAYOUT": layout, "FOLDER": str(tmp_path)})
