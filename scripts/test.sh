#!/usr/bin/env bash
# Runs every test: the C++ tests (through CTest, against the fake NVML
# library), the Python tests against the module installed into .venv, and a
# build of the module for the free-threaded ABI.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build/cmake
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORF_WERROR=ON \
  -DZORF_BUILD_TESTS=ON -DZORF_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure

# The local build needs no index: this machine's pip configuration is left out.
PIP_CONFIG_FILE=/dev/null .venv/bin/python -m pip install -q --no-build-isolation --disable-pip-version-check .
ZORF_FAKE_NVML_DIR="$PWD/$build/fake_nvml" .venv/bin/python -m pytest -q tests/python "$@"

bash scripts/free_threaded_check.sh
