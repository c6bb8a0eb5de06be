"""Validates velmora-trace --format jsonl output and prints what it holds.

Usage: check_jsonl.py FILE
Every line must be a JSON object (the file strict UTF-8): an event with t,
pid, tid, kind, fd and detail; a process record (kind "process", with t, pid
and exe plus argv, or gone) and its end (kind "process_end", with end); or the
one-line summary or files document. For each event prints one line:
  kind <TAB> hex of the detail's exact bytes
where the exact bytes come from detail_base64 when present, else from the
UTF-8 encoding of detail; for each process record "process <TAB> pid <TAB>
exe", for its end "process_end <TAB> pid <TAB> exit status or signal"; for the summary "summary <TAB> events"; for the files document
"files <TAB> [pid:]section <TAB> path-or-text <TAB> events" per entry (a
pair's name "from -> to"). Exits 1 with
a message on the first problem.
"""
import base64
import json
import sys

KINDS = {"read", "write", "close", "connect", "sql_write", "open_read", "open_write",
         "open_read_write", "create", "missing", "query", "delete", "rename_from", "rename_to",
         "make_dir", "link_from", "link_to", "symlink", "exec", "exec_failed", "bind", "listen",
         "accept", "accept_local", "connect_failed", "resolve", "load"}


def print_files(files, prefix=""):
    for section, entries in sorted(files.items()):
        if section == "processes":
            for p in entries:
                print_files(p["files"], "%d:" % p["pid"])
            continue
        for e in entries:
            name = e.get("path", e.get("text", e.get("name")))
            if "from" in e:
                name = e["from"] + " -> " + e["to"]
            print("files\t%s%s\t%s\t%d" % (prefix, section, name, e["events"]))


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
    if "summary" in obj:
        print("summary\t%d" % obj["summary"]["events"])
        continue
    if "files" in obj:
        print_files(obj["files"])
        continue
    if obj.get("kind") == "process":
        if not isinstance(obj.get("pid"), int) or not isinstance(obj.get("t"), (int, float)):
            sys.exit("line %d: bad process record" % n)
        if obj.get("gone") is not True and not (isinstance(obj.get("exe"), str) and
                                                 isinstance(obj.get("argv"), list)):
            sys.exit("line %d: process record without exe and argv" % n)
        print("process\t%d\t%s" % (obj["pid"], obj.get("exe", "")))
        continue
    if obj.get("kind") == "process_end":
        if not isinstance(obj.get("pid"), int) or not isinstance(obj.get("end"), (int, float)):
            sys.exit("line %d: bad process end" % n)
        print("process_end\t%d\t%s" % (obj["pid"], obj.get("exit_status", obj.get("signal", ""))))
        continue
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
