#!/usr/bin/env bash
# Runs the whole Python suite on 64-bit Arm, under qemu-user: the module and
# the fake NVML cross-built by scripts/cross_aarch64.sh, imported by an arm64
# CPython 3.14 that runs emulated, as do the many interpreters the tests start.
#
#   bash scripts/arm64_test.sh [--free-threaded] [pytest options]
#   bash scripts/arm64_test.sh --wheel WHEEL
#
# --wheel installs an aarch64 release wheel (scripts/build_wheels.sh) as a
# user would, with pip (this machine's, for the target's platform), into a
# folder of its own, and calls the module from there against the fake NVML,
# a cache miss and then a hit, on the interpreter of its ABI, on a copy of the
# target's root from which libblake3 is removed: the wheel must carry its own.
#
# The default build is Debian's arm64 python3.14 (unstable suite), unpacked
# with its dependencies under build/aarch64/runtime, never installed. The
# free-threaded one is CPython cross-built from the source tarball named by
# $CPYTHON_SOURCE (scripts/cpython.sh, flavour free-threaded-aarch64: once per
# machine, a few minutes), else one built earlier; it runs on the same
# libraries. pytest, pytest-run-parallel and blake3 are arm64 wheels fetched
# by this machine's pip.
# Safe to run again: quiet until the tests when all is present.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
top=build/aarch64
abi=cp314
wheel=""
case ${1:-} in
  --free-threaded) abi=cp314t; shift ;;
  --wheel)
    wheel=$(realpath "$2")
    shift 2
    case $(basename "$wheel") in
      *-cp314t-manylinux_*_aarch64.whl) abi=cp314t ;;
      *-cp314-manylinux_*_aarch64.whl) ;;
      *) echo "arm64_test: $wheel is not an aarch64 release wheel" >&2; exit 2 ;;
    esac
    ;;
esac

# The runs below bind this machine's folders into the target's root
# (emulated_host_view), in a mount namespace of their own.
if [ -z "${ZORF_ARM64_NAMESPACE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "arm64_test: run as root (the emulated runs need a mount namespace)" >&2; exit 1; }
  orig=()
  [ -n "$wheel" ] && orig=(--wheel "$wheel")
  [ "$abi" = cp314t ] && [ -z "$wheel" ] && orig=(--free-threaded)
  exec unshare --mount --propagation private env ZORF_ARM64_NAMESPACE=1 bash "$root/scripts/arm64_test.sh" "${orig[@]}" "$@"
fi
host_folders=(/tmp /var/tmp /dev /proc /sys "$root")

bash scripts/cross_aarch64.sh --build-only
source scripts/lib/apt.sh
source scripts/lib/arm64_root.sh
source scripts/lib/emulated_python.sh
source scripts/lib/cpython_cache.sh

# The fake NVML is C++ with the shared runtime, which the interpreter's own
# dependencies do not bring.
runtime=$root/$top/runtime
arm64_root "$runtime" python3.14-minimal libpython3.14-stdlib libblake3-0 libstdc++6
# Debian's interpreter also looks in these; absent from the root, qemu would
# fall through to this machine's folders of the same name.
mkdir -p "$runtime/usr/lib/python3/dist-packages" "$runtime/usr/local/lib/python3.14/dist-packages"

if [ "$abi" = cp314 ]; then
  python=$runtime/usr/bin/python3.14-qemu
  emulated_wrapper "$python" "$runtime" "$runtime/usr/bin/python3.14"
  emulated_bytecode "$runtime/.bytecode" "$python" "$runtime/usr/lib/python3.14"
else
  if [ -n "${CPYTHON_SOURCE:-}" ]; then
    interpreter=$(bash scripts/cpython.sh "$CPYTHON_SOURCE" free-threaded-aarch64)
  elif ! interpreter=$(cached_cpython free-threaded-aarch64 python3.14t); then
    echo "arm64_test: no free-threaded CPython for aarch64: name a CPython 3.14 source tarball in" \
      "CPYTHON_SOURCE to build one" >&2
    exit 2
  fi
  # Outside the per-machine cache, since it names this checkout's root; the
  # interpreter then finds its library where it was installed. Its install
  # compiled that library already.
  mkdir -p "$root/$top/$abi"
  python=$root/$top/$abi/python3.14t-qemu
  emulated_wrapper "$python" "$runtime" "$interpreter"
fi

if [ -n "$wheel" ]; then
  # The same root without BLAKE3, hard links for the rest.
  bare=$runtime-without-blake3
  if [ "$(cat "$bare/.packages" 2>/dev/null)" != "$(cat "$runtime/.packages")" ]; then
    rm -rf "$bare"
    cp -al "$runtime" "$bare"
    rm -f "$bare"/usr/lib/aarch64-linux-gnu/libblake3*
  fi
  installed=$root/$top/wheel-$abi
  rm -rf "$installed"
  mkdir -p "$installed"
  if [ "$abi" = cp314 ]; then
    # Beside Debian's interpreter, as above, so that it finds its own library.
    python=$bare/usr/bin/python3.14-qemu
    interpreter=$bare/usr/bin/python3.14
  else
    python=$installed/python-qemu
  fi
  emulated_wrapper "$python" "$bare" "$interpreter"
  platform=$(basename "$wheel" .whl)
  platform=${platform##*-}
  .venv/bin/python -m pip install -q --disable-pip-version-check --no-index --no-deps --target "$installed/site" \
    --platform "$platform" --python-version 3.14 --implementation cp --abi "$abi" --only-binary=:all: "$wheel"
  emulated_host_view "$bare" "${host_folders[@]}"
  (cd "$installed" && LD_LIBRARY_PATH=$root/$top/tests/fake_nvml/full FAKE_NVML_CONFIG=$installed/nvml.conf \
    PYTHONPATH=$installed/site "$python" "$root/tests/wheel/use_installed.py" "$installed/node-id" "$installed/site")
  exit
fi

site=$root/$top/site-$abi
emulated_site "$site" "$abi" pytest blake3 pytest-run-parallel
# Installed as pip would, the type stubs and the command's package beside the
# module (without the wheel's metadata: `zorf-node-id --version` has none).
module=$root/$top/module-$abi
cmake --install "$top/cpython-${abi#cp}" --prefix "$module" >/dev/null
rm -rf "$module/zorf_node_id"
mkdir "$module/zorf_node_id"
cp src/zorf_node_id/*.py "$module/zorf_node_id/"

emulated_host_view "$runtime" "${host_folders[@]}"
export PYTHONPATH=$module:$site
export ZORF_FAKE_NVML_DIR=$root/$top/tests/fake_nvml
echo "== the Python suite on $("$python" -c 'import platform, sys; print(platform.machine(), sys.version.split()[0], "free-threaded" if not sys._is_gil_enabled() else "default build")') under qemu-aarch64"
start=$(date +%s)
status=0
"$python" -m pytest -q tests/python "$@" || status=$?
echo "arm64_test: $(( $(date +%s) - start )) s under emulation"
exit "$status"
