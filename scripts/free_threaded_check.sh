#!/usr/bin/env bash
# Builds the module for the free-threaded ABI (cp314t) of this machine's
# architecture against the 3.14 headers, since no free-threaded interpreter is
# packaged here, and checks the object: it declares that it does not need the
# GIL (calls PyUnstable_Module_SetGIL) and exports only its init function.
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

fail() { echo "free-threaded check: $*" >&2; exit 1; }
[ -f "$module" ] || fail "no $module"
undefined=$(nm -D --undefined-only "$module" | awk '{print $2}')
grep -qx PyUnstable_Module_SetGIL <<<"$undefined" || fail "$module does not call PyUnstable_Module_SetGIL"
exports=$(nm -D --defined-only "$module" | awk '{print $3}')
[ "$exports" = PyInit_zorf_lib ] || fail "$module exports more than PyInit_zorf_lib: $exports"
echo "free-threaded check: $module calls PyUnstable_Module_SetGIL and exports only PyInit_zorf_lib"
