"""The Python side of the leak check: run under valgrind's memcheck.

1,000 calls that miss the cache (each loading, querying, shutting down and
unloading the fake NVML, then writing the file), 10,000 that hit it, and
2,000 that fail, so that anything a call keeps adds up to thousands of
blocks.

usage: python_loop.py CACHE_PATH MODULE_DIR
"""

import os
import sys

import zorf_lib

path, module_dir = sys.argv[1], sys.argv[2]
assert zorf_lib.__file__.startswith(module_dir + "/"), zorf_lib.__file__
first = None
for _ in range(1000):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    node_id = zorf_lib.get_gpu_node_id(path)
    first = first or node_id
    assert node_id == first, (node_id, first)
for _ in range(10000):
    assert zorf_lib.get_gpu_node_id(cache_file_path=path) == first
# The failing paths build exceptions; they must not keep anything either.
with open(path, "wb") as file:
    file.write(b"\xff")
for _ in range(1000):
    try:
        zorf_lib.get_gpu_node_id(path)
    except RuntimeError as error:
        assert str(error) == "Failed to read cache file", error
    else:
        raise AssertionError("a bad cache file was accepted")
for _ in range(1000):
    try:
        zorf_lib.get_gpu_node_id(5)
    except TypeError:
        pass
print(f"python: 1000 misses, 10000 hits, 2000 failures, node id {first}")
