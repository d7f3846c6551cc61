#!/usr/bin/env bash
# Where a cache hit's instructions go: builds the module with symbols (same
# optimisation as a release) into build/bench/profile, runs N hits under
# callgrind, counting only inside the module's entry point, and prints the
# inclusive instruction counts per hit. Time in the kernel is not counted:
# compare with the bare system-call loop of run.sh for that.
#
# usage: bash benchmarks/profile_hit.sh [HITS]
set -euo pipefail
cd "$(dirname "$0")/.."
hits=${1:-1000}
build=build/bench/profile
# No -Werror: as for the wheel, since g++ 12 at -O3 reports a -Wrestrict false
# positive (GCC bug 105651) inside std::string in the module's sources.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DZORF_WERROR=OFF \
  -DZORF_BUILD_TESTS=OFF -DZORF_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "$build" >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zorf-profile-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# A path as long as a real one, past the short-string buffer.
cache="$scratch/a-cache-file-path-of-typical-length"
printf '%064d' 0 > "$cache"
PYTHONPATH="$PWD/$build/src/python" valgrind --tool=callgrind --callgrind-out-file="$scratch/out" \
  --toggle-collect='zorf::python::get_gpu_node_id_entry*' \
  .venv/bin/python -c '
import sys, zorf_lib
call, path = zorf_lib.get_gpu_node_id, sys.argv[1]
for _ in range(int(sys.argv[2])):
    call(path)
' "$cache" "$hits" 2>/dev/null

echo "instructions per hit, inclusive (user space only):"
callgrind_annotate --inclusive=yes --auto=no --threshold=100 "$scratch/out" 2>/dev/null |
  awk -v hits="$hits" '/^ *[0-9,]+ \(/ && !/PROGRAM TOTALS/ {
      count = $1; gsub(",", "", count)
      if (count / hits < 4) next
      name = $0; sub(/^ *[0-9,]+ \([ 0-9.%]+\) */, "", name); sub(/ \[.*$/, "", name)
      if (name ~ /Py_RunMain|Py_BytesMain|PyEval_EvalCode|_PyEval_EvalFrameDefault|below main|libc_start|^\?\?\?:0x/) next
      printf "%8.0f  %s\n", count / hits, name }'
