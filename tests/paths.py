"""The two paths a store's calls can take, for tests that run one body over both.

`native` is the store as it is; `engine` has a sys.monitoring tool listen for
RAISE events, which sends every call through the engine's own Python code (a
listener must see its frames) at little cost. CPython's test_json runs its
tests over the C and the Python scanner alike; these are our two scanners.
"""
from __future__ import annotations

import contextlib
import sys
from collections.abc import Iterator

WAYS = ("native", "engine")


@contextlib.contextmanager
def taken(way: str) -> Iterator[None]:
    """Calls made inside take `way`."""
    if way == "native":
        yield
        return
    monitoring = sys.monitoring
    tool = next(tool for tool in (5, 4, 3, 0) if monitoring.get_tool(tool) is None)
    monitoring.use_tool_id(tool, "engine path")
    monitoring.set_events(tool, monitoring.events.RAISE)
    try:
        yield
    finally:
        monitoring.set_events(tool, 0)
        monitoring.free_tool_id(tool)
