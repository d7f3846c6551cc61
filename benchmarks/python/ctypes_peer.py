"""The same cache miss in plain Python: ctypes over the same NVML, the blake3
package for the hash, and the same atomic replacement of the cache file. It is
what a user would write without the module, so it is the bar the module has to
clear."""

import _ctypes
import ctypes
import os

import blake3

UUID_BUFFER_SIZE = 96


def node_id(path):
    # The module looks for the cache first; a miss pays for that look too.
    if os.path.exists(path):
        raise FileExistsError(path)
    library = ctypes.CDLL("libnvidia-ml.so.1")
    try:
        if library.nvmlInit_v2() != 0:
            raise RuntimeError("nvmlInit_v2 failed")
        try:
            node = blake3.blake3(b"".join(sorted(_uuids(library)))).hexdigest()
            _write_atomically(path, node)
        finally:
            library.nvmlShutdown()
    finally:
        # ctypes never unloads on its own; the module does, so the peer must.
        _ctypes.dlclose(library._handle)
    return node


def _uuids(library):
    count = ctypes.c_uint()
    if library.nvmlDeviceGetCount_v2(ctypes.byref(count)) != 0:
        raise RuntimeError("nvmlDeviceGetCount_v2 failed")
    device = ctypes.c_void_p()
    uuids = []
    for index in range(count.value):
        if library.nvmlDeviceGetHandleByIndex_v2(index, ctypes.byref(device)) != 0:
            raise RuntimeError("nvmlDeviceGetHandleByIndex_v2 failed")
        buffer = ctypes.create_string_buffer(UUID_BUFFER_SIZE)
        if library.nvmlDeviceGetUUID(device, buffer, UUID_BUFFER_SIZE) != 0:
            raise RuntimeError("nvmlDeviceGetUUID failed")
        uuids.append(buffer.value)
    return uuids


def _write_atomically(path, text):
    # No reader may see half a file: a new file beside it, then a rename.
    temporary = f"{path}.{os.urandom(8).hex()}.tmp"
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        os.write(fd, text.encode())
    finally:
        os.close(fd)
    os.rename(temporary, path)
