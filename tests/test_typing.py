"""The installed type stubs: beside the module, true to it at run time, and strict enough to catch misuse."""
import ast
import os
import pathlib
import re
import subprocess
import sys

import pytest

import kestra_ini.ini_main

CASES = pathlib.Path(__file__).parent / "typing_cases"
INSTALLED = pathlib.Path(kestra_ini.ini_main.__file__).parent
MYPY_ERROR = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*  \[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*args, tool="mypy"):
        # From tests/, so the package found is the installed one; --config-file= keeps any project
        # configuration from loosening --strict.
        options = ["--strict", "--config-file=", "--no-error-summary", "--hide-error-context",
                   "--no-pretty"] if tool == "mypy" else ["--mypy-config-file", ""]
        # stubtest keeps its cache in its working directory whatever it is told, hence its own cwd.
        cwd = CASES.parent if tool == "mypy" else cache
        return subprocess.run([sys.executable, "-m", tool, *options, *args], cwd=cwd,
                              env={**os.environ, "MYPY_CACHE_DIR": str(cache)},
                              capture_output=True, text=True, timeout=300)

    return run


def test_stub_and_marker_are_installed_beside_the_module():
    assert INSTALLED.parent.name == "site-packages"
    assert {"ini_main.pyi", "py.typed", "__main__.py"} <= {p.name for p in INSTALLED.iterdir()}
    assert (INSTALLED / "py.typed").read_bytes() == b""


def test_stub_declares_every_method_in_class_order_with_save_defaulting_to_true():
    tree = ast.parse((INSTALLED / "ini_main.pyi").read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "KestraIniMain"]
    stub = {f.name: f.args for f in cls.body if isinstance(f, ast.FunctionDef)}
    runtime = [name for name, value in vars(kestra_ini.ini_main.KestraIniMain).items() if callable(value)]
    assert list(stub) == runtime and len(runtime) == 17
    for name, args in stub.items():
        params = [a.arg for a in args.args]
        assert params == list(vars(kestra_ini.ini_main.KestraIniMain)[name].__code__.co_varnames[:len(params)])
        assert [ast.literal_eval(d) for d in args.defaults] == ([True] if params[-1] == "save" else [])
        assert all(a.annotation is not None for a in args.args[1:]) and args.vararg is args.kwarg is None


def test_stubtest_finds_the_stub_true_to_the_runtime(mypy):
    done = mypy("kestra_ini.ini_main", tool="mypy.stubtest")
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("target", [["typing_cases/ok.py"], ["-p", "kestra_ini"]])
def test_strict_mypy_accepts_real_use_and_the_package_itself(mypy, target):
    done = mypy(*target)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


def test_strict_mypy_reports_each_misuse_on_its_line(mypy):
    source = (CASES / "bad.py").read_text().splitlines()
    expected = {(n, m.group(1)) for n, line in enumerate(source, 1) if (m := re.search(r"# error: ([a-z-]+)$", line))}
    done = mypy("typing_cases/bad.py")
    lines = [line for line in done.stdout.splitlines() if ": note: " not in line]
    found = {(int(m["line"]), m["code"]) for m in map(MYPY_ERROR.match, lines) if m and m["file"].endswith("bad.py")}
    assert done.returncode == 1 and all("# error: " in line for line in source[5:])
    assert (found, len(lines)) == (expected, len(expected)), done.stdout
