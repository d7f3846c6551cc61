#!/usr/bin/env bash
# The real-GPU check, for a machine with NVIDIA GPUs and NVML (no Python 3.14
# needed): builds the C++ core and a small driver, prints the node identifier
# computed through the real libnvidia-ml.so.1, and compares it with the one the
# same code computes through the fake NVML library fed with the UUIDs that
# nvidia-smi (or the NVML Python bindings) report. Also times a cold call and
# a cache hit.
#
# BLAKE3: the system's CMake package (Debian: libblake3-dev), or a BLAKE3
# source tree named by BLAKE3_SOURCE_DIR (its c/ folder is built along).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/gpu_check}
mkdir -p "$build"

list_uuids() {
  if command -v nvidia-smi >/dev/null 2>&1; then
    nvidia-smi --query-gpu=uuid --format=csv,noheader
  else
    python3 -c 'import pynvml as n
n.nvmlInit()
for i in range(n.nvmlDeviceGetCount()):
    u = n.nvmlDeviceGetUUID(n.nvmlDeviceGetHandleByIndex(i))
    print(u.decode() if isinstance(u, bytes) else u)
n.nvmlShutdown()'
  fi
}

echo "== building (cmake: $(cmake --version | head -1))"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZORF_BUILD_TESTS=OFF -DZORF_BUILD_PYTHON=OFF \
  -DZORF_BUILD_TOOLS=ON ${BLAKE3_SOURCE_DIR:+-DZORF_BLAKE3_SOURCE_DIR="$BLAKE3_SOURCE_DIR"} >/dev/null
cmake --build "$build" --target gpu_check -j "$(nproc)" >/dev/null
mkdir -p "$build/fake"
c++ -std=c++20 -O2 -shared -fPIC -fno-gnu-unique tests/fake_nvml/fake_nvml.cpp -o "$build/fake/libnvidia-ml.so.1"
driver="$build/tools/gpu_check/gpu_check"

echo "== GPUs"
uuids=$(list_uuids)
printf '%s\n' "$uuids"

echo "== through the real NVML (cold call, then cache hits)"
real=$("$driver" --time 20000)
echo "node id: $real"

echo "== through the fake NVML, fed the same UUIDs"
printf '%s\n' "$uuids" | sed 's/^/uuid_text /' > "$build/fake/uuids.conf"
fake=$(LD_LIBRARY_PATH="$PWD/$build/fake" FAKE_NVML_CONFIG="$PWD/$build/fake/uuids.conf" "$driver" --time 20000)
echo "node id: $fake"

if [ "$real" = "$fake" ]; then
  echo "MATCH: the node identifier through the real NVML equals the one from the reported UUIDs"
else
  echo "MISMATCH: real $real, from the reported UUIDs $fake" >&2
  exit 1
fi
