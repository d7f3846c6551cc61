"""Calls and imports from many threads at once, and repeated calls that must
leave memory and open descriptors where they were."""

import subprocess
import sys

import pytest

import zorf_lib
from conftest import EMULATED, TESTS_DIR, UUIDS, generated_uuids, node_id_of, run_threaded


def test_warm_cache_from_many_threads(tmp_path):
    path = tmp_path / "cache"
    path.write_text("warm node id")
    results = run_threaded(lambda i: {zorf_lib.get_gpu_node_id(str(path)) for _ in range(200)}, n_threads=16)
    assert results == [{"warm node id"}] * 16


def test_cold_cache_from_many_threads(scenarios):
    outcome = scenarios.run(
        "from conftest import run_threaded\n"
        "emit(run_threaded(lambda i: call(PATH), n_threads=16))",
        config=("generate 4", "init_delay_us 20000"))
    expected = node_id_of(generated_uuids(4))
    assert outcome.data == [{"value": expected, "type": "str"}] * 16
    assert scenarios.path.read_text() == expected
    # Every instance that was initialised was also shut down.
    assert outcome.calls("nvmlInit_v2") == outcome.calls("nvmlShutdown") >= 1
    assert outcome.calls("load") == outcome.calls("unload")
    assert sorted(p.name for p in scenarios.workdir.iterdir()) == ["node_id", "nvml.conf", "nvml.log"]


def test_concurrent_errors_stay_apart(scenarios):
    outcome = scenarios.run(
        "from conftest import run_threaded\n"
        "args = [(PATH,), (5,), (PATH + '/missing/x',), (PATH, PATH)]\n"
        "emit(run_threaded(lambda i: call(*args[i % 4]), n_threads=16))")
    messages = [r.get("message", r.get("value")) for r in outcome.data]
    assert messages == [
        node_id_of(UUIDS),
        "argument 'cache_file_path': 'int' object cannot be cast as 'str'",
        "Failed to write cache",
        "get_gpu_node_id() takes from 0 to 1 positional arguments but 2 were given",
    ] * 4


FIRST_IMPORTS = r'''
import ctypes, importlib, importlib.util, sys
sys.path.insert(0, sys.argv[1])
from conftest import run_threaded
assert "zorf_lib" not in sys.modules
init = ctypes.PyDLL(importlib.util.find_spec("zorf_lib").origin).PyInit_zorf_lib
init.restype = ctypes.py_object
entries = [lambda: importlib.import_module("zorf_lib"), init]
modules = run_threaded(lambda i: entries[i % 2](), n_threads=16)
print(len({id(m) for m in modules}), modules[0] is sys.modules["zorf_lib"], modules[0].__all__)
'''


def test_concurrent_first_initialisations_share_one_module():
    proc = subprocess.run([sys.executable, "-c", FIRST_IMPORTS, str(TESTS_DIR)],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[0] == "1 True ['get_gpu_node_id']"


RESOURCES = r'''
import ctypes, gc

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]

LIBC = ctypes.CDLL(None)
LIBC.mallinfo2.restype = MallInfo2

def usage():
    heap = LIBC.mallinfo2()
    return {{"rss": int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE"),
             "heap": heap.uordblks + heap.hblkhd, "blocks": sys.getallocatedblocks(),
             "maps": len(open("/proc/self/maps").readlines()), "fds": len(os.listdir("/proc/self/fd"))}}
def work():
    {work}
for _ in range({n} // 10):
    work()
gc.collect()
before = usage()
for _ in range({n}):
    work()
gc.collect()
after = usage()
emit([{{key: after[key] - before[key] for key in after}}, call({check})])
'''

# How far each measure may grow over a run's calls: the C heap (the module's
# and NVML's allocations), Python's blocks (objects the module leaks) and the
# mappings (libraries left loaded), besides the resident size. Under qemu-user
# /proc/self/statm is the emulator's, whose cache of translated code grows with
# every load of NVML; the other measures are the guest's own there too.
LIMITS = {"heap": 1024 * 1024, "blocks": 100, "maps": 8}
if not EMULATED:
    LIMITS["rss"] = 1024 * 1024


# (what one iteration does, iterations, variant, what a last call gives)
@pytest.mark.parametrize(("work", "n", "variant", "check", "last"), [
    ("call(PATH)", 50_000, "full", "PATH", "hit"),
    ("call(5)", 50_000, "full", "5", "TypeError"),
    ("call(PATH, PATH)", 50_000, "full", "PATH, PATH", "TypeError"),
    ("call(PATH + '/missing/x')", 5_000, "full", "PATH + '/missing/x'", "RuntimeError"),
    ("call(PATH + '-new'); os.unlink(PATH + '-new')", 5_000, "full", "PATH + '-new'", node_id_of(UUIDS)),
    ("call(PATH + '-new')", 5_000, "without_uuid", "PATH + '-new'", "RuntimeError"),
    ("call(PATH + '-new')", 5_000, "none", "PATH + '-new'", "RuntimeError"),
], ids=["hit", "type-error", "too-many", "write-fails", "miss", "uuid-fails", "no-nvml"])
def test_repeated_calls_leave_memory_and_descriptors_flat(scenarios, work, n, variant, check, last):
    scenarios.path.write_text("hit")
    outcome = scenarios.run(RESOURCES.format(work=work, n=n, check=check), variant=variant)
    grown, result = outcome.data
    assert result.get("value", result.get("raised")) == last
    assert grown["fds"] == 0
    over = {key: grown[key] for key, limit in LIMITS.items() if grown[key] >= limit}
    assert not over, f"grew over {n} calls: {over}"
    assert outcome.calls("load") == outcome.calls("unload")


# A leak that each stand-in for the resident size must see, or its flat
# figures above prove nothing under emulation.
@pytest.mark.parametrize(("leak", "measure"), [
    ("KEPT.append(object())", "blocks"),
    ("LIBC.malloc(1024)", "heap"),
])
def test_the_measures_see_a_leak(scenarios, leak, measure):
    outcome = scenarios.run("KEPT = []\n" + RESOURCES.format(work=f"call(PATH); {leak}", n=5_000, check="PATH"))
    grown, _ = outcome.data
    assert grown[measure] >= LIMITS[measure]
