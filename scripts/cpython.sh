#!/usr/bin/env bash
# Builds CPython from a release source tarball, once per machine, and prints
# the installed interpreter's path. Free-threaded builds are not packaged for
# Debian 12, and one takes 10 to 17 minutes on two cores, so each build is
# kept in a cache keyed by the tarball's checksum and the flavour, and reused.
#
#   bash scripts/cpython.sh TARBALL FLAVOUR
#
#   free-threaded       ./configure --disable-gil
#   free-threaded-tsan  ./configure --disable-gil --with-thread-sanitizer
#
# The cache is $ZORF_CACHE_DIR, else ~/.cache/zorf_lib (XDG_CACHE_HOME
# respected). Progress goes to standard error; the build's output to a log
# beside the cached build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/apt.sh

[ $# -eq 2 ] || { echo "usage: $0 TARBALL free-threaded|free-threaded-tsan" >&2; exit 2; }
tarball=$(realpath "$1")
flavour=$2
case $flavour in
  free-threaded) configure_flags=(--disable-gil) ;;
  free-threaded-tsan) configure_flags=(--disable-gil --with-thread-sanitizer) ;;
  *) echo "cpython: unknown flavour '$flavour'" >&2; exit 2 ;;
esac
[ -f "$tarball" ] || { echo "cpython: no tarball at $1" >&2; exit 1; }

# What the interpreter needs to build with ssl (pip), zlib (wheels), ctypes,
# and the compression modules. Development packages link against the C
# library, which the set-up has taken from the unstable suite; these must
# agree with it.
build_packages=(make xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev uuid-dev libzstd-dev)

cache=${ZORF_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zorf_lib}/cpython
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
  echo "cpython: building $name ($flavour) into $prefix, about 10 to 17 minutes on two cores; log: $log" >&2
  start=$(date +%s)
  {
    tar -C "$work" -xf "$tarball"
    cd "$work"/*/
    ./configure --prefix="$prefix" --with-ensurepip=no "${configure_flags[@]}"
    make -j"$(nproc)"
    rm -rf "$prefix"
    make install
  } >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "cpython: the build failed; full log: $log" >&2; exit 1; }
  touch "$prefix/.complete"
  echo "cpython: built in $(( $(date +%s) - start )) s" >&2
fi
python=$(interpreter)
[ -x "$python" ] || { echo "cpython: no python3.*t under $prefix/bin" >&2; exit 1; }
echo "$python"
