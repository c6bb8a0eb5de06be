"""Waits for SIGTERM or SIGINT and exits with a status naming which one came.

Usage: await_signal.py READY_FILE
Creates READY_FILE once the handlers are installed. Exits 42 on SIGTERM, 43
on SIGINT, 1 if nothing arrived within a generous bound.
"""
import os
import signal
import sys
import time

got = []
signal.signal(signal.SIGTERM, lambda s, f: got.append(42))
signal.signal(signal.SIGINT, lambda s, f: got.append(43))
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(os.getpid()))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
for _ in range(1200):
    if got:
        sys.exit(got[0])
    time.sleep(0.05)
sys.exit(1)
