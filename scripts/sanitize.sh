#!/usr/bin/env bash
# Runs the tests under the sanitizers and the leak check under valgrind, each
# in a build tree of its own (CMakePresets.json):
#   asan         C++ tests, AddressSanitizer + UndefinedBehaviorSanitizer (build/asan)
#   tsan         C++ tests, ThreadSanitizer (build/tsan)
#   python-asan  Python tests against the module from build/asan
#   valgrind     memcheck over many cache hits and misses, C++ and Python (build/valgrind)
#   all          every one of the above (the default)
#   ft-tsan      the Python thread and cold-start tests, once as they are and once
#                in 8 threads, on a free-threaded CPython built with TSan, against
#                the module built with TSan (build/ft-tsan); not part of `all`
#
# ft-tsan's interpreter: $ZORF_FREE_THREADED_TSAN_PYTHON, else one built from
# the CPython source tarball named by $CPYTHON_SOURCE (scripts/cpython.sh, once
# per machine: 20 to 30 minutes on two cores).
#
#   bash scripts/sanitize.sh [asan|tsan|python-asan|valgrind|all|ft-tsan] [pytest options]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib/tsan_launch.sh
source scripts/lib/free_threaded.sh
work=""
trap 'rm -rf "$work"' EXIT

mode=${1:-all}
[ $# -gt 0 ] && shift
case $mode in
  asan | tsan | python-asan | valgrind | all | ft-tsan) ;;
  *) echo "usage: $0 [asan|tsan|python-asan|valgrind|all|ft-tsan] [pytest options]" >&2; exit 2 ;;
esac

bash scripts/setup.sh

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

run_asan() {
  echo "== C++ tests under ASan + UBSan"
  build asan
  ctest --preset asan
}

run_tsan() {
  echo "== C++ tests under TSan"
  build tsan
  tsan_launch_for tsan build/tsan/tests/core_tests --gtest_list_tests
  "${tsan_launch[@]}" ctest --preset tsan
}

sanitizer_runtime() {
  local path
  path=$(g++ -print-file-name="$1")
  [ -e "$path" ] || { echo "sanitize: $1 not found (g++ -print-file-name)" >&2; exit 1; }
  realpath "$path"
}

