"""A call under attack, as Python sees it. Starved of memory, it raises
MemoryError and never ends the process. What another local user plants in a
shared folder such as /tmp, planted as that user (a link of theirs on the
way, a folder of theirs holding a link, a mount of theirs that never
answers), never blocks it, and shows the caller one of their own files only
where no link rule can see the link. What the read and the write do with
FIFOs, devices, large files, links, mounts and a full descriptor table is the
C++ suites' (tests/cpp/cache_file_test.cpp)."""

import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from conftest import EMULATED, SCENARIO_TIMEOUT, protected_symlinks

# Out of memory, in a thread that has never called the module: the address
# space is capped at what is mapped now and the C heap is taken, size class by
# size class, so that the call's first allocations fail. Then some of it is
# given back, a little more each round, so that later allocations fail in
# turn. Nothing may end the process: every call returns, or raises
# MemoryError or the service's own RuntimeError.
OUT_OF_MEMORY = r'''
import ctypes, resource, threading
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
taken = (ctypes.c_void_p * 2_000_000)()
SIZES = [1 << 20, 1 << 16, 1 << 12, 512, 128, 32, 1]
ROUNDS = 40
outcomes = [None] * ROUNDS
statm = open("/proc/self/statm")

def starved(round):
    count = 0
    try:
        statm.seek(0)
        mapped = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (mapped, resource.RLIM_INFINITY))
        for size in SIZES:
            while count < len(taken):
                pointer = libc.malloc(size)
                if not pointer:
                    break
                taken[count] = pointer
                count += 1
        # Back: the last ones taken, the smallest, 8 more each round.
        for _ in range(min(8 * round, count)):
            count -= 1
            libc.free(taken[count])
        try:
            value = zorf_lib.get_gpu_node_id(PATH)
            outcomes[round] = "value" if value else "empty"
        except MemoryError:
            outcomes[round] = "MemoryError"
        except RuntimeError:
            outcomes[round] = "RuntimeError"
        except BaseException:
            outcomes[round] = "other"
    finally:
        while count:
            count -= 1
            libc.free(taken[count])
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

for round in range(ROUNDS):
    if MISS and os.path.exists(PATH):
        os.unlink(PATH)
    thread = threading.Thread(target=starved, args=(round,))
    thread.start()
    thread.join()
emit(outcomes)
'''


@pytest.mark.parametrize("miss", [False, True], ids=["hit", "miss"])
def test_out_of_memory_raises_in_a_new_thread(scenarios, miss):
    if EMULATED:
        pytest.skip("the address-space cap would apply to the emulator's own mappings")
    if not miss:
        scenarios.path.write_text("cached identifier")
    outcome = scenarios.run(f"MISS = {miss}\n" + OUT_OF_MEMORY)
    assert "cannot allocate memory" not in outcome.stderr
    assert set(outcome.data) <= {"value", "MemoryError", "RuntimeError"}, outcome.data
    # The first rounds are starved enough for the call to fail, the last are
    # not; a miss then fails to map NVML under the cap, and says so.
    assert outcome.data[0] == "MemoryError"
    assert outcome.data[-1] == ("RuntimeError" if miss else "value"), " ".join(outcome.data)


NOBODY = 65534


def as_nobody(*commands):
    """Runs each command (a program and its arguments) as the second local
    user "nobody", as that user would plant files. Plain system programs: the
    interpreter under test may sit where that user cannot reach it."""
    for command in commands:
        proc = subprocess.run([str(part) for part in command], user=NOBODY, group=NOBODY, extra_groups=[],
                              capture_output=True, text=True, timeout=SCENARIO_TIMEOUT)
        assert proc.returncode == 0, proc.stderr


@pytest.fixture
def shared_tmp():
    """A folder like /tmp (root's, sticky, world-writable) that another user
    can reach, given back afterwards with all that was planted in it."""
    if os.geteuid() != 0:
        pytest.skip("needs root to act as another user")
    folder = Path(tempfile.mkdtemp(prefix="zorf-shared-", dir="/tmp"))
    folder.chmod(0o1777)
    yield folder
    shutil.rmtree(folder)


