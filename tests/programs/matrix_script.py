"""Threads, a TCP round trip, a child process and an HTTP fetch in one program.

Usage: matrix_script.py WORKDIR CURL   (CURL empty: fetch with urllib in-process)

Standard output carries only what must be identical from run to run; the numbers a
test needs to name sockets and processes (ports, pids, descriptors) go to standard
error as key=value lines.
"""
import functools
import hashlib
import http.server
import os
import socket
import subprocess
import sys
import threading

work, curl = sys.argv[1], sys.argv[2]
TIMEOUT = 30


def fact(key, value):
    print(f"{key}={value}", file=sys.stderr, flush=True)


# Threads each write their own file while all of them are alive, so every write
# comes from a distinct thread id.
barrier = threading.Barrier(3, timeout=TIMEOUT)


def write_part(i):
    barrier.wait()
    with open(os.path.join(work, f"part{i}.txt"), "w") as f:
        f.write(f"part {i}\n" * (1000 * (i + 1)))


writers = [threading.Thread(target=write_part, args=(i,)) for i in range(3)]
for t in writers:
    t.start()
for t in writers:
    t.join(TIMEOUT)
with open(os.path.join(work, "parts.txt"), "wb") as out:
    for i in range(3):
        with open(os.path.join(work, f"part{i}.txt"), "rb") as f:
            out.write(f.read())
print("parts", os.path.getsize(os.path.join(work, "parts.txt")))

# A TCP round trip with its own server thread.
listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.bind(("127.0.0.1", 0))
listener.listen(1)
listener.settimeout(TIMEOUT)
fact("echo_port", listener.getsockname()[1])
fact("listen_fd", listener.fileno())
message = b"ping " * 2000


def echo_once():
    conn, _ = listener.accept()
    with conn:
        conn.settimeout(TIMEOUT)
        got = b""
        while len(got) < len(message):
            chunk = conn.recv(65536)
            if not chunk:
                break
            got += chunk
        conn.sendall(got.upper())


server = threading.Thread(target=echo_once)
server.start()
client = socket.create_connection(listener.getsockname(), timeout=TIMEOUT)
fact("echo_client_port", client.getsockname()[1])
client.sendall(message)
reply = b""
while len(reply) < len(message):
    chunk = client.recv(65536)
    if not chunk:
        break
    reply += chunk
client.close()
server.join(TIMEOUT)
listener.close()
print("echo", len(reply), reply == message.upper())

# A child with the default close_fds=True: every descriptor above 2 is closed in it.
child_code = (
    "import os, sys\n"
    "fd = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)\n"
    "os.write(fd, b'written by the child\\n')\n"
    "os.close(fd)\n"
)
child = subprocess.Popen([sys.executable, "-I", "-S", "-c", child_code, os.path.join(work, "child.txt")],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
fact("child_pid", child.pid)
child_out, child_err = child.communicate(timeout=TIMEOUT)
print("child", child.returncode, child_err.decode())

# An HTTP server thread, fetched by curl (a child) or by urllib (in-process).
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


httpd = http.server.ThreadingHTTPServer(
    ("127.0.0.1", 0), functools.partial(Quiet, directory=os.path.join(work, "www")))
fact("http_port", httpd.server_address[1])
serving = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.05})
serving.start()
url = f"http://127.0.0.1:{httpd.server_address[1]}/page.html"
try:
    if curl:
        fetch = subprocess.Popen([curl, "-q", "-sS", "--noproxy", "*", "--max-time", str(TIMEOUT), url],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        fact("curl_pid", fetch.pid)
        body, err = fetch.communicate(timeout=TIMEOUT)
        if fetch.returncode != 0:
            print("curl failed", fetch.returncode, err.decode())
    else:
        import urllib.request
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(url, timeout=TIMEOUT) as response:
            body = response.read()
finally:
    httpd.shutdown()
    httpd.server_close()
    serving.join(TIMEOUT)
with open(os.path.join(work, "fetched.html"), "wb") as f:
    f.write(body)
print("http", len(body), hashlib.sha256(body).hexdigest())
