"""Writes one byte to a file COUNT times, one write call each.

Usage: write_many.py FILE COUNT [PROCESSES THREADS]
With PROCESSES and THREADS: that many forked processes of that many threads,
each thread writing its own file FILE.P.T.
"""
import os
import sys
import threading

path, count = sys.argv[1], int(sys.argv[2])


def write_file(name):
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    write = os.write
    for _ in range(count):
        write(fd, b"x")
    os.close(fd)


if len(sys.argv) < 5:
    sys.exit(write_file(path))
for p in range(int(sys.argv[3])):
    if os.fork() == 0:
        threads = [threading.Thread(target=write_file, args=(f"{path}.{p}.{t}",)) for t in range(int(sys.argv[4]))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        os._exit(0)
sys.exit(any(os.wait()[1] != 0 for _ in range(int(sys.argv[3]))))
