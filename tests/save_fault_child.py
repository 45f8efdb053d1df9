"""The checks of test_save_faults.py, each run in a fresh interpreter under the fault shim:

    python -m save_fault_child CHECK

from tests/, CHECK one of failures, crashes, order, refused (with LAYOUT and FOLDER in the environment) or
leftovers (FOLDER only). `trial` prepares the old file, saves the new content in a forked child that the shim
watches, and returns the child's outcome; `check` asserts what any outcome must leave. A failed check raises,
so the interpreter exits non-zero.
"""
from __future__ import annotations

import configparser
import errno
import os
import re
import signal
import sys
import time
from collections.abc import Callable
from typing import Any, TypedDict

from child_process import Shim, State, become, forked, own_var_tmp, rendered
from kestra_ini._durable import replace_file
from kestra_ini.ini_main import KestraIniMain

layout, folder = os.environ.get("LAYOUT", ""), os.environ.get("FOLDER", "")
# The saver's private directory of journals and locks (none in the refusing directory's layout).
private = os.path.join(os.environ.get("XDG_STATE_HOME", "/nonexistent"), "kestra-ini")
path = os.path.join(folder, "s" * 251 + ".ini" if "long" in layout else "settings.ini")
# A file system without O_TMPFILE refuses it (the save's first openat, in the target's directory): the save
# names its temporary from the start. The portable build names it from the start anyway.
base_rules = "openat:1:95" if layout == "named" and not os.environ.get("KESTRA_PORTABLE") else ""
# A file bind-mounted into a container: rename refuses to replace it, and the save goes in place.
if layout == "mount point":
    base_rules = "renameat:1:16"
# A directory that takes no new file (its owner root, the saver not): the save goes in place, without a journal.
SAVER = 65534 if layout in ("non-owner", "refusing directory") else None
if layout == "refusing directory":  # nor can it have a private directory: root made its per-user one first
    own_var_tmp(squatted_by=0)
owner = {"non-owner": (4321, 4321), "refusing directory": (65534, 65534)}.get(layout, (os.geteuid(), os.getegid()))
TEMPORARY = re.compile(r"\..+\.[0-9a-f]{16}\.ini-tmp")
STATES: list[State] = [{"a": {"x": "1", "pad": "p" * 300}}, {"a": {"x": "2"}, "b": {"k": "v"}},
                       {"a": {"pad": "q" * 900}}]
PAIRS = [(STATES[0], STATES[1]), (STATES[1], STATES[2])]  # a shorter text, then a longer one


class Outcome(TypedDict, total=False):
    error: int | None
    filename: Any
    log: str


Call = tuple[str, str, str]


def prepare(old: State) -> list[str]:
    for name in os.listdir(folder):
        os.unlink(os.path.join(folder, name))
    with open(path, "wb") as f:
        f.write(rendered(old))
    if "hard link" in layout:
        os.link(path, os.path.join(folder, "twin.ini"))
    os.chown(path, *owner)
    os.chmod(path, 0o666 if layout == "non-owner" else 0o640)
    os.chmod(folder, 0o555 if layout == "refusing directory" else 0o777)
    return sorted(os.listdir(folder))


def trial(old: State, new: State, rules: str = "", crash: int = 0,
          fresh: bool = True) -> tuple[list[str] | None, Outcome | None]:
    """Saves `new` over `old` in a child; its outcome, or None when it was killed.

    Without `fresh`, saves over what the last trial left, through the command
    line's writer, with no load before it."""
    listing = prepare(old) if fresh else None

    def save() -> Outcome:
        shim = Shim()
        if SAVER is not None:
            become(SAVER)
        if fresh:
            store = KestraIniMain(path)
            store._config.clear()
            store._config.read_dict(new)
        shim.arm(",".join(r for r in (base_rules, rules) if r), crash)
        outcome: Outcome
        try:
            store._save() if fresh else replace_file(path, rendered(new))
            outcome = {"error": None}
        except OSError as error:
            outcome = {"error": error.errno, "filename": error.filename}
        outcome["log"] = shim.disarm(errors="replace")
        return outcome

    status, outcome = forked(save)
    if crash and os.WIFSIGNALED(status):
        assert os.WTERMSIG(status) == signal.SIGKILL, status
        return listing, None
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    return listing, outcome


def cleanly(old: State, new: State) -> tuple[list[str], Outcome]:
    """A fresh trial that no rule disturbs: the listing of the folder before it, and its outcome."""
    listing, outcome = trial(old, new)
    assert listing is not None and outcome is not None
    return listing, outcome


