"""Runs a command in a mount namespace of its own in which this machine's
folders are also found at their own paths inside an emulated target's root.

qemu-user's -L looks a guest's absolute path up under the target's root
first, and "/" is always there: a walk that opens "/" and then goes on
relative to it (as the module's cache look-up does where openat2 is missing,
as under this qemu) would see the root's folders, not this machine's /tmp.
The binds end with the command. Needs root.

usage: host_view.py ROOT [--over FOLDER] -- COMMAND...

--over FOLDER: ROOT stands in for FOLDER (qemu's root for the C++ tests is
the cross C library's folder): FOLDER's own bin, include and lib are bound
into ROOT, and ROOT over FOLDER.
"""

import argparse
import os
import subprocess
import sys

HOST_FOLDERS = ["/tmp", "/var/tmp", "/dev", "/proc", "/sys"]


def mount(*args):
    subprocess.run(["mount", *args], check=True)


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\nusage: ")[1].splitlines()[0])
    parser.add_argument("root")
    parser.add_argument("--over")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("host_view: run as root (the emulated runs need a mount namespace)")
    os.unshare(os.CLONE_NEWNS)
    mount("--make-rprivate", "/")
    root = os.path.abspath(args.root)
    checkout = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    for folder in [*HOST_FOLDERS, checkout]:
        os.makedirs(root + folder, exist_ok=True)
        mount("--rbind", folder, root + folder)
    if args.over:
        for part in ["bin", "include", "lib"]:
            os.makedirs(os.path.join(root, part), exist_ok=True)
            mount("--bind", os.path.join(args.over, part), os.path.join(root, part))
        mount("--rbind", root, args.over)
    os.execvp(args.command[0], args.command)


if __name__ == "__main__":
    main()
