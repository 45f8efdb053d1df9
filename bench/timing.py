"""Timing: the extension against the engine alone and against a pure-Python store.

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
the same work in Python. After the table: a line refused for its length, and
the peak memory of a load. Before it, bench/peers.py's tables: the store beside
the other INI libraries and two floors, and the store against itself.

After the peers' tables: the system calls of one construction, counted by strace where it is
installed.

Usage: python bench/timing.py [--quick] [--peers] [--dir DIR]
Instruction counts: bench/instructions.py.
"""

import argparse
import configparser
import gc
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from functools import partial

import peers
from common import ENCODING, Files, compile_timer, engine_on, ini_text, spread
from kestra_ini._durable import replace_file
from kestra_ini.ini_main import KestraIniMain
from pure_store import PureStore, durable_write, encode_text

VARIANTS = ("module", "floor", "pure")

# Targets, by kind of row: (what is judged, the most it may be).
SINGLE_QUERY = ("mod/pure", 0.90)
GET = ("mod/pure", 1 / 8)
WHOLE_DICTS = ("mod/pure", 1 / 15)
LOAD = ("mod/pure", 1 / 20)
SAVE = ("mod/pure", 1 / 5)
SMALL_SAVE = ("mod/pure", 1.05)
OWN_WORK = ("overhead", 0.50)
HOSTILE_MS = 50
SYSTEM_CALLS = 18  # per construction on a small file, at most


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
        target = GET if name == "_get" else SINGLE_QUERY
        keyword_pair(name,
                     row(name, positional, floor, positional, env, target=target, check=True),
                     row(f"{name}, keywords", keywords, floor, keywords, env, target=target,
                         check=True),
                     derive=name != "_sections")

    # Dict building: _get_option on a section of N options, _get_all on a file of N
    # options in sections of ten. With the default engine, interpolating every value
    # costs ~1 us per option and hides the dict building (and any keyword cost); an
    # engine without interpolation shows it.
    dict_rows = [
        ("_get_option", "store._get_option(s)", "store._get_option(section=s)",
         "dict(engine.items(s))",
         lambda size, settings: with_names(stores(files.make({"main": size}), **settings), s="main")),
        ("_get_all", "store._get_all()", "type(store)._get_all(self=store)",
         "{s: dict(engine.items(s)) for s in engine.sections()}",
         lambda size, settings: stores(files.make(spread(size)), **settings)),
    ]
    for settings, suffix in [({}, ""), ({"interpolation": None}, ", no interpolation")]:
        for name, positional_call, keyword_call, floor, make_env in dict_rows:
            for size in (10, 100, 1000):
                env = make_env(size, settings)
                positional = row(f"{name}, {size} options{suffix}", positional_call, floor,
                                 positional_call, env, unroll=10 if size < 1000 else 1,
                                 target=WHOLE_DICTS if size == 1000 and not settings else OWN_WORK,
                                 check=True)
                if size == 10 and not settings:
                    keyword_pair(name, positional,
                                 row(f"{name}, 10 options, keywords", keyword_call, floor,
                                     keyword_call, env, target=OWN_WORK, check=True),
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
                           "store._set(s, o, v)", env, unroll=1,
                           target=SAVE if size == 1000 else SMALL_SAVE, sample_scale=4)])

    # What is left of a saving _set when nothing else is: the bare durable write of the
    # same file's bytes, by the module's writer and by the pure store's.
    path = files.make(spread(1000))
    with open(path, encoding=ENCODING) as f:
        data = encode_text(f.read())
    env = {v: {"path": path, "data": data, "replace_file": replace_file,
               "durable_write": durable_write} for v in VARIANTS}
    groups.append([row("durable write alone, 1000 options", "replace_file(path, data)",
                       "replace_file(path, data)", "durable_write(path, data)", env, unroll=1,
                       sample_scale=4)])

    # Loading: construction's read, and every reload after a save.
    for size in (1000, 10000):
        path = files.make(spread(size))
        env = {"module": {"store": KestraIniMain(path)}, "floor": {"path": path},
               "pure": {"store": PureStore(path)}}
        groups.append([row(f"load, {size} options", "store._set_path()",
                           "configparser.ConfigParser().read(path, encoding='utf-8-sig')",
                           "store._set_path()", env, unroll=1, target=LOAD,
                           sample_scale=1 if size < 10000 else 4)])

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


# --- a hostile line and the memory of a load ----------------------------------------------

def hostile_line(directory):
    """Milliseconds to refuse a line that the engine's option pattern takes a minute over,
    and whether the error is the one the engine raises for it."""
    line = "a" + " " * 100_000 + "a"
    path = os.path.join(directory, "hostile.ini")
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"[s]\n{line}\n")
    expected = configparser.ParsingError(path, 2, line + "\n")
    times, refused = [], True
    for _ in range(5):
        started = time.perf_counter()
        try:
            KestraIniMain(path)
        except configparser.ParsingError as error:
            refused &= (type(error), error.args, error.errors, str(error)) == (
                type(expected), expected.args, expected.errors, str(expected))
        else:
            refused = False
        times.append((time.perf_counter() - started) * 1000)
    return statistics.median(times), refused


def load_peaks(directory):
    """(options, module peak, engine peak, file size) of one load, in bytes."""
    found = []
    files = Files(tempfile.mkdtemp(dir=directory))
    for size in (1000, 10000):
        path = files.make(spread(size))
        store = KestraIniMain(path)

        def peak(load):
            gc.collect()
            tracemalloc.start()
            load()
            result = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            return result

        found.append((size, peak(store._set_path), peak(partial(engine_on, path)),
                      os.path.getsize(path)))
    return found


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


