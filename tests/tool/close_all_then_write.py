"""Closes every inherited descriptor after Python's start-up I/O (which the
preloaded library has already reported), then runs the C++ helper's checks
in-process: many files of its own, one of them on the event pipe's old
number, each holding exactly what was written.

Usage: close_all_then_write.py DIR
"""
import os
import resource
import sys

out_dir = sys.argv[1]
sink = int(os.environ.get("VELMORA_IO_FD", "1000"))
soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
limit = 65536 if soft == resource.RLIM_INFINITY or soft > 65536 else soft
os.closerange(3, limit)

fds, names = [], []
while not fds or fds[-1] <= sink + 4:
    name = os.path.join(out_dir, "f%d" % len(fds))
    names.append(name)
    fds.append(os.open(name, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644))
if sink not in fds:
    sys.exit("descriptor %d was never reused" % sink)
for i, fd in enumerate(fds):
    os.write(fd, b"payload %d\n" % i)
for fd in fds:
    os.close(fd)
bad = 0
for i, name in enumerate(names):
    with open(name, "rb") as f:
        got = f.read()
    if got != b"payload %d\n" % i:
        print("%s holds %r" % (name, got[:200]), file=sys.stderr)
        bad += 1
sys.exit(1 if bad else 0)
