"""Prints each GPU's UUID as NVIDIA's NVML Python bindings (pynvml) report it,
one per line: the real-GPU check's second witness where nvidia-smi is absent."""

import pynvml

pynvml.nvmlInit()
try:
    for index in range(pynvml.nvmlDeviceGetCount()):
        uuid = pynvml.nvmlDeviceGetUUID(pynvml.nvmlDeviceGetHandleByIndex(index))
        print(uuid.decode() if isinstance(uuid, bytes) else uuid)
finally:
    pynvml.nvmlShutdown()
