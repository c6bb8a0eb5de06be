"""The two host setters of the library preloaded into this process.

They are looked up by name in the process's global scope, so any build of the library
that exports them serves (the sixteen-symbol one or a wider one). Nothing is loaded
here: a library loaded now would come after the C library and see nothing.
"""

import ctypes
import os


class NotPreloaded(RuntimeError):
    """The library is not preloaded into this process."""


class Setters:
    def __init__(self, set_pipe_fd, set_pipe_read_fd):
        self.set_pipe_fd = set_pipe_fd
        self.set_pipe_read_fd = set_pipe_read_fd


_SETTERS = None


def setters() -> Setters:
    """The setters, or NotPreloaded saying how to run this process instead."""
    global _SETTERS
    if _SETTERS is None:
        process = ctypes.CDLL(None)  # the already-loaded objects, preloaded ones included
        try:
            functions = [getattr(process, name)
                         for name in ("velmora_io_set_pipe_fd", "velmora_io_set_pipe_read_fd")]
        except AttributeError:
            preload = os.environ.get("LD_PRELOAD", "")
            raise NotPreloaded(
                "velmora: libvelmora_io is not preloaded into this process "
                f"(LD_PRELOAD={preload!r}); run it as "
                "LD_PRELOAD=/path/to/libvelmora_io.so python3 ... or under velmora-trace") from None
        for function in functions:
            function.argtypes = [ctypes.c_int32]
            function.restype = None
        _SETTERS = Setters(*functions)
    return _SETTERS
