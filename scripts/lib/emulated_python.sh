# An arm64 CPython run on this machine under qemu-user, set up so that the
# Python suite runs on it as on a native one (sourced, not run).

# emulated_wrapper WRAPPER ROOT INTERPRETER: writes WRAPPER, a script that runs
# INTERPRETER under qemu-aarch64 with ROOT as the target's root. qemu is told
# to hand the wrapper's own path to the interpreter as argv[0], so that
# sys.executable is the wrapper and every child started through it (the tests
# start many) is emulated too. The interpreter looks for its library from the
# wrapper's folder up, then where it was built to live: beside Debian's
# interpreter, the wrapper keeps it from this machine's own under /usr.
# ZORF_EMULATED tells the tests what /proc shows them is partly the emulator's.
# Debian builds for arm64 sign return addresses (pointer authentication); the
# emulated processor keeps doing so, with a cheap signature of its own in
# place of the architecture's cipher: the suite takes half the time.
emulated_wrapper() {
  local wrapper=$1 root=$2 interpreter=$3
  local text
  text=$(printf '#!/bin/sh\nZORF_EMULATED=qemu-aarch64; export ZORF_EMULATED\nexec qemu-aarch64 -cpu max,pauth-impdef=on -L %q -0 "$0" %q "$@"\n' \
    "$root" "$interpreter")
  [ "$(cat "$wrapper" 2>/dev/null)" = "$text" ] && return 0
  printf '%s\n' "$text" >"$wrapper.new"
  chmod +x "$wrapper.new"
  mv "$wrapper.new" "$wrapper"
}

# emulated_bytecode STAMP PYTHON FOLDER...: compiles the Python files under the
# folders once: STAMP, which belongs inside what was compiled so that it goes
# when that is made anew, records it. Without bytecode every emulated start
# compiles what it imports, about 17 seconds. This machine's python3.14 does
# the work in seconds when its bytecode is the target's (same magic number);
# else the emulated PYTHON does, slowly.
emulated_bytecode() {
  local stamp=$1 python=$2
  shift 2
  [ -f "$stamp" ] && return 0
  local magic='import _imp; print(_imp.pyc_magic_number_token)'
  local target host=""
  target=$("$python" -I -S -c "$magic")
  if command -v python3.14 >/dev/null; then host=$(python3.14 -I -S -c "$magic" 2>/dev/null || true); fi
  local -a compile
  if [ "$host" = "$target" ]; then
    compile=(python3.14 -m compileall -q -j0)
  else
    echo "$(basename "$0"): compiling the standard library under emulation, this machine's bytecode" \
      "differs (${host:-no python3.14} against $target); a few minutes" >&2
    compile=("$python" -m compileall -q)
  fi
  local out
  out=$("${compile[@]}" "$@" 2>&1) || { printf '%s\n' "$out" >&2; return 1; }
  printf '%s\n' "$target" >"$stamp"
}

# emulated_site TARGET ABI PACKAGE...: the packages for CPython 3.14 on 64-bit
# Arm Linux, ABI cp314 or cp314t, installed into TARGET by this machine's pip
# (the project's .venv), which also compiles them. Wheels only: nothing can be
# built for the target here. Nothing is done when TARGET already holds them.
emulated_site() {
  local target=$1 abi=$2
  shift 2
  [ "$(cat "$target/.packages" 2>/dev/null)" = "$abi $*" ] && return 0
  echo "$(basename "$0"): installing $* ($abi, aarch64) into $target" >&2
  rm -rf "$target"
  local out
  out=$(.venv/bin/python -m pip install -q --disable-pip-version-check --target "$target" \
    --platform manylinux_2_17_aarch64 --python-version 3.14 --implementation cp --abi "$abi" \
    --only-binary=:all: "$@" 2>&1) || { printf '%s\n' "$out" >&2; return 1; }
  printf '%s\n' "$abi $*" >"$target/.packages"
}

# emulated_host_view ROOT FOLDER...: this machine's folders (and the mounts
# below them) at their own paths inside ROOT. qemu's -L looks a guest's
# absolute path up under ROOT first, and "/" is always there: a walk that
# opens "/" and then goes on relative to it (as the module's cache look-up
# does where openat2 is missing, as under this qemu) would see ROOT's
# folders, not this machine's /tmp. Call it inside a private mount namespace
# (arm64_test.sh enters one), so that the binds end with the run.
emulated_host_view() {
  local root=$1 folder
  shift
  for folder in "$@"; do
    mkdir -p "$root$folder"
    mount --rbind "$folder" "$root$folder"
  done
}
