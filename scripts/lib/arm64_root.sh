# Debian arm64 packages unpacked, never installed, into a folder that serves
# as the target's root: for qemu-aarch64 -L or a cross compiler's --sysroot
# (sourced, not run; needs scripts/lib/apt.sh).

# arm64_root ROOT PACKAGE...: ROOT holds the packages and everything they
# depend on (recommends left out), from Debian's unstable suite, whose C
# library the interpreter and the modules are built against. apt resolves
# them as if nothing were installed, from a package database of its own, and
# downloads the lot; dpkg then only unpacks. Nothing is done when ROOT already
# holds this list: a warm run asks no mirror.
arm64_root() {
  local root=$1
  shift
  [ "$(cat "$root/.packages" 2>/dev/null)" = "$*" ] && return 0
  [ "$(id -u)" -eq 0 ] || { echo "$(basename "$0"): run as root to download arm64 packages" >&2; exit 1; }
  apt_add_sid
  # The arm64 architecture lets apt fetch the lists of arm64 packages; this
  # machine installs none of them.
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    apt_get update -qq
  fi
  echo "$(basename "$0"): unpacking $* and their dependencies (arm64, Debian unstable) into $root" >&2
  local work=$root.work
  rm -rf "$work" "$root.new"
  mkdir -p "$work/debs/partial" "$work/preferences.d" "$root.new"
  : >"$work/status"
  # apt downloads as its own unprivileged user.
  if id _apt >/dev/null 2>&1; then chown -R _apt "$work/debs"; fi
  # The machine's lists serve, read for arm64 alone; its pins (which keep the
  # unstable suite at arm's length for this machine's own packages) do not.
  local -a options=(
    -o Dir::State::status="$work/status" -o Dir::Cache="$work" -o Dir::Cache::archives="$work/debs"
    -o Dir::Etc::preferences=/dev/null -o Dir::Etc::preferencesparts="$work/preferences.d"
    -o APT::Architecture=arm64 -o APT::Architectures=arm64
    -o APT::Default-Release=sid -o APT::Install-Recommends=false)
  apt_get -qq "${options[@]}" --download-only -y install "$@" >/dev/null 2>&1 \
    || { apt_get update -qq; apt_get -qq "${options[@]}" --download-only -y install "$@" >/dev/null; }
  local deb
  for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$root.new"; done
  # Programs ask for /lib/ld-linux-aarch64.so.1; with a merged /usr it lives
  # under usr/lib, and base-files, which makes the links, is no dependency.
  [ -e "$root.new/lib" ] || ln -s usr/lib "$root.new/lib"
  [ -e "$root.new/bin" ] || ln -s usr/bin "$root.new/bin"
  printf '%s\n' "$*" >"$root.new/.packages"
  rm -rf "$root" "$work"
  mv "$root.new" "$root"
}
