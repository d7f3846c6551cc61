#!/usr/bin/env bash
# Runs the whole Python suite on a free-threaded CPython 3.14, once as it is
# and once with every test body in eight threads at once (pytest-run-parallel):
# the proof that the module works where the GIL is gone.
#
# The interpreter: $ZORF_FREE_THREADED_PYTHON, else python3.14t on the PATH,
# else one built from the CPython source tarball named by $CPYTHON_SOURCE
# (scripts/cpython.sh: built once per machine into a cache, then reused).
#
#   bash scripts/free_threaded_test.sh [pytest options]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh   # CMake, Ninja, GoogleTest and BLAKE3 for the build
source scripts/lib/module_checks.sh

source scripts/lib/free_threaded.sh
if ! python=$(free_threaded_python); then
  echo "free_threaded_test: no free-threaded CPython 3.14: put python3.14t on the PATH, name one in" \
    "ZORF_FREE_THREADED_PYTHON, or name a CPython source tarball in CPYTHON_SOURCE to build one" >&2
  exit 2
fi
venv=.venv-ft
free_threaded_venv "$python" "$venv" scikit-build-core pytest blake3 pytest-run-parallel

# The fake NVML, in a build tree of its own (build/cmake belongs to test.sh).
fake_build=build/fake-nvml
cmake -S . -B "$fake_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORF_BUILD_TESTS=ON \
  -DZORF_BUILD_PYTHON=OFF >/dev/null
cmake --build "$fake_build" --target fake_nvml_all >/dev/null

module=$("$venv/bin/python" -c 'import zorf_lib; print(zorf_lib.__file__)')
case $module in
  *.cpython-314t-*.so) ;;
  *) echo "free_threaded_test: installed $module, not a cp314t module" >&2; exit 1 ;;
esac
check_module_symbols nm "$module" free-threaded
"$venv/bin/python" -c 'import sys, zorf_lib; assert not sys._is_gil_enabled(), "importing zorf_lib enabled the GIL"'

export ZORF_FAKE_NVML_DIR=$root/$fake_build/fake_nvml
echo "== the Python suite on $("$venv/bin/python" -VV | head -n 1)"
"$venv/bin/python" -m pytest -q tests/python "$@"
echo "== again, every test body in 8 threads at once"
"$venv/bin/python" -m pytest -q tests/python --parallel-threads=8 "$@"
echo "free_threaded_test: passed ($module)"
