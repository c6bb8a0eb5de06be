"""The pytest plugin on small suites run by pytester in processes of their own, which
inherit the preloaded library from this one's environment."""

import json
import os

import pytest

SUITE = """
import pytest, velmora
@pytest.fixture
def reads_etc(): open("/etc/passwd").read()
@pytest.mark.velmora_forbid("file:/etc/*")
def test_reads_etc(): open("/etc/passwd").read()
@pytest.mark.velmora_forbid("file:/etc/*")
def test_reads_etc_in_setup(reads_etc): pass
@pytest.mark.velmora_forbid("file:/etc/*", "socket:*")
def test_writes_its_file(velmora_events, tmp_path):
    import wave  # the import system's reads are not the test's
    with velmora.capture() as inner:  # nor are a nested capture's events
        (tmp_path / "inner").write_text("x")
    (tmp_path / "mine").write_text("x")  # the sink is handed back to the plugin's capture
    assert inner.files_written() == [str(tmp_path / "inner")]
    assert (velmora_events.files_written(), velmora_events.files_read()) == ([str(tmp_path / "mine")], [])
def test_forbidden_by_option(tmp_path): (tmp_path / "x.secret").write_text("x")
@pytest.mark.xfail(strict=True)
def test_xfails(): assert False
@pytest.mark.skip
def test_skipped(): pass
"""

OUTCOMES = {"test_reads_etc": "failed", "test_reads_etc_in_setup": "error", "test_writes_its_file": "passed",
            "test_forbidden_by_option": "failed", "test_xfails": "xfailed", "test_skipped": "skipped"}


@pytest.mark.parametrize("workers", [[], ["-n", "2"]], ids=["one_process", "two_xdist_workers"])
def test_guard_outcomes_and_report(pytester, workers):
    if workers:
        pytest.importorskip("xdist")
    pytester.makepyfile(SUITE)
    result = pytester.runpytest_subprocess("-p", "velmora.pytest_plugin", "--velmora-report=report.json",
                                           "--velmora-forbid=*.secret", *workers)
    result.assert_outcomes(passed=1, failed=2, errors=1, xfailed=1, skipped=1)
    result.stdout.fnmatch_lines(["velmora_forbid: the test's setup touched a forbidden resource",
                                 "velmora_forbid: the test's call touched a forbidden resource",
                                 "  first: *read file:/etc/passwd (fd *) matching 'file:/etc/*'",
                                 "         in call, pid * (the test's process), tid * (its main thread)"])
    tests = {test.split("::")[-1]: entry
             for test, entry in json.loads(pytester.path.joinpath("report.json").read_text())["tests"].items()}
    assert {name: entry["outcome"] for name, entry in tests.items()} == OUTCOMES
    assert {entry.get("worker") for entry in tests.values()} <= ({"gw0", "gw1"} if workers else {None})
    phases = lambda name: [tests[name][phase] for phase in ("setup", "call", "teardown")]
    assert phases("test_reads_etc") == [{}, {"files_read": ["/etc/passwd"]}, {}]
    assert phases("test_reads_etc_in_setup") == [{"files_read": ["/etc/passwd"]}, {}, {}]
    [setup, call, teardown] = phases("test_writes_its_file")
    assert (setup, teardown, list(call), call["files_written"][0].endswith("/mine")) == ({}, {}, ["files_written"], True)


@pytest.mark.parametrize("preloaded, args, error", [
    (True, ["--velmora-report=missing/report.json"], "*cannot write the report */missing/report.json: No such file*"),
    (False, ["--velmora-report=report.json"], "*libvelmora_io is not preloaded*"),
    (False, [], "*libvelmora_io is not preloaded*"),  # the marker asks for the capture
], ids=["unwritable_report", "not_preloaded", "not_preloaded_marker_only"])
def test_refused_before_any_test_runs(pytester, monkeypatch, preloaded, args, error):
    if not preloaded:
        monkeypatch.delenv("LD_PRELOAD", raising=False)
    pytester.makepyfile("""
        import pytest
        @pytest.mark.velmora_forbid("socket:*")
        def test_leaves_a_trace():
            open("ran", "w").close()
    """)
    result = pytester.runpytest_subprocess("-p", "velmora.pytest_plugin", *args)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines([error])
    assert not pytester.path.joinpath("ran").exists()


def test_a_started_program_is_charged_to_its_test_whatever_it_closes(pytester):
    # With close_fds, Python's child closes the plugin's pipe on its way to exec. Only
    # the wide library reports programs started.
    wide = "libvelmora_io_wide" in os.environ.get("LD_PRELOAD", "")
    pytester.makepyfile("""
        import subprocess, pytest
        @pytest.mark.velmora_forbid("/bin/true*")
        @pytest.mark.parametrize("close_fds", [True, False])
        def test_starts_true(close_fds): subprocess.run(["/bin/true"], close_fds=close_fds)
    """)
    result = pytester.runpytest_subprocess("-p", "velmora.pytest_plugin")
    result.assert_outcomes(**({"failed": 2} if wide else {"passed": 2}))
    if wide:
        result.stdout.fnmatch_lines(["*first: exec /bin/true*"] * 2)
