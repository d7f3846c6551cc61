# CPython built from a release source tarball, once per machine (sourced, not
# run; needs scripts/lib/apt.sh and scripts/lib/arm64_root.sh). Free-threaded
# builds are not packaged for Debian 12, and one takes 4 to 30 minutes on two
# cores, so each build is kept in a cache keyed by the tarball's checksum and
# the flavour: $ZORF_CACHE_DIR, else zorf_lib under the user's cache folder.
#
#   free-threaded          ./configure --disable-gil
#   free-threaded-tsan     ./configure --disable-gil --with-thread-sanitizer
#   free-threaded-aarch64  ./configure --disable-gil, cross-built for 64-bit
#                          Arm Linux; runs under qemu
zorf_cache=${ZORF_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zorf_lib}

# cpython_build TARBALL FLAVOUR: builds unless the cache has it; prints the
# interpreter's path and nothing else. Progress goes to standard error, the
# build's output to a log beside the cached build.
cpython_build() { cpython_build_to_fd3 "$@" 3>&1 1>&2; }
cpython_build_to_fd3() {
  local tarball flavour=$2 cache=$zorf_cache/cpython
  tarball=$(realpath "$1")
  local prefix=$cache/$(basename "$tarball" .tar.xz)-$(sha256sum "$tarball" | cut -c1-16)-$flavour
  mkdir -p "$cache"
  if [ ! -f "$prefix/.complete" ]; then
    # What the interpreter needs for ssl (pip), zlib (wheels), ctypes and the
    # compression modules, agreeing with the unstable suite's C library.
    apt_install_sid make xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev uuid-dev libzstd-dev
    local -a flags=(--disable-gil) launch=()
    case $flavour in
      free-threaded) ;;
      # The build runs instrumented programs (configure's checks, then the
      # new interpreter): without address space randomisation where it trips
      # TSan (see tsan_launch in noxfile.py).
      free-threaded-tsan)
        flags+=(--with-thread-sanitizer)
        printf 'int main(void) { return 0; }\n' >"$cache/tsan-probe.c"
        cc -fsanitize=thread "$cache/tsan-probe.c" -o "$cache/tsan-probe"
        [[ $("$cache/tsan-probe" 2>&1 || true) != *'unexpected memory mapping'* ]] || launch=(setarch "$(uname -m)" -R) ;;
      free-threaded-aarch64) cpython_aarch64_flags "$tarball" "$cache" ;;
      *) echo "setup: unknown CPython flavour '$flavour'" >&2; exit 2 ;;
    esac
    local work log=$prefix.log start=$SECONDS
    work=$(mktemp -d "$cache/build.XXXXXX")
    echo "$(basename "$0"): building CPython ($flavour) into $prefix, 4 to 30 minutes on two cores; log: $log" >&2
    if ! (tar -C "$work" -xf "$tarball" && cd "$work"/*/ \
      && "${launch[@]}" ./configure --prefix="$prefix" --with-ensurepip=no "${flags[@]}" \
      && "${launch[@]}" make -j"$(nproc)" && rm -rf "$prefix" && "${launch[@]}" make install) >"$log" 2>&1; then
      tail -n 40 "$log" >&2
      rm -rf "$work"
      echo "$(basename "$0"): the CPython build failed; full log: $log" >&2
      exit 1
    fi
    rm -rf "$work"
    touch "$prefix/.complete"
    echo "$(basename "$0"): built in $((SECONDS - start)) s" >&2
  fi
  local python
  python=$(find "$prefix/bin" -maxdepth 1 -name 'python3.*t' -type f | head -n 1)
  [ -x "$python" ] || { echo "$(basename "$0"): no python3.*t under $prefix/bin" >&2; exit 1; }
  echo "$python" >&3
}

# cpython_aarch64_flags TARBALL CACHE: adds the cross build's configure flags.
# It runs an interpreter of the same version on this machine to freeze modules
# and compile the installed library: the free-threaded build. The target's
# libraries are Debian's arm64 development packages, unpacked under CACHE:
# under qemu the interpreter then finds the same libraries among those of
# Debian's own arm64 python3.14.
cpython_aarch64_flags() {
  local tarball=$1 cache=$2 build_python
  apt_install gcc-aarch64-linux-gnu pkg-config
  build_python=$(cpython_build "$tarball" free-threaded)
  local root=$cache/aarch64-sysroot
  arm64_root "$root" libc6-dev libffi-dev libssl-dev zlib1g-dev libbz2-dev liblzma-dev libzstd-dev uuid-dev
  local lib=$root/usr/lib/aarch64-linux-gnu
  # The cross compiler looks in its own copy of an older C library (in
  # /usr/aarch64-linux-gnu) before the sysroot, and the unstable suite's
  # libraries need the newer one: the root's headers, start files and
  # libraries are named first.
  local cc="aarch64-linux-gnu-gcc --sysroot=$root -isystem $root/usr/include/aarch64-linux-gnu"
  cc+=" -isystem $root/usr/include -B$lib/ -L$lib"
  # What configure cannot learn without running target programs.
  printf '%s\n' ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no >"$cache/aarch64-config.site"
  flags+=(--host=aarch64-linux-gnu --build="$(gcc -dumpmachine)" --with-build-python="$build_python"
    CC="$cc" CONFIG_SITE="$cache/aarch64-config.site" PKG_CONFIG=pkg-config PKG_CONFIG_SYSROOT_DIR="$root"
    PKG_CONFIG_LIBDIR="$lib/pkgconfig:$root/usr/share/pkgconfig")
}
