"""The plugin's report, written by the process that sees every test's reports: pytest
itself, or the pytest-xdist controller, to which each worker's reports carry their
phase's views (report.velmora).

    {"tests": {test id: {"outcome": O, "worker": "gw0", "setup": V, "call": V, "teardown": V}},
     "set_apart": {"pytest": V, "imports": V}, "malformed_lines": N}

O is passed, failed, skipped, xfailed, xpassed or error (a set-up or teardown that
failed); "worker" is there under pytest-xdist. Each V holds those of "files_read" and
"files_written" (paths), "sockets" (addresses such as "127.0.0.1:5432" or
"unix:/run/x.sock") and "sql" (query texts) that are not empty, each in first-seen
order. "set_apart" holds what was kept out of the tests: pytest's own set-up and the
files the import system read.
"""

import json
import os
from typing import Dict

import pytest

PHASES = ("setup", "call", "teardown")
SUMMARY_TESTS = 10


def refuse_unwritable(path: str) -> None:
    """A usage error now, rather than a traceback after the whole suite ran."""
    existed = os.path.lexists(path)
    try:
        with open(path, "a", encoding="utf-8"):
            pass
    except OSError as error:
        raise pytest.UsageError(f"velmora: cannot write the report {path}: {error.strerror}") from None
    if not existed:
        os.unlink(path)


def merge(into: dict, found: dict) -> None:
    """Adds views to views, each value once, in first-seen order (a rerun test adds)."""
    for key, values in found.items():
        into[key] = list(dict.fromkeys(into.get(key, []) + values))


def outcome(current, report):
    if report.failed and report.when != "call":
        return "error"
    if report.when == "teardown":
        return current
    if hasattr(report, "wasxfail"):
        return "xfailed" if report.skipped else "xpassed"
    return report.outcome


def _resources(entry: dict) -> set:
    found = set()
    for phase in PHASES:
        views = entry[phase]
        found.update("file:" + p for p in views.get("files_read", []) + views.get("files_written", []))
        found.update("socket:" + s for s in views.get("sockets", []))
        found.update("sql:" + q for q in views.get("sql", []))
    return found


class Reporter:
    def __init__(self, report_path, summary: bool):
        if report_path is not None:
            refuse_unwritable(report_path)
        self._report_path = report_path
        self._summary = summary
        self.tests: Dict[str, dict] = {}
        self.apart: Dict[str, dict] = {}
        self.malformed = 0

    def pytest_runtest_logreport(self, report):
        entry = self.tests.setdefault(report.nodeid, {"outcome": None, **{p: {} for p in PHASES}})
        entry["outcome"] = outcome(entry["outcome"], report)
        node = getattr(report, "node", None)  # the pytest-xdist worker that ran it
        if node is not None:
            entry["worker"] = node.gateway.id
        data = getattr(report, "velmora", None)
        if data:
            merge(entry[report.when], data["resources"])
            for name, views in data["apart"].items():
                merge(self.apart.setdefault(name, {}), views)
            self.malformed += data["malformed"]

    def pytest_sessionfinish(self, session):
        if self._report_path is None:
            return
        with open(self._report_path, "w", encoding="utf-8") as out:
            json.dump({"tests": self.tests, "set_apart": self.apart, "malformed_lines": self.malformed},
                      out, indent=2, ensure_ascii=False)
            out.write("\n")

    def pytest_terminal_summary(self, terminalreporter):
        if not self._summary:
            return
        write = terminalreporter.write_line
        terminalreporter.section("velmora: resources per test")
        per_test = {test: _resources(entry) for test, entry in self.tests.items()}
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
