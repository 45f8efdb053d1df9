"""What one store save costs beside 100,000 other files, against the same save in an empty directory.

The two are timed side by side in one run, rounds interleaved so that the machine's load falls on both alike,
and the ratio of the medians is printed: a save must not read its directory (src/ini_main/disk/PROTOCOL.md, S7),
so the ratio stays near 1 (the target is at most 1.5).

    .venv/bin/python bench/save_dir.py [--others N] [--rounds N]
"""
from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time

from kestra_ini.ini_main import KestraIniMain


def timed_save(store: KestraIniMain, value: int) -> float:
    start = time.perf_counter()
    store._set("bench", "value", str(value))  # a saving call: render, write, sync, rename
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--others", type=int, default=100_000, help="files beside the crowded one")
    parser.add_argument("--rounds", type=int, default=200, help="saves timed in each directory")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as empty, tempfile.TemporaryDirectory() as crowded:
        for number in range(args.others):
            with open(os.path.join(crowded, f"other{number:06d}.ini"), "wb"):
                pass
        stores = [KestraIniMain(os.path.join(folder, "settings.ini")) for folder in (empty, crowded)]
        for store in stores:  # the first save of a process in a directory may look for stale temporaries
            timed_save(store, -1)
        times: list[list[float]] = [[], []]
        for value in range(args.rounds):
            for side, store in enumerate(stores):
                times[side].append(timed_save(store, value))
    alone, beside = (statistics.median(t) for t in times)
    print(f"save in an empty directory:        {alone * 1e3:8.3f} ms (median of {args.rounds})")
    print(f"save beside {args.others:,} other files: {beside * 1e3:8.3f} ms")
    print(f"ratio: {beside / alone:.2f} (target: at most 1.5)")


if __name__ == "__main__":
    main()
