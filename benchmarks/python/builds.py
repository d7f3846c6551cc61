"""The default (GIL) build and the free-threaded build of CPython side by side,
measured in one run, round by round in turn: cache-hit throughput at 1, 2 and
4 threads, and the time a gc.collect() waits while another thread is inside a
slow cache miss (the fake NVML sleeps in nvmlInit_v2). Each figure is a ratio
between the builds, or between a build and its own single thread."""

import json
import os
import subprocess

from stats import Figure, median

THREAD_COUNTS = (1, 2, 4)
INIT_DELAY_S = 0.2


def _worker(python, build, directory, config, calls):
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(build, os.pardir, "fake_nvml", "full"), FAKE_NVML_CONFIG=config,
               PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
    env.pop("FAKE_NVML_LOG", None)
    out = subprocess.run([python, os.path.join(os.path.dirname(__file__), "build_worker.py"), directory,
                          ",".join(map(str, THREAD_COUNTS)), str(calls), str(INIT_DELAY_S)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def run(build, directory, pythons, rounds=5, calls=16000):
    """`pythons`: {"default": interpreter, "free-threaded": interpreter}."""
    config = os.path.join(directory, "fake-nvml-slow.conf")
    with open(config, "w") as file:
        file.write(f"generate 1\ninit_delay_us {int(INIT_DELAY_S * 1e6)}\n")
    best = {name: {} for name in pythons}
    waits = {name: [] for name in pythons}
    described = {}
    for index in range(rounds):
        names = list(pythons)
        for name in names[index % 2:] + names[:index % 2]:
            result = _worker(pythons[name], build, directory, config, calls)
            described[name] = result["build"]
            for threads, rate in result["calls_per_second"].items():
                best[name][int(threads)] = max(best[name].get(int(threads), 0.0), rate)
            waits[name].append(result["gc_wait_s"])
    os.unlink(config)

    gil, free = best["default"], best["free-threaded"]
    figures = []
    for threads in THREAD_COUNTS:
        figures.append(Figure(
            f"cache hits, {threads} thread{'s' if threads > 1 else ''}: free-threaded / default build",
            f"{free[threads] / gil[threads]:.2f}x ({free[threads]:,.0f}/s against {gil[threads]:,.0f}/s; "
            f"against 1 thread: {free[threads] / free[1]:.2f}x / {gil[threads] / gil[1]:.2f}x)",
            "reported", None))
    wait = {name: median(values) for name, values in waits.items()}
    figures.append(Figure(
        f"gc.collect() during a {INIT_DELAY_S * 1000:.0f} ms cache miss in another thread: wait, free-threaded / default",
        f"{wait['free-threaded'] * 1000:.0f} ms / {wait['default'] * 1000:.0f} ms "
        f"(the miss had {INIT_DELAY_S * 900:.0f} ms left)", "reported", None))
    return figures, {"builds": described, "calls_per_second": best, "gc_wait_s": wait}
