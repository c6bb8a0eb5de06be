"""What the code in this process, and the processes it starts, really touches.

Runs inside a process that has libvelmora_io.so preloaded (LD_PRELOAD, or velmora-trace)
and takes the library's event lines over:

    import velmora
    with velmora.capture() as events:
        ...
    events.files_read(), events.files_written(), events.sockets(), events.sql()

The pytest plugin velmora.pytest_plugin reports the same per test and phase, and fails
the tests that touch what they must not (the velmora_forbid marker).
Standard library only.
"""

from .capture import Capture, capture
from .events import Event, Events, parse_line
from .guard import VelmoraForbidden
from .library import NotPreloaded

__all__ = ["Capture", "Event", "Events", "NotPreloaded", "VelmoraForbidden", "capture", "parse_line"]
