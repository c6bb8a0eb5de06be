"""Validates velmora-trace --format jsonl output and prints what it holds.

Usage: check_jsonl.py FILE
Every line must be a JSON object (the file strict UTF-8) with t, pid, tid,
kind, fd and detail. For each object prints one line:
  kind <TAB> hex of the detail's exact bytes
where the exact bytes come from detail_base64 when present, else from the
UTF-8 encoding of detail. Exits 1 with a message on the first problem.
"""
import base64
import json
import sys

KINDS = {"read", "write", "close", "connect", "sql_write"}

with open(sys.argv[1], "rb") as f:
    data = f.read()
try:
    text = data.decode("utf-8")
except UnicodeDecodeError as e:
    sys.exit("not UTF-8: %s" % e)
for n, line in enumerate(text.split("\n")[:-1], 1):
    try:
        obj = json.loads(line)
    except ValueError as e:
        sys.exit("line %d is not JSON: %s" % (n, e))
    if not isinstance(obj, dict):
        sys.exit("line %d is not an object" % n)
    for key, kind in (("t", (int, float)), ("pid", int), ("tid", int), ("fd", int),
                      ("kind", str), ("detail", str)):
        if not isinstance(obj.get(key), kind):
            sys.exit("line %d: bad or missing %s" % (n, key))
    if obj["kind"] not in KINDS:
        sys.exit("line %d: unknown kind %r" % (n, obj["kind"]))
    if "detail_base64" in obj:
        exact = base64.b64decode(obj["detail_base64"], validate=True)
    else:
        exact = obj["detail"].encode("utf-8")
    print("%s\t%s" % (obj["kind"], exact.hex()))
