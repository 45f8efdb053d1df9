"""Benchmark: the extension against the engine alone and against a pure-Python store.

Three ways of doing each operation are timed side by side in one run:

    module  kestra_ini.ini_main.KestraIniMain
    floor   the same configparser calls made directly on a ConfigParser, with
            none of the store's own work (no binding, no refusals, no method
            dispatch of its own, dicts built by dict())
    pure    bench/pure_store.PureStore, the same store written in Python

Each timing is a loop of time.perf_counter_ns around many calls, compiled from
source so that the call stands in the loop as a user would write it. After a
warm-up, the samples of all variants of a group of rows are interleaved
(rotating the order), repeated, and the median is reported; the garbage
collector is off inside a sample, as timeit does. The table gives ns per
operation, module/pure, and the overhead ratio (module - floor) /
(pure - floor): the cost of the store's own work in the extension relative to
the same work in Python.

Usage: python bench/run.py [--quick] [--dir DIR]
       python bench/run.py --instructions [--quick]   (instruction counts, with valgrind)
       python bench/run.py --loop STATEMENT N         (one loop, to run under a profiler)
"""

import argparse
import concurrent.futures
import configparser
import gc
import io
import math
import operator
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pure_store import PureStore, durable_write, encode_text  # noqa: E402

from kestra_ini.ini_main import KestraIniMain  # noqa: E402

VARIANTS = ("module", "floor", "pure")
LOOP_FILE = "<bench loop>"
ENCODING = "utf-8-sig"

# Targets, by kind of row: (what is judged, the most it may be).
SINGLE_QUERY = ("mod/pure", 1.20)
OWN_WORK = ("overhead", 0.50)
SAVE = ("mod/pure", 1.05)


# --- the files ----------------------------------------------------------------------

def ini_text(sections):
    """INI text for {section: number of options}."""
    out = []
    for section, count in sections.items():
        out.append(f"[{section}]")
        out.extend(f"option{i:04d} = value number {i} of {section}" for i in range(count))
        out.append("")
    return "\n".join(out)


