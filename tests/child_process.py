"""What the save's child harnesses (trust_child, save_fault_child) share: work done in a forked child, perhaps
as another user, whose answer comes back as JSON through a pipe; the fault shim's controls; the text that the
engine writes for a state."""
from __future__ import annotations

import configparser
import ctypes
import io
import json
import os
import subprocess
import traceback
from collections.abc import Callable, Iterable
from typing import Any

State = dict[str, dict[str, str]]


def rendered(state: State) -> bytes:
    """The file that the engine writes for `state`, as the store saves it."""
    engine = configparser.ConfigParser()
    engine.read_dict(state)
    text = io.StringIO()
    engine.write(text)
    return text.getvalue().encode("utf-8-sig")


def become(uid: int, groups: Iterable[int] = ()) -> None:
    """Takes `uid` for good: its own group and the supplementary `groups`."""
    os.setgroups(list(groups))
    os.setresgid(uid, uid, uid)
    os.setresuid(uid, uid, uid)


def own_var_tmp(squatted_by: int | None = None) -> None:
    """Gives this process a mount namespace of its own with an empty /var/tmp, where the savers' per-user
    private directories are made; with `squatted_by`, that uid made 65534's first."""
    os.unshare(os.CLONE_NEWNS)
    for command in (["mount", "--make-rprivate", "/"], ["mount", "-t", "tmpfs", "-o", "mode=1777", "none",
                                                            "/var/tmp"]):
        subprocess.run(command, check=True)
    if squatted_by is not None:
        os.mkdir("/var/tmp/kestra-ini-65534", 0o700)
        os.chown("/var/tmp/kestra-ini-65534", squatted_by, squatted_by)


def read_to_end(fd: int) -> bytes:
    data = b""
    while chunk := os.read(fd, 1 << 16):
        data += chunk
    os.close(fd)
    return data


def forked(work: Callable[[], Any]) -> tuple[int, Any]:
    """Runs `work` in a forked child: the child's wait status and what `work` returned (None when the child
    wrote nothing, as when it was killed). A child that raises prints why and exits 1, never going on with the
    parent's code."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reader)
        code = 1
        try:
            os.write(writer, json.dumps(work()).encode())
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    os.close(writer)
    data = read_to_end(reader)
    status = os.waitpid(pid, 0)[1]
    return status, json.loads(data) if data else None


class Shim:
    """The fault shim (fault_shim.c) that the child was started with: arm() sets its rules and the call after
    which it kills the process; disarm() stops it and returns the log of the calls it saw."""

    def __init__(self) -> None:
        self._lib = ctypes.CDLL(os.environ["SHIM"])
        self._lib.shim_arm.argtypes = [ctypes.c_char_p, ctypes.c_long]
        self._lib.shim_disarm.restype = ctypes.c_char_p

    def arm(self, rules: str = "", crash: int = 0) -> None:
        self._lib.shim_arm(rules.encode(), crash)

    def disarm(self, errors: str = "strict") -> str:
        log: bytes = self._lib.shim_disarm()
        return log.decode(errors=errors)
