# Debian arm64 packages unpacked, never installed, into a folder that serves
# as the target's root: for qemu-aarch64 -L or a cross compiler's --sysroot
# (sourced, not run; needs scripts/lib/apt.sh).

# arm64_root ROOT [--exact] PACKAGE...: ROOT holds the packages and everything
# they depend on (recommends left out), from Debian's unstable suite, whose C
# library the interpreters and the modules are built against. apt resolves
# them as if nothing were installed, from a package database of its own, and
# downloads the lot; dpkg then only unpacks. --exact takes the packages as
# named (a PACKAGE/SUITE picks the suite) and nothing they depend on: the
# cross compiler's sysroot, whose C library is the compiler's own. Nothing is
# done when ROOT already holds this list, so a warm run asks no mirror.
arm64_root() {
  # Absolute: apt reads its Dir:: options relative to its own folders.
  local root
  root=$(realpath -m "$1")
  shift
  [ "$(cat "$root/.packages" 2>/dev/null)" = "$*" ] && return 0
  apt_need_root "download arm64 packages"
  apt_add_sid
  # The arm64 architecture lets apt fetch the lists of arm64 packages; this
  # machine installs none of them.
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    apt_get update -qq
  fi
  echo "$(basename "$0"): unpacking arm64 packages into $root: $*" >&2
  local work=$root.work list=$*
  rm -rf "$work" "$root.new"
  mkdir -p "$work/debs/partial" "$work/preferences.d" "$root.new"
  : >"$work/status"
  # apt downloads as its own unprivileged user.
  if id _apt >/dev/null 2>&1; then chown -R _apt "$work/debs"; fi
  local -a fetch
  local exact=false
  if [ "$1" = --exact ]; then
    shift
    exact=true
    fetch=(download)
  else
    # The machine's lists serve, read for arm64 alone; its pins (which keep
    # the unstable suite at arm's length for this machine's own packages) do not.
    fetch=(-o Dir::State::status="$work/status" -o Dir::Cache="$work" -o Dir::Cache::archives="$work/debs"
      -o Dir::Etc::preferences=/dev/null -o Dir::Etc::preferencesparts="$work/preferences.d"
      -o APT::Architecture=arm64 -o APT::Architectures=arm64
      -o APT::Default-Release=sid -o APT::Install-Recommends=false --download-only -y install)
  fi
  (cd "$work/debs" && { apt_get -qq "${fetch[@]}" "$@" >/dev/null 2>&1 \
    || { apt_get update -qq; apt_get -qq "${fetch[@]}" "$@" >/dev/null; }; })
  local deb
  for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$root.new"; done
  # Programs ask for /lib/ld-linux-aarch64.so.1; with a merged /usr it lives
  # under usr/lib, and base-files, which makes the links, is no dependency.
  if ! $exact; then
    [ -e "$root.new/lib" ] || ln -s usr/lib "$root.new/lib"
    [ -e "$root.new/bin" ] || ln -s usr/bin "$root.new/bin"
  fi
  printf '%s\n' "$list" >"$root.new/.packages"
  rm -rf "$root" "$work"
  mv "$root.new" "$root"
}
