"""velmora.capture(): the events of a block of code, this process's and its children's.

    with velmora.capture() as events:
        run_something()
    print(events.files_read(), events.sql())

This process's lines come through a pipe whose two ends are handed to the preloaded
library and whose read end a background thread drains: entering and leaving costs a
pipe and a thread. Events of every thread are kept, each with its tid.

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
import shutil
import stat
import tempfile
import threading
from typing import List, Optional, Tuple

from . import library
from .events import Events, parse_line

# A line of our own in the pipe that no event line can be: event lines start with a kind.
_MARK = b"\0"
_PIPE_SIZE = 1 << 20  # room for ~10,000 lines while the reader thread waits for the GIL
_SYNC_SECONDS = 30.0

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
        self._cond = threading.Condition()
        self._marks_sent = 0
        self._marks_seen = 0
        self._final_mark = None
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
            self._final_mark = self._marks_sent + 1
            self.sync()
            self._thread.join(_SYNC_SECONDS)
        finally:
            os.close(self._w)
            os.close(self._r)
            if self._log_fd >= 0:
                os.close(self._log_fd)
                shutil.rmtree(self._log_dir, ignore_errors=True)

    def sync(self) -> int:
        """Waits until every line written so far by this process, and by its children to
        their log, is among the events; returns their number."""
        self._marks_sent += 1
        mark = self._marks_sent
        os.write(self._w, _MARK + b"%d\n" % mark)
        with self._cond:
            self._cond.wait_for(lambda: self._marks_seen >= mark or not self._thread.is_alive(),
                                _SYNC_SECONDS)
            if self._marks_seen < mark:
                raise RuntimeError("velmora: the capture's reader thread fell behind or stopped")
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

    def _drain(self) -> None:
        pending = b""
        while True:
            chunk = os.read(self._r, 1 << 16)
            if not chunk:
                return
            lines = (pending + chunk).split(b"\n")
            pending = lines.pop()
            for line in lines:
                if not line.startswith(_MARK):
                    self._take(line)
                    continue
                with self._cond:
                    self._marks_seen = int(line[1:])
                    self._cond.notify_all()
                if self._marks_seen == self._final_mark:
                    return

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
