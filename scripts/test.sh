#!/usr/bin/env bash
# Sets up the machine, then runs the tests: the C++ tests (CTest, against the
# fake NVML library), the Python suite against the module installed into
# .venv, and the free-threaded ABI check (nox sessions tests and
# free-threaded-abi; arguments go to pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/nox -s tests free-threaded-abi -- "$@"
