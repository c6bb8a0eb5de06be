"""pytest plugin: which files, sockets and SQL texts each test touches, per phase.

    LD_PRELOAD=/path/to/libvelmora_io.so \\
        python3 -m pytest -p velmora.pytest_plugin --velmora-report=report.json --velmora-summary

One capture runs for the whole session; the lines of each phase (setup, call,
teardown) are the ones written between two syncs around it, so what pytest does
between phases is left out. Processes a test starts report through the environment
and count for the phase they ran in (their lines are collected at its end). Inactive
unless one of the two options is given.

The report: {"tests": {test id: {"setup": V, "call": V, "teardown": V}},
"malformed_lines": N}, where each V holds those of "files_read" and "files_written"
(paths), "sockets" (addresses such as "127.0.0.1:5432" or "unix:/run/x.sock") and
"sql" (query texts) that are not empty, each in first-seen order.
"""

import json
import os
from typing import Dict

import pytest

from .capture import Capture
from .library import NotPreloaded

PHASES = ("setup", "call", "teardown")
SUMMARY_TESTS = 10


def pytest_addoption(parser):
    group = parser.getgroup("velmora", "resources each test touches (libvelmora_io preloaded)")
    group.addoption("--velmora-report", metavar="FILE", default=None,
                    help="write per test id and phase the files read and written, the sockets "
                         "and the SQL texts to FILE as JSON")
    group.addoption("--velmora-summary", action="store_true", default=False,
                    help="print the tests touching the most resources and every resource "
                         "touched by more than one test")


def pytest_configure(config):
    report = config.getoption("velmora_report")
    if report is None and not config.getoption("velmora_summary"):
        return
    if report is not None:
        report = os.path.join(str(config.invocation_params.dir), report)
    try:
        recorder = Recorder(report)
    except NotPreloaded as error:
        raise pytest.UsageError(str(error)) from None
    config.pluginmanager.register(recorder, "velmora-recorder")


def _resources(phases: Dict[str, dict]) -> set:
    found = set()
    for views in phases.values():
        found.update("file:" + p for p in views.get("files_read", []) + views.get("files_written", []))
        found.update("socket:" + s for s in views.get("sockets", []))
        found.update("sql:" + q for q in views.get("sql", []))
    return found


class Recorder:
    def __init__(self, report_path):
        self._report_path = report_path
        self._capture = Capture(children=True)
        self._events = self._capture.__enter__()
        self._running = True
        self.tests: Dict[str, Dict[str, dict]] = {}

    def _phase(self, item, phase):
        self._capture.take()  # whatever pytest did before this phase is not the test's
        yield
        found = self._capture.take().resources()
        views = self.tests.setdefault(item.nodeid, {p: {} for p in PHASES})[phase]
        for key, values in found.items():  # empty views are left out; a rerun test adds
            merged = list(dict.fromkeys(views.get(key, []) + values))
            if merged:
                views[key] = merged

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_setup(self, item):
        yield from self._phase(item, "setup")

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_call(self, item):
        yield from self._phase(item, "call")

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_teardown(self, item):
        yield from self._phase(item, "teardown")

    def stop(self):
        if self._running:
            self._running = False
            self._capture.__exit__(None, None, None)

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session):
        self.stop()
        if self._report_path is not None:
            with open(self._report_path, "w", encoding="utf-8") as out:
                json.dump({"tests": self.tests, "malformed_lines": self._events.malformed},
                          out, indent=2, ensure_ascii=False)
                out.write("\n")

    def pytest_unconfigure(self, config):
        self.stop()  # also when the session ended early

    def pytest_terminal_summary(self, terminalreporter, config):
        if not config.getoption("velmora_summary"):
            return
        write = terminalreporter.write_line
        terminalreporter.section("velmora: resources per test")
        per_test = {test: _resources(phases) for test, phases in self.tests.items()}
        ranked = sorted(per_test.items(), key=lambda item: (-len(item[1]), item[0]))
        write(f"tests touching the most resources (of {len(per_test)}):")
        for test, found in ranked[:SUMMARY_TESTS]:
            write(f"  {len(found):5d}  {test}")
        users: Dict[str, list] = {}
        for test, found in per_test.items():
            for resource in found:
                users.setdefault(resource, []).append(test)
        shared = sorted((r, t) for r, t in users.items() if len(t) > 1)
        write(f"resources touched by more than one test ({len(shared)}):")
        for resource, tests in shared:
            write(f"  {resource}  ({len(tests)} tests)")
            for test in sorted(tests):
                write(f"      {test}")
