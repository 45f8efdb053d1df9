"""Shared fixtures. Tests import the installed module, never the source tree."""
import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture(scope="session")
def ini_main():
    import kestra_ini.ini_main as module

    return module


@pytest.fixture
def make_ini(tmp_path):
    """Writes `text` (str, encoded UTF-8, or bytes as they are) to a new file; returns its path."""

    def make(text="", name="settings.ini"):
        path = tmp_path / name
        path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
        return path

    return make


def run_python(code, *, timeout=120, env=None, check=True):
    """Runs `code` in a fresh interpreter, so a crash cannot take the suite down."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, **(env or {})},
        stdin=subprocess.DEVNULL,
    )
    if check and result.returncode != 0:
        raise AssertionError(
            f"child exited {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
        )
    return result
