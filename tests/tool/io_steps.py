"""Does file I/O step by step, for tracing.

Usage: io_steps.py STEP...
  r:PATH           read the file whole
  w:PATH           write a line to the file
  d:PATH           make the directory
  sleep:SECONDS    stay alive a little (so the tracer finds the process)
  child:S1,S2,...  run io_steps.py with steps S1 S2 ... through subprocess
                   with its default arguments (inherited descriptors closed)
  detach:S1,S2,... the same, without waiting for it
  await:PATH       wait (at most 60 s) until the file exists
"""
import os
import subprocess
import sys
import time

for step in sys.argv[1:]:
    what, _, arg = step.partition(":")
    if what == "r":
        with open(arg, "rb") as f:
            f.read()
    elif what == "w":
        with open(arg, "a") as f:
            f.write("line\n")
    elif what == "d":
        os.mkdir(arg)
    elif what == "sleep":
        time.sleep(float(arg))
    elif what == "child":
        subprocess.run([sys.executable, __file__] + arg.split(","), check=True)
    elif what == "detach":
        subprocess.Popen([sys.executable, __file__] + arg.split(","))
    elif what == "await":
        for _ in range(6000):
            if os.path.exists(arg):
                break
            time.sleep(0.01)
    else:
        sys.exit("unknown step " + step)
