#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine,
# then makes the project's virtual environment (.venv, CPython 3.14).
# Safe to run again: it does nothing and prints nothing when all is present.
#
# It changes the host: CPython 3.14 and BLAKE3 come from Debian's unstable
# suite, which moves the C library, OpenSSL and other base libraries to that
# suite's versions. Run it on a disposable machine or in a container.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ cmake ninja-build pkg-config libgtest-dev b3sum)
# python3-pip-whl is the pip that `python3.14 -m venv` puts in a venv: Debian
# 12's (23.0.1) cannot run on CPython 3.14.
sid_packages=(python3.14-dev python3.14-venv python3-pip-whl libblake3-dev)
# pyyaml: the README's Kubernetes recipe is checked with a YAML parser.
python_packages=(scikit-build-core pytest blake3 pytest-run-parallel pyyaml)

source scripts/lib/apt.sh

# Debian 12's packages first: the sid ones then move the C library on, and the
# Debian 12 ones above still install against it.
apt_install "${debian_packages[@]}"
apt_install_sid "${sid_packages[@]}"

# What the build needs of the tools themselves, whichever comes first on the
# PATH (pip's cmake on some machines, Debian's elsewhere).
version_at_least() { [ "$(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n 1)" = "$2" ]; }
need_tool() {
  local name=$1 found=$2 wanted=$3
  version_at_least "$found" "$wanted" \
    || { echo "setup: $name $wanted or newer is needed; $(command -v "$name" || echo none) is ${found:-missing}" >&2; exit 1; }
}
need_tool cmake "$(cmake --version 2>/dev/null | awk 'NR==1 {print $3}')" 3.25
need_tool g++ "$(g++ -dumpfullversion 2>/dev/null)" 12
need_tool ninja "$(ninja --version 2>/dev/null)" 1.10

# A venv counts only when it is on 3.14 and its pip runs: a set-up that failed
# half-way leaves one without pip, which is remade here.
venv_works() {
  .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null \
    && .venv/bin/python -m pip --version >/dev/null 2>&1
}
if ! venv_works; then
  rm -rf .venv
  python3.14 -m venv .venv || { echo "setup: python3.14 -m venv failed" >&2; exit 1; }
  venv_works || { echo "setup: the new .venv has no working pip" >&2; exit 1; }
fi
if ! .venv/bin/python -c 'import scikit_build_core, pytest, blake3, pytest_run_parallel, yaml' 2>/dev/null; then
  echo "setup: installing Python packages into .venv" >&2
  .venv/bin/python -m pip install -q --disable-pip-version-check "${python_packages[@]}"
fi
