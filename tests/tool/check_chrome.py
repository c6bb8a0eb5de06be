"""Validates a velmora-trace --format chrome file and prints what it holds.

Usage: check_chrome.py FILE
The file must be one JSON object (strict UTF-8) with traceEvents. Prints
  instant <TAB> number of instant events
  summary <TAB> the embedded summary's event count (when present)
  unnamed <TAB> pid/tid of every track without a name (one line each)
  thread <TAB> pid <TAB> tid <TAB> name, for every thread name
  name <TAB> each distinct instant event name
  life <TAB> pid <TAB> duration, for every process lifetime ("X" event)
Exits 1 with a message on the first problem.
"""
import json
import sys

with open(sys.argv[1], "rb") as f:
    try:
        doc = json.loads(f.read().decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        sys.exit("not a JSON document: %s" % e)
events = doc["traceEvents"]
instant = [e for e in events if e.get("ph") == "i"]
for e in instant:
    if e.get("s") != "t" or not isinstance(e.get("ts"), (int, float)) or \
            not isinstance(e["args"].get("detail"), str) or not isinstance(e["args"].get("fd"), int):
        sys.exit("malformed instant event %r" % e)
process_names = {e["pid"] for e in events if e.get("ph") == "M" and e["name"] == "process_name"}
thread_names = {(e["pid"], e["tid"]): e["args"]["name"]
                for e in events if e.get("ph") == "M" and e["name"] == "thread_name"}
print("instant\t%d" % len(instant))
if "summary" in doc:
    print("summary\t%d" % doc["summary"]["events"])
for pid, tid in sorted({(e["pid"], e["tid"]) for e in instant}):
    if pid not in process_names or (pid, tid) not in thread_names:
        print("unnamed\t%d/%d" % (pid, tid))
for (pid, tid), name in sorted(thread_names.items()):
    print("thread\t%d\t%d\t%s" % (pid, tid, name))
for name in sorted({e["name"] for e in instant}):
    print("name\t%s" % name)
for e in events:
    if e.get("ph") == "X":
        print("life\t%d\t%s" % (e["pid"], e["dur"]))
