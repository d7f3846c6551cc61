#!/usr/bin/env bash
# Builds what the benchmarks need, runs them, prints every figure next to its
# goal and writes benchmarks/results/latest.md and cache_miss.png. Exits 0
# whatever the timings; only a build or run that breaks fails it. With a
# free-threaded CPython 3.14 at hand, the two builds are compared too.
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

# The free-threaded build beside the default one, when there is one (see
# scripts/free_threaded_test.sh for where it comes from).
source scripts/lib/free_threaded.sh
free_threaded=""
if python=$(free_threaded_python); then
  free_threaded_venv "$python" .venv-ft scikit-build-core
  free_threaded=$PWD/.venv-ft/bin/python
else
  echo "bench: no free-threaded CPython 3.14 (python3.14t, ZORF_FREE_THREADED_PYTHON or CPYTHON_SOURCE);" \
    "the comparison between builds is left out" >&2
fi

exec .venv/bin/python benchmarks/python/main.py "$PWD/$build/benchmarks" "$PWD/benchmarks/results" $free_threaded
