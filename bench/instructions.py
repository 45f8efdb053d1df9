"""Instruction counts of single calls: the module against the engine alone and a pure-Python store.

Each figure is the difference of two runs under valgrind --tool=callgrind that differ only
in their number of calls, so it is free of timing noise and repeats to within a few tens of
instructions. The file holds ten sections of ten options.

Beside the two single queries it also counts the floor of their kind: bench/floor.c, a tiny
extension whose class is made by `type` on vectorcall functions flagged as method descriptors,
making every check that the store's contract asks of a native path and nothing else.

Usage: python bench/instructions.py [--quick] [--floor-only]
       python bench/instructions.py --loop STATEMENT N   (one loop, to run under a profiler)
"""

import argparse
import concurrent.futures
import configparser
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import types

from common import Files, compile_timer, engine_on, markdown, spread
from kestra_ini.ini_main import KestraIniMain
from pure_store import PureStore

FLOOR_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor.c")
FLOOR_BUILD = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "bench-floor")


def build_floor():
    """Compiles bench/floor.c into build/bench-floor, as the module is built (-O2)."""
    os.makedirs(FLOOR_BUILD, exist_ok=True)
    target = os.path.join(FLOOR_BUILD, "floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-Wall", "-Werror",
                    "-I", sysconfig.get_paths()["include"], "-o", target, FLOOR_SOURCE], check=True)
    return target


def floor_of(store):
    """A floor object over the store's own engine."""
    spec = importlib.util.spec_from_file_location(
        "floor", os.path.join(FLOOR_BUILD, "floor" + sysconfig.get_config_var("EXT_SUFFIX")))
    floor = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(floor)
    functions = [inner for cls in vars(configparser).values()
                 if isinstance(cls, type) and cls.__module__ == "configparser"
                 for value in vars(cls).values()
                 for inner in (value, getattr(value, "__func__", None), getattr(value, "fget", None),
                               getattr(value, "func", None))
                 if isinstance(inner, types.FunctionType)]
    cells = tuple(item for function in functions for cell in function.__closure__ or ()
                  for item in (cell, cell.cell_contents))
    raw, basic = configparser.RawConfigParser, configparser.BasicInterpolation
    get_codes = tuple(f.__code__ for f in (raw.get, raw._unify_values, raw.optionxform, basic.before_get,
                                           basic._interpolate_some))
    made = floor.setup(configparser.ConfigParser, basic, cells, (raw.has_section.__code__,), get_codes)()
    made._config = store._config
    return made


def run_loop(statement, n, directory):
    """Runs one statement n times, for a profiler: the difference of two runs under
    valgrind --tool=callgrind, divided by the difference of their n, is the number of
    instructions of one call."""
    path = Files(directory).make(spread(100))
    module = KestraIniMain(path)
    env = {"module": module, "floor": floor_of(module), "pure": PureStore(path), "engine": engine_on(path),
           "s": "section004", "o": "option0007", "v": "a new value",
           "d": {f"key{i:04d}": f"value {i}" for i in range(100)}, "b": {"section004": "a value"}}
    timer = compile_timer(statement, sorted(env), 1)
    timer(200, **env)  # the interpreter specialises the loop first
    timer(n, **env)


# Rows of the instruction count: (label, module, floor, pure) in the names of run_loop.
INSTRUCTION_ROWS = [
    ("_has_section", "module._has_section(s)", "engine.has_section(s)", "pure._has_section(s)"),
    ("_has_section, keywords", "module._has_section(section=s)", "engine.has_section(s)",
     "pure._has_section(section=s)"),
    ("_has_option", "module._has_option(s, o)", "engine.has_option(s, o)",
     "pure._has_option(s, o)"),
    ("_has_option, keywords", "module._has_option(section=s, option=o)",
     "engine.has_option(s, o)", "pure._has_option(section=s, option=o)"),
    ("_sections", "module._sections()", "engine.sections()", "pure._sections()"),
    ("_options", "module._options(s)", "engine.options(s)", "pure._options(s)"),
    ("_options, keywords", "module._options(section=s)", "engine.options(s)",
     "pure._options(section=s)"),
    ("_get", "module._get(s, o)", "engine.get(s, o)", "pure._get(s, o)"),
    ("_get, keywords", "module._get(section=s, option=o)", "engine.get(s, o)",
     "pure._get(section=s, option=o)"),
    ("_get_option, 10 options", "module._get_option(s)", "dict(engine.items(s))",
     "pure._get_option(s)"),
    ("_set, save=False", "module._set(s, o, v, False)",
     "engine.has_section(s)\nengine.set(s, o, v)", "pure._set(s, o, v, False)"),
    ("_set, save=False, keywords", "module._set(section=s, option=o, value=v, save=False)",
     "engine.has_section(s)\nengine.set(s, o, v)",
     "pure._set(section=s, option=o, value=v, save=False)"),
    ("_set_option, 100 options, save=False", "module._set_option(s, d, False)",
     "engine.has_section(s)\nfor k, w in d.items():\n    engine.has_section(s)\n"
     "    engine.set(s, k, w)", "pure._set_option(s, d, False)"),
]


