"""The store beside what a user would pick instead, and beside two floors no parser can beat.

The peers are configparser (the engine itself), configparserc (a parser compiled with
Cython), configobj, ConfigUpdater and iniparse, each used through its own natural calls.
The floors are decoding and splitting the file's lines, and building the same section
dicts from ready-made strings; the per-call rows have a builtin method call instead,
timed in the same loop. Every cell of a row is sampled in the same run, interleaved.

Then the store against itself: a saving _set on a file of many sections against one of
few (emptying the engine must stay linear), a _get spread over many live stores against
one (the native paths prove engines plain and keep a few proofs), and the command line
against the bare interpreter's start.
"""

import configparser
import os
import statistics
import subprocess
import sys
from functools import partial

import configobj
import configparserc
import configupdater
import iniparse

from common import ENCODING, ini_text, markdown, spread
from kestra_ini.ini_main import KestraIniMain

PEERS = ("store", "configparser", "configparserc", "configobj", "ConfigUpdater", "iniparse")
FLOORS = ("lines", "dicts")
HEADINGS = {"store": "this store", "configparserc": "configparserc (Cython)"}

# Targets of the per-call rows: store / builtin method call at most this.
CALL_TARGETS = {"_get": 2.0, "_has_section": 1.5}
SAVE_GROWTH = 25   # a saving _set on 20x the sections at most this many times slower
COMMAND_LINE = 2.0  # a command-line get at most this many times the bare start

# How each peer loads a file, as one statement over the name `path`.
LOADS = {
    "store": "KestraIniMain(path)",
    "configparser": "configparser.ConfigParser().read(path, encoding=ENCODING)",
    "configparserc": "configparserc.ConfigParserC().parse_file(path)",
    "configobj": "configobj.ConfigObj(path, encoding=ENCODING)",
    "ConfigUpdater": "configupdater.ConfigUpdater().read(path, encoding=ENCODING)",
    "iniparse": "with open(path, encoding=ENCODING) as f:\n    iniparse.INIConfig(f)",
    "lines": "with open(path, encoding=ENCODING) as f:\n    f.read().splitlines()",
    "dicts": "{s: dict(pairs) for s, pairs in parsed}",
}

# How each peer answers the two single queries, over the name `c` (the loaded object).
QUERIES = {
    "_get": {"store": "c._get(s, o)", "configparser": "c.get(s, o)",
             "configparserc": "c[s][o]", "configobj": "c[s][o]",
             "ConfigUpdater": "c[s][o].value", "iniparse": "c[s][o]",
             "builtin": "d.get(s, o)"},
    "_has_section": {"store": "c._has_section(s)", "configparser": "c.has_section(s)",
                     "configparserc": "s in c", "configobj": "s in c",
                     "ConfigUpdater": "c.has_section(s)", "iniparse": "s in c",
                     "builtin": "d.get(s)"},
}

NAMES = {"KestraIniMain": KestraIniMain, "configparser": configparser,
         "configparserc": configparserc, "configobj": configobj,
         "configupdater": configupdater, "iniparse": iniparse, "ENCODING": ENCODING}


def loaded(peer, path):
    """The object a user of `peer` would hold after loading `path`."""
    if peer == "store":
        return KestraIniMain(path)
    if peer == "configparser":
        engine = configparser.ConfigParser()
        engine.read(path, encoding=ENCODING)
        return engine
    if peer == "configparserc":
        parser = configparserc.ConfigParserC()
        parser.parse_file(path)
        return parser
    if peer == "configobj":
        return configobj.ConfigObj(path, encoding=ENCODING)
    if peer == "ConfigUpdater":
        updater = configupdater.ConfigUpdater()
        updater.read(path, encoding=ENCODING)
        return updater
    with open(path, encoding=ENCODING) as f:
        return iniparse.INIConfig(f)


def ready_made(sections):
    """The file's content as strings already split out: [(section, [(option, value)])]."""
    engine = configparser.ConfigParser(interpolation=None)
    engine.read_string(ini_text(sections))
    return [(name, list(engine[name].items())) for name in engine.sections()]


class Cells:
    """Statements timed side by side: name -> (statement, local names, copies per turn)."""

    def __init__(self, label):
        self.label = label
        self.cells = {}

    def add(self, name, statement, env, unroll=1):
        self.cells[name] = (statement, env, unroll)


def measure(cells, repeats, sample_ns, timing):
    """Median ns per statement of each cell, sampled interleaved in rotating order."""
    compile_timer, sample, calibrate = timing
    timers = []
    for name, (statement, env, unroll) in cells.cells.items():
        timer = compile_timer(statement, sorted(env), unroll)
        timers.append((name, timer, env, unroll, calibrate(timer, env, sample_ns)))
    samples = {name: [] for name, *_ in timers}
    for r in range(repeats):
        shift = r % len(timers)
        for name, timer, env, unroll, n in timers[shift:] + timers[:shift]:
            samples[name].append(sample(timer, n, env) / (n * unroll))
    return {name: statistics.median(values) for name, values in samples.items()}


