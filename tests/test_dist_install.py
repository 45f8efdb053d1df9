"""dist/ installed as a fleet's host installs it. For CPython 3.13 and 3.11: a fresh virtual environment, pip
with no index and no configuration taking wheels only, and a PATH that holds no compiler, CMake or Ninja. There
the command line, kestra-crudini and the class (3.13) run, and ansible-playbook runs kestra.ini.ini_file with
that interpreter, once from the collection the wheel carries and once from the collection's tarball.

ansible-core is no artefact of ours: it comes from a wheelhouse that `make test-dist` downloads beside dist/
(KESTRA_WHEELHOUSE), and is installed after kestra-ini, so kestra-ini comes from dist/ alone. Without
KESTRA_DIST (plain `make test`) the module is skipped."""
from __future__ import annotations

import json
import os
import pathlib
import re
import shutil
import subprocess
import tomllib
from dataclasses import dataclass

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DIST = pathlib.Path(os.environ.get("KESTRA_DIST", "dist-not-given"))
WHEELHOUSE = pathlib.Path(os.environ.get("KESTRA_WHEELHOUSE", "wheelhouse-not-given"))
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
HARNESS = pathlib.Path(__file__).with_name("installed_store.py")

pytestmark = pytest.mark.skipif("KESTRA_DIST" not in os.environ, reason="installs dist/: run by make test-dist")

# What the hosts' shell commands and Ansible's local connection call; nothing that builds.
TOOLS = ("sh", "bash", "env", "cat", "echo", "mkdir", "rm", "rmdir", "chmod", "cp", "mv", "ls", "sleep", "id",
         "uname", "true", "false", "readlink", "dirname", "basename")
BUILDERS = ("cc", "c++", "gcc", "g++", "clang", "clang++", "cmake", "ninja", "make", "ld")
# (interpreter, the tag of the wheel pip must take there)
HOSTS = {"3.13": r"cp313-cp313-manylinux_2_\d+_x86_64", "3.11": r"cp39-abi3-manylinux_2_\d+_x86_64"}


@dataclass
class Host:
    version: str
    root: pathlib.Path
    env: dict[str, str]

    @property
    def bin(self) -> pathlib.Path:
        return self.root / "venv" / "bin"

    def run(self, *args: object, env: dict[str, str] | None = None,
            check: bool = True) -> subprocess.CompletedProcess[str]:
        done = subprocess.run([str(arg) for arg in args], capture_output=True, text=True, timeout=600,
                              env={**self.env, **(env or {})}, stdin=subprocess.DEVNULL)
        assert done.returncode == 0 or not check, f"{args}\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}"
        return done


