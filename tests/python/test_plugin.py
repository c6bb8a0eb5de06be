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
    # Python's own opens are stopped at the call, so the files are never read.
    result.stdout.fnmatch_lines(["velmora_forbid: the test's setup was stopped at the call: open file:/etc/passwd "
                                 "matching 'file:/etc/*' (from the marker)",
                                 "velmora_forbid: the test's call was stopped at the call: open file:/etc/passwd *"])
    tests = {test.split("::")[-1]: entry
             for test, entry in json.loads(pytester.path.joinpath("report.json").read_text())["tests"].items()}
    assert {name: entry["outcome"] for name, entry in tests.items()} == OUTCOMES
    assert {entry.get("worker") for entry in tests.values()} <= ({"gw0", "gw1"} if workers else {None})
    phases = lambda name: [tests[name][phase] for phase in ("setup", "call", "teardown")]
    assert phases("test_reads_etc") == phases("test_reads_etc_in_setup") == [{}, {}, {}]
    [setup, call, teardown] = phases("test_writes_its_file")
    # pytest's tmp_path set-up only probes; the call created and wrote its one file.
    assert set(setup) | set(teardown) <= {"files_looked_up", "files_missing"}
    assert set(call) <= {"files_created", "files_written", "files_looked_up"} and call["files_written"][0].endswith("/mine")


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
    pytester.makepyfile("""
        import os, subprocess, pytest
        @pytest.mark.parametrize("close_fds", [True, False])
        def test_starts_true(close_fds, velmora_events):
            subprocess.run(["/bin/true"], close_fds=close_fds)
            wide = "libvelmora_io_wide" in os.environ.get("LD_PRELOAD", "")
            assert velmora_events.programs_started() == (["/bin/true"] if wide else [])
    """)
    pytester.runpytest_subprocess("-p", "velmora.pytest_plugin").assert_outcomes(passed=2)


GUARDED = """
import ctypes, socket, struct, subprocess, pytest
SERVER = socket.socket()  # made while collecting: no test's
SERVER.bind(("127.0.0.1", 0))
SERVER.listen()
listener = SERVER.getsockname()
@pytest.mark.parametrize("call", ["connect", "getaddrinfo", "open", "run"])
def test_python_call(call, tmp_path):
    if call == "connect": socket.create_connection(listener).close()
    if call == "getaddrinfo": socket.getaddrinfo("127.0.0.1", 80)
    if call == "open": (tmp_path / "x.secret").write_text("x")
    if call == "run": subprocess.run(["/bin/true"])
def test_native_connect():  # the C library's connect, where no audit hook runs
    libc = ctypes.CDLL(None)
    fd = libc.socket(socket.AF_INET, socket.SOCK_STREAM, 0)
    address = struct.pack("<HH4s8x", socket.AF_INET, socket.htons(listener[1]), socket.inet_aton("127.0.0.1"))
    libc.connect(fd, address, 16)
    libc.close(fd)
@pytest.mark.velmora_allow("*.secret")
def test_marker_allows(tmp_path): (tmp_path / "y.secret").write_text("x")
@pytest.mark.velmora_forbid("*.public")
def test_marker_forbids(tmp_path): (tmp_path / "z.public").write_text("x")
"""


@pytest.mark.parametrize("workers", [[], ["-n", "2"]], ids=["one_process", "two_xdist_workers"])
def test_forbidden_calls_stop_at_the_test_line(pytester, workers):
    if workers:
        pytest.importorskip("xdist")
    pytester.makepyfile(GUARDED)
    wide = "libvelmora_io_wide" in os.environ.get("LD_PRELOAD", "")
    forbid = ["--velmora-forbid=socket:127.0.0.1:*", "--velmora-forbid=*.secret", "--velmora-forbid=/bin/true*",
              "--velmora-allow=*.public"]
    result = pytester.runpytest_subprocess("-p", "velmora.pytest_plugin", "-rf", *forbid, *workers)
    # Python stops its own calls, whichever library; the C library's connect is seen after it.
    result.assert_outcomes(passed=1, failed=6)
    text = result.stdout.str()
    source = GUARDED.strip("\n").splitlines()
    for call in ("connect", "getaddrinfo", "open", "run"):  # each traceback ends at the call's own line
        line = 1 + next(n for n, text_line in enumerate(source) if f'call == "{call}"' in text_line)
        assert f"test_forbidden_calls_stop_at_the_test_line.py:{line}: VelmoraForbidden" in text, call
    assert text.count("was stopped at the call") == 5  # and the marker's forbid over the allow option
    assert "touched a forbidden resource (seen after the call" in text
    assert "first: connect socket:127.0.0.1:" in text or not wide
