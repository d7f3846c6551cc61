"""One process of the cold-start stress test: its threads call
get_gpu_node_id on each round's path as soon as the shared barrier lets every
thread of every process go."""

import json

from conftest import run_threaded


def main(barrier, paths, threads, out_file):
    import zorf_lib

    def calls(_):
        results = []
        for path in paths:
            barrier.wait()
            try:
                results.append(zorf_lib.get_gpu_node_id(path))
            except RuntimeError as error:
                results.append(f"RuntimeError: {error}")
        return results

    with open(out_file, "w") as out:
        json.dump(run_threaded(calls, threads, timeout=300), out)