def calls(outcome: Outcome) -> list[Call]:
    """The logged calls as (name, kind of file, detail)."""
    out = []
    for line in outcome["log"].splitlines():
        name, where, detail = line.split("|", 2)
        base = os.path.basename(where).removesuffix(" (deleted)")
        kind = ("target" if where == path else "directory" if where == folder else
                "journal" if where.startswith(private + "/") and ".journal" in base else
                "private" if where.startswith(os.path.dirname(os.path.dirname(private))) else
                "temporary" if base.startswith("#") or TEMPORARY.fullmatch(base) else "other")
        out.append((name, kind, detail))
    return out


def as_saver(work: Callable[[], Any]) -> Any:
    """What `work` returns in a forked child of the saver's uid."""
    if SAVER is None:
        return work()
    saver = SAVER

    def child() -> Any:
        become(saver)
        return work()
    status, result = forked(child)
    assert status == 0
    return result


def check(old: State, new: State, listing: list[str], context: object) -> tuple[int, list[str]]:
    """The file holds one whole state (0: old, 1: new), loads as that state, and the save left nothing of its own.
    The saver's own next load puts back what its killed in-place save left (R2)."""
    loaded = as_saver(lambda: KestraIniMain(path)._get_all())
    with open(path, "rb") as f:
        data = f.read()
    assert data in (rendered(old), rendered(new)), (context, data[:80])
    state = [rendered(old), rendered(new)].index(data)
    assert loaded == {s: dict(o) for s, o in [old, new][state].items()}, context
    left = sorted(set(os.listdir(folder)) - set(listing))
    assert all(TEMPORARY.fullmatch(n) for n in left), (context, left)
    st = os.stat(path)
    mode = 0o666 if layout == "non-owner" else 0o640
    assert (st.st_uid, st.st_gid) == owner and st.st_mode & 0o7777 == mode, context
    assert st.st_nlink == (2 if "hard link" in layout else 1), context
    return state, left


def failures() -> None:
    for old, new in PAIRS:
        listing, clean = cleanly(old, new)
        assert clean["error"] is None, clean
        log, seen = calls(clean), dict[str, int]()
        # Once the new text has its name, the rest is tidying up; before that,
        # only the steps that a save can do without fail silently.
        committed = next((i for i, c in enumerate(log) if c[:2] == ("unlinkat", "journal")), None)
        if committed is None:
            committed = next((i for i, c in enumerate(log) if c[0] == "renameat"), len(log))
        # A lock that cannot be taken at all (fcntl; flock in the portable build) is passed over, as a reader's
        # lock is after the wait.
        best_effort = {"getentropy", "listxattr", "getxattr", "fsetxattr", "opendir", "unlinkat", "close", "fcntl",
                       "flock"}
        # J4: whatever of the private directory, its lock or the journal fails before the file is first written
        # leaves the save to go on without them, as open() would.
        created = next((i for i, c in enumerate(log) if c[:2] == ("pwrite", "target")), 0)
        for number, (name, kind, _) in enumerate(log):
            seen[name] = seen.get(name, 0) + 1
            if layout == "named" and name == "openat" and seen[name] <= 1:
                continue  # the refusal that makes this layout
            if layout == "mount point" and name == "renameat" and seen[name] <= 1:
                continue  # the refusal that makes this layout
            for err in (errno.EIO, errno.EINTR):
                context = (number, name, seen[name], kind, errno.errorcode[err])
                _, outcome = trial(old, new, f"{name}:{seen[name]}:{err}")
                assert outcome is not None
                state, left = check(old, new, listing, context)
                removal = (name, kind) == ("unlinkat", "temporary")  # giving up a new file: nothing else to do
                assert not left or removal, context
                if err == errno.EINTR:  # an interrupted call is repeated
                    assert outcome["error"] is None and state == 1, (context, outcome["error"])
                elif outcome["error"] is None:
                    looking = kind in ("journal", "private") and number < created
                    assert state == 1 and (number >= committed or name in best_effort or removal or looking), context
                else:
                    assert (outcome["error"], outcome["filename"], state) == (err, path, 0), (context, outcome)


def crashes() -> None:
    for old, new in PAIRS:
        listing, clean = cleanly(old, new)
        states = []
        for after in range(1, len(calls(clean)) + 1):
            _, outcome = trial(old, new, crash=after)
            assert outcome is None or outcome["error"] is None, outcome
            states.append(check(old, new, listing, after)[0])
        # Old until one call commits the save, new from then on.
        assert states == sorted(states) and states[0] == 0 and states[-1] == 1, states
        torn = max((i for i, c in enumerate(calls(clean), 1) if c[:2] == ("pwrite", "target")), default=None)
        if torn is None:
            continue
        # Killed while the file is half written, then a save that finds that is killed in turn: the first save's
        # text is completed before the second is written (R1).
        third = STATES[(STATES.index(new) + 1) % len(STATES)]
        trial(old, new, crash=torn)
        _, second = trial(old, third, fresh=False)
        assert second is not None
        states = []
        for after in range(1, len(calls(second)) + 1):
            assert trial(old, new, crash=torn)[1] is None
            trial(old, third, crash=after, fresh=False)
            states.append(check(new, third, listing, ("second", after))[0])
        assert states == sorted(states) and states[-1] == 1, states


