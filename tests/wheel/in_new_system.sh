#!/bin/bash
# Run inside the new Debian 11 system of the wheel install check (nox -s
# wheel-install), which holds no libblake3: installs a release wheel into a
# fresh virtual environment with pip, from the wheel file alone, and uses it
# (use_installed.py), a cache miss and then a hit. The wheels, the fake NVML
# and this folder are bound under /srv.
#
#   in_new_system.sh PYTHON WHEEL
set -euo pipefail
python=$1 wheel=$2
if ldconfig -p | grep libblake3 >/dev/null; then
  echo "libblake3 is installed here; the check needs a system without it" >&2
  exit 1
fi
rm -rf /srv/venv
"$python" -m venv /srv/venv
/srv/venv/bin/python -m pip install -q --no-index --disable-pip-version-check "$wheel"
cd /srv
LD_LIBRARY_PATH=/srv/fake_nvml FAKE_NVML_CONFIG=/srv/nvml.conf \
  /srv/venv/bin/python /srv/check/use_installed.py "/srv/node-id-$(basename "$python")"
