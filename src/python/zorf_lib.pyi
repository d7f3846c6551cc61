"""A stable identifier of this machine, derived from its NVIDIA GPUs."""

__all__ = ["get_gpu_node_id"]

def get_gpu_node_id(cache_file_path: str | None = None) -> str:
    """The node identifier: BLAKE3 of the GPUs' sorted UUIDs, as 64 hex digits.

    Read from the cache file (default "/tmp/zorf") when it exists; otherwise
    computed through NVML and written there.
    """
