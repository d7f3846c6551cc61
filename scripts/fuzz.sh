#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz, build/fuzz) with clang, ASan and
# UBSan, and runs each one for a while, from the seeds in tests/fuzz/corpus.
# Fails on the first crash, leak, sanitizer report or broken check.
#
#   bash scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
targets=(uuid_text cache_read)

bash scripts/setup.sh

# libstdc++'s <expected> is there only when __cpp_concepts reaches 202002L,
# which clang defines from version 19 on. It comes from the unstable suite,
# like the C library the set-up has moved to: Debian 12's clang 19 pins the
# old one (through libc6-i386) and cannot be installed beside it.
clang_version=19
clang=clang++-$clang_version
source scripts/lib/apt.sh
apt_install_sid "clang-$clang_version" "libclang-rt-$clang_version-dev"
concepts=$("$clang" -std=c++2b -dM -E -x c++ /dev/null | awk '$2 == "__cpp_concepts" { print $3 }')
if [ -z "$concepts" ] || [ "${concepts%L}" -lt 202002 ]; then
  echo "fuzz: $clang defines __cpp_concepts $concepts; libstdc++'s <expected> needs 202002" >&2
  exit 1
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

for target in "${targets[@]}"; do
  echo "== ${target}_fuzzer, ${seconds}s"
  # New inputs go to a corpus under build/, never into the seeds.
  corpus=build/fuzz/corpus/$target
  artifacts=build/fuzz/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  log=build/fuzz/$target.log
  # An empty loader path: should the cache read ever load NVML, the call
  # fails instead of finding a library somewhere on the machine.
  if ! LD_LIBRARY_PATH="" \
    ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build/fuzz/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 80 "$log" >&2
    echo "fuzz: ${target}_fuzzer failed; the input that did it is under $artifacts (full log: $log)" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$log" || tail -n 5 "$log"
done
echo "fuzz: every target ran ${seconds}s without a failure"
