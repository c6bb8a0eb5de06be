"""velmora.capture(): the events of a block of code, this process's and its children's.

    with velmora.capture() as events:
        run_something()
    print(events.files_read(), events.sql())

This process's lines come through a pipe whose two ends are handed to the preloaded
library and whose read end a background thread drains: entering and leaving costs a
pipe and a thread. Events of every thread are kept, each with its tid. sync() reads
what the pipe holds on the calling thread, under the lock the reader thread reads
under: a line whose write returned is in the pipe, so nothing needs to wait for the
reader thread.

With children=True, processes started inside the block report too. They inherit
neither the pipe nor its number (subprocess closes inherited descriptors), so they are
pointed through the environment at a log file in a directory of the capture's own
("VELMORA_IO_LOG", with "VELMORA_IO_FD" removed), which is read at every sync() and at
the end. Children started with an environment of their own (env=...) are not seen.

Captures nest: an inner one takes the sink over and hands it back to the outer one
when it ends; the outer one does not see what the inner one captured.
"""

import fcntl
import os
import select
import shutil
import stat
import tempfile
import threading
from typing import List, Optional, Tuple

from . import library
from .events import Events, parse_line

# Wakes the reader thread at the end; skipped, as no event line starts with NUL.
_WAKE = b"\0\n"
_PIPE_SIZE = 1 << 20  # room for ~10,000 lines while the reader thread waits for the GIL
_STOP_SECONDS = 30.0

_ACTIVE: List["Capture"] = []  # innermost last


def _environment_pipe() -> Optional[Tuple[int, int, int]]:
    """The pipe the environment named, as (fd, device, inode), if it can still be one."""
    value = os.environ.get("VELMORA_IO_FD", "")
    if not value.isdigit():
        return None
    fd = int(value)
    try:
        st = os.fstat(fd)
    except (OSError, OverflowError):
        return None
    if not (stat.S_ISFIFO(st.st_mode) or stat.S_ISSOCK(st.st_mode) or stat.S_ISCHR(st.st_mode)):
        return None
    return fd, st.st_dev, st.st_ino


class Capture:
    def __init__(self, children: bool = False):
        self.events = Events()
        self._children = children
        self._lock = threading.Lock()  # one reader of the pipe at a time
        self._pending = b""
        self._stopping = False
        self._log_dir = None
        self._log_fd = -1
        self._log_offset = 0
        self._log_pending = b""
        self._own_log_detail = None
        self._saved_env = {}
        self._env_pipe = None

    def __enter__(self) -> Events:
        setters = library.setters()  # NotPreloaded before anything is changed
        self._env_pipe = _environment_pipe()
        self._r, self._w = os.pipe()  # neither end is inherited by exec'd children
        os.set_blocking(self._r, False)  # the write end stays blocking: no line is lost
        try:
            fcntl.fcntl(self._w, getattr(fcntl, "F_SETPIPE_SZ", 1031), _PIPE_SIZE)
        except OSError:
            pass  # the default size only makes a stall likelier
        if self._children:
            self._start_children_log()
        self._thread = threading.Thread(target=self._drain, name="velmora-capture", daemon=True)
        self._thread.start()
        setters.set_pipe_read_fd(self._r)
        setters.set_pipe_fd(self._w)
        _ACTIVE.append(self)
        return self.events

    def __exit__(self, *exc_info) -> None:
        _ACTIVE.remove(self)
        setters = library.setters()
        if _ACTIVE:
            outer = _ACTIVE[-1]
            setters.set_pipe_fd(outer._w)
            setters.set_pipe_read_fd(outer._r)
        else:
            setters.set_pipe_fd(self._environment_pipe_if_unchanged())
            setters.set_pipe_read_fd(-1)
        for name, value in self._saved_env.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        try:
            # Everything this process wrote into the pipe before the switch is read; a
            # forked child may still hold the write end, so the end of the stream is not awaited.
            self.sync()
            self._stopping = True
            os.write(self._w, _WAKE)
            self._thread.join(_STOP_SECONDS)
        finally:
            os.close(self._w)
            os.close(self._r)
            if self._log_fd >= 0:
                os.close(self._log_fd)
                shutil.rmtree(self._log_dir, ignore_errors=True)

    def sync(self) -> int:
        """Makes every line written so far, by this process and by its children to their
        log, one of the events; returns their number."""
        with self._lock:
            self._read_available()
            self._read_children_log()
        return len(self.events)

    def take(self) -> Events:
        """sync(), then moves every event collected so far out into a new collection."""
        count = self.sync()
        taken = Events(self.events[:count])
        del self.events[:count]  # the reader thread only appends: later events stay
        return taken

    def _environment_pipe_if_unchanged(self) -> int:
        # Lines go back to the environment's pipe only if its number still refers to the
        # same object: otherwise they could land in a file the program opened since.
        if self._env_pipe is None:
            return -1
        fd, dev, ino = self._env_pipe
        try:
            st = os.fstat(fd)
        except OSError:
            return -1
        return fd if (st.st_dev, st.st_ino) == (dev, ino) else -1

    def _start_children_log(self) -> None:
        self._log_dir = tempfile.mkdtemp(prefix="velmora-")
        path = os.path.join(self._log_dir, "children.log")
        self._log_fd = os.open(path, os.O_RDONLY | os.O_CREAT | os.O_CLOEXEC, 0o644)
        # A library that also sees positional reads would report ours of this file.
        self._own_log_detail = "file:" + os.path.realpath(path)
        for name in ("VELMORA_IO_FD", "VELMORA_IO_LOG"):
            self._saved_env[name] = os.environ.get(name)
        # Without the number, children cannot adopt whatever descriptor reuses it.
        os.environ.pop("VELMORA_IO_FD", None)
        os.environ["VELMORA_IO_LOG"] = path

    def _take(self, line: bytes) -> None:
        event = parse_line(line)
        if event is None:
            self.events.malformed += 1
        elif event.detail != self._own_log_detail:
            self.events.append(event)

    def _read_available(self) -> None:
        """Reads and parses what the pipe holds now; the caller holds the lock."""
        while True:
            try:
                chunk = os.read(self._r, 1 << 16)
            except BlockingIOError:
                return
            if not chunk:
                return  # every write end is closed
            lines = (self._pending + chunk).split(b"\n")
            self._pending = lines.pop()
            for line in lines:
                if not line.startswith(_WAKE[:1]):
                    self._take(line)

    def _drain(self) -> None:
        waiter = select.poll()
        waiter.register(self._r, select.POLLIN)
        while not self._stopping:
            waiter.poll()
            with self._lock:
                if not self._stopping:
                    self._read_available()

    def _read_children_log(self) -> None:
        if self._log_fd < 0:
            return
        end = os.fstat(self._log_fd).st_size  # children may go on appending: stop here
        while self._log_offset < end:
            chunk = os.pread(self._log_fd, min(1 << 20, end - self._log_offset), self._log_offset)
            if not chunk:
                break
            self._log_offset += len(chunk)
            lines = (self._log_pending + chunk).split(b"\n")
            self._log_pending = lines.pop()
            for line in lines:
                self._take(line)


def capture(children: bool = False) -> Capture:
    """A context manager whose ``as`` value is the Events collection it fills.

    children: also collect the events of processes started inside the block (through
    the environment and a temporary directory, see the module's comment). Raises velmora.NotPreloaded when the
    library is not preloaded into this process.
    """
    return Capture(children)
