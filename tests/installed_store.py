"""Run by test_dist_install.py with a fresh venv's interpreter (`python -I installed_store.py FILE`): the class
from the installed wheel on one file; prints what the calls gave, as JSON."""
from __future__ import annotations

import json
import sys

import kestra_ini.ini_main
from kestra_ini.ini_main import KestraIniMain


def main(path: str) -> None:
    store = KestraIniMain(path)
    added = store._set("server", "port", 9090)
    read = store._get("server", "port")
    store._set("server", "host", "example.org", save=False)
    store._save()
    print(json.dumps({"module": kestra_ini.ini_main.__file__, "_set": added, "_get": read}))


if __name__ == "__main__":
    main(sys.argv[1])
