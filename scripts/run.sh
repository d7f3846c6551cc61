#!/usr/bin/env bash
# Sets up the machine, installs zorf_lib into .venv and prints this node's
# identifier (cache path: the first argument, else the default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PIP_CONFIG_FILE=/dev/null .venv/bin/python -m pip install -q --no-build-isolation --disable-pip-version-check .
exec .venv/bin/python -c '
import sys, zorf_lib
try:
    print(zorf_lib.get_gpu_node_id(*sys.argv[1:2]))
except RuntimeError as error:
    sys.exit(f"zorf_lib: {error}")
' "$@"
