#!/usr/bin/env bash
# Cross-builds zorf_lib for 64-bit Arm Linux and checks it: the C++ tests run
# under qemu-user through CTest; the module is built for both the default and
# the free-threaded ABI and its architecture, exports and needs are checked.
# Everything lands in build/aarch64. The target's libraries are Debian arm64
# packages unpacked there, never installed: this machine only gains amd64
# tools and the arm64 architecture in apt, which lets apt fetch them.
# Safe to run again: quick, and quiet until the tests, when all is present.
#
#   bash scripts/cross_aarch64.sh [--build-only]
#
# --build-only stops before the C++ tests, silently: scripts/arm64_test.sh
# needs the modules and the fake NVML built here, not the C++ tests run again.
set -euo pipefail
cd "$(dirname "$0")/.."
build_only=false
case ${1:-} in
  --build-only) build_only=true ;;
  "") ;;
  *) echo "usage: $0 [--build-only]" >&2; exit 2 ;;
esac
# The C++ tests run in a mount namespace of their own (see below).
if ! $build_only && [ -z "${ZORF_ARM64_NAMESPACE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "cross_aarch64: run as root (the emulated tests need a mount namespace)" >&2; exit 1; }
  exec unshare --mount --propagation private env ZORF_ARM64_NAMESPACE=1 bash "$PWD/scripts/cross_aarch64.sh"
fi
# The native tools (CMake, Ninja, b3sum, which the C++ tests use as an oracle)
# and apt's sid source, which BLAKE3 and CPython 3.14 come from.
bash scripts/setup.sh

top=build/aarch64
sysroot=$top/sysroot
host_packages=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user)
# BLAKE3 and CPython 3.14 exist only in sid; GoogleTest from bookworm ships
# static libraries built by the same GCC 12 as the cross compiler.
target_packages=(libblake3-0:arm64/sid libblake3-dev:arm64/sid libpython3.14-dev:arm64/sid libgtest-dev:arm64)
soabis=(cpython-314-aarch64-linux-gnu cpython-314t-aarch64-linux-gnu)

# Runs a command, showing what it printed only when it fails.
quiet() { local out; out=$("$@" 2>&1) || { printf '%s\n' "$out" >&2; return 1; }; }
need_root() { [ "$(id -u)" -eq 0 ] || { echo "cross_aarch64: run as root to $1" >&2; exit 1; }; }

source scripts/lib/apt.sh
source scripts/lib/module_checks.sh
apt_install "${host_packages[@]}"

# The sysroot is rebuilt only when the package list changes, so that a warm
# run asks no mirror and stays on the versions it was tested with.
stamp=$sysroot/.packages
if [ "$(cat "$stamp" 2>/dev/null)" != "${target_packages[*]}" ]; then
  need_root "add the arm64 architecture to apt"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    apt_get update -qq
  fi
  echo "cross_aarch64: unpacking arm64 packages into $sysroot" >&2
  debs=$top/debs
  rm -rf "$debs" "$sysroot.new"
  mkdir -p "$debs" "$sysroot.new"
  # apt fetches as its own unprivileged user, which must be able to write here.
  if id _apt >/dev/null 2>&1; then chown _apt "$debs"; fi
  (cd "$debs" && { apt_get download -qq "${target_packages[@]}" 2>/dev/null \
    || { apt_get update -qq; apt_get download -qq "${target_packages[@]}"; }; })
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$sysroot.new"; done
  printf '%s\n' "${target_packages[*]}" > "$sysroot.new/.packages"
  rm -rf "$sysroot"
  mv "$sysroot.new" "$sysroot"
fi

cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORF_WERROR=ON
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DZORF_AARCH64_SYSROOT="$PWD/$sysroot")

# The C++ tests, each CTest entry run through qemu-aarch64 by CMake's
# cross-compiling emulator.
tests=$top/tests
quiet cmake -S . -B "$tests" "${cmake_args[@]}" -DZORF_BUILD_TESTS=ON -DZORF_BUILD_PYTHON=OFF
quiet cmake --build "$tests"
if ! $build_only; then
  # qemu's -L resolves a guest's "/" to the cross C library's folder, and the
  # cache look-up walks a path from "/" where openat2 is missing (as under
  # this qemu): the tests would see that folder's tree, not this machine's.
  # So, in this run's namespace, that folder is replaced by one that holds
  # its own three folders and this machine's at their own paths.
  source scripts/lib/emulated_python.sh
  view=$top/qemu-root
  mkdir -p "$view"
  emulated_host_view "$view" "$PWD" /tmp /var/tmp /dev /proc /sys
  for part in bin include lib; do
    mkdir -p "$view/$part"
    mount --bind "/usr/aarch64-linux-gnu/$part" "$view/$part"
  done
  mount --rbind "$view" /usr/aarch64-linux-gnu
  # The tests that mount over /tmp themselves skip: that mount cannot reach
  # the guest's root.
  export ZORF_EMULATED=qemu-aarch64
  log=$tests/ctest.log
  if ! ctest --test-dir "$tests" -V >"$log" 2>&1; then
    tail -n 80 "$log" >&2
    echo "cross_aarch64: C++ tests failed under qemu (full output: $log)" >&2
    exit 1
  fi
  grep -E '^ *[0-9]+/[0-9]+ Test +#' "$log"
  entries=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#.* Passed' "$log")
  cases=$(awk '/^[0-9]+: \[  PASSED  \] [0-9]+ tests?\.$/ {n += $5} END {print n + 0}' "$log")
fi

# Both ABIs of the module. The headers come from the same arm64 package as its
# pyconfig.h, which the generic one includes from the multiarch folder. No
# RPATH: nothing of this machine's paths belongs in a module meant for another.
python_includes="$PWD/$sysroot/usr/include/python3.14;$PWD/$sysroot/usr/include"
allowed_needed='^(libc\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|libm\.so\.6|ld-linux-aarch64\.so\.1|libblake3\.so\.0)$'
fail() { echo "cross_aarch64: $1: $2" >&2; exit 1; }
modules=()
for soabi in "${soabis[@]}"; do
  dir=$top/${soabi%-aarch64-linux-gnu}
  quiet cmake -S . -B "$dir" "${cmake_args[@]}" -DZORF_BUILD_TESTS=OFF -DZORF_BUILD_PYTHON=ON \
    -DZORF_PYTHON_SOABI="$soabi" -DPython_INCLUDE_DIRS="$python_includes" -DCMAKE_SKIP_BUILD_RPATH=ON
  quiet cmake --build "$dir"
  so=$dir/src/python/zorf_lib.$soabi.so
  [ -f "$so" ] || fail "$so" "not built"

  aarch64-linux-gnu-readelf -h "$so" | grep -qE '^ *Machine: +AArch64$' || fail "$so" "not an AArch64 ELF file"
  case $soabi in
    *314t-*) abi=free-threaded ;;
    *) abi=default ;;
  esac
  check_module_symbols aarch64-linux-gnu-nm "$so" "$abi" || fail "$so" "symbols"
  needed=$(aarch64-linux-gnu-readelf -d "$so" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]$/\1/p')
  extra=$(grep -vE "$allowed_needed" <<<"$needed" || true)
  [ -z "$extra" ] || fail "$so" "needs more than the C/C++ runtime and BLAKE3: $(echo $extra)"
  modules+=("$(basename "$so")")
done

$build_only || echo "aarch64: $cases C++ tests passed under qemu ($entries CTest entries); modules: ${modules[*]} OK"
