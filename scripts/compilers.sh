#!/usr/bin/env bash
# Builds the module and the C++ tests with each compiler the project supports,
# at -O2 with every warning an error (CMakePresets.json: gcc12, gcc14,
# clang19), and runs the C++ tests of each build:
#   gcc12    Debian 12's GCC, the oldest supported
#   gcc14    the newest GCC of Debian's unstable suite that builds here: GCC
#            15 writes assembly (.base64) that Debian 12's binutils 2.40
#            cannot read, and a newer binutils would displace the cross
#            binutils scripts/cross_aarch64.sh installs
#   clang19  clang 19, from the unstable suite
#
#   bash scripts/compilers.sh [preset...]   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(gcc12 gcc14 clang19)

bash scripts/setup.sh

# Debian 12's g++ is g++-12, which the set-up installs. The other two come
# from the unstable suite, like the C library the set-up has moved to: Debian
# 12's clang 19 pins the old one and cannot be installed beside it.
source scripts/lib/apt.sh
apt_install_sid g++-14 clang-19
# libstdc++'s <expected> is there only when __cpp_concepts reaches 202002L,
# which clang defines from version 19 on.
concepts=$(clang++-19 -std=c++2b -dM -E -x c++ /dev/null | awk '$2 == "__cpp_concepts" { print $3 }')
if [ -z "$concepts" ] || [ "${concepts%L}" -lt 202002 ]; then
  echo "compilers: clang++-19 defines __cpp_concepts $concepts; libstdc++'s <expected> needs 202002" >&2
  exit 1
fi

for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
