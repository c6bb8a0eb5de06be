"""Writes one byte to a file COUNT times, one write call each.

Usage: write_many.py FILE COUNT [PROCESSES THREADS]
With PROCESSES and THREADS: forks that many processes, each running that many
threads, and each thread writes its own file FILE.P.T.
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
    write_file(path)
    sys.exit(0)
children = []
for p in range(int(sys.argv[3])):
    pid = os.fork()
    if pid == 0:
        threads = [threading.Thread(target=write_file, args=(f"{path}.{p}.{t}",)) for t in range(int(sys.argv[4]))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        os._exit(0)
    children.append(pid)
for pid in children:
    if os.waitpid(pid, 0)[1] != 0:
        sys.exit(1)
