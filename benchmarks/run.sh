#!/usr/bin/env bash
# Builds what the benchmarks need, runs them, prints every figure next to its
# goal and writes benchmarks/results/latest.md and cache_miss.png. Exits 0
# whatever the timings; only a build or run that breaks fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# The benchmarks measure the module as it stands in src/, so it goes in first.
# The local build needs no index: this machine's pip configuration is left out.
PIP_CONFIG_FILE=/dev/null .venv/bin/python -m pip install -q --no-build-isolation --disable-pip-version-check .
if ! .venv/bin/python -c 'import matplotlib' 2>/dev/null; then
  echo "bench: installing matplotlib into .venv" >&2
  .venv/bin/python -m pip install -q --disable-pip-version-check matplotlib 2>/dev/null
fi

# A build folder of its own: build/cmake belongs to the tests.
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORF_WERROR=ON \
  -DZORF_BUILD_TESTS=OFF -DZORF_BUILD_PYTHON=OFF -DZORF_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" >/dev/null

exec .venv/bin/python benchmarks/python/main.py "$PWD/$build/benchmarks" "$PWD/benchmarks/results"