@pytest.fixture(scope="module")
def bare_bin(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    folder = tmp_path_factory.mktemp("bin")
    for tool in TOOLS:
        found = shutil.which(tool)
        if found:
            (folder / tool).symlink_to(found)
    return folder


@pytest.fixture(scope="module", params=list(HOSTS))
def host(request: pytest.FixtureRequest, bare_bin: pathlib.Path,
         tmp_path_factory: pytest.TempPathFactory) -> Host:
    version = request.param
    python = subprocess.run([ROOT / "tools" / "find-python", version], capture_output=True, text=True,
                            check=True).stdout.strip()
    root = tmp_path_factory.mktemp(f"host-{version}")
    subprocess.run([python, "-m", "venv", root / "venv"], check=True)
    (root / "home").mkdir()
    env = {"PATH": f"{root / 'venv' / 'bin'}{os.pathsep}{bare_bin}", "HOME": str(root / "home"),
           "LC_ALL": "C.UTF-8", "PIP_CONFIG_FILE": os.devnull, "ANSIBLE_NOCOLOR": "1"}
    assert [tool for tool in BUILDERS if shutil.which(tool, path=env["PATH"])] == []
    host = Host(version, root, env)
    install = [host.bin / "python", "-m", "pip", "install", "--quiet", "--no-index", "--only-binary=:all:"]
    host.run(*install, "--find-links", DIST, "kestra-ini")
    host.run(*install, "--find-links", WHEELHOUSE, "ansible-core")
    return host


def test_pip_takes_the_wheel_made_for_the_interpreter(host: Host) -> None:
    wheel = host.run(host.bin / "python", "-I", "-c",
                     "import importlib.metadata as m; print(m.distribution('kestra-ini').read_text('WHEEL'))").stdout
    assert re.search(rf"^Tag: {HOSTS[host.version]}$", wheel, re.MULTILINE), wheel
    assert host.run(host.bin / "kestra-ini", "--version").stdout == f"kestra-ini {VERSION}\n"


def test_command_line_and_crudini_edit_a_file(host: Host, tmp_path: pathlib.Path) -> None:
    path = tmp_path / "settings.ini"
    path.write_text("[server]\nhost = example.org ; why\n")
    host.run(host.bin / "kestra-ini", path, "set", "server", "port", "9090")
    got = host.run(host.bin / "kestra-ini", path, "get", "server", "port").stdout
    crudini = host.run(host.bin / "kestra-crudini", "--get", path, "server", "host").stdout
    assert (path.read_text(), got, crudini) == ("[server]\nhost = example.org ; why\nport = 9090\n", "9090\n",
                                                "example.org\n")


def test_the_class_on_313_and_its_refusal_elsewhere(host: Host, tmp_path: pathlib.Path) -> None:
    path = tmp_path / "store.ini"
    done = host.run(host.bin / "python", "-I", HARNESS, path, check=False)
    if host.version != "3.13":
        assert done.returncode == 1 and "ImportError: kestra_ini.ini_main (the KestraIniMain class) needs CPython " \
            "3.13" in done.stderr, done.stderr
        return
    result = json.loads(done.stdout)
    assert result["module"].startswith(str(host.root / "venv")) and result["module"].endswith(".so")
    assert (result["_set"], result["_get"]) == (True, "9090")
    assert path.read_text("utf-8-sig") == "[server]\nport = 9090\nhost = example.org\n\n"


@pytest.mark.parametrize("route", ["wheel", "tarball"])
def test_ansible_runs_the_module_with_the_hosts_interpreter(host: Host, tmp_path: pathlib.Path, route: str) -> None:
    if route == "wheel":  # found in ansible_collections/ on the controller's sys.path
        where, env = host.root / "venv", {}
    else:
        # The wheel's copy on sys.path would count as installed already, and hide the tarball's.
        where = tmp_path / "collections"
        env = {"ANSIBLE_COLLECTIONS_PATH": str(where), "ANSIBLE_COLLECTIONS_SCAN_SYS_PATH": "False"}
        host.run(host.bin / "ansible-galaxy", "collection", "install", "-p", where,
                 DIST / f"kestra-ini-{VERSION}.tar.gz", env=env)
        listed = host.run(host.bin / "ansible-galaxy", "collection", "list", "-p", where, env=env).stdout
        assert re.search(rf"^kestra\.ini\s+{re.escape(VERSION)}\s*$", listed, re.MULTILINE), listed
    doc = json.loads(host.run(host.bin / "ansible-doc", "--json", "kestra.ini.ini_file", env=env).stdout)
    assert doc["kestra.ini.ini_file"]["doc"]["filename"].startswith(str(where))

    path, results = tmp_path / "conf.ini", tmp_path / "results.json"
    play = [{"hosts": "localhost", "gather_facts": False, "tasks": [
        {"kestra.ini.ini_file": {"path": str(path), "section": "drinks", "option": "fav", "value": "lemonade"},
         "register": "r"},
        {"ansible.builtin.copy": {"dest": str(results), "content": "{{ r | to_json }}"}}]}]
    (tmp_path / "play.yml").write_text(json.dumps(play))
    host.run(host.bin / "ansible-playbook", "-c", "local", "-i", "localhost,", tmp_path / "play.yml",
             env={**env, "ANSIBLE_PYTHON_INTERPRETER": str(host.bin / "python")})
    result = json.loads(results.read_text())
    assert (result["changed"], result["msg"], path.read_text()) == (True, "section and option added",
                                                                     "\n[drinks]\nfav = lemonade\n")
