"""The processes of test_reliability_concurrency.py, run from tests/ as

    python -m concurrency_child seed PATH          the file's first value
    python -m concurrency_child work PATH TAG N    N rounds of changes through one store
    python -m concurrency_child read PATH STOP     raw reads until STOP exists (and at least 100)
    python -m concurrency_child check PATH         a fresh load is whole
    python -m concurrency_child threads PATH MODE  four threads with a store each ("own") or one "shared"

Every value says how long it must be, so a value cut short by a partial read shows; a torn file fails to parse.
A failed check raises, so the interpreter exits non-zero.
"""
from __future__ import annotations

import configparser
import os
import re
import sys
import threading
import traceback

from kestra_ini.ini_main import KestraIniMain

SHAPE = re.compile(r"(\w+)-(\d+)-(x*)-end")


def value(tag: str, i: int) -> str:
    return f"{tag}-{i}-{'x' * (i * 37 % 1500)}-end"


def check(section_dict: dict[str, dict[str, str]]) -> None:
    assert "shared" in section_dict, sorted(section_dict)
    for section, options in section_dict.items():
        for option, text in options.items():
            m = SHAPE.fullmatch(text)
            assert m and len(m[3]) == int(m[2]) * 37 % 1500, (section, option, text[:40])


def work(store: KestraIniMain, tag: str, rounds: int, start: int = 0, verify: bool = True) -> None:
    for i in range(start, start + rounds):
        step = i % 6
        if step == 0:
            try:
                store._set(tag, f"o{i % 7}", value(tag, i))
            except configparser.NoSectionError:
                # _set saves the new section and reloads the file before it sets
                # the option: a save by another process in between drops it.
                pass
        elif step == 1:
            store._set_option("shared", {tag: value(tag, i), tag + "b": value(tag, i + 1)})
        elif step == 2:
            store._set_all({tag: {"bulk": value(tag, i)}, "shared": {tag: value(tag, i)}})
        elif step == 3 and store._has_section(tag):
            store._remove_option(tag, f"o{(i - 3) % 7}")
        elif step == 4:
            store._remove_section(tag if i % 4 else tag + "-none")
        elif step == 5:
            store._set_path()
        if verify:
            check(store._get_all())


def read_raw(path: str, stop: str) -> None:
    reads = 0
    while not os.path.exists(stop) or reads < 100:
        reads += 1
        with open(path, "rb") as f:
            data = f.read()
        assert data.startswith(b"\xef\xbb\xbf[") and data.endswith(b"\n\n"), data[-40:]
        engine = configparser.ConfigParser()
        engine.read_string(data.decode("utf-8-sig"))
        check({name: dict(engine.items(name, raw=True)) for name in engine.sections()})


def threads(path: str, shared: bool) -> None:
    sys.setswitchinterval(1e-5)  # switch threads often, inside the engine's methods too
    common = KestraIniMain(path)
    errors: dict[str, list[str]] = {}  # the engine's errors that each thread met, by thread
    crashed: dict[str, str] = {}  # the traceback of each thread that failed

    def run(tag: str) -> None:
        try:
            for i in range(400 if shared else 1):
                try:
                    # A shared engine may be emptied by another thread between any
                    # two calls, so there only the file is checked, at the end.
                    work(common, tag, 1, i, verify=False) if shared else work(KestraIniMain(path), tag, 300)
                except Exception as error:
                    # The module raised it itself (a refusal, the pair walk, a save)
                    # when the innermost entry is its own; otherwise the engine did,
                    # as another thread changed its state under it.
                    if not shared or traceback.extract_tb(error.__traceback__)[-1].filename == "ini_main":
                        raise
                    errors.setdefault(tag, []).append(type(error).__name__)
            errors.setdefault(tag, [])
        except BaseException:
            crashed[tag] = traceback.format_exc()

    workers = [threading.Thread(target=run, args=(f"t{n}",)) for n in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not crashed and len(errors) == 4, (crashed, errors)
    if shared:
        # A save of a shared engine while another thread is half way through reading
        # into it writes odd values, but a file that loads.
        common._save()
        KestraIniMain(path)._get_all()
    else:
        check(KestraIniMain(path)._get_all())


def main(command: str, path: str, *args: str) -> None:
    if command == "seed":
        KestraIniMain(path)._set_option("shared", {"seed": value("seed", 1)})
    elif command == "work":
        work(KestraIniMain(path), args[0], int(args[1]))
    elif command == "read":
        read_raw(path, args[0])
    elif command == "check":
        check(KestraIniMain(path)._get_all())
    else:
        threads(path, args[0] == "shared")


if __name__ == "__main__":
    main(*sys.argv[1:])
