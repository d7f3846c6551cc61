"""Reads valgrind's XML report of a Python run and fails on any error or
definite leak with a frame in zorf_lib: CPython has definite leaks of its own
at exit, which the report's full stacks tell apart from ours.

usage: our_errors.py REPORT.xml
"""

import sys
import xml.etree.ElementTree as ET

ours, definite, definite_bytes = [], 0, 0
for error in ET.parse(sys.argv[1]).getroot().iter("error"):
    kind = error.findtext("kind")
    frames = [(f.findtext("fn") or "?", f.findtext("obj") or "?") for f in error.find("stack").iter("frame")]
    if kind == "Leak_DefinitelyLost":
        definite += 1
        definite_bytes += int(error.findtext("xwhat/leakedbytes") or 0)
    elif kind.startswith("Leak_"):
        continue
    if any("zorf" in fn or "/zorf_lib." in obj for fn, obj in frames):
        ours.append((kind, error.findtext("what") or error.findtext("xwhat/text"), frames))
print(f"python: {definite} definitely lost records ({definite_bytes} bytes) in all, "
      f"{len(ours)} with a frame in zorf_lib")
for kind, what, frames in ours:
    print(f"\n{kind}: {what}")
    for fn, obj in frames:
        print(f"    {fn}  ({obj})")
sys.exit(1 if ours else 0)
