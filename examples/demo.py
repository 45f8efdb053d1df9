"""Shows the store at work on a copy of an example INI file."""
import pathlib
import shutil
import sys
import tempfile

from kestra_ini.ini_main import KestraIniMain


def main(example: str) -> None:
    with tempfile.TemporaryDirectory() as workdir:
        path = pathlib.Path(workdir) / "settings.ini"
        shutil.copyfile(example, path)
        store = KestraIniMain(str(path))
        print("sections:", store._sections())
        print("server.host =", store._get("server", "host"))
        store._set("server", "port", 9090)
        print("after _set('server', 'port', 9090):")
        print(path.read_text(encoding="utf-8-sig"), end="")


if __name__ == "__main__":
    main(sys.argv[1])
