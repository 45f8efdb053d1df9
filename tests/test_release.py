"""One version number: pyproject.toml's, as the installed package, its command line, the Ansible collection and
the changelog's latest release give it."""
from __future__ import annotations

import importlib.metadata
import pathlib
import re
import subprocess
import sys
import tomllib

import yaml

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_every_place_gives_pyprojects_version() -> None:
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    galaxy = yaml.safe_load((ROOT / "ansible_collections/kestra/ini/galaxy.yml").read_text())
    printed = subprocess.run([pathlib.Path(sys.executable).with_name("kestra-ini"), "--version"],
                             capture_output=True, text=True, check=True).stdout
    released = re.findall(r"^## \[(\d[^\]]*)\] - \d{4}-\d\d-\d\d$", (ROOT / "CHANGELOG.md").read_text(), re.MULTILINE)
    assert {
        "installed": importlib.metadata.version("kestra-ini"),
        "--version": printed.removeprefix("kestra-ini ").strip(),
        "galaxy.yml": str(galaxy["version"]),
        "CHANGELOG.md": released[0] if released else None,
    } == dict.fromkeys(["installed", "--version", "galaxy.yml", "CHANGELOG.md"], version)
