"""The guard's rules: which resources a test may not touch, and how its Python-level calls
are stopped before they reach the system.

A test's patterns come from its markers (velmora_forbid, velmora_allow) and the command
line (--velmora-forbid, --velmora-allow). The first that decides, in this order, wins:

    the test's allow, the test's forbid, the command line's allow, the command line's forbid

so a marker overrides the command line either way, and at one level an allow carves an
exception out of a forbid. Nothing forbidden is allowed.

Python's own calls are seen through the interpreter's audit hooks (PEP 578) and refused
at the call with VelmoraForbidden, named as the library would name them. What Python
cannot stop (native code, child processes, other threads) is left to the library's events.
"""

import os
import shutil
import socket
import sys
import threading
from typing import Callable, Iterable, List, NamedTuple, Optional, Tuple

from .patterns import first_match


class VelmoraForbidden(Exception):
    """A test's call that would have touched a forbidden resource, refused before it ran."""


class Policy(NamedTuple):
    test_allow: List[str]
    test_forbid: List[str]
    line_allow: List[str]
    line_forbid: List[str]

    def forbidding(self, detail: str) -> Optional[Tuple[str, str]]:
        """(pattern, where it comes from) when the detail is forbidden; else None."""
        for patterns, forbids, origin in ((self.test_allow, False, "marker"), (self.test_forbid, True, "marker"),
                                          (self.line_allow, False, "option"), (self.line_forbid, True, "option")):
            pattern = first_match(patterns, detail)
            if pattern is not None:
                return (pattern, origin) if forbids else None
        return None

    def __bool__(self) -> bool:
        return bool(self.test_forbid or self.line_forbid)


def _host(host) -> str:
    text = host.decode() if isinstance(host, bytes) else str(host)
    return f"[{text}]" if ":" in text else text


def _socket_name(family, address) -> Optional[str]:
    if family == getattr(socket, "AF_UNIX", None):
        path = os.fsdecode(address) if isinstance(address, (str, bytes)) else ""
        return "socket:unix:abstract:" + path[1:] if path.startswith("\0") else "socket:unix:" + path
    if isinstance(address, tuple) and len(address) >= 2:
        return f"socket:{_host(address[0])}:{address[1]}"
    return None


def _program(path, argv) -> Optional[str]:
    """An "exec" detail: the program's absolute path, then its arguments, TAB-joined."""
    path = os.fsdecode(path)
    found = path if "/" in path else shutil.which(path)
    if found is None:
        return None
    args = [os.fsdecode(a) for a in argv] if isinstance(argv, (list, tuple)) else [os.fsdecode(argv)]
    return "\t".join([os.path.abspath(found)] + args)


def detail_of(event: str, args: tuple) -> Optional[Tuple[str, str]]:
    """(kind, detail) the library would report for an audited call, or None."""
    if event == "socket.connect":
        name = _socket_name(args[0].family, args[1])
        return ("connect", name) if name else None
    if event == "socket.getaddrinfo" and args[0] is not None:
        port = "" if args[1] in (None, "", b"") else f":{os.fsdecode(args[1]) if isinstance(args[1], bytes) else args[1]}"
        return "resolve", "socket:" + _host(args[0]) + port
    if event == "open" and isinstance(args[0], (str, bytes, os.PathLike)):
        return "open", "file:" + os.path.abspath(os.fsdecode(args[0]))
    if event == "sqlite3.connect" and isinstance(args[0], (str, bytes, os.PathLike)):
        name = os.fsdecode(args[0])
        return ("open", "file:" + os.path.abspath(name)) if name != ":memory:" and not name.startswith("file:") else None
    if event == "subprocess.Popen":
        executable, argv = args[0], args[1]
        program = executable if executable is not None else (argv if isinstance(argv, (str, bytes)) else argv[0])
        return ("exec", detail) if (detail := _program(program, argv)) else None
    if event in ("os.exec", "os.posix_spawn"):
        return ("exec", detail) if (detail := _program(args[0], args[1])) else None
    if event == "os.system":
        return "exec", "\t".join(["/bin/sh", "sh", "-c", os.fsdecode(args[0])])
    return None


class CallGuard:
    """One audit hook for the session (hooks cannot be removed): it acts only while a
    test's phase runs, and only on the thread that runs it."""

    def __init__(self, skip: Callable[[str, str], bool]):
        self._skip = skip  # (kind, detail): left to the events (the import system's reads)
        self._policy: Optional[Policy] = None
        self._thread = None
        self.stopped: List[Tuple[str, str, str, str]] = []  # kind, detail, pattern, origin
        sys.addaudithook(self._hook)

    def arm(self, policy: Policy) -> None:
        self.stopped = []
        self._thread = threading.get_ident()
        self._policy = policy if policy else None

    def disarm(self) -> None:
        self._policy = None

    def _hook(self, event: str, args: tuple) -> None:
        policy = self._policy
        if policy is None or threading.get_ident() != self._thread:
            return
        __tracebackhide__ = True  # noqa: F841 (pytest shows the test's line last)
        found = detail_of(event, args)
        if found is None or self._skip(*found):
            return
        decision = policy.forbidding(found[1])
        if decision is None:
            return
        self.stopped.append((found[0], found[1], decision[0], decision[1]))
        raise VelmoraForbidden(f"velmora_forbid: {found[0]} {found[1]} matches {decision[0]!r} "
                               f"(from the {decision[1]}): stopped at the call")


def ranked(hits: Iterable, pid: int, tid: int) -> list:
    """Forbidden (event, pattern) pairs, the test's own first: its thread's, then its
    process's main thread's, then its children's, then other threads'."""
    def rank(hit):
        event = hit[0]
        if event.pid == pid:
            return 0 if event.tid == tid else 1 if event.tid == pid else 3
        return 2
    return sorted(hits, key=rank)
