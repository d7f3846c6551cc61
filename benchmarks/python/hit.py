"""Cache hit: the module against the bare system calls (a C loop doing stat,
open, read to end of file, close of the same file, loaded into this process)
and against plain Python. The three take turns in many short rounds, each a
tight loop; each figure is the median of the round-by-round ratios. Short
rounds are more likely to fit between the disturbances of a busy machine.

Alone, for a cache file in a folder of one's choice (one on a mount of its
own, say, where the hit takes more system calls):

    python benchmarks/python/hit.py BUILD_DIRECTORY FOLDER
"""

import ctypes
import os
import statistics
import timeit

import zorf_lib

from stats import Figure, median

CACHE_TEXT = "0" * 64


def _module(path, number):
    call = zorf_lib.get_gpu_node_id
    return timeit.Timer("call(path)", globals={"call": call, "path": path}).timeit(number) / number * 1e9


def _plain_python(path, number):
    names = {"stat": os.stat, "open": open, "path": path}
    return timeit.Timer("stat(path); open(path).read()", globals=names).timeit(number) / number * 1e9


def _bare_loop(build, path):
    loop = ctypes.CDLL(os.path.join(build, "libhit_loop.so")).hit_loop
    loop.restype = ctypes.c_double
    loop.argtypes = [ctypes.c_char_p, ctypes.c_long]
    encoded = os.fsencode(path)

    def run(number):
        ns = loop(encoded, number)
        if ns < 0:
            raise RuntimeError("the bare system-call loop failed")
        return ns

    return run


def crosses_a_mount(folder):
    """Whether a path to a file in FOLDER crosses a mount below "/": the hit
    then opens the folder and the file apart, three system calls more (see
    the README's cache file section)."""
    folder = os.path.realpath(folder)
    while folder != "/":
        if os.path.ismount(folder):
            return True
        folder = os.path.dirname(folder)
    return False


def mount_free_folder():
    """A writable folder on the root file system, where the hit takes its four
    system calls; None where there is none."""
    for candidate in ("/var/tmp", "/tmp", os.path.expanduser("~")):
        if os.access(candidate, os.W_OK) and not crosses_a_mount(candidate):
            return candidate
    return None


def run(build, directory, rounds=100, number=2000):
    """The hit's figures for a cache file in DIRECTORY: measured against their
    goals where the path crosses no mount, for the record where it does."""
    across = crosses_a_mount(directory)
    path = os.path.join(directory, "hit-cache")
    with open(path, "w") as file:
        file.write(CACHE_TEXT)
    if zorf_lib.get_gpu_node_id(path) != CACHE_TEXT:
        raise RuntimeError("the module did not return the cached text")
    bare = _bare_loop(build, path)
    sides = {"bare": lambda: bare(number), "module": lambda: _module(path, number),
             "python": lambda: _plain_python(path, number)}
    samples = {name: [] for name in sides}
    names = list(sides)
    for index in range(rounds):
        # A different side first each round, so that none is always first.
        for name in names[index % 3 :] + names[: index % 3]:
            samples[name].append(sides[name]())
    os.unlink(path)

    # Round by round: neighbours in time share the machine's mood, so their
    # ratio holds still where the absolute times swing with the load.
    def paired(top, bottom):
        return statistics.median(t / b for t, b in zip(samples[top], samples[bottom], strict=True))

    over_bare = paired("module", "bare")
    faster_than_python = paired("python", "module")
    best = {name: min(values) for name, values in samples.items()}
    where = f" (across the mount of {directory})" if across else ""
    figures = [
        Figure(f"cache hit{where}: module / bare system calls",
               f"{over_bare:.2f}x (fastest rounds {best['module']:.0f} ns / {best['bare']:.0f} ns)",
               "reported" if across else "≤ 1.30x", None if across else over_bare <= 1.3),
        Figure(f"cache hit{where}: plain Python / module",
               f"{faster_than_python:.2f}x (fastest rounds {best['python']:.0f} ns / {best['module']:.0f} ns)",
               "reported" if across else "≥ 2.50x", None if across else faster_than_python >= 2.5),
    ]
    # The most any module could reach: plain Python against the bare calls.
    ceiling = {"python / bare": paired("python", "bare")}
    details = {name: {"min_ns": min(v), "median_ns": median(v), "rounds": len(v)} for name, v in samples.items()}
    return figures, {"sides": details, "ceiling": ceiling}


if __name__ == "__main__":
    import sys

    import report

    print(report.figure_table(run(sys.argv[1], sys.argv[2])[0]))
