"""The oldest Debian system the release wheels are tried on, kept as a
tarball; part of the set-up (scripts/setup.sh release), run as root by the
project's .venv, after debootstrap is installed.

usage: new_system.py TARBALL MIRROR CPYTHON_TARBALL

Debian 11 (bullseye, glibc 2.31), the oldest release the package archive
still serves: a debootstrap (minbase) from MIRROR, with CPython 3.14 built in
it from CPYTHON_TARBALL twice, the default build in /opt/python3.14 and the
free-threaded one in /opt/python3.14t (Debian 11 packages neither). The
compiler and the development packages are removed again afterwards, the
interpreters' run-time libraries kept: what is left is a new system with a
Python, as a user's would be. Made once; the wheel check unpacks a fresh copy
each run. When the archive no longer serves Debian 11, this says so and
stops.
"""

import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.request

SUITE = "bullseye"
# What CPython's build needs for the modules pip and venv use (zlib, ssl,
# ctypes, the compression modules), and the run-time libraries they leave.
BUILD_PACKAGES = ["gcc", "make", "libc6-dev", "pkg-config", "xz-utils", "zlib1g-dev", "libssl-dev", "libffi-dev",
                  "libbz2-dev", "liblzma-dev", "uuid-dev"]
RUNTIME_PACKAGES = ["zlib1g", "libssl1.1", "libffi7", "libbz2-1.0", "liblzma5", "libuuid1", "ca-certificates"]
BUILDS = {"/opt/python3.14": [], "/opt/python3.14t": ["--disable-gil"]}


def make(staging, mirror, cpython, log):
    def run(*command):
        subprocess.run(command, check=True, stdout=log, stderr=subprocess.STDOUT)

    try:
        urllib.request.urlopen(f"{mirror}/dists/{SUITE}/Release", timeout=120).close()
    except OSError:
        sys.exit(f"setup: {mirror} no longer serves Debian 11 ({SUITE}); the wheels' check on the oldest "
                 "system cannot run here (CONTRIBUTING.md, Release, says how to run it elsewhere)")
    run("debootstrap", "--variant=minbase", SUITE, staging, mirror)
    chroot = ["chroot", staging, "/usr/bin/env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root",
              "DEBIAN_FRONTEND=noninteractive", "LANG=C.UTF-8"]
    shutil.copy(cpython, os.path.join(staging, "tmp/cpython.tar.xz"))
    for folder in ["proc", "dev"]:
        run("mount", "--bind", f"/{folder}", os.path.join(staging, folder))
    try:
        run(*chroot, "apt-get", "update")
        run(*chroot, "apt-get", "install", "-y", "--no-install-recommends", *BUILD_PACKAGES, *RUNTIME_PACKAGES)
        run(*chroot, "apt-mark", "manual", *RUNTIME_PACKAGES)
        for prefix, flags in BUILDS.items():
            print(f"setup: building CPython into {prefix} there", file=sys.stderr)
            script = (f"set -e; rm -rf /tmp/build; mkdir /tmp/build; cd /tmp/build; tar -xf /tmp/cpython.tar.xz; "
                      f"cd */; ./configure --prefix={prefix} --with-ensurepip=no --disable-test-modules "
                      f"{' '.join(flags)}; make -j{os.cpu_count()}; make install")
            run(*chroot, "/bin/sh", "-c", script)
        run(*chroot, "apt-get", "purge", "-y", "--auto-remove", *BUILD_PACKAGES)
        run(*chroot, "apt-get", "clean")
    finally:
        for folder in ["dev", "proc"]:
            subprocess.run(["umount", "-l", os.path.join(staging, folder)])
    # The static libraries are for embedding: 400 MB that no wheel check needs.
    for leftover in ["tmp/build", "tmp/cpython.tar.xz", *glob.glob("opt/*/lib/**/libpython*.a", root_dir=staging,
                                                                    recursive=True)]:
        path = os.path.join(staging, leftover)
        shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
    shutil.rmtree(os.path.join(staging, "var/lib/apt/lists"))
    os.makedirs(os.path.join(staging, "var/lib/apt/lists/partial"))
    for python in ["/opt/python3.14/bin/python3.14", "/opt/python3.14t/bin/python3.14t"]:
        subprocess.run([*chroot, python, "-c", "import ssl, zlib, ctypes, venv"], check=True)
    if subprocess.run([*chroot, "sh", "-c", "command -v cc"], capture_output=True).returncode == 0:
        sys.exit("setup: a C compiler is left in the new system")


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    tarball, mirror, cpython = sys.argv[1:]
    with open(cpython, "rb") as source:
        key = (f"{SUITE} {hashlib.sha256(source.read()).hexdigest()} {' '.join(BUILD_PACKAGES + RUNTIME_PACKAGES)} "
               f"{BUILDS}")
    stamp = tarball + ".stamp"
    if os.path.exists(tarball) and os.path.exists(stamp) and open(stamp).read().strip() == key:
        return
    print("setup: making a Debian 11 system with CPython 3.14 built in it, both builds (once: it builds CPython "
          f"twice); log: {tarball}.log", file=sys.stderr)
    os.makedirs(os.path.dirname(tarball), exist_ok=True)
    staging = tempfile.mkdtemp(prefix="zorf-debian.", dir="/var/tmp")
    try:
        with open(tarball + ".log", "w") as log:
            try:
                make(staging, mirror, cpython, log)
            except subprocess.CalledProcessError as error:
                log.flush()
                sys.exit(f"{open(tarball + '.log').read()[-3000:]}\nsetup: {error}; log: {tarball}.log")
        subprocess.run(["tar", "-C", staging, "-cf", tarball + ".part", "."], check=True)
        os.replace(tarball + ".part", tarball)
        with open(stamp, "w") as file:
            file.write(key + "\n")
    finally:
        subprocess.run(["rm", "-rf", "--one-file-system", staging], check=True)


if __name__ == "__main__":
    main()
