#!/usr/bin/env bash
# Installs each x86_64 release wheel (dist/, from scripts/build_wheels.sh) the
# way a user would: into a fresh virtual environment, on a brand-new Debian 12
# system on which libblake3 is not installed, with nothing of this machine
# but the interpreter (Debian's python3.14 for cp314, the free-threaded build
# of scripts/cpython.sh for cp314t) and the fake NVML; then imports it and
# calls it, a cache miss and then a hit. Then the same for each aarch64
# wheel, under emulation (scripts/arm64_test.sh --wheel), on a copy of the
# arm64 root without libblake3.
#
# The new system is a debootstrap of Debian 12, made once and kept as a
# tarball in ~/.cache/zorf_lib (ZORF_CACHE_DIR), unpacked afresh each run and
# removed afterwards. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD
source scripts/lib/apt.sh
source scripts/lib/free_threaded.sh
[ "$(id -u)" -eq 0 ] || { echo "wheel_install_test: run as root (chroot, mounts)" >&2; exit 1; }

shopt -s nullglob
wheels=(dist/zorf_lib-*-cp314-cp314-manylinux_*_x86_64.whl dist/zorf_lib-*-cp314-cp314t-manylinux_*_x86_64.whl)
[ ${#wheels[@]} -eq 2 ] || bash scripts/build_wheels.sh
wheels=(dist/zorf_lib-*-cp314-cp314-manylinux_*_x86_64.whl dist/zorf_lib-*-cp314-cp314t-manylinux_*_x86_64.whl)
python_ft=$(free_threaded_python) || { echo "wheel_install_test: no free-threaded CPython 3.14" >&2; exit 2; }
ft_prefix=$(dirname "$(dirname "$python_ft")")

fake_build=build/fake-nvml
cmake -S . -B "$fake_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORF_BUILD_TESTS=ON \
  -DZORF_BUILD_PYTHON=OFF >/dev/null
cmake --build "$fake_build" --target fake_nvml_full >/dev/null

cache=$zorf_cache
base=$cache/bookworm-base.tar
if [ ! -f "$base" ]; then
  apt_install debootstrap
  mirror=$(awk '$1=="URIs:"{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$mirror" ] || mirror=$(awk '$1=="deb"{print $2; exit}' /etc/apt/sources.list)
  staging=$(mktemp -d /var/tmp/zorf-debian.XXXXXX)
  echo "wheel_install_test: making a Debian 12 base system (once, about a minute)" >&2
  debootstrap --variant=minbase bookworm "$staging" "$mirror" >"$cache/debootstrap.log" 2>&1 \
    || { echo "wheel_install_test: debootstrap failed, see $cache/debootstrap.log" >&2; rm -rf "$staging"; exit 1; }
  mkdir -p "$cache"
  tar -C "$staging" -cf "$base.part" . && mv "$base.part" "$base"
  rm -rf "$staging"
fi

new=$(mktemp -d /var/tmp/zorf-wheel-test.XXXXXX)
mounts=()
cleanup() {
  for ((i=${#mounts[@]}-1; i>=0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
  rm -rf --one-file-system "$new"
}
trap cleanup EXIT
tar -C "$new" -xf "$base"
bind() {  # bind FROM TO (TO inside the new system), read-only unless "rw"
  mkdir -p "$new$2"
  mount --bind "$1" "$new$2"
  mounts+=("$new$2")
  [ "${3:-ro}" = rw ] || mount -o remount,bind,ro "$new$2"
}
for d in /proc /sys /dev /dev/pts; do bind "$d" "$d" rw; done
chmod 1777 "$new/tmp"
# The network settings, the package sources (the unstable suite for
# python3.14) and pip's settings of this machine.
cp /etc/resolv.conf "$new/etc/resolv.conf"
rm -f "$new/etc/apt/sources.list"
cp -a /etc/apt/sources.list.d/. "$new/etc/apt/sources.list.d/"
[ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$new/etc/apt/sources.list"
cp -a /etc/apt/preferences.d/. "$new/etc/apt/preferences.d/"
cp /etc/ssl/certs/ca-certificates.crt "$new/etc/ssl/certs/ca-certificates.crt" 2>/dev/null || true
bind "$root_dir/dist" /srv/wheels
bind "$root_dir/$fake_build/fake_nvml/full" /srv/fake_nvml
bind "$root_dir/tests/wheel" /srv/check
# The free-threaded interpreter at the path it was built for.
bind "$ft_prefix" "$ft_prefix"

cat > "$new/srv/run.sh" <<INSIDE
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
quiet() { local out; out=\$("\$@" 2>&1) || { printf '%s\n' "\$out" >&2; return 1; }; }
quiet apt-get -o DPkg::Lock::Timeout=900 update
quiet apt-get -o DPkg::Lock::Timeout=900 install -y -o Dpkg::Options::=--force-overwrite -t sid \
  python3.14 python3.14-venv python3-pip-whl libstdc++6
if ldconfig -p | grep libblake3 >/dev/null; then echo "libblake3 is installed here; the test needs a system without it" >&2; exit 1; fi
check() {  # check PYTHON WHEEL
  rm -rf /srv/venv
  "\$1" -m venv /srv/venv
  /srv/venv/bin/python -m pip install -q --no-index --disable-pip-version-check "\$2"
  (cd /srv && LD_LIBRARY_PATH=/srv/fake_nvml FAKE_NVML_CONFIG=/srv/nvml.conf \
    /srv/venv/bin/python /srv/check/use_installed.py /srv/node-id-\$(basename "\$1"))
}
check /usr/bin/python3.14 /srv/wheels/$(basename "${wheels[0]}")
check $python_ft /srv/wheels/$(basename "${wheels[1]}")
INSIDE
echo "wheel_install_test: installing ${wheels[*]##*/} in a new Debian 12 system" >&2
chroot "$new" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 $(env | grep -E '^PIP_' | tr '\n' ' ') /bin/bash /srv/run.sh
echo "wheel_install_test: both x86_64 wheels installed and worked"

for wheel in dist/zorf_lib-*-cp314-cp314-manylinux_*_aarch64.whl dist/zorf_lib-*-cp314-cp314t-manylinux_*_aarch64.whl; do
  bash scripts/arm64_test.sh --wheel "$wheel"
done
echo "wheel_install_test: both aarch64 wheels installed and worked under qemu-aarch64"