def plant_link_as_folder(private, adir):
    return [["ln", "-s", private, adir]]


def plant_folder_with_link(private, adir):
    return [["mkdir", "-m", "0755", adir], ["ln", "-s", private / "token", adir / "token"]]


# The other user's link in the shared folder, met as a folder on the way, is
# refused as one at the end of the path is. A plain folder of theirs holding a
# link is beyond any link rule (the link is not in a shared folder): the
# caller's own token comes back as the identifier. That is why a cache path
# must not pass through a folder another user can create.
@pytest.mark.parametrize("plant, refused", [(plant_link_as_folder, True), (plant_folder_with_link, False)],
                         ids=["their-link-as-a-folder", "their-folder-holding-a-link"])
def test_what_another_user_plants_on_the_way(scenarios, shared_tmp, plant, refused):
    # One shared folder per thread of the test body.
    shared = Path(tempfile.mkdtemp(dir=shared_tmp))
    shared.chmod(0o1777)
    private = shared / "private"  # the caller's own, 0700
    private.mkdir(mode=0o700)
    (private / "token").write_text("the caller's own secret")
    as_nobody(*plant(private, shared / "adir"))
    print(f"fs.protected_symlinks = {protected_symlinks()}")

    outcome = scenarios.call(path=shared / "adir" / "token")
    if not refused:
        assert outcome.data["value"] == "the caller's own secret"
        return
    assert (outcome.data["raised"], outcome.data["message"]) == ("RuntimeError", "Failed to write cache")
    assert outcome.calls("nvmlShutdown") == 1
    assert os.listdir(private) == ["token"]
    assert (private / "token").read_text() == "the caller's own secret"


# A FUSE file system that never answers, mounted by another user on a folder
# of theirs in a shared folder: what anyone can do where /etc/fuse.conf has
# user_allow_other (common where sshfs, rclone or gcsfuse mounts are shared).
# Root mounts it here through mount(2) on an open /dev/fuse, as fusermount
# does for that user, and never reads the descriptor: every request to it
# waits until the descriptor is closed, Ctrl-C or not.
@pytest.fixture
def silent_mount(shared_tmp):
    if EMULATED:
        pytest.skip("qemu's root for the guest has its own view of /tmp, which the mount does not reach")
    point = Path(tempfile.mkdtemp(dir=shared_tmp)) / "zorf"
    point.parent.chmod(0o1777)
    as_nobody(["mkdir", point])
    device = os.open("/dev/fuse", os.O_RDWR)
    options = f"fd={device},rootmode=40000,user_id={NOBODY},group_id={NOBODY},allow_other"
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mount(b"zorf-silent", os.fsencode(point), b"fuse", 0, options.encode()) != 0:
        os.close(device)
        pytest.fail(f"cannot mount FUSE: {os.strerror(ctypes.get_errno())}")
    try:
        yield point
    finally:
        os.close(device)  # ends every request still waiting
        subprocess.run(["umount", "-l", str(point)], check=True)


def test_another_users_mount_that_never_answers_is_no_cache(scenarios, silent_mount):
    """The call ends at once: no cache, so the identifier is computed, and its
    write there is refused. The command's own looks at the path do not wait
    for it either."""
    outcome = scenarios.call(path=silent_mount, timeout=30)
    assert (outcome.data["raised"], outcome.data["message"]) == ("RuntimeError", "Failed to write cache")
    assert outcome.calls("nvmlShutdown") == 1
    command = [sys.executable, "-P", "-m", "zorf_node_id", "--cache-file", str(silent_mount)]
    proc, _ = scenarios.program([*command, "--json"], timeout=30)
    assert (proc.returncode, proc.stderr) == (1, "zorf-node-id: Failed to write cache\n")
    proc, _ = scenarios.program([*command, "--check"], timeout=30)
    assert (proc.returncode, proc.stdout.splitlines()[-1]) == (4, f"cached: none: no file at {silent_mount}")
