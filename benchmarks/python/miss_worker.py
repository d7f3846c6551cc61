"""One process's share of the cache-miss benchmark: the module's whole call,
the ctypes peer's, and the fake library's own floor (the bare walk, timed in
C), taken in turn call by call so that all three see the same machine at the
same moment. Runs in a process of its own because the loader reads
LD_LIBRARY_PATH (which picks the fake NVML) only at start.

usage: miss_worker.py ITERATIONS DIRECTORY FAKE_WALK_LIBRARY
Prints JSON: nanoseconds per call for each side."""

import ctypes
import json
import os
import sys
import time

import ctypes_peer
import zorf_lib

WALK_STAGES = 8  # FAKE_WALK_STAGES; the last one is the total
SIDES = ("module", "peer", "floor")


def timed(function, path):
    start = time.perf_counter_ns()
    node = function(path)
    elapsed = time.perf_counter_ns() - start
    os.unlink(path)
    return elapsed, node


def floor_walker(library_path):
    walk = ctypes.CDLL(library_path).fake_walk
    stages = (ctypes.c_longlong * WALK_STAGES)()

    def run():
        if walk(stages) != 0:
            sys.exit("miss_worker: the bare walk failed")
        return stages[WALK_STAGES - 1]

    return run


def main():
    iterations, directory, walk_library = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    module = zorf_lib.get_gpu_node_id
    peer = ctypes_peer.node_id
    walk = floor_walker(walk_library)
    samples = {"module": [], "peer": [], "floor": []}
    for index in range(iterations):
        # Fresh names, so that no call ever finds a file a previous one left.
        base = os.path.join(directory, f"miss-{os.getpid()}-{index}")
        nodes = set()
        # A different side first each time, so that none always follows another.
        for side in SIDES[index % 3 :] + SIDES[: index % 3]:
            if side == "floor":
                samples["floor"].append(walk())
            else:
                elapsed, node = timed(module if side == "module" else peer, f"{base}-{side}")
                samples[side].append(elapsed)
                nodes.add(node)
        if len(nodes) != 1:
            sys.exit(f"miss_worker: module and peer disagree: {sorted(nodes)}")
    json.dump(samples, sys.stdout)


if __name__ == "__main__":
    main()
