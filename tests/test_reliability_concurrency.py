"""Processes and threads working on one file at once never see a torn file."""
import os
import subprocess
import sys

from conftest import run_python

# Shared by every process and thread. Each value says how long it must be, so
# a value cut short by a partial read shows; a torn file fails to parse.
WORKER = r'''
import configparser, os, re, sys, threading, traceback
from kestra_ini.ini_main import KestraIniMain

SHAPE = re.compile(r"(\w+)-(\d+)-(x*)-end")

def value(tag, i):
    return f"{tag}-{i}-{'x' * (i * 37 % 1500)}-end"

def check(section_dict):
    assert "shared" in section_dict, sorted(section_dict)
    for section, options in section_dict.items():
        for option, text in options.items():
            m = SHAPE.fullmatch(text)
            assert m and len(m[3]) == int(m[2]) * 37 % 1500, (section, option, text[:40])

def work(store, tag, rounds, start=0, verify=True):
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

def read_raw(path, stop):
    reads = 0
    while not os.path.exists(stop) or reads < 100:
        reads += 1
        data = open(path, "rb").read()
        assert data.startswith(b"\xef\xbb\xbf[") and data.endswith(b"\n\n"), data[-40:]
        engine = configparser.ConfigParser()
        engine.read_string(data.decode("utf-8-sig"))
        check({name: dict(engine.items(name, raw=True)) for name in engine.sections()})
'''


def seed(path):
    run_python(WORKER + f"KestraIniMain({str(path)!r})._set_option('shared', {{'seed': value('seed', 1)}})")


def test_processes_on_one_file_never_read_a_partial_file(tmp_path):
    (tmp_path / "data").mkdir()
    path, stop = tmp_path / "data" / "settings.ini", tmp_path / "stop"
    seed(path)
    jobs = [f"work(KestraIniMain({str(path)!r}), 'p{n}', 300)" for n in range(3)]
    jobs.append(f"read_raw({str(path)!r}, {str(stop)!r})")  # reads until the writers are done
    children = [subprocess.Popen([sys.executable, "-c", WORKER + job], stderr=subprocess.PIPE, text=True)
                for job in jobs]
    errors = [child.communicate(timeout=300)[1] for child in children[:-1]]
    stop.touch()
    errors.append(children[-1].communicate(timeout=300)[1])
    assert [child.returncode for child in children] == [0] * len(jobs), errors
    # The last save wins: whatever it held, the file is whole and loads.
    run_python(WORKER + f"check(KestraIniMain({str(path)!r})._get_all())")
    assert os.listdir(path.parent) == ["settings.ini"]


THREADS = r'''
path, shared = sys.argv[1], sys.argv[2] == "shared"
sys.setswitchinterval(1e-5)  # switch threads often, inside the engine's methods too
common, outcomes = KestraIniMain(path), {}

def run(tag):
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
                outcomes.setdefault(tag, []).append(type(error).__name__)
        outcomes.setdefault(tag, [])
    except BaseException:
        outcomes[tag] = traceback.format_exc()

threads = [threading.Thread(target=run, args=(f"t{n}",)) for n in range(4)]
for thread in threads: thread.start()
for thread in threads: thread.join()
assert len(outcomes) == 4 and all(isinstance(v, list) for v in outcomes.values()), outcomes
common._save() if shared else None
# A save of a shared engine while another thread is half way through reading
# into it writes odd values, but a file that loads.
final = KestraIniMain(path)._get_all()
check(final) if not shared else None
'''


def test_threads_sharing_one_store_or_owning_one_each(tmp_path):
    path = tmp_path / "settings.ini"
    seed(path)
    for mode in ("own", "shared"):
        child = subprocess.run([sys.executable, "-c", WORKER + THREADS, str(path), mode],
                               capture_output=True, text=True, timeout=300)
        assert child.returncode == 0, (mode, child.stdout[-2000:], child.stderr[-3000:])
    assert sorted(os.listdir(tmp_path)) == ["settings.ini"]
