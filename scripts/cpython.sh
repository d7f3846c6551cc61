#!/usr/bin/env bash
# Builds CPython from a release source tarball, once per machine, and prints
# the installed interpreter's path. Free-threaded builds are not packaged for
# Debian 12, and one takes 5 to 30 minutes on two cores, so each build is
# kept in a cache keyed by the tarball's checksum and the flavour, and reused.
#
#   bash scripts/cpython.sh TARBALL FLAVOUR
#
#   free-threaded       ./configure --disable-gil
#   free-threaded-tsan  ./configure --disable-gil --with-thread-sanitizer
#   free-threaded-aarch64  ./configure --disable-gil, cross-built for 64-bit Arm
#                       Linux (scripts/lib/cpython_aarch64.sh); runs under qemu
#
# The cache is $ZORF_CACHE_DIR, else ~/.cache/zorf_lib (XDG_CACHE_HOME
# respected). Progress goes to standard error; the build's output to a log
# beside the cached build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/apt.sh

[ $# -eq 2 ] || { echo "usage: $0 TARBALL free-threaded|free-threaded-tsan|free-threaded-aarch64" >&2; exit 2; }
tarball=$(realpath "$1")
flavour=$2
case $flavour in
  free-threaded) configure_flags=(--disable-gil) ;;
  free-threaded-tsan) configure_flags=(--disable-gil --with-thread-sanitizer) ;;
  free-threaded-aarch64) configure_flags=(--disable-gil) ;;
  *) echo "cpython: unknown flavour '$flavour'" >&2; exit 2 ;;
esac
[ -f "$tarball" ] || { echo "cpython: no tarball at $1" >&2; exit 1; }

# What the interpreter needs to build with ssl (pip), zlib (wheels), ctypes,
# and the compression modules. Development packages link against the C
# library, which the set-up has taken from the unstable suite; these must
# agree with it.
build_packages=(make xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev uuid-dev libzstd-dev)

source scripts/lib/cpython_cache.sh
cache=$zorf_cache/cpython
sum=$(sha256sum "$tarball" | cut -c1-16)
name=$(basename "$tarball" .tar.xz)
prefix=$cache/$name-$sum-$flavour
mkdir -p "$cache"

interpreter() { find "$prefix/bin" -maxdepth 1 -name 'python3.*t' -type f 2>/dev/null | head -n 1; }

# One build at a time per cache entry; a second caller waits and reuses it.
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.complete" ]; then
  apt_install_sid "${build_packages[@]}"
  work=$(mktemp -d "$cache/build.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  log=$prefix.log
  case $flavour in
    free-threaded) expect="5 to 17 minutes" ;;
    free-threaded-tsan) expect="20 to 30 minutes" ;;
    free-threaded-aarch64) expect="4 to 10 minutes, after the free-threaded build it runs" ;;
  esac
  echo "cpython: building $name ($flavour) into $prefix, about $expect on two cores; log: $log" >&2
  start=$(date +%s)
  # A TSan build runs instrumented programs while it builds (configure's
  # checks, then the new interpreter).
  launch=()
  if [ "$flavour" = free-threaded-tsan ]; then
    printf 'int main(void) { return 0; }\n' >"$work/probe.c"
    if cc -fsanitize=thread "$work/probe.c" -o "$work/probe" >/dev/null 2>&1; then
      source scripts/lib/tsan_launch.sh
      tsan_launch_for cpython "$work/probe"
      launch=("${tsan_launch[@]}")
    fi
  fi
  if [ "$flavour" = free-threaded-aarch64 ]; then
    source scripts/lib/arm64_root.sh
    source scripts/lib/cpython_aarch64.sh
    cpython_aarch64_configure "$tarball" "$cache"
    configure_flags+=("${cpython_aarch64_args[@]}")
  fi
  {
    tar -C "$work" -xf "$tarball"
    cd "$work"/*/
    "${launch[@]}" ./configure --prefix="$prefix" --with-ensurepip=no "${configure_flags[@]}"
    "${launch[@]}" make -j"$(nproc)"
    rm -rf "$prefix"
    "${launch[@]}" make install
  } >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "cpython: the build failed; full log: $log" >&2; exit 1; }
  touch "$prefix/.complete"
  echo "cpython: built in $(( $(date +%s) - start )) s" >&2
fi
python=$(interpreter)
[ -x "$python" ] || { echo "cpython: no python3.*t under $prefix/bin" >&2; exit 1; }
echo "$python"
