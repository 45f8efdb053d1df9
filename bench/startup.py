"""Start-up: what a shell pays to ask the command line one thing, and what Ansible pays to import the module.

    .venv/bin/python bench/startup.py                     # 41 interleaved runs of each
    .venv/bin/python bench/startup.py --runs 101
    .venv/bin/python bench/startup.py --peer PATH         # community.general's plugins/modules/ini_file.py

Each figure is the median CPU time (user and system) of a fresh interpreter (`subprocess.run`, output to
/dev/null), which a loaded machine disturbs far less than wall time, the commands of a row taken in turn so
that what load there is falls on all of them alike:

- `kestra-ini FILE get server port`, the installed script, beside `python -c pass`: the goal is 2x;
- the Ansible module's import (the module file loaded as Ansible's wrapper loads it, with what it imports:
  ansible's module_utils and kestra_ini's module code) beside community.general's `ini_file`, and beside
  `import ansible.module_utils.basic` alone, which both pay. The peer is found on the interpreter's path
  (`ansible_collections.community.general`) or given with --peer; without it its column says so.
"""
from __future__ import annotations

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE = os.path.join(ROOT, "ansible_collections", "kestra", "ini", "plugins", "modules", "ini_file.py")
# Loads a module file under a name of its own, as AnsiballZ runs it, without running its main().
LOAD = ("import importlib.util, sys; spec = importlib.util.spec_from_file_location('ini_file', sys.argv[1]); "
        "spec.loader.exec_module(importlib.util.module_from_spec(spec))")


def medians(commands: dict[str, list[str]], runs: int) -> dict[str, float]:
    """The median CPU time of each command, in seconds, the commands taken in turn."""
    times: dict[str, list[float]] = {name: [] for name in commands}

    def spent() -> float:
        used = resource.getrusage(resource.RUSAGE_CHILDREN)
        return used.ru_utime + used.ru_stime

    for _ in range(runs):
        for name, argv in commands.items():
            start = spent()
            subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
            times[name].append(spent() - start)
    return {name: statistics.median(found) for name, found in times.items()}


def peer_module(given: str | None) -> str | None:
    if given:
        return given
    try:
        import ansible_collections.community.general as general  # type: ignore[import-not-found]
    except ImportError:
        return None
    for folder in general.__path__:  # a namespace package, as Ansible's collections are
        path = os.path.join(folder, "plugins", "modules", "ini_file.py")
        if os.path.exists(path):
            return path
    return None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=41)
    parser.add_argument("--peer", metavar="PATH", help="community.general's plugins/modules/ini_file.py")
    args = parser.parse_args()
    python = sys.executable
    script = os.path.join(os.path.dirname(python), "kestra-ini")
    with tempfile.TemporaryDirectory() as scratch:
        settings = shutil.copy(os.path.join(ROOT, "examples", "settings.ini"), scratch)
        found = medians({"bare": [python, "-c", "pass"], "get": [script, settings, "get", "server", "port"]},
                        args.runs)
    ratio = found["get"] / found["bare"]
    print(f"kestra-ini get          {found['get'] * 1e3:6.1f} ms")
    print(f"python -c pass          {found['bare'] * 1e3:6.1f} ms   get/pass {ratio:.2f}x "
          f"(goal 2x: {'ok' if ratio <= 2 else 'MISSED'})")

    peer = peer_module(args.peer)
    commands = {"kestra": [python, "-c", LOAD, MODULE],
                "basic": [python, "-c", "import ansible.module_utils.basic"]}
    if peer:
        commands["peer"] = [python, "-c", LOAD, peer]
    found = medians(commands, args.runs)
    print(f"import kestra.ini       {found['kestra'] * 1e3:6.1f} ms")
    if peer:
        print(f"import community ini    {found['peer'] * 1e3:6.1f} ms   kestra/community "
              f"{found['kestra'] / found['peer']:.2f}x")
    else:
        print("import community ini       -      community.general not found: --peer PATH")
    print(f"module_utils.basic      {found['basic'] * 1e3:6.1f} ms   (both modules import it)")


if __name__ == "__main__":
    main()
