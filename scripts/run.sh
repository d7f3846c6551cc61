#!/usr/bin/env bash
# Sets up the machine, installs zorf_lib into .venv and prints this node's
# identifier through the zorf-node-id command (cache path: the first
# argument, else the default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The local build needs no index: this machine's pip configuration is left out.
PIP_CONFIG_FILE=/dev/null .venv/bin/python -m pip install -q --no-build-isolation --no-deps --no-index \
  --disable-pip-version-check .
exec .venv/bin/zorf-node-id ${1:+--cache-file "$1"}
