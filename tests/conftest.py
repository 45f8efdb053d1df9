"""Shared fixtures and helpers. Tests import the installed module, never the source tree."""
import configparser
import contextlib
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap
import traceback

import pytest

import paths

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"


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


@pytest.fixture
def private_home(tmp_path, monkeypatch):
    """A folder for the test's files, with this user's private state directory of its own beside it."""
    state = tmp_path / "state"
    state.mkdir(mode=0o700)
    monkeypatch.setenv("XDG_STATE_HOME", str(state))
    (tmp_path / "files").mkdir()
    return tmp_path / "files"


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


def sections_as_dicts(engine, *, raw=True, with_default=False):
    """What an engine holds, as {section: {option: value}}; raw texts unless `raw` is false."""
    names = [engine.default_section, *engine.sections()] if with_default else engine.sections()
    return {name: dict(engine.items(name, raw=raw)) for name in names}


def loaded(path):
    """What a fresh engine reads from the file at `path`, values interpolated as a caller gets them."""
    engine = configparser.ConfigParser()
    engine.read(path, encoding="utf-8-sig")
    return sections_as_dicts(engine, raw=False)


def entries(exc):
    """The function names of an exception's traceback, outermost first."""
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def load_pure_store():
    """The benchmark's pure-Python store: it is never installed, so it comes from the source tree's bench/."""
    spec = importlib.util.spec_from_file_location("pure_store", BENCH / "pure_store.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@contextlib.contextmanager
def locked(path):
    """Makes a file refuse writes, or a directory refuse new entries, also for root."""
    if os.geteuid() == 0:
        if shutil.which("chattr") is None or subprocess.run(["chattr", "+i", path], capture_output=True).returncode:
            pytest.skip("root ignores mode bits and chattr +i is not available here")
        undo = lambda: subprocess.run(["chattr", "-i", path], check=True)  # noqa: E731
    else:
        old = path.stat().st_mode
        path.chmod(0o555 if path.is_dir() else 0o444)
        undo = lambda: path.chmod(old)  # noqa: E731
    try:
        yield
    finally:
        undo()


@contextlib.contextmanager
def kernel_setting(name, value):
    """Sets /proc/sys/fs/`name` for the block; skips the test where it cannot be set."""
    knob = f"/proc/sys/fs/{name}"
    try:
        with open(knob) as f:
            old = f.read()
        with open(knob, "w") as f:
            f.write(value)
    except OSError:
        pytest.skip(f"fs.{name} cannot be set here")
    try:
        yield
    finally:
        with open(knob, "w") as f:
            f.write(old)


SHIM_SOURCE = os.path.join(os.path.dirname(__file__), "fault_shim.c")


@pytest.fixture(scope="session")
def shim():
    """The fault-injection shim (tests/fault_shim.c), compiled for this run; a child runs under it with shim_env."""
    gcc = shutil.which("gcc") or shutil.which("cc")
    if gcc is None:
        pytest.skip("no C compiler for the fault-injection shim")
    # Readable by the unprivileged user of the non-owner layout.
    folder = tempfile.mkdtemp(prefix="fault-shim-")
    os.chmod(folder, 0o755)
    out = os.path.join(folder, "fault_shim.so")
    # Without the sanitizer runtime that `make sanitize` preloads: the compiler's own leaks are not ours.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    try:
        subprocess.run([gcc, "-shared", "-fPIC", "-O1", "-o", out, SHIM_SOURCE, "-ldl"], check=True, env=env)
        yield out
    finally:
        shutil.rmtree(folder)


def shim_env(shim):
    """The environment of a child that runs under the shim: preloaded, and named for the child to arm it."""
    # Appended, so that a sanitizer runtime preloaded for the whole suite stays first.
    preload = " ".join(p for p in (os.environ.get("LD_PRELOAD"), shim) if p)
    return {"SHIM": shim, "LD_PRELOAD": preload}


_ENGINE_CODES = []


def _starts_a_frame_at_the_recursion_limit(call, *args):
    """Whether `call(*args)`, made where the recursion limit lets no further frame start, needed one (exceptions other
    than RecursionError are swallowed)."""
    def deepest():
        try:
            return deepest()
        except RecursionError:
            pass
        try:
            call(*args)  # directly: a frame of our own here would need one more
        except RecursionError:
            return True
        except Exception:
            pass
        return False

    return deepest()


def runs_natively(method, *args):
    """Whether the store's `method` (a bound method of the class), called with `args`, runs no Python frame.

    There the engine's code could not run. A monitoring tool could not tell: local
    events on configparser's code send the store through that code.
    """
    return not _starts_a_frame_at_the_recursion_limit(method, *args)


def audit_hooks_run():
    """Whether Python audit hooks (which a test may have installed for good) run at every audited event, such as
    the open of every read: runs_natively() cannot tell their frames from the engine's."""
    return _starts_a_frame_at_the_recursion_limit(sys.audit, "kestra.probe")


def engine_frames(call, *, qualified=False):
    """Names (qualified names) of the configparser functions that run during `call` (its exceptions are swallowed).

    Seen through sys.monitoring events set on configparser's code objects alone: a
    profiler or a global tool would itself send the store through the engine's code.
    """
    import types

    monitoring = sys.monitoring
    tool = monitoring.PROFILER_ID + 2  # free in a test run
    if not _ENGINE_CODES:  # taken once, before a test can replace a class
        for cls in vars(configparser).values():
            if isinstance(cls, type) and cls.__module__ == "configparser":
                for value in vars(cls).values():
                    for inner in (value, getattr(value, "__func__", None), getattr(value, "fget", None),
                                  getattr(value, "func", None)):
                        if isinstance(inner, types.FunctionType):
                            _ENGINE_CODES.append(inner.__code__)
    codes = _ENGINE_CODES
    seen = set()
    monitoring.use_tool_id(tool, "engine frames")
    monitoring.register_callback(tool, monitoring.events.PY_START,
                                 lambda code, offset: seen.add(code.co_qualname if qualified else code.co_name))
    for code in codes:
        monitoring.set_local_events(tool, code, monitoring.events.PY_START)
    try:
        call()
    except Exception:
        pass
    finally:
        for code in codes:
            monitoring.set_local_events(tool, code, 0)
        monitoring.register_callback(tool, monitoring.events.PY_START, None)
        monitoring.free_tool_id(tool)
    return seen


@pytest.fixture(params=paths.WAYS)
def way(request):
    """Each test that asks runs twice: natively, and through the engine's own code."""
    with paths.taken(request.param):
        yield request.param


def run_module(module, *args, timeout=120, env=None):
    """Runs a module of tests/ with `python -m` in a fresh interpreter; returns its standard output."""
    result = subprocess.run(
        [sys.executable, "-m", module, *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=os.path.dirname(__file__),
        env={**os.environ, **(env or {})},
        stdin=subprocess.DEVNULL,
    )
    if result.returncode != 0:
        raise AssertionError(f"{module} exited {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}")
    return result.stdout
