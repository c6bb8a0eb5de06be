"""pytest plugin: which files, sockets and SQL texts each test touches, per phase, and
a guard that fails the tests touching what they must not.

    LD_PRELOAD=/path/to/libvelmora_io.so \\
        python3 -m pytest -p velmora.pytest_plugin --velmora-report=report.json --velmora-summary

    @pytest.mark.velmora_forbid("socket:*", "file:/etc/*")
    def test_offline(velmora_events):
        ...
        assert velmora_events.files_written() == []

Inactive unless one of its options is given or a test uses the marker or the fixture.
Works under pytest-xdist: each worker captures and guards its own tests, and the
controller writes the one report. pytest_runner.py says what is charged to a test,
pytest_report.py what the report holds.
"""

import os

import pytest

from . import library
from .pytest_report import Reporter
from .pytest_runner import EventsSoFar, Runner

SET_APART = ("pytest", "imports")


def pytest_addoption(parser):
    group = parser.getgroup("velmora", "resources each test touches (libvelmora_io preloaded)")
    group.addoption("--velmora-report", metavar="FILE", default=None,
                    help="write per test id and phase its outcome, the files read and written, "
                         "the sockets and the SQL texts to FILE as JSON")
    group.addoption("--velmora-summary", action="store_true", default=False,
                    help="print the tests touching the most resources and every resource "
                         "touched by more than one test")
    group.addoption("--velmora-forbid", metavar="PATTERN", action="append", default=[],
                    help="fail every test with an event whose detail matches PATTERN (as "
                         "velmora-trace --match reads it: 'socket:*', 'file:/etc/*', "
                         "'INSERT *'); repeatable, as the velmora_forbid marker for one test")
    group.addoption("--velmora-allow", metavar="PATTERN", action="append", default=[],
                    help="let through what --velmora-forbid would catch when the detail matches PATTERN; "
                         "a test's markers win over both; repeatable")
    group.addoption("--velmora-exclude", metavar="PATTERN", action="append", default=[],
                    help="leave out of every test's report the events whose detail matches PATTERN "
                         "(the guard still sees them); repeatable")
    group.addoption("--velmora-include", metavar="WHAT", action="append", default=[], choices=SET_APART,
                    help="count as the tests' own what is set apart by default: 'pytest' (its "
                         "temporary-directory set-up, charged to the first test using tmp_path) "
                         "or 'imports' (the files the import system reads); repeatable")


def _is_worker(config) -> bool:
    return hasattr(config, "workerinput")


def _is_xdist_controller(config) -> bool:
    return not _is_worker(config) and getattr(config.option, "dist", "no") != "no"


def _start(config) -> None:
    try:
        library.setters()
    except library.NotPreloaded as error:
        raise pytest.UsageError(str(error)) from None
    report = config.getoption("velmora_report")
    summary = config.getoption("velmora_summary")
    if not _is_worker(config) and (report is not None or summary):
        if report is not None:
            report = os.path.join(str(config.invocation_params.dir), report)
        config.pluginmanager.register(Reporter(report, summary), "velmora-reporter")
    if not _is_xdist_controller(config):
        config.pluginmanager.register(Runner(config), "velmora-runner")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "velmora_forbid(*patterns): fail the test when one of its events' detail "
                   "matches one of the patterns (as velmora-trace --match reads them); its own "
                   "Python calls to such a resource are stopped at the call")
    config.addinivalue_line(
        "markers", "velmora_allow(*patterns): let through what a forbid would catch, for this test "
                   "(over the command line's --velmora-forbid)")
    option = config.getoption
    if option("velmora_report") is not None or option("velmora_summary") or option("velmora_forbid"):
        _start(config)


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(config, items):
    # A test asking for the guard or the events starts the capture, before any test runs.
    if config.pluginmanager.has_plugin("velmora-runner"):
        return
    if any(item.get_closest_marker("velmora_forbid") is not None
           or "velmora_events" in getattr(item, "fixturenames", ()) for item in items):
        _start(config)


@pytest.fixture
def velmora_events(request) -> EventsSoFar:
    """The events the running test has made so far, set-up included, each with kind,
    detail, fd, pid and tid; files_read(), files_written(), sockets() and sql() answer
    the usual questions. Read afresh at each use."""
    runner = request.config.pluginmanager.get_plugin("velmora-runner")
    if runner is None:
        pytest.fail("velmora: no capture runs in this process", pytrace=False)
    return EventsSoFar(runner, request.node.nodeid)
