# The configure arguments of a CPython cross-built for 64-bit Arm Linux, the
# free-threaded-aarch64 flavour of scripts/cpython.sh (sourced, not run; needs
# scripts/lib/apt.sh and scripts/lib/arm64_root.sh).

# cpython_aarch64_configure TARBALL CACHE: sets the array cpython_aarch64_args.
#
# A cross build runs an interpreter of the same version on this machine to
# freeze modules and compile the installed library: the free-threaded one
# from TARBALL, built (once) by scripts/cpython.sh. The target's libraries
# are Debian's arm64 development packages from the unstable suite, unpacked
# under CACHE: under qemu-aarch64 the interpreter then finds the same
# libraries among those of Debian's own arm64 python3.14.
cpython_aarch64_configure() {
  local tarball=$1 cache=$2
  apt_install gcc-aarch64-linux-gnu pkg-config
  local build_python
  build_python=$(bash scripts/cpython.sh "$tarball" free-threaded)
  local root=$cache/aarch64-sysroot
  arm64_root "$root" libc6-dev libffi-dev libssl-dev zlib1g-dev libbz2-dev liblzma-dev libzstd-dev uuid-dev
  local lib=$root/usr/lib/aarch64-linux-gnu
  # The cross compiler looks in its own copy of an older C library (in
  # /usr/aarch64-linux-gnu) before the sysroot, and the unstable suite's
  # libraries need the newer one; the root's headers, start files and
  # libraries are named first.
  local cc="aarch64-linux-gnu-gcc --sysroot=$root -isystem $root/usr/include/aarch64-linux-gnu"
  cc+=" -isystem $root/usr/include -B$lib/ -L$lib"
  # What configure cannot learn without running target programs.
  local site=$cache/aarch64-config.site
  printf '%s\n' ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no >"$site"
  cpython_aarch64_args=(--host=aarch64-linux-gnu --build="$(gcc -dumpmachine)" --with-build-python="$build_python"
    CC="$cc" CONFIG_SITE="$site" PKG_CONFIG=pkg-config PKG_CONFIG_SYSROOT_DIR="$root"
    PKG_CONFIG_LIBDIR="$lib/pkgconfig:$root/usr/share/pkgconfig")
}
