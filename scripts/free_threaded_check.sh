#!/usr/bin/env bash
# Builds the module for the free-threaded ABI (cp314t) of this machine's
# architecture against the 3.14 headers of the default interpreter, and checks
# the object: it declares that it does not need the GIL (calls
# PyUnstable_Module_SetGIL) and exports only its init function. A quick check
# that needs no free-threaded interpreter; scripts/free_threaded_test.sh runs
# the whole suite on one.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

arch=$(gcc -dumpmachine)
arch=${arch/-unknown-/-}
soabi="cpython-314t-${arch}"
include=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_config_var("INCLUDEPY"))')
platinclude=$(dirname "$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_config_h_filename())')")
build=build/free-threaded

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORF_WERROR=ON -DZORF_BUILD_TESTS=OFF \
  -DZORF_BUILD_PYTHON=ON -DZORF_PYTHON_SOABI="$soabi" -DPython_INCLUDE_DIRS="$include;$platinclude" >/dev/null
cmake --build "$build" --target zorf_lib
module="$build/src/python/zorf_lib.$soabi.so"

source scripts/lib/module_checks.sh
[ -f "$module" ] || { echo "free-threaded check: no $module" >&2; exit 1; }
check_module_symbols nm "$module" free-threaded
echo "free-threaded check: $module calls PyUnstable_Module_SetGIL and exports only PyInit_zorf_lib"
