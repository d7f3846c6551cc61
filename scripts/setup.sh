#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine,
# then makes the project's virtual environment (.venv, CPython 3.14).
# Safe to run again: it does nothing and prints nothing when all is present.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ cmake ninja-build pkg-config libgtest-dev b3sum)
sid_packages=(python3.14-dev python3.14-venv python3-pip-whl libblake3-dev)
python_packages=(scikit-build-core pytest blake3)

missing() { dpkg-query -W -f='${db:Status-Status}\n' "$@" 2>/dev/null | grep -cvx installed || true; }
need_root() { [ "$(id -u)" -eq 0 ] || { echo "setup: run as root to install system packages" >&2; exit 1; }; }

all=("${debian_packages[@]}" "${sid_packages[@]}")
if [ "$(dpkg-query -W -f='${db:Status-Status}\n' "${all[@]}" 2>/dev/null | grep -cx installed)" -ne "${#all[@]}" ]; then
  need_root
  export DEBIAN_FRONTEND=noninteractive
  # CPython 3.14 and the BLAKE3 library come from Debian's unstable suite, pinned
  # low so that nothing else is taken from it unless asked for.
  if [ ! -f /etc/apt/sources.list.d/sid.sources ]; then
    uri=$(awk '$1=="URIs:"{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    [ -n "$uri" ] || uri=$(awk '$1=="deb"{print $2; exit}' /etc/apt/sources.list)
    printf 'Types: deb\nURIs: %s\nSuites: sid\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\nCheck-Valid-Until: no\n' \
      "$uri" > /etc/apt/sources.list.d/sid.sources
    printf 'Package: *\nPin: release n=sid\nPin-Priority: 50\n' > /etc/apt/preferences.d/sid
  fi
  echo "setup: installing system packages" >&2
  apt-get update -qq
  apt-get install -y -qq "${debian_packages[@]}" >/dev/null
  O='-o Dpkg::Options::=--force-overwrite'
  # shellcheck disable=SC2086
  apt-get install -y -qq $O -t sid "${sid_packages[@]}" >/dev/null \
    || { apt-get install -y -qq $O -f -t sid >/dev/null; apt-get install -y -qq $O -t sid "${sid_packages[@]}" >/dev/null; }
fi

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null; then
  rm -rf .venv
  python3.14 -m venv .venv
fi
if ! .venv/bin/python -c 'import scikit_build_core, pytest, blake3' 2>/dev/null; then
  echo "setup: installing Python packages into .venv" >&2
  .venv/bin/python -m pip install -q --disable-pip-version-check "${python_packages[@]}"
fi
