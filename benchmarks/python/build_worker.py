"""One interpreter's share of the comparison between builds: cache-hit
throughput with several threads, and how long a gc.collect() in one thread
waits while another thread is inside a slow cache miss. Runs in the
interpreter being measured (the default build or the free-threaded one).

usage: build_worker.py DIRECTORY THREAD_COUNTS CALLS INIT_DELAY_S
The fake NVML on the loader path must sleep INIT_DELAY_S in nvmlInit_v2.
Prints JSON: {"build": ..., "calls_per_second": {threads: ...}, "gc_wait_s": ...}."""

import gc
import json
import os
import sys
import threading
import time

import zorf_lib

from threads import build_description, throughput


def gc_wait(path, delay):
    """How long a thread that asks for gc.collect() a tenth into another
    thread's cache miss of `delay` seconds is held up: the time from the
    miss's start to the end of the collection, less the tenth and less what
    the same collection takes with no miss under way."""
    gc.collect()
    began = time.perf_counter()
    gc.collect()
    alone = time.perf_counter() - began

    entered = threading.Event()
    began = []

    def miss():
        began.append(time.perf_counter())
        entered.set()
        zorf_lib.get_gpu_node_id(path)

    worker = threading.Thread(target=miss)
    worker.start()
    # With the GIL, this thread gets no further until the worker's call has
    # returned; without it, the collection's stop-the-world pause waits for it.
    entered.wait()
    time.sleep(delay / 10)
    gc.collect()
    waited = time.perf_counter() - began[0] - delay / 10 - alone
    worker.join()
    os.unlink(path)
    return max(waited, 0.0)


def main():
    directory, counts, calls, delay = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    hit = os.path.join(directory, f"hit-{os.getpid()}")
    with open(hit, "w") as file:
        file.write("0" * 64)
    rates = {int(n): throughput(hit, int(n), calls) for n in counts.split(",")}
    os.unlink(hit)
    wait = gc_wait(os.path.join(directory, f"miss-{os.getpid()}"), delay)
    print(json.dumps({"build": build_description()[0], "calls_per_second": rates, "gc_wait_s": wait}))


if __name__ == "__main__":
    main()