# The single queries beside a builtin method call made in the same loop: `d.get` on the dict
# of 100 options, a miss (`s` names no key of it), and `b.get` on a dict holding `s`, a hit,
# as bench/peers.py times it: (label, module, miss, hit, goal).
BUILTIN_ROWS = [
    ("_has_section", "module._has_section(s)", "d.get(s)", "b.get(s)", 1.5),
    ("_get", "module._get(s, o)", "d.get(s, o)", "b.get(s, o)", 2.0),
]


# Each query beside its floor (bench/floor.c) and a builtin call in the same loop: (label, module,
# floor, builtin, goal for module / floor).
FLOOR_ROWS = [
    ("_has_section", "module._has_section(s)", "floor.has_section(s)", "d.get(s)", 1.10),
    ("_get", "module._get(s, o)", "floor.get(s, o)", "d.get(s, o)", 1.10),
]


def floor_table(counts):
    lines = []
    for label, module, floor, builtin, goal in FLOOR_ROWS:
        ratio = counts[module] / counts[floor]
        lines.append((label, f"{counts[module]:,.0f}", f"{counts[floor]:,.0f}",
                      f"{ratio:.2f} (<= {goal}: {'ok' if ratio <= goal else 'MISSED'})",
                      f"{builtin}: {counts[builtin]:,.0f}", f"{counts[module] / counts[builtin]:.2f}"))
    return markdown(("query", "module", "floor", "module / floor", "builtin", "module / builtin"), lines)


def instructions_per_call(statement, quick):
    """Instructions of one call: two callgrind runs that differ only in their number of
    calls. Free of timing noise; repeatable to within a few tens of instructions (the
    allocator's state differs a little from run to run)."""
    low, high = (200, 1200) if quick else (500, 5500)
    counts = []
    for n in (low, high):
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
             os.path.abspath(__file__), "--loop", statement, str(n)],
            capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"},
            check=True)
        counts.append(int(re.search(r"Collected : (\d+)", result.stderr).group(1)))
    return (counts[1] - counts[0]) / (high - low)


def count_all(statements, quick):
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        return dict(zip(statements, pool.map(lambda statement: instructions_per_call(statement, quick), statements)))


def instruction_table(quick):
    statements = sorted({s for row in INSTRUCTION_ROWS for s in row[1:]} |
                        {s for row in BUILTIN_ROWS for s in row[1:4]} |
                        {s for row in FLOOR_ROWS for s in row[1:4]})
    counts = count_all(statements, quick)
    header = ("operation", "module", "floor", "pure", "mod/pure", "overhead")
    lines = []
    for label, *variants in INSTRUCTION_ROWS:
        m, f, p = (counts[s] for s in variants)
        lines.append((label, f"{m:,.0f}", f"{f:,.0f}", f"{p:,.0f}", f"{m / p:.2f}",
                      f"{(m - f) / (p - f):.2f}"))
    by_label = {row[0]: row for row in INSTRUCTION_ROWS}
    for label in [row[0] for row in INSTRUCTION_ROWS if row[0].endswith(", keywords")]:
        keywords, positional = by_label[label], by_label[label[:-len(", keywords")]]
        m, p = (counts[keywords[i]] - counts[positional[i]] for i in (1, 3))
        lines.append((f"keyword binding, {positional[0]}: keywords - positional",
                      f"{m:,.0f}", "0", f"{p:,.0f}", f"{m / p:.2f}", f"{m / p:.2f}"))
    beside = []
    for label, module, *builtins, goal in BUILTIN_ROWS:
        cells = [label, f"{counts[module]:,.0f}"]
        for builtin in builtins:
            ratio = counts[module] / counts[builtin]
            cells += [f"{builtin}: {counts[builtin]:,.0f}",
                      f"{ratio:.2f} (<= {goal}: {'ok' if ratio <= goal else 'MISSED'})"]
        beside.append(tuple(cells))
    return (markdown(header, lines) + "\n\nBeside a builtin method call in the same loop:\n\n" +
            markdown(("query", "module", "a miss", "ratio", "a hit", "ratio"), beside) +
            "\n\nBeside the floor of their kind (bench/floor.c):\n\n" + floor_table(counts))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls per run")
    parser.add_argument("--floor-only", action="store_true", help="only the queries beside their floor")
    parser.add_argument("--dir", help="where to make the scratch directory of bench files")
    parser.add_argument("--loop", nargs=2, metavar=("STATEMENT", "N"),
                        help="only run STATEMENT N times, for perf or valgrind; its names: "
                             "module, floor, pure, engine (on a file of ten sections of ten "
                             "options), s, o, v, d (a dict of 100 options) and b (a dict holding s)")
    args = parser.parse_args()
    if args.loop:
        directory = tempfile.mkdtemp(prefix="ini-bench-", dir=args.dir)
        try:
            run_loop(args.loop[0], int(args.loop[1]), directory)
        finally:
            shutil.rmtree(directory, ignore_errors=True)
        return
    build_floor()
    print("Instructions per call (valgrind --tool=callgrind; each the difference of two "
          "runs that differ only in their number of calls):")
    print()
    if args.floor_only:
        print(floor_table(count_all(sorted({s for row in FLOOR_ROWS for s in row[1:4]}), args.quick)))
    else:
        print(instruction_table(args.quick))


if __name__ == "__main__":
    main()
