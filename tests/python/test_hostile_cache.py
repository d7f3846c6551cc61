"""What another local user can leave at a cache path in a shared folder such as
/tmp: a FIFO, a socket, a device, a huge or sparse file, a link to one of the
caller's own files. None may block the call, exhaust its memory, or show the
caller a file of theirs as the identifier."""

import os
import socket
import stat

import pytest

from conftest import UUIDS, node_id_of

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
