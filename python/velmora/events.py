"""Event lines as the preloaded library writes them, parsed, and a collection of them.

A line is ``kind TAB detail TAB fd TAB pid TAB tid LF``; the detail escapes TAB, LF
and backslash as ``\\t``, ``\\n`` and ``\\\\``. Input is treated as untrusted bytes:
long lines from several writers can tear into each other, so anything that is not
exactly such a line is counted as malformed and skipped.
"""

import re
from typing import Iterable, List, NamedTuple, Optional

# Every kind the library writes, in the order the codec numbers them: the five of both
# libraries, then those only the wide library writes (paths, program starts, server
# sockets, name lookups, loaded objects).
EVENT_KINDS = (b"read", b"write", b"close", b"connect", b"sql_write", b"open_read", b"open_write",
               b"open_read_write", b"create", b"missing", b"query", b"delete", b"rename_from", b"rename_to",
               b"make_dir", b"link_from", b"link_to", b"symlink", b"exec", b"exec_failed", b"bind", b"listen",
               b"accept", b"accept_local", b"connect_failed", b"resolve", b"load")
KINDS = frozenset(EVENT_KINDS)
# Numbers in the one spelling the library writes: no '+', no leading zero, no "-0".
_NUMBER = re.compile(rb"(?:0|-?[1-9][0-9]*)\Z")
_INT32 = 1 << 31
_INT64 = 1 << 63
_ESCAPES = {b"t": b"\t", b"n": b"\n", b"\\": b"\\"}


class Event(NamedTuple):
    kind: str
    detail: str  # escapes undone; bytes that are not UTF-8 become U+FFFD
    fd: int
    pid: int
    tid: int


def unescape(text: bytes) -> Optional[bytes]:
    """Undoes the three escapes left to right; None for any other backslash use."""
    if b"\\" not in text:
        return text
    out = bytearray()
    start = 0
    while True:
        slash = text.find(b"\\", start)
        if slash < 0:
            out += text[start:]
            return bytes(out)
        replacement = _ESCAPES.get(text[slash + 1:slash + 2])
        if replacement is None:
            return None
        out += text[start:slash]
        out += replacement
        start = slash + 2


def _number(text: bytes, limit: int) -> Optional[int]:
    """The value of a number of a signed type whose values are -limit .. limit-1."""
    if not _NUMBER.match(text):
        return None
    value = int(text)
    return value if -limit <= value < limit else None


def parse_line(line: bytes) -> Optional[Event]:
    """One line without its LF, or None when it is not a well-formed event line."""
    fields = line.split(b"\t")
    if len(fields) != 5 or fields[0] not in KINDS:
        return None
    kind, detail, fd, pid, tid = fields
    numbers = (_number(fd, _INT32), _number(pid, _INT32), _number(tid, _INT64))
    if None in numbers:
        return None
    detail = unescape(detail)
    if detail is None:
        return None
    return Event(kind.decode(), detail.decode("utf-8", "replace"), *numbers)


def _unique(items: Iterable[str]) -> List[str]:
    return list(dict.fromkeys(items))  # first-seen order


class Events(list):
    """Events in the order they were read, with views by resource.

    ``malformed`` counts the lines that could not be parsed.
    """

    def __init__(self, events: Iterable[Event] = ()):
        super().__init__(events)
        self.malformed = 0

    def _files(self, kind: str) -> List[str]:
        return _unique(e.detail[5:] for e in self if e.kind == kind and e.detail.startswith("file:"))

    def files_read(self) -> List[str]:
        """Paths of the files read, in first-seen order."""
        return self._files("read")

    def files_written(self) -> List[str]:
        """Paths of the files written, in first-seen order."""
        return self._files("write")

    def sockets(self) -> List[str]:
        """Addresses of the sockets touched (``127.0.0.1:5432``, ``unix:/path``)."""
        return _unique(e.detail[7:] for e in self
                       if e.kind not in ("sql_write", "resolve") and e.detail.startswith("socket:"))

    def sql(self) -> List[str]:
        """Query texts sent, in first-seen order, each once."""
        return _unique(e.detail for e in self if e.kind == "sql_write")

    def programs_started(self) -> List[str]:
        """Paths of the programs started (the wide library's exec events)."""
        return _unique(e.detail.split("\t", 1)[0] for e in self if e.kind == "exec")

    def names_looked_up(self) -> List[str]:
        """Names looked up (``example.com:443``; the wide library's resolve events)."""
        return _unique(e.detail[7:] for e in self if e.kind == "resolve")

    def resources(self) -> dict:
        """Every view, keyed files_read, files_written, files_created, files_deleted,
        files_looked_up, files_missing, programs_started, names_looked_up, objects_loaded,
        sockets and sql."""
        return {"files_read": self.files_read(), "files_written": self.files_written(),
                "files_created": self._files("create"), "files_deleted": self._files("delete"),
                "files_looked_up": self._files("query"), "files_missing": self._files("missing"),
                "programs_started": self.programs_started(), "names_looked_up": self.names_looked_up(),
                "objects_loaded": self._files("load"), "sockets": self.sockets(), "sql": self.sql()}
