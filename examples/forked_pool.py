"""A pool of forked workers that tag their results with the node identifier.

The parent reads it once, before the pool forks: each worker's call is then a
cache hit, which never touches NVML. A worker whose call misses loads and
initialises NVML in its own process, which works too, at NVML's start-up
cost in every such worker.

    python forked_pool.py /var/lib/zorf/node-id
"""

import multiprocessing
import sys

import zorf_lib


def tagged(task, cache_file):
    return f"{zorf_lib.get_gpu_node_id(cache_file)} {task * task}"


def main(cache_file):
    zorf_lib.get_gpu_node_id(cache_file)
    with multiprocessing.get_context("fork").Pool(4) as pool:
        for line in pool.starmap(tagged, [(task, cache_file) for task in range(8)]):
            print(line)


if __name__ == "__main__":
    main(sys.argv[1])
