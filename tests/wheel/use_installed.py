"""Run by an interpreter into which a release wheel was installed, as a user
would: imports zorf_lib from where the wheel put it and calls it against the
fake NVML (on the loader path) twice: a cache miss, then a hit; then runs
the zorf-node-id command the wheel carries (`python -P -m zorf_node_id`). It writes
the fake's two GPUs into the file that FAKE_NVML_CONFIG names first.

usage: python use_installed.py [--from-source] CACHE_PATH [SITE]
SITE: where the wheel was installed, when not the interpreter's own
site-packages (pip install --target). A release wheel's module has BLAKE3 and
the C++ runtime linked in, and so maps neither library; --from-source: a wheel
built from the sdist on this machine, which uses the system's libblake3."""

import os
import platform
import subprocess
import sys
import sysconfig

import zorf_lib

# The UUIDs of tests/python/conftest.py. The identifier is BLAKE3 over them
# sorted and joined, as b3sum gives it; the installed system has no BLAKE3 of
# its own to compute it with.
UUIDS = ["GPU-f1e2d3c4-0000-4000-8000-00000000000b", "GPU-0a1b2c3d-0000-4000-8000-00000000000a"]
expected = "163b8bbb08df5a349741d946ac13f0efda6a0932f0a434a2486a0e8b1ae0e887"

arguments = sys.argv[1:]
from_source = arguments[:1] == ["--from-source"]
if from_source:
    arguments.pop(0)
path = arguments[0]
site = arguments[1] if len(arguments) > 1 else sysconfig.get_paths()["platlib"]
with open(os.environ["FAKE_NVML_CONFIG"], "w") as config:
    config.writelines(f"uuid_text {uuid}\n" for uuid in UUIDS)
assert zorf_lib.__file__.startswith(site + os.sep), f"{zorf_lib.__file__} is not from {site}"
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing zorf_lib enabled the GIL"
# Nothing of the build machine, and for a release wheel nothing of this one
# either: BLAKE3 and the C++ runtime are inside the module.
with open("/proc/self/maps") as maps:
    mapped = {line.split()[-1] for line in maps if len(line.split()) > 5}
libraries = {name for name in mapped
             if any(part in os.path.basename(name) for part in ("blake3", "libstdc++", "libc++"))}
if from_source:
    assert any("libblake3" in name for name in libraries), libraries
else:
    assert not libraries, f"the release module maps {sorted(libraries)}"
miss = zorf_lib.get_gpu_node_id(path)
assert miss == expected, (miss, expected)
hit = zorf_lib.get_gpu_node_id(cache_file_path=path)
assert hit == expected, (hit, expected)
# The command shipped beside the module, a hit too.
command = subprocess.run([sys.executable, "-P", "-m", "zorf_node_id", "--cache-file", path], check=True,
                         capture_output=True, text=True).stdout
assert command == expected + "\n", command
print(f"{os.path.basename(zorf_lib.__file__)} on glibc {platform.libc_ver()[1]}: miss and hit give {miss[:16]}...")
