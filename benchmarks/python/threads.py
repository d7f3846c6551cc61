"""Cache hits from several threads at once: total calls per second against a
single thread. With the GIL the interpreter runs one call at a time, so the
total should hold steady; without it (a free-threaded build, where the module
declares it needs no GIL) it should grow with the cores."""

import os
import sys
import sysconfig
import threading
import time

import zorf_lib

from stats import Figure

THREAD_COUNTS = (1, 2, 4, 8)
# On a free-threaded build: what a thread count may lose to contention and
# still pass.
EFFICIENCY = 0.75


def build_description():
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled()
    kind = "free-threaded" if free_threaded else "default (GIL)"
    return f"{kind} build, Py_GIL_DISABLED={int(free_threaded)}, sys._is_gil_enabled()={gil}", not gil


def throughput(path, threads, total_calls):
    """Cache hits per second, `threads` threads sharing `total_calls`."""
    per_thread = total_calls // threads
    start = threading.Barrier(threads + 1)

    def work():
        call = zorf_lib.get_gpu_node_id
        start.wait()
        for _ in range(per_thread):
            call(path)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join()
    return per_thread * threads / (time.perf_counter() - began)


def run(directory, rounds=5, total_calls=16000):
    path = os.path.join(directory, "threads-cache")
    with open(path, "w") as file:
        file.write("0" * 64)
    build, parallel = build_description()
    cores = os.process_cpu_count() or 1
    best = {}
    for _ in range(rounds):
        for threads in THREAD_COUNTS:
            best[threads] = max(best.get(threads, 0.0), throughput(path, threads, total_calls))
    os.unlink(path)

    figures = []
    for threads in THREAD_COUNTS:
        scale = best[threads] / best[1]
        if parallel:
            goal = EFFICIENCY * min(threads, cores)
            goal_text, met = f"≥ {goal:.2f}x (scales)", scale >= goal if threads > 1 else None
        else:
            # Nothing to hold the module to: the interpreter runs one call at
            # a time, and what is lost is the GIL's hand-over.
            goal_text, met = "none: serialised by the GIL", None
        figures.append(Figure(f"cache hits, {threads} thread{'s' if threads > 1 else ''}: calls/s vs 1 thread",
                              f"{scale:.2f}x ({best[threads]:,.0f}/s)", goal_text, met))
    return figures, {"build": build, "cores": cores, "calls_per_second": best}
