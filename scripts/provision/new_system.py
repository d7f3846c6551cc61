"""A brand-new Debian 12 system for the wheel install check, kept as a
tarball; part of the set-up (scripts/setup.sh), run as root by the project's
.venv, after debootstrap is installed.

usage: new_system.py TARBALL MIRROR PACKAGE...

A debootstrap of Debian 12 (minbase) with the packages installed from the
unstable suite (this machine's package sources and pins), fetched from MIRROR, and nothing else of
this machine, made once. The check unpacks it afresh each run: there the
wheels must work without libblake3, so it fails here if that came along.
"""

import glob
import os
import shutil
import subprocess
import sys
import tempfile


def make(staging, mirror, packages, log):
    def run(*command):
        subprocess.run(command, check=True, stdout=log, stderr=subprocess.STDOUT)

    run("debootstrap", "--variant=minbase", "bookworm", staging, mirror)
    os.unlink(os.path.join(staging, "etc/apt/sources.list"))
    for folder in ["sources.list.d", "preferences.d"]:
        shutil.copytree(f"/etc/apt/{folder}", os.path.join(staging, "etc/apt", folder), dirs_exist_ok=True)
    for path in ["/etc/apt/sources.list", "/etc/resolv.conf"]:
        if os.path.exists(path):
            shutil.copy(path, os.path.join(staging, path[1:]))
    chroot = ["chroot", staging, "/usr/bin/env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
              "DEBIAN_FRONTEND=noninteractive"]
    run("mount", "-t", "proc", "proc", os.path.join(staging, "proc"))
    try:
        run(*chroot, "apt-get", "update")
        run(*chroot, "apt-get", "install", "-y", "-o", "Dpkg::Options::=--force-overwrite", "-t", "sid", *packages)
    finally:
        run("umount", os.path.join(staging, "proc"))
    libraries = subprocess.run([*chroot, "ldconfig", "-p"], check=True, capture_output=True, text=True).stdout
    if "libblake3" in libraries:
        sys.exit("setup: libblake3 came along into the new system; the wheel check needs one without it")
    # What apt fetched is not part of a new system.
    for pattern in ["var/lib/apt/lists/*", "var/cache/apt/archives/*.deb"]:
        for leftover in glob.glob(os.path.join(staging, pattern)):
            if os.path.isfile(leftover):
                os.unlink(leftover)


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    tarball, mirror, packages = sys.argv[1], sys.argv[2], sys.argv[3:]
    stamp = tarball + ".packages"
    if os.path.exists(tarball) and os.path.exists(stamp) and open(stamp).read().split() == packages:
        return
    print(f"setup: making a Debian 12 system with {' '.join(packages)} (once, about two minutes)", file=sys.stderr)
    os.makedirs(os.path.dirname(tarball), exist_ok=True)
    staging = tempfile.mkdtemp(prefix="zorf-debian.", dir="/var/tmp")
    try:
        with open(tarball + ".log", "w") as log:
            try:
                make(staging, mirror, packages, log)
            except subprocess.CalledProcessError as error:
                log.flush()
                sys.exit(f"{open(tarball + '.log').read()[-3000:]}\nsetup: {error}; log: {tarball}.log")
        subprocess.run(["tar", "-C", staging, "-cf", tarball + ".part", "."], check=True)
        os.replace(tarball + ".part", tarball)
        with open(stamp, "w") as file:
            file.write(" ".join(packages) + "\n")
    finally:
        subprocess.run(["rm", "-rf", "--one-file-system", staging], check=True)


if __name__ == "__main__":
    main()
