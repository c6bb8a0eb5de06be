"""The plugin's part in the process that runs the tests (pytest itself, or each
pytest-xdist worker).

One capture runs for the session. The lines of each phase (setup, call, teardown) are
the ones written between two syncs around it, so what pytest does between phases is
no test's. Processes a test starts report through the environment and count for the
phase they ran in. Of a phase's events, the import system's files are set apart unless
asked for; the rest are the test's: the guard checks them all, and those not matching
--velmora-exclude are what the velmora_events fixture reads and what travels on the
phase's report (report.velmora), which pytest-xdist carries to the controller. While a
phase runs, the guard (guard.py) also stops the test's own Python-level calls at the call.
"""

import importlib.machinery
import os
import threading
from contextlib import contextmanager
from typing import Dict, List, Optional, Tuple

import pytest

from .capture import Capture
from .events import Event, Events
from .guard import CallGuard, Policy, VelmoraForbidden, ranked
from .patterns import first_match

# What the import system opens, asks about and reads when a module is first imported
# (sources, byte code, extension modules), and the byte code it writes.
_MODULE_SUFFIXES = tuple(importlib.machinery.all_suffixes())
_BYTECODE_DIR = "/__pycache__/"
_SHOWN_FORBIDDEN = 5
_IMPORT_KINDS = ("read", "close", "open_read", "query", "missing")


def is_import(event: Event) -> bool:
    if not event.detail.startswith("file:"):
        return False
    path = event.detail[5:]
    return _BYTECODE_DIR in path or (event.kind in _IMPORT_KINDS and path.endswith(_MODULE_SUFFIXES))


def views(events) -> dict:
    """Events' views without the empty ones."""
    return {key: values for key, values in Events(events).resources().items() if values}


def describe_forbidden(hits: List[Tuple[Event, str]], stopped: list, phase: str, tid: int) -> str:
    """Why the phase failed: the calls stopped before they ran, then what the library saw
    (calls Python could not stop), the test's own thread's first."""
    lines = [f"velmora_forbid: the test's {phase} was stopped at the call: {kind} {detail} matching {pattern!r} "
             f"(from the {origin})" for kind, detail, pattern, origin in stopped[:1]]
    if not hits:
        return "\n".join(lines)
    event, pattern = hits[0]
    process = "the test's process" if event.pid == os.getpid() else "a process it started"
    thread = "the test's thread" if event.tid == tid else "its main thread" if event.tid == event.pid else "another thread"
    lines += [f"velmora_forbid: the test's {phase} touched a forbidden resource (seen after the call: native code, "
              f"a child or another thread)",
              f"  first: {event.kind} {event.detail} (fd {event.fd}) matching {pattern!r}",
              f"         in {phase}, pid {event.pid} ({process}), tid {event.tid} ({thread})"]
    others = list(dict.fromkeys(e.detail for e, _ in hits[1:] if e.detail != event.detail))
    if others:
        shown = ", ".join(others[:_SHOWN_FORBIDDEN]) + (", ..." if len(others) > _SHOWN_FORBIDDEN else "")
        lines.append(f"  also forbidden in {phase}: {shown}")
    return "\n".join(lines)


def _end_at_the_test(item, excinfo) -> None:
    """A call stopped by the guard: its traceback ends at the test's own line, not in the
    library code (socket.py, subprocess.py) it went through."""
    if excinfo is None or not excinfo.errisinstance(VelmoraForbidden):
        return
    last_own, tb = None, excinfo.tb
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == str(item.path):
            last_own = tb
        tb = tb.tb_next
    if last_own is not None:
        last_own.tb_next = None
        excinfo.traceback = type(excinfo.traceback)(excinfo.tb)


class EventsSoFar:
    """The velmora_events fixture: the events the running test has made so far (its
    set-up included), read afresh at each use. Iterates as Events do and has their
    views: files_read(), files_written(), sockets(), sql(), resources()."""

    def __init__(self, runner: "Runner", nodeid: str):
        self._runner = runner
        self._nodeid = nodeid

    def now(self) -> Events:
        return self._runner.events_of(self._nodeid)

    def __iter__(self):
        return iter(self.now())

    def __len__(self):
        return len(self.now())

    def __getitem__(self, index):
        return self.now()[index]

    def __getattr__(self, name):  # Events' views, of the events as they are now
        if name.startswith("_"):
            raise AttributeError(name)
        return getattr(self.now(), name)

    def __repr__(self):
        return f"<velmora_events of {self._nodeid}: {len(self)} events>"


