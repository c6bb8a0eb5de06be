"""The package's line parser against the codec's seed corpus: whole lines named by the
verdict every parser owes them (line_*: accepted, refused_*: refused), and 17-byte seeds
(kind selector, fd, pid, tid little-endian, then the detail) for lines formatted here."""

import pathlib
import re
import struct

import pytest

from velmora.events import EVENT_KINDS, parse_line

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORPUS = ROOT / "tests" / "fuzz" / "corpus" / "event_line"
KINDS = tuple(kind.decode() for kind in EVENT_KINDS)


def test_kinds_are_the_codecs():  # in its order, which the seeds' kind selector follows
    header = (ROOT / "src" / "codec" / "event_line.h").read_text()
    listed = re.search(r"EVENT_KINDS\[\] = \{(.*?)\};", header, re.S).group(1)
    assert KINDS == tuple(re.findall(r'"(\w+)"', listed))


def format_line(kind, detail: bytes, fd, pid, tid) -> bytes:
    escaped = detail.replace(b"\\", b"\\\\").replace(b"\t", b"\\t").replace(b"\n", b"\\n")
    return b"\t".join([kind.encode(), escaped] + [str(n).encode() for n in (fd, pid, tid)])


@pytest.mark.parametrize("seed", sorted(CORPUS.iterdir()), ids=lambda p: p.name)
def test_corpus_line(seed):
    data = seed.read_bytes()
    if seed.name.startswith(("line", "refused")):
        event = parse_line(data)
        assert (event is not None) == seed.name.startswith("line")
        if event is not None:  # one spelling per event: formatting it again gives the line
            again = format_line(event.kind, event.detail.encode(), *event[2:])
            assert again.decode("utf-8", "replace") == data.decode("utf-8", "replace")
        return
    fd, pid, tid = struct.unpack("<iiq", data[1:17])
    kind, detail = KINDS[data[0] % len(KINDS)], data[17:]
    assert parse_line(format_line(kind, detail, fd, pid, tid)) == (
        kind, detail.decode("utf-8", "replace"), fd, pid, tid)
