#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine,
# then makes the project's virtual environment (.venv, CPython 3.14).
# Safe to run again: it does nothing and prints nothing when all is present.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ cmake ninja-build pkg-config libgtest-dev b3sum)
sid_packages=(python3.14-dev python3.14-venv python3-pip-whl libblake3-dev)
python_packages=(scikit-build-core pytest blake3 pytest-run-parallel)

source scripts/lib/apt.sh

# Debian 12's packages first: the sid ones then move the C library on, and the
# Debian 12 ones above still install against it.
apt_install "${debian_packages[@]}"
apt_install_sid "${sid_packages[@]}"

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null; then
  rm -rf .venv
  python3.14 -m venv .venv
fi
if ! .venv/bin/python -c 'import scikit_build_core, pytest, blake3, pytest_run_parallel' 2>/dev/null; then
  echo "setup: installing Python packages into .venv" >&2
  .venv/bin/python -m pip install -q --disable-pip-version-check "${python_packages[@]}"
fi
