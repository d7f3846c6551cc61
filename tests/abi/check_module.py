"""Checks a built extension module's object file: it exports PyInit_zorf_lib
and nothing else, and calls PyUnstable_Module_SetGIL exactly when it is built
for the free-threaded ABI (a default build has no GIL to declare). For a
cross build, also its machine and the libraries it needs.

usage: check_module.py [--tools PREFIX] [--machine NAME] [--needs-only LIB,...] MODULE...

The ABI comes from the file name ("cpython-314t-..." is free-threaded).
PREFIX names the binutils ("aarch64-linux-gnu-" for a cross build).
"""

import argparse
import re
import subprocess
import sys


def symbols(nm, module, *which):
    out = subprocess.run([nm, "-D", *which, module], check=True, capture_output=True, text=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.split()]


def problems(module, tools, machine, needs_only):
    free_threaded = re.search(r"\.cpython-\d+t-", module) is not None
    exports = symbols(tools + "nm", module, "--defined-only")
    if exports != ["PyInit_zorf_lib"]:
        yield f"exports more than PyInit_zorf_lib: {' '.join(exports)}"
    set_gil = symbols(tools + "nm", module, "--undefined-only").count("PyUnstable_Module_SetGIL")
    if free_threaded and set_gil != 1:
        yield "free-threaded, yet never calls PyUnstable_Module_SetGIL"
    if not free_threaded and set_gil:
        yield "default ABI, yet calls PyUnstable_Module_SetGIL"
    readelf = tools + "readelf"
    if machine:
        header = subprocess.run([readelf, "-h", module], check=True, capture_output=True, text=True).stdout
        if not re.search(rf"^ *Machine: +{re.escape(machine)}$", header, re.M):
            yield f"not an {machine} ELF file"
    if needs_only:
        dynamic = subprocess.run([readelf, "-d", module], check=True, capture_output=True, text=True).stdout
        extra = sorted(set(re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic)) - set(needs_only))
        if extra:
            yield f"needs more than {', '.join(needs_only)}: {' '.join(extra)}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tools", default="", help="binutils prefix")
    parser.add_argument("--machine", help="the ELF machine the module must be built for")
    parser.add_argument("--needs-only", type=lambda text: text.split(","), help="the libraries it may need")
    parser.add_argument("modules", nargs="+")
    args = parser.parse_args()
    failed = False
    for module in args.modules:
        found = list(problems(module, args.tools, args.machine, args.needs_only))
        for problem in found:
            print(f"{module}: {problem}", file=sys.stderr)
        failed = failed or bool(found)
        if not found:
            print(f"{module}: exports only PyInit_zorf_lib, declares the GIL as its ABI wants"
                  + (f", {args.machine}" if args.machine else "")
                  + (", needs only the runtime and BLAKE3" if args.needs_only else ""))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