run_python_asan() {
  echo "== Python tests against the module built with ASan + UBSan"
  build asan
  # Installed as the wheel lays it out, the type stubs beside the module.
  local module_dir=$root/build/asan/site
  rm -rf "$module_dir"
  cmake --install build/asan --prefix "$module_dir" >/dev/null
  # The interpreter is not instrumented, so the runtimes must be in the
  # process before the module is: asan first, as it has to come before libc.
  local preload
  preload="$(sanitizer_runtime libasan.so) $(sanitizer_runtime libubsan.so)"
  local -a env=(
    LD_PRELOAD="$preload"
    # CPython keeps much of its memory until exit on purpose; the leaks worth
    # finding are the valgrind run's business, where they can be told apart.
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # Object memory through malloc, so ASan sees the module misuse it.
    PYTHONMALLOC=malloc
    PYTHONPATH="$module_dir"
    ZORF_FAKE_NVML_DIR="$root/build/asan/fake_nvml"
  )
  local loaded
  loaded=$(env "${env[@]}" .venv/bin/python -c 'import zorf_lib; print(zorf_lib.__file__)')
  case $loaded in
    "$module_dir"/*) ;;
    *) echo "sanitize: the tests would import $loaded, not the ASan build" >&2; exit 1 ;;
  esac
  # Left out: the wheel tests build and install a release wheel, in which
  # nothing of the ASan build takes part; and the tests that watch the
  # process's memory stay flat over many calls, which ASan's quarantine of
  # freed blocks defeats by design (the valgrind run looks for leaks), with
  # the test of their measures: ASan's malloc is invisible to mallinfo2, and
  # PYTHONMALLOC=malloc leaves Python no block count. And the tests that run a
  # call out of address space or out of descriptors: ASan's own runtime needs
  # both for its shadow memory and its reports, and fails first.
  env "${env[@]}" .venv/bin/python -m pytest -q -p no:cacheprovider tests/python \
    --ignore=tests/python/test_wheel.py \
    --deselect=tests/python/test_hostile_cache.py::test_out_of_memory_raises_in_a_new_thread \
    --deselect=tests/python/test_hostile_cache.py::test_out_of_descriptors_is_a_read_failure_never_a_miss \
    --deselect=tests/python/test_threads.py::test_repeated_calls_leave_memory_and_descriptors_flat \
    --deselect=tests/python/test_threads.py::test_the_measures_see_a_leak "$@"
}

ensure_valgrind() {
  source scripts/lib/apt.sh
  # valgrind needs the C library's debugging symbols of the very version
  # installed, which the set-up has taken from the unstable suite.
  apt_install_sid libc6-dbg
  apt_install valgrind
  local libc dbg
  libc=$(dpkg-query -W -f='${Version}' libc6)
  dbg=$(dpkg-query -W -f='${Version}' libc6-dbg)
  [ "$libc" = "$dbg" ] || { echo "sanitize: libc6-dbg $dbg does not match libc6 $libc" >&2; exit 1; }
  valgrind --version >/dev/null || { echo "sanitize: valgrind does not run" >&2; exit 1; }
}

# 10,000 calls that find the cache and 1,000 that do not (each one loading,
# querying, shutting down and unloading the fake NVML, then writing the
# file), so that anything a call keeps adds up to thousands of blocks. The
# "full" fake is used: the variant without nvmlShutdown makes the library
# keep its NVML handle open on purpose (the call ends in PanicException
# rather than leave NVML initialised behind a closed handle), a leak by
# design that is not looked for here.
run_valgrind() {
  echo "== valgrind memcheck: C++ driver and Python module"
  ensure_valgrind
  build valgrind
  work=$(mktemp -d)
  printf 'uuid_text GPU-f1e2d3c4-0000-4000-8000-00000000000b\nuuid_text GPU-0a1b2c3d-0000-4000-8000-00000000000a\n' \
    >"$work/nvml.conf"
  local -a fake=(LD_LIBRARY_PATH="$root/build/valgrind/fake_nvml/full" FAKE_NVML_CONFIG="$work/nvml.conf")
  local -a memcheck=(valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite --num-callers=40)

  echo "-- C++: node_id_loop, every error and every definite leak counts"
  env "${fake[@]}" "${memcheck[@]}" --error-exitcode=1 \
    build/valgrind/tests/leaks/node_id_loop "$work/cache" 10000 1000

  echo "-- Python: only what has a frame in the module or the core counts"
  # CPython has definite leaks of its own at exit; the XML report keeps every
  # stack so that ours can be told from them.
  env "${fake[@]}" PYTHONMALLOC=malloc PYTHONPATH="$root/build/valgrind/src/python" \
    "${memcheck[@]}" --xml=yes --xml-file="$work/python.xml" \
    .venv/bin/python - "$work/cache" "$root/build/valgrind/src/python" <<'EOF'
import os, sys
import zorf_lib

path, module_dir = sys.argv[1], sys.argv[2]
assert zorf_lib.__file__.startswith(module_dir + "/"), zorf_lib.__file__
first = None
for _ in range(1000):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    node_id = zorf_lib.get_gpu_node_id(path)
    first = first or node_id
    assert node_id == first, (node_id, first)
for _ in range(10000):
    assert zorf_lib.get_gpu_node_id(cache_file_path=path) == first
# The failing paths build exceptions; they must not keep anything either.
with open(path, "wb") as file:
    file.write(b"\xff")
for _ in range(1000):
    try:
        zorf_lib.get_gpu_node_id(path)
    except RuntimeError as error:
        assert str(error) == "Failed to read cache file", error
    else:
        raise AssertionError("a bad cache file was accepted")
for _ in range(1000):
    try:
        zorf_lib.get_gpu_node_id(5)
    except TypeError:
        pass
print(f"python: 1000 misses, 10000 hits, 2000 failures, node id {first}")
EOF
  .venv/bin/python - "$work/python.xml" <<'EOF'
import sys
import xml.etree.ElementTree as ET

ours, definite, definite_bytes = [], 0, 0
for error in ET.parse(sys.argv[1]).getroot().iter("error"):
    kind = error.findtext("kind")
    frames = [(f.findtext("fn") or "?", f.findtext("obj") or "?") for f in error.find("stack").iter("frame")]
    if kind == "Leak_DefinitelyLost":
        definite += 1
        definite_bytes += int(error.findtext("xwhat/leakedbytes") or 0)
    elif kind.startswith("Leak_"):
        continue
    if any("zorf" in fn or "/zorf_lib." in obj for fn, obj in frames):
        ours.append((kind, error.findtext("what") or error.findtext("xwhat/text"), frames))
print(f"python: {definite} definitely lost records ({definite_bytes} bytes) in all, "
      f"{len(ours)} with a frame in zorf_lib")
for kind, what, frames in ours:
    print(f"\n{kind}: {what}")
    for fn, obj in frames:
        print(f"    {fn}  ({obj})")
sys.exit(1 if ours else 0)
EOF
}

# The interpreter for ft-tsan, built once per machine unless one is named.
ft_tsan_python() {
  if [ -n "${ZORF_FREE_THREADED_TSAN_PYTHON:-}" ]; then
    echo "$ZORF_FREE_THREADED_TSAN_PYTHON"
  elif [ -n "${CPYTHON_SOURCE:-}" ]; then
    bash scripts/cpython.sh "$CPYTHON_SOURCE" free-threaded-tsan
  else
    echo "sanitize: ft-tsan needs a free-threaded CPython 3.14 built with --with-thread-sanitizer: name one in" \
      "ZORF_FREE_THREADED_TSAN_PYTHON, or name a CPython source tarball in CPYTHON_SOURCE to build one" >&2
    exit 2
  fi
}

# A free-threaded interpreter without TSan, with pip, for installing the test
# packages: pip itself under TSan is slow and its reports are not ours.
ft_packages_python() {
  if [ -x .venv-ft/bin/python ]; then
    echo .venv-ft/bin/python
    return
  fi
  local base
  base=$(free_threaded_python) || {
    echo "sanitize: ft-tsan installs pytest with a free-threaded CPython 3.14 without TSan: name one in" \
      "ZORF_FREE_THREADED_PYTHON, or a CPython source tarball in CPYTHON_SOURCE" >&2
    exit 2
  }
  [ -x build/ft-tsan/pip-venv/bin/python ] || "$base" -m venv build/ft-tsan/pip-venv >&2
  echo build/ft-tsan/pip-venv/bin/python
}

run_ft_tsan() {
  echo "== Python thread tests on a free-threaded CPython with TSan"
  local python
  python=$(ft_tsan_python)
  [ -x "$python" ] || { echo "sanitize: no interpreter at $python" >&2; exit 1; }
  tsan_launch_for ft-tsan "$python" -c pass
  "${tsan_launch[@]}" "$python" - <<'PY' || { echo "sanitize: $python is not a free-threaded CPython 3.14 built with TSan" >&2; exit 1; }
import sys, sysconfig
assert sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert "--with-thread-sanitizer" in sysconfig.get_config_var("CONFIG_ARGS")
PY

  local tree=build/ft-tsan
  # CMake runs the interpreter to find its headers and its module suffix.
  "${tsan_launch[@]}" cmake --preset ft-tsan -DPython_EXECUTABLE="$python" >/dev/null
  cmake --build --preset ft-tsan

  local module_dir=$root/$tree/src/python packages=$root/$tree/packages
  local -a env=(
    PYTHONPATH="$module_dir:$packages"
    ZORF_FAKE_NVML_DIR="$root/$tree/fake_nvml"
    # Inherited by every interpreter the tests start. A report ends the
    # process with status 66, which the tests check of each child.
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/sanitizers/ft_tsan.supp"
  )
  if ! env "${env[@]}" "${tsan_launch[@]}" "$python" -c 'import pytest, pytest_run_parallel, blake3' 2>/dev/null; then
    echo "ft-tsan: installing pytest, pytest-run-parallel and blake3 into $packages" >&2
    rm -rf "$packages"
    "$(ft_packages_python)" -m pip install -q --disable-pip-version-check --target "$packages" \
      pytest pytest-run-parallel blake3
  fi

  local loaded
  loaded=$(env "${env[@]}" "${tsan_launch[@]}" "$python" -c 'import zorf_lib; print(zorf_lib.__file__)')
  case $loaded in
    "$module_dir"/zorf_lib.cpython-314t-*.so) ;;
    *) echo "sanitize: the tests would import $loaded, not a cp314t module from $module_dir" >&2; exit 1 ;;
  esac
  grep -q __tsan_func_entry <<<"$(nm -D --undefined-only "$loaded")" ||
    { echo "sanitize: $loaded is not built with TSan" >&2; exit 1; }

  # The run proves nothing unless a race in an interpreter the tests start
  # ends it with TSan's status: a library whose two threads bump one counter
  # with nothing to order them, in an interpreter with the tests' environment.
  printf '%s\n' '#include <pthread.h>' 'static long counter;' \
    'static void* bump(void* arg) { for (int i = 0; i < 1000; ++i) ++counter; return arg; }' \
    'void race(void) { pthread_t a, b; pthread_create(&a, 0, bump, 0); pthread_create(&b, 0, bump, 0);' \
    '  pthread_join(a, 0); pthread_join(b, 0); }' >"$tree/canary.c"
  cc -fsanitize=thread -g -O1 -shared -fPIC "$tree/canary.c" -o "$tree/canary.so"
  local canary status=0
  canary=$(env "${env[@]}" "${tsan_launch[@]}" "$python" -c 'import ctypes, sys; ctypes.CDLL(sys.argv[1]).race()' \
    "$root/$tree/canary.so" 2>&1) || status=$?
  if [ "$status" -ne 66 ] || ! grep -q 'WARNING: ThreadSanitizer: data race' <<<"$canary"; then
    echo "sanitize: a race in a child interpreter did not end it with TSan's status 66 (got $status);" \
      "the run would prove nothing:" >&2
    echo "$canary" >&2
    exit 1
  fi

  # Left out: the tests that watch the process's memory stay flat, and that
  # their measures see a leak. Under TSan, malloc is TSan's own, which
  # mallinfo2 does not see, and every load of NVML leaves TSan's shadow of it
  # resident; they run no two calls at once, and leaks are valgrind's business.
  local -a tests=(
    tests/python/test_threads.py tests/python/test_cold_start.py tests/python/test_free_threading.py
    --deselect=tests/python/test_threads.py::test_repeated_calls_leave_memory_and_descriptors_flat
    --deselect=tests/python/test_threads.py::test_the_measures_see_a_leak
  )
  echo "-- as they are"
  env "${env[@]}" "${tsan_launch[@]}" "$python" -m pytest -q -p no:cacheprovider "${tests[@]}" "$@"
  echo "-- every test body in 8 threads at once"
  env "${env[@]}" "${tsan_launch[@]}" "$python" -m pytest -q -p no:cacheprovider "${tests[@]}" --parallel-threads=8 "$@"
}

case $mode in
  asan) run_asan ;;
  tsan) run_tsan ;;
  python-asan) run_python_asan "$@" ;;
  valgrind) run_valgrind ;;
  all)
    run_asan
    run_tsan
    run_python_asan "$@"
    run_valgrind
    ;;
  ft-tsan) run_ft_tsan "$@" ;;
esac
echo "sanitize: $mode passed"
