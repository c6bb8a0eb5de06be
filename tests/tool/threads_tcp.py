"""Threads writing files and a TCP round trip over loopback, for the tracer tests.

Usage: threads_tcp.py OUTDIR CLIENTS
Writes OUTDIR/port with the server's port once everything is done.
"""
import os
import socket
import sys
import threading

out_dir = sys.argv[1]
clients = int(sys.argv[2])

server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.bind(("127.0.0.1", 0))
server.listen(clients)
port = server.getsockname()[1]
errors = []


def serve():
    for _ in range(clients):
        conn, _ = server.accept()
        with conn:
            data = conn.recv(64)
            conn.sendall(data.upper())


def client(i):
    try:
        with open(os.path.join(out_dir, "thread-%d.txt" % i), "w") as f:
            f.write("hello from thread %d\n" % i)
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(b"ping %d" % i)
            reply = s.recv(64)
            if reply != b"PING %d" % i:
                errors.append("thread %d got %r" % (i, reply))
    except Exception as e:  # reported through the exit status
        errors.append("thread %d: %s" % (i, e))


server_thread = threading.Thread(target=serve)
server_thread.start()
workers = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
for w in workers:
    w.start()
for w in workers:
    w.join()
server_thread.join(timeout=60)
server.close()
with open(os.path.join(out_dir, "port"), "w") as f:
    f.write(str(port))
if errors:
    print("\n".join(errors), file=sys.stderr)
    sys.exit(1)
