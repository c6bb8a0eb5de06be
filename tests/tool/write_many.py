"""Writes one byte to a file COUNT times, one write call each.

Usage: write_many.py FILE COUNT
"""
import os
import sys

path, count = sys.argv[1], int(sys.argv[2])
fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
write = os.write
for _ in range(count):
    write(fd, b"x")
os.close(fd)