def first(log: list[Call], match: Callable[[Call], bool], start: int = 0) -> int:
    return next(i for i in range(start, len(log)) if match(log[i]))


def last(log: list[Call], match: Callable[[Call], bool]) -> int:
    return max(i for i, c in enumerate(log) if match(c))


def order() -> None:
    log = calls(cleanly(*PAIRS[0])[1])
    in_place = any(kind == "journal" for _, kind, _ in log)
    assert in_place == (layout in ("hard link", "long hard link", "non-owner", "mount point")), log
    if in_place:
        target_write = first(log, lambda c: c[:2] == ("pwrite", "target"))
        # J3: the journal's text and its name are durable before the file's first byte changes.
        journal_synced = last(log[:target_write], lambda c: c[:2] == ("fsync", "journal"))
        first(log[:target_write], lambda c: c[:2] == ("fsync", "private"), journal_synced)
        last_write = last(log, lambda c: c[:2] == ("pwrite", "target"))
        target_synced = first(log, lambda c: c[:2] == ("fsync", "target"), last_write)
        removed = first(log, lambda c: c[:2] == ("unlinkat", "journal"), target_synced)
        first(log, lambda c: c[:2] == ("fsync", "private"), removed)
    else:
        renamed = first(log, lambda c: c[0] == "renameat")
        written = last(log, lambda c: c[:2] == ("pwrite", "temporary"))
        first(log[:renamed], lambda c: c[:2] == ("fsync", "temporary"), written)
        first(log, lambda c: c[:2] == ("fsync", "directory"), renamed)
        # Nobody else may read the text from the new file before it has the old one's mode and owner.
        created = first(log, lambda c: c[0] in ("open", "openat") and c[1] in ("directory", "temporary") and int(
            c[2].split()[0].removeprefix("flags="), 16) & (os.O_CREAT | os.O_TMPFILE) != 0)
        assert int(log[created][2].rsplit("mode=", 1)[1], 8) & 0o077 == 0, log[created]
        for name, kind, detail in log:
            if name == "pwrite" and kind == "temporary":
                assert detail == f"mode=640 uid={owner[0]} gid={owner[1]}", detail


def refused() -> None:
    """No journal can exist here: a kill part way may leave the new text's first bytes over the old (never
    zeros, never a file beside it), which a fresh load reads or refuses with the engine's own error."""
    for old, new in PAIRS:
        listing, clean = cleanly(old, new)
        o, n = rendered(old), rendered(new)
        with open(path, "rb") as f:
            assert clean["error"] is None and f.read() == n, clean
        for after in range(1, len(calls(clean)) + 1):
            trial(old, new, crash=after)
            with open(path, "rb") as f:
                data = f.read()
            assert data == n or any(data == n[:k] + o[k:] for k in range(len(n) + 1)), (after, data[:80])
            assert sorted(os.listdir(folder)) == listing, after
            try:
                loaded = KestraIniMain(path)._get_all()
            except configparser.Error:
                continue
            if data in (o, n):
                assert loaded == {s: dict(v) for s, v in (old if data == o else new).items()}, after


def save_numbered(name: str, crash: int = 0) -> int:
    """Saves in a child; its exit status tells the number of the last call before the rename."""
    pid = os.fork()
    if pid == 0:
        shim = Shim()
        store = KestraIniMain(os.path.join(folder, name))
        store._config.read_dict({"a": {"x": str(crash)}})
        shim.arm("", crash)
        store._save()
        log = shim.disarm().splitlines()
        os._exit(next(i for i, line in enumerate(log) if line.startswith("renameat|")))
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def leftovers() -> None:
    # Two names alike but for their last bytes, too long for a temporary's name to hold them whole.
    names = ["s" * 246 + "1.ini", "s" * 246 + "2.ini", "s" * 200 + ".ini", "settings.ini"]
    left: dict[str, set[str]] = {}
    for name in names:
        save_numbered(name)
        last = save_numbered(name)
        before = set(os.listdir(folder))
        assert save_numbered(name, crash=last) == -9
        left[name] = set(os.listdir(folder)) - before
        assert len(left[name]) == 1, left
    old = time.time() - 120
    for temporaries in left.values():
        os.utime(os.path.join(folder, *temporaries), (old, old))
    for number, name in enumerate(names):
        save_numbered(name)  # removes its own stale temporaries, and only those
        present = set(os.listdir(folder))
        assert [bool(left[n] & present) for n in names] == [i > number for i in range(len(names))], present


CHECKS = {"failures": failures, "crashes": crashes, "order": order, "refused": refused, "leftovers": leftovers}

if __name__ == "__main__":
    CHECKS[sys.argv[1]]()