# Run under strace by system_calls_per_construction: the calls between the two getppid()
# markers are those of CONSTRUCTIONS constructions, after one that found the private
# directory and opened the lock file, as a process's first does.
CONSTRUCTIONS = 10
COUNTED = """
import os, sys
from kestra_ini.ini_main import KestraIniMain
KestraIniMain(sys.argv[1])
os.getppid()
for _ in range({n}):
    KestraIniMain(sys.argv[1])
os.getppid()
"""


def system_calls_per_construction(directory):
    """The system calls of one construction on a 20-option file, counted by strace; None
    where strace is not installed."""
    strace = shutil.which("strace")
    if strace is None:
        return None
    path = os.path.join(directory, "counted.ini")
    with open(path, "w", encoding="utf-8") as f:
        f.write(ini_text({"section": 20}))
    trace = os.path.join(directory, "trace.txt")
    subprocess.run([strace, "-o", trace, sys.executable, "-c", COUNTED.format(n=CONSTRUCTIONS), path],
                   check=True, stdin=subprocess.DEVNULL)
    with open(trace, encoding="utf-8") as f:
        lines = f.read().splitlines()
    marks = [i for i, line in enumerate(lines) if line.startswith("getppid()")]
    counted = [line for line in lines[marks[0] + 1:marks[-1]] if not line.startswith(("---", "+++"))]
    return len(counted) / CONSTRUCTIONS


def print_system_calls(counted):
    if counted is None:
        print("System calls per construction: strace is not installed, not counted.")
        return
    verdict_ = "ok" if counted <= SYSTEM_CALLS else "MISSED"
    print(f"System calls per construction on a 20-option file (strace, mean of {CONSTRUCTIONS} "
          f"after a first): {counted:g}; target <= {SYSTEM_CALLS}: {verdict_}")


def print_peers(tables, load_before, started, repeats, sample_ms, file_system):
    print(f"Python {platform.python_version()} on {cpu_model()}, {os.cpu_count()} CPUs, "
          f"load {load_before:.2f} -> {os.getloadavg()[0]:.2f}; files on {file_system}")
    print(f"{repeats} interleaved samples of ~{sample_ms} ms per variant and row (peers "
          f"{repeats // 2 + 1}), medians; {time.monotonic() - started:.0f} s in all")
    print()
    print("The store beside its peers (ratio to the store) and the floors:")
    print()
    print(tables[0])
    print()
    print("The store against itself:")
    print()
    print(tables[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter samples")
    parser.add_argument("--dir", help="where to make the scratch directory of bench files "
                                      "(default: the system's temporary directory)")
    parser.add_argument("--peers", action="store_true",
                        help="only the tables of the peers and of the store against itself")
    args = parser.parse_args()
    repeats, sample_ms = (7, 3) if args.quick else (21, 10)
    sample_ns = sample_ms * 1_000_000

    directory = tempfile.mkdtemp(prefix="ini-bench-", dir=args.dir)
    file_system = file_system_of(os.path.realpath(directory))
    started = time.monotonic()
    load_before = os.getloadavg()[0]

    def progress(done, total, label):
        print(f"\r  {done}/{total} {label[:60]:<60}", end="", file=sys.stderr, flush=True)

    try:
        # Half the samples: a peer's large load takes a quarter of a second.
        tables = peers.run(Files(tempfile.mkdtemp(dir=directory)), repeats // 2 + 1, sample_ns,
                           (compile_timer, sample, calibrate), progress)
        counted = system_calls_per_construction(directory)
        if args.peers:
            print("\r" + " " * 70 + "\r", end="", file=sys.stderr, flush=True)
            print_peers(tables, load_before, started, repeats, sample_ms, file_system)
            print()
            print_system_calls(counted)
            return
        groups, derived = build_groups(Files(directory))
        rows = [row for group in groups for row in group]
        measure(groups, repeats, sample_ns, progress)
        print("\r" + " " * 70 + "\r", end="", file=sys.stderr, flush=True)
        anatomy = call_anatomy(next(row for row in rows if row.label == "_has_section"),
                               repeats, sample_ns)
        hostile = hostile_line(directory)
        peaks = load_peaks(directory)
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    print_peers(tables, load_before, started, repeats, sample_ms, file_system)
    print()
    print_system_calls(counted)
    print()
    print("The store against the engine alone and a pure-Python store (saves sampled for "
          f"~{4 * sample_ms} ms):")
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
    ms, refused = hostile
    print(f"A line of a letter, 100,000 spaces and a letter: refused in {ms:.1f} ms (median of "
          f"5; target < {HOSTILE_MS} ms: {'ok' if ms < HOSTILE_MS else 'MISSED'}), with the "
          f"engine's ParsingError: {'yes' if refused else 'NO'}")
    print()
    print("Peak traced memory of one load (tracemalloc), against the engine's own read plus "
          "the file's size:")
    for size, module, engine, file_size in peaks:
        verdict_ = "ok" if module <= engine + file_size else "MISSED"
        print(f"  {size:>6} options: module {module:>10,} B, engine {engine:>10,} B + file "
              f"{file_size:>9,} B: {verdict_}")

if __name__ == "__main__":
    main()
