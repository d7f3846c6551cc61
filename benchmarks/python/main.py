"""Runs every benchmark, prints the figures against their goals, and writes
results/latest.md and results/cache_miss.png. Timing never fails the run:
only something that breaks does.

usage: main.py BUILD_DIRECTORY RESULTS_DIRECTORY [FREE_THREADED_PYTHON]"""

import datetime
import os
import platform
import sys
import tempfile

import builds
import chart
import hit
import import_time
import miss
import report
import threads


def scratch_root():
    # tmpfs, where there is one, keeps the disk out of the file timings.
    return "/dev/shm" if os.access("/dev/shm", os.W_OK) else None


def load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    build, results = sys.argv[1], sys.argv[2]
    free_threaded = sys.argv[3] if len(sys.argv) > 3 else None
    os.makedirs(results, exist_ok=True)
    load_before = load()
    with tempfile.TemporaryDirectory(prefix="zorf-bench-", dir=scratch_root()) as directory:
        print("cache hit ...", flush=True)
        # On the root file system, where a hit takes its four system calls;
        # and, for the record, across the scratch folder's mount (tmpfs).
        with tempfile.TemporaryDirectory(prefix="zorf-bench-hit-", dir=hit.mount_free_folder()) as plain:
            hit_figures, hit_details = hit.run(build, plain)
        if hit.crosses_a_mount(directory):
            hit_figures += hit.run(build, directory, rounds=30)[0]
        print("cache miss ...", flush=True)
        miss_figures, sizes = miss.run(build, directory)
        write_figure, _ = miss.write_cost(build, directory)
        miss_figures.append(write_figure)
        print("import ...", flush=True)
        import_figures, import_details = import_time.run()
        print("threads ...", flush=True)
        thread_figures, thread_details = threads.run(directory)
        if free_threaded:
            print("default and free-threaded builds ...", flush=True)
            build_figures, _ = builds.run(build, directory, {"default": sys.executable,
                                                             "free-threaded": free_threaded})
            thread_figures += build_figures

    figures = hit_figures + miss_figures + import_figures + thread_figures
    context = (f"{datetime.datetime.now().isoformat(timespec='seconds')}; Python {platform.python_version()}, "
               f"{thread_details['build']}; {os.cpu_count()} CPUs; load average {load_before} before, "
               f"{load()} after; scratch files, the cache misses' included, in {os.path.dirname(directory)} "
               f"({miss.filesystem_of(directory)}).")
    breakdown = miss.breakdown_table(sizes)
    text = report.document(figures, context, breakdown, hit_details, import_details, thread_details)
    with open(os.path.join(results, "latest.md"), "w") as file:
        file.write(text)
    chart.draw(sizes, os.path.join(results, "cache_miss.png"))

    print()
    print(context)
    print()
    print(report.figure_table(figures))
    print()
    print(breakdown)
    print()
    print(f"written: {results}/latest.md, {results}/cache_miss.png")


if __name__ == "__main__":
    main()
