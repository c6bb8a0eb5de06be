"""A small suite whose every test touches one kind of resource, in a known phase.

Run under the velmora plugin, its report must show each resource under its own test
and phase only (check_report.py says exactly what is expected).
"""

import os
import pathlib
import sqlite3
import subprocess

import pytest

DATA = pathlib.Path(__file__).resolve().parent / "data"
QUERY = "SELECT 'velmora sample' AS greeting"


def test_reads_fixture_file():
    assert DATA.joinpath("greeting.txt").read_text().startswith("hello")


@pytest.fixture
def scratch(tmp_path):
    # A backslash followed by "t" in the name: the report must not read it as a TAB.
    path = tmp_path / "scratch\\tab.txt"
    yield path
    with open(path, "a") as out:  # teardown leaves a trace, as some suites do
        out.write("done\n")


def test_writes_temporary_file(scratch):
    scratch.write_text("written by the test\n")


@pytest.fixture
def notes(tmp_path):
    db = sqlite3.connect(tmp_path / "notes.db")
    db.executescript(DATA.joinpath("schema.sql").read_text())
    yield db
    db.close()


def test_sqlite(notes):
    notes.execute("INSERT INTO notes (body) VALUES ('one')")
    notes.commit()
    assert notes.execute("SELECT count(*) FROM notes").fetchone() == (1,)


def test_postgres():
    # A child process: its events reach the plugin through the environment.
    psql = os.environ.get("VELMORA_SAMPLE_PSQL")
    if not psql:
        pytest.skip("no test PostgreSQL server (VELMORA_SAMPLE_PSQL and PG* unset)")
    out = subprocess.run([psql, "-X", "-A", "-t", "-c", QUERY], check=True,
                         capture_output=True, text=True, timeout=60).stdout
    assert out.strip() == "velmora sample"