class Runner:
    def __init__(self, config):
        option = config.getoption
        self._include = set(option("velmora_include") or ())
        self._exclude = list(option("velmora_exclude") or ())
        self._forbid = list(option("velmora_forbid") or ())
        self._allow = list(option("velmora_allow") or ())
        self._guard = CallGuard(self._left_to_events)
        self._test_tid = 0
        self._stopped: Dict[Tuple[str, str], list] = {}  # (test id, phase) -> calls stopped
        self._capture = Capture(children=True)
        self._capture.__enter__()
        self._running = True
        self._events: Dict[str, List[Tuple[str, Event]]] = {}  # test id -> (phase, event)
        self._target: Optional[Tuple[str, str]] = None  # (test id, phase), or (None, what is set apart)
        self._apart = {"pytest": [], "imports": []}  # since the last report
        self._malformed_sent = 0

    def _sort(self) -> None:
        """Charges what the capture holds to the current target; without one it is nobody's."""
        taken = self._capture.take()
        if self._target is None:
            return
        nodeid, phase = self._target
        for event in taken:
            if "imports" not in self._include and is_import(event):
                self._apart["imports"].append(event)
            elif nodeid is None:
                self._apart[phase].append(event)
            else:
                self._events.setdefault(nodeid, []).append((phase, event))

    def _left_to_events(self, kind: str, detail: str) -> bool:
        # The import system's reads are no test's own, as the events set them apart.
        return kind == "open" and "imports" not in self._include and is_import(Event("open_read", detail, -1, 0, 0))

    def _kept(self, events) -> list:
        return [e for e in events if first_match(self._exclude, e.detail) is None]

    @contextmanager
    def _charging(self, target, item=None):
        self._sort()
        self._target = target
        if item is not None:
            self._test_tid = threading.get_native_id()
            self._guard.arm(self._policy(item))
        try:
            yield
        finally:
            self._guard.disarm()
            if item is not None and self._guard.stopped:
                self._stopped[target] = self._guard.stopped
            self._sort()
            self._target = None

    def events_of(self, nodeid: str) -> Events:
        if self._target is not None and self._target[0] == nodeid:
            self._sort()
        return Events(self._kept(event for _, event in self._events.get(nodeid, [])))

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtestloop(self, session):
        # pytest makes its temporary-directory root (the user's name, a lock file) when
        # the first test asks for tmp_path; made now, it is set apart as pytest's.
        factory = getattr(session.config, "_tmp_path_factory", None)
        if factory is None or "pytest" in self._include:
            return
        with self._charging((None, "pytest")):
            try:
                factory.getbasetemp()
            except OSError:
                pass  # the test asking for it will say so

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_setup(self, item):
        with self._charging((item.nodeid, "setup"), item):
            yield

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_call(self, item):
        with self._charging((item.nodeid, "call"), item):
            yield

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_teardown(self, item):
        with self._charging((item.nodeid, "teardown"), item):
            yield

    def _policy(self, item) -> Policy:
        marked = lambda name: [pattern for mark in item.iter_markers(name) for pattern in mark.args]
        return Policy(marked("velmora_allow"), marked("velmora_forbid"), self._allow, self._forbid)

    # Outermost, so that the guard sees the report as the other plugins left it.
    @pytest.hookimpl(hookwrapper=True, tryfirst=True)
    def pytest_runtest_makereport(self, item, call):
        _end_at_the_test(item, call.excinfo)
        report = (yield).get_result()
        events = [e for phase, e in self._events.get(item.nodeid, []) if phase == call.when]
        policy = self._policy(item)
        hits = [(e, found[0]) for e in events if (found := policy.forbidding(e.detail)) is not None]
        stopped = self._stopped.pop((item.nodeid, call.when), [])
        if hits or stopped:
            message = describe_forbidden(ranked(hits, os.getpid(), self._test_tid), stopped, call.when, self._test_tid)
            if report.passed:  # the test caught what stopped its call: it still fails
                report.outcome, report.longrepr = "failed", message
            else:  # its own failure stays the one shown
                report.sections.append(("velmora_forbid", message))
        malformed = self._capture.events.malformed
        report.velmora = {"resources": views(self._kept(events)),
                          "apart": {name: views(self._kept(found)) for name, found in self._apart.items() if found},
                          "malformed": malformed - self._malformed_sent}
        self._malformed_sent = malformed
        self._apart = {name: [] for name in self._apart}
        if call.when == "teardown":
            self._events.pop(item.nodeid, None)

    def stop(self) -> None:
        if self._running:
            self._running = False
            self._capture.__exit__(None, None, None)

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session):
        self.stop()  # before the report is written: its file is not a test's

    def pytest_unconfigure(self, config):
        self.stop()  # also when the session ended early
