"""Checks the plugin's report of the sample suite: every resource the suite touches is
under exactly the tests and phases expected, and under no other.

    check_report.py REPORT SAMPLE_DIR BASETEMP PG_PORT narrow|wide

Exit 0 when it holds; otherwise each difference on standard error, exit 1.
"""

import json
import os
import sys

report_path, sample_dir, basetemp, pg_port, library = sys.argv[1:6]
data = os.path.join(sample_dir, "data")
module = "test_sample.py::"
query = "SELECT 'velmora sample' AS greeting"

# resource -> {(test, phase, view)}; an empty set means "reported nowhere".
db = os.path.join(basetemp, "test_sqlite0", "notes.db")
journal = db + "-journal"
sqlite_phases = {("test_sqlite", phase, view) for phase in ("setup", "call")
                 for view in ("files_read", "files_written")}
expected = {
    os.path.join(data, "greeting.txt"): {("test_reads_fixture_file", "call", "files_read")},
    os.path.join(basetemp, "test_writes_temporary_file0", "scratch\\tab.txt"): {
        ("test_writes_temporary_file", "call", "files_written"),
        ("test_writes_temporary_file", "teardown", "files_written")},
    os.path.join(data, "schema.sql"): {("test_sqlite", "setup", "files_read")},
    # SQLite reads and writes with pread/pwrite: the sixteen-symbol library does not see
    # its files at all, the wide one sees the database created in setup and used in call.
    db: sqlite_phases if library == "wide" else set(),
    journal: set(),  # the rollback journal's use is SQLite's business: checked below
    "127.0.0.1:" + pg_port: {("test_postgres", "call", "sockets")},
    query: {("test_postgres", "call", "sql")},
}

with open(report_path, encoding="utf-8") as f:
    report = json.load(f)
problems = []
tests = report["tests"]
names = {test_id.rsplit("::", 1)[-1]: test_id for test_id in tests}
if sorted(names) != sorted(["test_reads_fixture_file", "test_writes_temporary_file",
                            "test_sqlite", "test_postgres"]):
    problems.append(f"tests in the report: {sorted(tests)}")
if report["malformed_lines"] != 0:
    problems.append(f"malformed lines: {report['malformed_lines']}")

found = {resource: set() for resource in expected}
unexpected = []
for test_id, phases in tests.items():
    name = test_id.rsplit("::", 1)[-1]
    if phases.pop("outcome", None) != "passed":
        problems.append(f"{test_id}: not reported as passed")
    if not test_id.endswith(module + name) or sorted(phases) != ["call", "setup", "teardown"]:
        problems.append(f"{test_id}: phases {sorted(phases)}")
    for phase, views in phases.items():
        for view, values in views.items():
            if view not in ("files_read", "files_written", "sockets", "sql"):
                continue  # the other views (probes, creations, lookups) follow from the same events
            for value in values:
                if value in found:
                    found[value].add((name, phase, view))
                elif value.startswith((sample_dir, basetemp)) or view in ("sockets", "sql"):
                    # Nothing else of the suite's own, and no other peer or query.
                    unexpected.append((value, name, phase, view))
if library == "wide":  # wherever SQLite used its journal, it was in test_sqlite's own phases
    expected[journal] = found[journal] if found[journal] <= sqlite_phases else sqlite_phases
for resource, want in expected.items():
    if found[resource] != want:
        problems.append(f"{resource!r}: reported under {sorted(found[resource])}, expected {sorted(want)}")
for item in unexpected:
    problems.append("unexpected %r under %s/%s/%s" % item)

for problem in problems:
    print(problem, file=sys.stderr)
sys.exit(1 if problems else 0)
