"""What another local user can leave at a cache path in a shared folder such as
/tmp: a FIFO, a socket, a device, a huge or sparse file, a link to one of the
caller's own files. None may block the call, exhaust its memory, or show the
caller a file of theirs as the identifier."""

import ctypes
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from conftest import EMULATED, SCENARIO_TIMEOUT, UUIDS, node_id_of, protected_symlinks

MIB = 1 << 20


def fifo(path):
    os.mkfifo(path)


def fifo_with_silent_writer(path):
    os.mkfifo(path)
    # Held open for writing by this process, which never writes.
    return os.open(path, os.O_RDWR)


def unix_socket(path):
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(path))
    return listener


def sparse_tebibyte(path):
    with open(path, "wb") as file:
        file.truncate(1 << 40)


def one_byte_too_many(path):
    path.write_bytes(b"a" * (MIB + 1))


@pytest.mark.parametrize("make", [
    fifo, fifo_with_silent_writer, unix_socket, sparse_tebibyte, one_byte_too_many,
    lambda path: path.symlink_to("/dev/zero"),
    lambda path: path.symlink_to("/dev/null"),
], ids=["fifo", "fifo-with-silent-writer", "socket", "sparse-1TiB", "1MiB+1", "dev-zero", "dev-null"])
def test_refused_at_once_without_nvml(scenarios, make):
    keep = make(scenarios.path)
    try:
        outcome = scenarios.call()
    finally:
        if isinstance(keep, int):
            os.close(keep)
        elif keep is not None:
            keep.close()
    assert (outcome.data["raised"], outcome.data["message"]) == ("RuntimeError", "Failed to read cache file")
    assert outcome.log is None


def test_a_file_of_exactly_one_mebibyte_is_returned_whole(scenarios):
    scenarios.path.write_bytes(b"0123456789abcdef" * (MIB // 16))
    outcome = scenarios.run("emit(len(call(PATH)['value']))")
    assert outcome.data == MIB
    assert outcome.log is None


# Under an address-space limit a few MiB above what the interpreter already
# uses, a read that trusted the file's size, or read its content to the end,
# would run out of memory (and end in PanicException).
MEMORY_LIMITED = r'''
import resource
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (used + 16 * 2**20, resource.RLIM_INFINITY))
emit([call(PATH + suffix) for suffix in ("-sparse", "-endless", "-no-size")])
'''


def test_memory_stays_flat_whatever_the_file_claims_or_holds(scenarios):
    sparse_tebibyte(scenarios.workdir / "node_id-sparse")
    (scenarios.workdir / "node_id-endless").symlink_to("/dev/zero")
    # procfs gives no size; this one holds several MiB on most kernels, and
    # when it is small or hidden it is simply returned or refused.
    (scenarios.workdir / "node_id-no-size").symlink_to("/proc/kallsyms")
    outcome = scenarios.run(MEMORY_LIMITED)
    assert [r.get("raised") for r in outcome.data[:2]] == ["RuntimeError"] * 2
    assert outcome.data[2].get("raised") in ("RuntimeError", None)
    assert all(r.get("message", "Failed to read cache file") == "Failed to read cache file" for r in outcome.data)
    assert outcome.log is None


NOBODY = 65534


def test_another_users_link_in_a_shared_folder_is_no_cache(scenarios):
    if os.geteuid() != 0:
        pytest.skip("needs root to plant a file as another user")
    shared = scenarios.workdir / "tmp"
    shared.mkdir()
    shared.chmod(0o1777 | stat.S_ISVTX)
    secret = scenarios.workdir / "token"
    secret.write_text("the caller's own secret")
    link = shared / "zorf"
    link.symlink_to(secret)
    os.lchown(link, NOBODY, NOBODY)

    outcome = scenarios.call(path=link)
    # No cache, so the identifier is computed; its write through that link is
    # refused, and the secret is neither returned nor touched.
    assert (outcome.data["raised"], outcome.data["message"]) == ("RuntimeError", "Failed to write cache")
    assert outcome.calls("nvmlShutdown") == 1
    assert secret.read_text() == "the caller's own secret"
    assert os.listdir(shared) == ["zorf"]

    # The same link made by the caller is followed both ways.
    link.unlink()
    link.symlink_to(secret)
    assert scenarios.call(path=link).data["value"] == "the caller's own secret"
    secret.unlink()
    assert scenarios.call(path=link).data["value"] == node_id_of(UUIDS) == secret.read_text()


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


# With the descriptor table full but for a few slots, the walk through a
# two-link chain runs out at one step or another. The file is there and
# readable: it is returned, or the read fails; it is never taken for absent,
# so NVML is not loaded and the file is not replaced.
FEW_DESCRIPTORS = r'''
import resource
resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
outcomes = []
for spare in range(6):
    opened = []
    try:
        while True:
            opened.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    for fd in opened[len(opened) - spare:]:
        os.close(fd)
    outcome = call(PATH)
    for fd in opened[:len(opened) - spare]:
        os.close(fd)
    outcomes.append(outcome.get("value", outcome.get("message")))
emit(outcomes)
'''


def test_out_of_descriptors_is_a_read_failure_never_a_miss(scenarios):
    target = scenarios.workdir / "cache"
    target.write_text("CUSTOM")
    (scenarios.workdir / "link2").symlink_to("cache")
    scenarios.path.symlink_to("link2")
    outcome = scenarios.run(FEW_DESCRIPTORS)
    assert set(outcome.data) <= {"CUSTOM", "Failed to read cache file"}, outcome.data
    assert (outcome.data[0], outcome.data[-1]) == ("Failed to read cache file", "CUSTOM")
    assert outcome.log is None
    assert target.read_text() == "CUSTOM"


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