def peer_rows(files):
    """The rows of the peer table, each a Cells of the peers and the floors."""
    rows = []
    for label, sections in [("construct, 20 options", {"main": 20}),
                            ("load 10,000 options", spread(10_000))]:
        path = files.make(sections)
        cells = Cells(label)
        env = {**NAMES, "path": path, "parsed": ready_made(sections)}
        for name in PEERS + FLOORS:
            cells.add(name, LOADS[name], env)
        rows.append(cells)
    path = files.make(spread(100))
    for query, statements in QUERIES.items():
        cells = Cells(query)
        for name in PEERS:
            env = {"c": loaded(name, path), "s": "section004", "o": "option0007"}
            cells.add(name, statements[name], env, unroll=10)
        builtin = {"d": {"section004": "a value"}, "s": "section004", "o": "option0007"}
        cells.add("builtin", statements["builtin"], builtin, unroll=10)
        rows.append(cells)
    return rows


def store_rows(files):
    """The store against itself: many sections or few, many stores or one, and the
    command line against the bare interpreter."""
    rows = []
    cells = Cells("saving _set, 20,000 sections vs 1,000")
    for name, count in [("many", 20_000), ("few", 1_000)]:
        path = files.make({f"section{k:05d}": 1 for k in range(count)})
        env = {"store": KestraIniMain(path), "s": "section00000", "o": "option0000",
               "v": "a saved value"}
        cells.add(name, "store._set(s, o, v)", env)
    rows.append(cells)

    # Each turn calls _get once on each of 10,000 entries: all the same store, or
    # 10,000 stores, each with an engine of its own.
    path = files.make({"main": 1})
    one = KestraIniMain(path)
    cells = Cells("_get, 10,000 live stores vs 1")
    loop = "for store in stores:\n    store._get(s, o)"
    for name, stores in [("many", [KestraIniMain(path) for _ in range(10_000)]),
                         ("few", [one] * 10_000)]:
        cells.add(name, loop, {"stores": stores, "s": "main", "o": "option0000"})
    rows.append(cells)

    example = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                           "examples", "settings.ini")
    path = files.make({})
    with open(example, encoding=ENCODING) as source, open(path, "w", encoding="utf-8") as f:
        f.write(source.read())
    run = partial(subprocess.run, check=True, stdout=subprocess.DEVNULL)
    cells = Cells("command-line get vs python -c pass")
    cells.add("many", "run(get)", {"run": run, "get": [
        sys.executable, "-m", "kestra_ini", path, "get", "server", "host"]})
    cells.add("few", "run(bare)", {"run": run, "bare": [sys.executable, "-c", "pass"]})
    rows.append(cells)
    return rows


# --- the report -------------------------------------------------------------------------

def fmt(ns):
    if ns >= 1_000_000:
        return f"{ns / 1_000_000:,.1f} ms" if ns < 100_000_000 else f"{ns / 1e9:,.2f} s"
    if ns >= 1_000:
        return f"{ns / 1000:,.1f} us" if ns < 100_000 else f"{ns / 1000:,.0f} us"
    return f"{ns:,.0f} ns"


def peer_table(rows, medians):
    """Each peer's time with its ratio to the store's; the floors, or the builtin call
    with the store's ratio to it and the target."""
    header = ("work", *(HEADINGS.get(p, p) for p in PEERS), "floors", "target")
    lines = []
    for cells in rows:
        med = medians[cells.label]
        store = med["store"]
        line = [cells.label, fmt(store)]
        line += [f"{fmt(med[p])} ({med[p] / store:.2f}x)" for p in PEERS[1:]]
        if "builtin" in med:
            ratio, limit = store / med["builtin"], CALL_TARGETS[cells.label]
            line.append(f"builtin call {fmt(med['builtin'])}")
            line.append(f"store/builtin {ratio:.2f} <= {limit}: "
                        + ("ok" if ratio <= limit else "MISSED"))
        else:
            floors = med["lines"] + med["dicts"]
            line.append(f"{fmt(med['lines'])} + {fmt(med['dicts'])}")
            line.append(f"store/floors {store / floors:.2f}")
        lines.append(line)
    return markdown(header, lines)


def store_table(rows, medians):
    limits = {rows[0].label: SAVE_GROWTH, rows[2].label: COMMAND_LINE}
    lines = []
    for cells in rows:
        med = medians[cells.label]
        ratio = med["many"] / med["few"]
        limit = limits.get(cells.label)
        verdict = "" if limit is None else (
            f"<= {limit}: " + ("ok" if ratio <= limit else "MISSED"))
        per = " per call" if cells.label.startswith("_get") else ""
        lines.append((cells.label, fmt(med["many"] / (10_000 if per else 1)) + per,
                      fmt(med["few"] / (10_000 if per else 1)) + per, f"{ratio:.2f}", verdict))
    return markdown(("work", "first", "second", "ratio", "target"), lines)


def run(files, repeats, sample_ns, timing, progress):
    """Both tables as text."""
    peers, own = peer_rows(files), store_rows(files)
    medians = {}
    for index, cells in enumerate(peers + own):
        medians[cells.label] = measure(cells, repeats, sample_ns, timing)
        progress(index + 1, len(peers) + len(own), cells.label)
    return peer_table(peers, medians), store_table(own, medians)
