"""What the benchmark tools share: the bench files, the engine's share of a save, and the
timing loop compiled from source so that the call stands in it as a user would write it."""

import configparser
import io
import operator
import os
import sys
import textwrap
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from pure_store import durable_write, encode_text  # noqa: E402

LOOP_FILE = "<bench loop>"
ENCODING = "utf-8-sig"


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


# --- the loop -------------------------------------------------------------------------

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




# --- the report -----------------------------------------------------------------------

def markdown(header, lines):
    """A table in Markdown: the first column left-aligned, the others right-aligned."""
    widths = [max(len(line[i]) for line in [header, *lines]) for i in range(len(header))]

    def cells(line):
        return "| " + " | ".join([line[0].ljust(widths[0])] + [
            cell.rjust(width) for cell, width in zip(line[1:], widths[1:], strict=True)]) + " |"

    return "\n".join([cells(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|",
                      *map(cells, lines)])
