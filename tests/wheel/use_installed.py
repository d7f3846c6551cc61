"""Run by an interpreter into which a release wheel was installed, as a user
would: imports zorf_lib from where the wheel put it and calls it against the
fake NVML (on the loader path) twice: a cache miss, then a hit.

usage: python use_installed.py EXPECTED_IDENTIFIER CACHE_PATH [SITE]
SITE: where the wheel was installed, when not the interpreter's own
site-packages (pip install --target)."""

import os
import sys
import sysconfig

import zorf_lib

expected, path = sys.argv[1], sys.argv[2]
site = sys.argv[3] if len(sys.argv) > 3 else sysconfig.get_paths()["platlib"]
assert zorf_lib.__file__.startswith(site + os.sep), f"{zorf_lib.__file__} is not from {site}"
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing zorf_lib enabled the GIL"
# Nothing of the build machine: the BLAKE3 library is the one the wheel carries.
with open("/proc/self/maps") as maps:
    blake3 = {line.split()[-1] for line in maps if "libblake3" in line}
assert len(blake3) == 1 and ".libs/libblake3-" in blake3.pop(), blake3
miss = zorf_lib.get_gpu_node_id(path)
assert miss == expected, (miss, expected)
hit = zorf_lib.get_gpu_node_id(cache_file_path=path)
assert hit == expected, (hit, expected)
print(f"{os.path.basename(zorf_lib.__file__)}: miss and hit give {miss[:16]}...")
