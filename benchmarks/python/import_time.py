"""`import zorf_lib` as the interpreter's own import timer sees it, each run
in a fresh interpreter; and, to show where that time goes, the same import
split into loading the module's shared-library dependencies and the rest."""

import re
import subprocess
import sys

from stats import Figure, median

GOAL_US = 1000
LINE = re.compile(r"import time:\s+(\d+)\s+\|\s+(\d+)\s+\|\s+zorf_lib\s*$")

# Loads the dependencies as the import would (RTLD_NOW, as sys.getdlopenflags
# says), then the module itself, in microseconds each.
SPLIT = """
import _ctypes, os, time
t0 = time.perf_counter_ns()
_ctypes.dlopen("libstdc++.so.6", os.RTLD_NOW)
t1 = time.perf_counter_ns()
_ctypes.dlopen("libblake3.so.0", os.RTLD_NOW)
t2 = time.perf_counter_ns()
import zorf_lib
t3 = time.perf_counter_ns()
print((t1 - t0) // 1000, (t2 - t1) // 1000, (t3 - t2) // 1000)
"""


def _timed_import():
    err = subprocess.run([sys.executable, "-X", "importtime", "-c", "import zorf_lib"],
                         check=True, capture_output=True, text=True).stderr
    for line in err.splitlines():
        if match := LINE.match(line):
            return int(match[1]), int(match[2])
    raise RuntimeError(f"no zorf_lib line in -X importtime output:\n{err}")


def _split():
    out = subprocess.run([sys.executable, "-c", SPLIT], check=True, capture_output=True, text=True).stdout
    return tuple(map(int, out.split()))


def run(runs=21):
    samples, splits = [], []
    for _ in range(runs):
        samples.append(_timed_import())
        splits.append(_split())
    own, cumulative = median(s[0] for s in samples), median(s[1] for s in samples)
    figure = Figure("import zorf_lib (median self / cumulative)", f"{own:.0f} µs / {cumulative:.0f} µs",
                    f"< {GOAL_US} µs", cumulative < GOAL_US)
    split = {name: median(s[i] for s in splits) for i, name in enumerate(("libstdc++", "libblake3", "the rest"))}
    return [figure], {"self_us": [s[0] for s in samples], "cumulative_us": [s[1] for s in samples],
                      "fastest_us": min(s[1] for s in samples), "split_us": split}


if __name__ == "__main__":
    # python import_time.py: the figure alone, for whichever zorf_lib comes
    # first on sys.path (see benchmarks/README.md).
    (figure,), _ = run()
    print(f"{figure.name}: {figure.measured} (goal {figure.goal})")
