"""Makes an arm64 CPython ready to run on this machine under qemu-user; part
of the set-up (scripts/setup.sh), run by the project's .venv.

usage:
  emulated_runtime.py wrapper WRAPPER ROOT INTERPRETER
  emulated_runtime.py bytecode STAMP PYTHON FOLDER...
  emulated_runtime.py site TARGET ABI PACKAGE...

Each does nothing when what it makes is already there and current.
"""

import os
import shlex
import shutil
import subprocess
import sys


def wrapper(path, root, interpreter):
    """Writes PATH, a script that runs INTERPRETER under qemu-aarch64 with ROOT
    as the target's root. qemu hands the wrapper's own path to the interpreter
    as argv[0], so that sys.executable is the wrapper and every child started
    through it (the tests start many) is emulated too. The interpreter looks
    for its library from the wrapper's folder up, then where it was built to
    live: beside Debian's interpreter, the wrapper keeps it from this
    machine's own under /usr. ZORF_EMULATED tells the tests that what /proc
    shows them is partly the emulator's. Debian builds for arm64 sign return
    addresses; the emulated processor keeps doing so with a cheap signature
    of its own in place of the architecture's cipher: the suite takes half
    the time."""
    text = ("#!/bin/sh\nZORF_EMULATED=qemu-aarch64; export ZORF_EMULATED\n"
            f'exec qemu-aarch64 -cpu max,pauth-impdef=on -L {shlex.quote(root)} -0 "$0" '
            f'{shlex.quote(interpreter)} "$@"\n')
    try:
        with open(path) as file:
            if file.read() == text:
                return
    except FileNotFoundError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".new", "w") as file:
        file.write(text)
    os.chmod(path + ".new", 0o755)
    os.replace(path + ".new", path)


def bytecode(stamp, python, *folders):
    """Compiles the Python files under the folders once; STAMP, inside what was
    compiled so that it goes when that is made anew, records it. Without
    bytecode every emulated start compiles what it imports, about 17 s. This
    machine's python3.14 does it in seconds when its bytecode is the target's
    (the same magic number); else the emulated PYTHON does, slowly."""
    if os.path.exists(stamp):
        return
    magic = ["-I", "-S", "-c", "import _imp; print(_imp.pyc_magic_number_token)"]
    target = subprocess.run([python, *magic], check=True, capture_output=True, text=True).stdout
    host = shutil.which("python3.14")
    if host and subprocess.run([host, *magic], capture_output=True, text=True).stdout == target:
        compile_all = [host, "-m", "compileall", "-q", "-j0"]
    else:
        print(f"setup: compiling the standard library under emulation, this machine's bytecode differs; "
              f"a few minutes", file=sys.stderr)
        compile_all = [python, "-m", "compileall", "-q"]
    quiet([*compile_all, *folders])
    with open(stamp, "w") as file:
        file.write(target)


def site(target, abi, *packages):
    """The packages for CPython 3.14 on 64-bit Arm Linux, ABI cp314 or cp314t,
    installed into TARGET by this machine's pip, which also compiles them.
    Wheels only: nothing can be built for the target here."""
    wanted = f"{abi} {' '.join(packages)}\n"
    stamp = os.path.join(target, ".packages")
    if os.path.exists(stamp) and open(stamp).read() == wanted:
        return
    print(f"setup: installing {' '.join(packages)} ({abi}, aarch64) into {target}", file=sys.stderr)
    shutil.rmtree(target, ignore_errors=True)
    quiet([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--target", target,
           "--platform", "manylinux_2_17_aarch64", "--python-version", "3.14", "--implementation", "cp",
           "--abi", abi, "--only-binary=:all:", *packages])
    with open(stamp, "w") as file:
        file.write(wanted)


def quiet(command):
    """Runs COMMAND, showing what it printed only when it fails."""
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"{done.stdout}{done.stderr}setup: {shlex.join(command)} failed")


if __name__ == "__main__":
    actions = {"wrapper": wrapper, "bytecode": bytecode, "site": site}
    if len(sys.argv) < 3 or sys.argv[1] not in actions:
        sys.exit(__doc__)
    actions[sys.argv[1]](*sys.argv[2:])
