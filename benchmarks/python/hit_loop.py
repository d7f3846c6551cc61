"""HITS cache hits in a loop and nothing else: the program that
`nox -s profile-hit` runs under callgrind.

usage: hit_loop.py CACHE_PATH HITS
"""

import sys

import zorf_lib

call, path = zorf_lib.get_gpu_node_id, sys.argv[1]
for _ in range(int(sys.argv[2])):
    call(path)