def spread(total):
    """A file of `total` options in sections of ten."""
    return {f"section{k:03d}": 10 for k in range(max(1, total // 10))}


class Files:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    def make(self, sections):
        self.count += 1
        path = os.path.join(self.directory, f"bench{self.count:03d}.ini")
        with open(path, "w", encoding="utf-8") as f:
            f.write(ini_text(sections))
        return path


def engine_on(path, **settings):
    engine = configparser.ConfigParser(**settings)
    engine.read(path, encoding=ENCODING)
    return engine


def floor_save(engine, path):
    """The engine's share of a save-and-reload, with the same durable write."""
    buffer = io.StringIO()
    engine.write(buffer)
    durable_write(path, encode_text(buffer.getvalue()))
    engine.clear()
    engine.read(path, encoding=ENCODING)


# --- rows and their statistics ----------------------------------------------------------

def median_noise(values):
    """Half-width of an approximate 95% interval of the median (the boxplot notch)."""
    if len(values) < 4:
        return math.inf
    q1, _, q3 = statistics.quantiles(values, n=4)
    return 1.57 * (q3 - q1) / math.sqrt(len(values))


class Row:
    """One operation: a statement and its local names for each variant."""

    def __init__(self, label, statements, env, *, unroll=10, target=None, sample_scale=1,
                 check=False):
        self.label = label
        self.statements = statements  # variant -> source of one operation
        self.env = env                # variant -> {local name: object}
        self.unroll = unroll          # copies of the statement per loop turn
        self.target = target
        self.sample_scale = sample_scale
        self.check = check            # the three variants must answer alike
        self.samples = {v: [] for v in VARIANTS}

    def values(self, variant):
        return self.samples[variant]


class Derived:
    """What keywords add to a call: per interleaved sample, keyword row minus positional row."""

    def __init__(self, label, keywords, positional, target):
        self.label = label
        self.keywords = keywords
        self.positional = positional
        self.target = target

    def values(self, variant):
        if variant == "floor":
            return [0.0] * len(self.keywords.samples["module"])
        return [k - p for k, p in zip(self.keywords.samples[variant],
                                      self.positional.samples[variant])]


def summarize(row):
    med = {v: statistics.median(row.values(v)) for v in VARIANTS}
    noise = {v: median_noise(row.values(v)) for v in VARIANTS}
    m, f, p = med["module"], med["floor"], med["pure"]
    ratio = m / p if p > 0 else None
    # Below the noise of the run, pure - floor says nothing, and neither does the ratio.
    measurable = p - f > 2 * math.hypot(noise["pure"], noise["floor"])
    overhead = (m - f) / (p - f) if measurable else None
    return med, ratio, overhead


# --- the operations -----------------------------------------------------------------------

def build_groups(files):
    """Groups of rows whose samples are interleaved, and the derived keyword rows."""
    groups, derived = [], []

    def row(label, module, floor, pure, env, **options):
        return Row(label, {"module": module, "floor": floor, "pure": pure}, env, **options)

    def stores(path, **settings):
        module, pure = KestraIniMain(path), PureStore(path)
        if settings:  # the stores look _config up at each call, so another engine serves
            module._config, pure._config = engine_on(path, **settings), engine_on(path, **settings)
        return {"module": {"store": module}, "floor": {"engine": engine_on(path, **settings)},
                "pure": {"store": pure}}

    def with_names(env, **names):
        return {variant: {**names, **objects} for variant, objects in env.items()}

    def keyword_pair(name, positional, keywords, derive=True):
        groups.append([positional, keywords])
        if derive:
            derived.append(Derived(f"keyword binding, {name}: keywords - positional",
                                   keywords, positional, OWN_WORK))

    # Single queries on a file of ten sections of ten options. A method whose only
    # parameter is self takes it by keyword only through the class, a call of another
    # shape, so no keyword cost is derived for those.
    small = files.make(spread(100))
    env = with_names(stores(small), s="section004", o="option0007")
    for name, positional, keywords, floor in [
        ("_get", "store._get(s, o)", "store._get(section=s, option=o)", "engine.get(s, o)"),
        ("_sections", "store._sections()", "type(store)._sections(self=store)",
         "engine.sections()"),
        ("_options", "store._options(s)", "store._options(section=s)", "engine.options(s)"),
        ("_has_section", "store._has_section(s)", "store._has_section(section=s)",
         "engine.has_section(s)"),
        ("_has_option", "store._has_option(s, o)", "store._has_option(section=s, option=o)",
         "engine.has_option(s, o)"),
    ]:
        keyword_pair(name,
                     row(name, positional, floor, positional, env, target=SINGLE_QUERY,
                         check=True),
                     row(f"{name}, keywords", keywords, floor, keywords, env,
                         target=SINGLE_QUERY, check=True),
                     derive=name != "_sections")

    # Dict building: _get_option on a section of N options, _get_all on a file of N
    # options in sections of ten. With the default engine, interpolating every value
    # costs ~1 us per option and hides the dict building (and any keyword cost); an
    # engine without interpolation shows it.
    get_option_floor = "dict(engine.items(s))"
    get_all_floor = "{s: dict(engine.items(s)) for s in engine.sections()}"
    for settings, suffix in [({}, ""), ({"interpolation": None}, ", no interpolation")]:
        for size in (10, 100, 1000):
            env = with_names(stores(files.make({"main": size}), **settings), s="main")
            positional = row(f"_get_option, {size} options{suffix}", "store._get_option(s)",
                             get_option_floor, "store._get_option(s)", env,
                             unroll=10 if size < 1000 else 1, target=OWN_WORK, check=True)
            if size == 10 and not settings:
                keyword_pair("_get_option", positional,
                             row("_get_option, 10 options, keywords",
                                 "store._get_option(section=s)", get_option_floor,
                                 "store._get_option(section=s)", env, target=OWN_WORK,
                                 check=True),
                             derive=False)
            else:
                groups.append([positional])
        for size in (10, 100, 1000):
            env = stores(files.make(spread(size)), **settings)
            positional = row(f"_get_all, {size} options{suffix}", "store._get_all()",
                             get_all_floor, "store._get_all()", env,
                             unroll=10 if size < 1000 else 1, target=OWN_WORK, check=True)
            if size == 10 and not settings:
                keyword_pair("_get_all", positional,
                             row("_get_all, 10 options, keywords",
                                 "type(store)._get_all(self=store)", get_all_floor,
                                 "type(store)._get_all(self=store)", env, target=OWN_WORK,
                                 check=True),
                             derive=False)
            else:
                groups.append([positional])

    # Mutations without a save: refusal checks, dispatch, and the pair walks. The floor
    # makes the engine calls that the store makes: has_section, then set.
    env = with_names(stores(files.make(spread(100))), s="section004", o="option0007",
                     v="a new value")
    floor_set = "engine.has_section(s)\nengine.set(s, o, v)"
    keyword_pair("_set",
                 row("_set, save=False", "store._set(s, o, v, False)", floor_set,
                     "store._set(s, o, v, False)", env, target=OWN_WORK),
                 row("_set, save=False, keywords",
                     "store._set(section=s, option=o, value=v, save=False)", floor_set,
                     "store._set(section=s, option=o, value=v, save=False)", env,
                     target=OWN_WORK))

    options = {f"key{i:04d}": f"bulk value {i}" for i in range(1000)}
    env = with_names(stores(files.make({"bulk": 0})), s="bulk", d=options)
    groups.append([row("_set_option, 1000 options, save=False", "store._set_option(s, d, False)",
                       """
                       engine.has_section(s)
                       for o, v in d.items():
                           engine.has_section(s)
                           engine.set(s, o, v)
                       """, "store._set_option(s, d, False)", env, unroll=1, target=OWN_WORK)])

    sections = {f"bulk{k}": {f"key{i:04d}": f"bulk value {i}" for i in range(100)}
                for k in range(10)}
    env = with_names(stores(files.make({name: 0 for name in sections})), d=sections)
    groups.append([row("_set_all, 1000 options, save=False", "store._set_all(d, False)",
                       """
                       for s, od in d.items():
                           engine.has_section(s)
                           for o, v in od.items():
                               engine.has_section(s)
                               engine.set(s, o, v)
                       """, "store._set_all(d, False)", env, unroll=1, target=OWN_WORK)])

    # Saving: one option set, then the whole file written durably and read back. Each
    # variant has a file of its own.
    for size in (10, 100, 1000):
        floor_path = files.make(spread(size))
        env = {"module": {"store": KestraIniMain(files.make(spread(size)))},
               "floor": {"engine": engine_on(floor_path), "path": floor_path},
               "pure": {"store": PureStore(files.make(spread(size)))}}
        env = with_names(env, s="section000", o="option0003", v="a saved value")
        groups.append([row(f"_set, save=True, {size} options", "store._set(s, o, v)",
                           "engine.has_section(s)\nengine.set(s, o, v)\nfloor_save(engine, path)",
                           "store._set(s, o, v)", env, unroll=1, target=SAVE, sample_scale=4)])

    # Failing calls, each caught with its traceback.
    env = with_names(stores(small), s="section004", o="option0007", missing="no such section")
    catch = "try:\n    {}\nexcept {}:\n    pass"
    groups.append([row("failing: binding error (missing argument)",
                       catch.format("store._get(s)", "TypeError"),
                       catch.format("engine.get(s)", "TypeError"),
                       catch.format("store._get(s)", "TypeError"), env)])
    groups.append([row("failing: engine error (no such section)",
                       catch.format("store._get(missing, o)", "configparser.NoSectionError"),
                       catch.format("engine.get(missing, o)", "configparser.NoSectionError"),
                       catch.format("store._get(missing, o)", "configparser.NoSectionError"),
                       env)])

    # Construction on a file of ten options.
    path = files.make({"main": 10})
    env = {v: {"path": path, "KestraIniMain": KestraIniMain, "PureStore": PureStore}
           for v in VARIANTS}
    groups.append([row("construction, 10 options", "KestraIniMain(path)",
                       "configparser.ConfigParser().read(path, encoding='utf-8-sig')",
                       "PureStore(path)", env, unroll=1)])
    return groups, derived


# --- timing ---------------------------------------------------------------------------

def compile_timer(statement, names, unroll):
    body = textwrap.indent(textwrap.dedent(statement).strip("\n"), " " * 8)
    source = "\n".join([
        f"def timer(_n, {', '.join(names)}):",
        "    _t0 = _clock()",
        "    for _ in range(_n):",
        *([body] * unroll),
        "    return _clock() - _t0",
    ])
    namespace = {"_clock": time.perf_counter_ns, "configparser": configparser,
                 "floor_save": floor_save, "operator": operator}
    exec(compile(source, LOOP_FILE, "exec"), namespace)
    return namespace["timer"]


def sample(timer, n, env):
    gc.collect(0)
    gc.disable()
    try:
        return timer(n, **env)
    finally:
        gc.enable()


def calibrate(timer, env, sample_ns):
    """Loop turns that make one sample last about sample_ns; this is also the warm-up."""
    n = 1
    while True:
        elapsed = sample(timer, n, env)
        if elapsed >= sample_ns or n >= 1 << 24:
            return n
        n = min(1 << 24, max(n * 2, int(n * sample_ns / max(elapsed, 1) * 1.1)))


def check_answers(row):
    """The variants of a query must answer alike, or the comparison means nothing."""
    answers = [eval(row.statements[v], {}, dict(row.env[v])) for v in VARIANTS]
    if any(answer != answers[0] for answer in answers):
        raise SystemExit(f"{row.label}: the variants disagree: {answers!r}")


def measure(groups, repeats, sample_ns, progress):
    """Samples every variant of every row of a group, interleaved. The rows of a group
    (a call positionally and with keywords) are sampled back to back for each variant,
    in alternating order, so that their difference is taken between neighbours."""
    for index, group in enumerate(groups):
        timers = {variant: [] for variant in VARIANTS}
        for row in group:
            if row.check:
                check_answers(row)
            for variant in VARIANTS:
                env = row.env[variant]
                timer = compile_timer(row.statements[variant], sorted(env), row.unroll)
                n = calibrate(timer, env, sample_ns * row.sample_scale)
                timers[variant].append((row, timer, n))
        for r in range(repeats):
            order = VARIANTS[r % 3:] + VARIANTS[:r % 3]
            for variant in order:
                for row, timer, n in timers[variant][::-1 if r % 2 else 1]:
                    elapsed = sample(timer, n, row.env[variant])
                    row.samples[variant].append(elapsed / (n * row.unroll))
        progress(index + 1, len(groups), group[0].label)


def call_anatomy(base, repeats, sample_ns):
    """One single query taken apart, in ns per call."""
    engine = base.env["floor"]["engine"]
    env = {"engine": engine, "s": base.env["floor"]["s"], "bound": engine.has_section,
           "module": base.env["module"]["store"], "pure": base.env["pure"]["store"]}
    parts = [
        ("a  engine.has_section(s), from Python", "engine.has_section(s)"),
        ("b  the same bound method called from C: operator.call(bound, s)",
         "operator.call(bound, s)"),
        ("p  pure._has_section(s)", "pure._has_section(s)"),
        ("m  module._has_section(s)", "module._has_section(s)"),
    ]
    timers = []
    for label, statement in parts:
        timer = compile_timer(statement, sorted(env), 10)
        timers.append((label, timer, calibrate(timer, env, sample_ns)))
    samples = {label: [] for label, _, _ in timers}
    for r in range(repeats):
        shift = r % len(timers)
        for label, timer, n in timers[shift:] + timers[:shift]:
            samples[label].append(sample(timer, n, env) / (n * 10))
    return {label[0]: (label, statistics.median(values)) for label, values in samples.items()}


# --- memory -----------------------------------------------------------------------------

def traced_growth(timer, env, n, warmup):
    """Bytes still traced after n calls and after 10n more, past a warm-up: in all, and
    charged to the loop's own line. The extension's C code has no frame of its own, so
    what it allocates is charged to the line that called it, while what configparser
    keeps is charged to configparser's lines."""
    at_call = [tracemalloc.Filter(True, LOOP_FILE)]

    def traced():
        gc.collect()
        snapshot = tracemalloc.take_snapshot().filter_traces(at_call)
        return (tracemalloc.get_traced_memory()[0],
                sum(stat.size for stat in snapshot.statistics("filename")))

    timer(warmup, **env)
    base = traced()
    timer(n, **env)
    after_n = traced()
    timer(10 * n, **env)
    after_11n = traced()
    return ((after_n[0] - base[0], after_11n[0] - base[0]),
            (after_n[1] - base[1], after_11n[1] - base[1]))


def traced_peak(statement, env, calls):
    """Peak traced bytes during `calls` calls, above the start."""
    timer = compile_timer(statement, sorted(env), 1)
    timer(1000, **env)
    gc.collect()
    tracemalloc.reset_peak()
    start = tracemalloc.get_traced_memory()[0]
    timer(calls, **env)
    return tracemalloc.get_traced_memory()[1] - start


def memory_checks(rows, budget_ns, max_calls):
    """Growth per row for the module and the floor, and the peaks of single calls.

    configparser itself holds a little more memory over its first several thousand
    engines or reloads (the floor shows the same, and it levels off), so the module
    is judged by what is charged to its calls' own line.
    """
    growth, peaks = [], []
    tracemalloc.start()
    try:
        for row in rows:
            if "save=True" in row.label and not row.label.endswith(", 10 options"):
                continue
            per_call = statistics.median(row.samples["module"])
            n = max(10, min(max_calls, int(budget_ns / per_call)))
            warmup = max(n, min(3000, int(20 * budget_ns / per_call)))
            found = {}
            for variant in ("module", "floor"):
                env = row.env[variant]
                timer = compile_timer(row.statements[variant], sorted(env), 1)
                found[variant] = traced_growth(timer, env, n, warmup)
            growth.append((row.label, n, found["module"], found["floor"]))
        single = next(row for row in rows if row.label == "_has_section")
        store_env, engine_env = single.env["module"], single.env["floor"]
        calls = max_calls
        empty = traced_peak("pass", engine_env, calls)
        for statement, env in [
            ("store._has_section(section=s)", store_env),
            ("store._has_option(section=s, option=o)", store_env),
            ("engine.has_option(s, o)", engine_env),
            ("store._set_section(section=s, save=False)", store_env),
            ("store._get(s, o)", store_env),
            ("store._get(section=s, option=o)", store_env),
            ("engine.get(s, o)", engine_env),
        ]:
            peaks.append((statement, traced_peak(statement, env, calls) - empty))
    finally:
        tracemalloc.stop()
    return growth, peaks, calls


# --- the report -----------------------------------------------------------------------------

def fmt_ns(value):
    if abs(value) >= 100_000:
        return f"{value / 1000:,.0f} us"
    if abs(value) >= 10_000:
        return f"{value / 1000:,.1f} us"
    return f"{value:,.1f} ns"


def verdict(target, ratio, overhead):
    if target is None:
        return ""
    kind, limit = target
    value = ratio if kind == "mod/pure" else overhead
    if value is None:
        return f"{kind} <= {limit:.2f}: below noise"
    return f"{kind} <= {limit:.2f}: " + ("ok" if value <= limit else f"MISSED ({value:.3f})")


def table(rows):
    header = ("operation", "module", "floor", "pure", "mod/pure", "overhead", "target")
    lines = []
    for row in rows:
        med, ratio, overhead = summarize(row)
        lines.append((
            row.label, fmt_ns(med["module"]),
            "0" if isinstance(row, Derived) else fmt_ns(med["floor"]), fmt_ns(med["pure"]),
            f"{ratio:.2f}" if ratio is not None and ratio > 0 else "n/a",
            f"{overhead:.2f}" if overhead is not None else "noise",
            verdict(row.target, ratio, overhead)))
    widths = [max(len(line[i]) for line in [header, *lines]) for i in range(len(header))]
    out = []
    for k, line in enumerate([header, *lines]):
        cells = ([line[0].ljust(widths[0])]
                 + [cell.rjust(width) for cell, width in zip(line[1:-1], widths[1:-1])]
                 + [line[-1].ljust(widths[-1])])
        out.append("| " + " | ".join(cells) + " |")
        if k == 0:
            out.append("|" + "|".join("-" * (width + 2) for width in widths) + "|")
    return "\n".join(out)


def file_system_of(path):
    best, kind = "", "?"
    try:
        with open("/proc/self/mounts", encoding="utf-8") as mounts:
            for line in mounts:
                fields = line.split()
                if len(fields) > 2 and path.startswith(fields[1]) and len(fields[1]) > len(best):
                    best, kind = fields[1], fields[2]
    except OSError:
        pass
    return kind


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def run_loop(statement, n, directory):
    """Runs one statement n times, for a profiler: the difference of two runs under
    valgrind --tool=callgrind, divided by the difference of their n, is the number of
    instructions of one call."""
    path = Files(directory).make(spread(100))
    env = {"module": KestraIniMain(path), "pure": PureStore(path), "engine": engine_on(path),
           "s": "section004", "o": "option0007", "v": "a new value",
           "d": {f"key{i:04d}": f"value {i}" for i in range(100)}}
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


def instruction_table(quick):
    statements = sorted({s for row in INSTRUCTION_ROWS for s in row[1:]})
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        counts = dict(zip(statements, pool.map(
            lambda statement: instructions_per_call(statement, quick), statements)))
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
    widths = [max(len(line[i]) for line in [header, *lines]) for i in range(len(header))]
    out = ["| " + " | ".join([header[0].ljust(widths[0])]
                             + [h.rjust(w) for h, w in zip(header[1:], widths[1:])]) + " |",
           "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for line in lines:
        out.append("| " + " | ".join([line[0].ljust(widths[0])]
                                     + [c.rjust(w) for c, w in zip(line[1:], widths[1:])])
                   + " |")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter samples")
    parser.add_argument("--dir", help="where to make the scratch directory of bench files "
                                      "(default: the system's temporary directory)")
    parser.add_argument("--loop", nargs=2, metavar=("STATEMENT", "N"),
                        help="only run STATEMENT N times, for perf or valgrind; its names: "
                             "module, pure, engine (on a file of ten sections of ten "
                             "options), s, o, v and d (a dict of 100 options)")
    parser.add_argument("--instructions", action="store_true",
                        help="instead of timing, count the instructions of one call of each "
                             "of a set of operations with valgrind --tool=callgrind (free of "
                             "the machine's noise; a few minutes)")
    args = parser.parse_args()
    if args.instructions:
        print("Instructions per call (valgrind --tool=callgrind; each the difference of two "
              "runs that differ only in their number of calls):")
        print()
        print(instruction_table(args.quick))
        return
    if args.loop:
        directory = tempfile.mkdtemp(prefix="ini-bench-", dir=args.dir)
        try:
            run_loop(args.loop[0], int(args.loop[1]), directory)
        finally:
            shutil.rmtree(directory, ignore_errors=True)
        return
    repeats, sample_ms, max_calls = (7, 3, 2_000) if args.quick else (21, 10, 20_000)
    sample_ns = sample_ms * 1_000_000

    directory = tempfile.mkdtemp(prefix="ini-bench-", dir=args.dir)
    file_system = file_system_of(os.path.realpath(directory))
    started = time.monotonic()
    load_before = os.getloadavg()[0]
    try:
        groups, derived = build_groups(Files(directory))
        rows = [row for group in groups for row in group]

        def progress(done, total, label):
            print(f"\r  {done}/{total} {label[:60]:<60}", end="", file=sys.stderr, flush=True)

        measure(groups, repeats, sample_ns, progress)
        print("\r" + " " * 70 + "\r", end="", file=sys.stderr, flush=True)
        anatomy = call_anatomy(next(row for row in rows if row.label == "_has_section"),
                               repeats, sample_ns)
        growth, peaks, peak_calls = memory_checks(rows, sample_ns, max_calls)
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    print(f"Python {platform.python_version()} on {cpu_model()}, {os.cpu_count()} CPUs, "
          f"load {load_before:.2f} -> {os.getloadavg()[0]:.2f}; files on {file_system}")
    print(f"{repeats} interleaved samples of ~{sample_ms} ms per variant and row (saves "
          f"~{4 * sample_ms} ms), medians; {time.monotonic() - started:.0f} s in all")
    print()
    print(table(rows + derived))
    print()
    print("overhead = (module - floor) / (pure - floor); 'noise' where pure - floor is within")
    print("the run's noise (approximate 95% intervals of the medians).")
    print()
    print("One single query taken apart (medians, ns per call):")
    for key in "abpm":
        label, value = anatomy[key]
        print(f"  {label:<66} {value:6.1f}")
    a, b, p, m = (anatomy[key][1] for key in "abpm")
    print(f"  calling the engine from C instead of from Python, b - a: {b - a:5.1f}")
    print(f"  the Python store's own work, p - a:                      {p - a:5.1f}")
    print(f"  the module's own work on top of a call from C, m - b:    {m - b:5.1f}")
    print()
    print("Memory (tracemalloc): bytes still traced after N calls and after 10N more, "
          "past a warm-up:")
    print(f"  {'':<44} {'':<8} {'module':>13}   {'floor':>13}   {'module, at call':>15}")
    for label, n, module, floor in growth:
        (total_n, total_11n), (own_n, own_11n) = module
        # Nothing of the module's own may pile up, and what it makes configparser keep
        # must stay of the order of what the same engine calls keep by themselves
        # (configparser's own few kilobytes vary from run to run).
        flag = ("ok" if own_11n <= max(own_n, 0) + 256
                and total_11n <= 2 * max(floor[0][1], 0) + 16384 else "GROWS")
        print(f"  {label:<44} N={n:<6} {total_n:>6} {total_11n:>6}   {floor[0][0]:>6} "
              f"{floor[0][1]:>6}   {own_n:>7} {own_11n:>7}   {flag}")
    print(f"Peak traced bytes during {peak_calls} calls, above an empty loop of the same length:")
    for statement, value in peaks:
        print(f"  {statement:<44} {value:>6}")


if __name__ == "__main__":
    main()
