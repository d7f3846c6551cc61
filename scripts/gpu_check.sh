#!/usr/bin/env bash
# The real-GPU check, for a machine with NVIDIA GPUs and NVML that has none of
# this project's set-up (no Python 3.14, no nox, no network): builds the C++
# core, a small driver and the fake NVML (CMakePresets.json: gpu-check), prints
# the node identifier computed through the real libnvidia-ml.so.1, and
# compares it with the one the same code computes through the fake NVML fed
# with the UUIDs that nvidia-smi (or NVIDIA's NVML Python bindings) report.
# Also times a cold call and cache hits.
#
# BLAKE3: the system's CMake package (Debian: libblake3-dev), or a BLAKE3
# checkout or its c/ folder named by BLAKE3_SOURCE_DIR, compiled in.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/gpu_check

echo "== building (cmake: $(cmake --version | head -1))"
cmake --preset gpu-check ${BLAKE3_SOURCE_DIR:+-DZORF_BLAKE3_SOURCE_DIR="$BLAKE3_SOURCE_DIR"} >/dev/null
cmake --build --preset gpu-check -j "$(nproc)" >/dev/null
driver=$build/tools/gpu_check/gpu_check

echo "== GPUs"
if command -v nvidia-smi >/dev/null 2>&1; then
  uuids=$(nvidia-smi --query-gpu=uuid --format=csv,noheader)
else
  uuids=$(python3 tools/gpu_check/list_uuids.py)
fi
printf '%s\n' "$uuids"

echo "== through the real NVML (cold call, then cache hits)"
real=$("$driver" --time 20000)
echo "node id: $real"

echo "== through the fake NVML, fed the same UUIDs"
printf '%s\n' "$uuids" | sed 's/^/uuid_text /' >"$build/uuids.conf"
fake=$(LD_LIBRARY_PATH="$PWD/$build/fake_nvml/full" FAKE_NVML_CONFIG="$PWD/$build/uuids.conf" "$driver" --time 20000)
echo "node id: $fake"

if [ "$real" = "$fake" ]; then
  echo "MATCH: the node identifier through the real NVML equals the one from the reported UUIDs"
else
  echo "MISMATCH: real $real, from the reported UUIDs $fake" >&2
  exit 1
fi
