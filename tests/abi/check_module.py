"""Checks a built extension module's object file: it exports PyInit_zorf_lib
and nothing else, and calls PyUnstable_Module_SetGIL exactly when it is built
for the free-threaded ABI (a default build has no GIL to declare). For a
cross build, also its machine and the libraries it needs. For a release
module, also that it loads on every Linux with the C library it is tagged for.

usage: check_module.py [--tools PREFIX] [--machine NAME] [--needs-only LIB,...] [--glibc VERSION] MODULE...

The ABI comes from the file name ("cpython-314t-..." is free-threaded).
PREFIX names the binutils ("aarch64-linux-gnu-" for a cross build).

--glibc 2.28 checks what a manylinux_2_28 module must be, beyond what
auditwheel looks at: no symbol version of the C library above 2.28; none of
the C++ runtime or of libgcc at all (GLIBCXX_, CXXABI_, GCC_: the runtime is
linked in, since older systems have older ones); no undefined symbol without
a version but the interpreter's own C API (the loader takes such a symbol
from whatever library has it, or fails the import, and auditwheel counts
none of them); and the C++ runtime's exception state in static TLS, its
dynamic-TLS copy not linked (see src/python/exception_globals.cpp).
"""

import argparse
import re
import subprocess
import sys

# Relocations and the function of dynamic TLS, which the loader allocates on a
# thread's first use and aborts the process when it cannot.
DYNAMIC_TLS = re.compile(r"DTPMOD|TLSDESC|TLSGD|TLSLD")
RUNTIME_VERSIONS = re.compile(r"^(GLIBCXX|CXXABI|GCC)_")
PYTHON_API = re.compile(r"^_?Py")


def symbols(nm, module, *which):
    out = subprocess.run([nm, "-D", *which, module], check=True, capture_output=True, text=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.split()]


def readelf(module, *options):
    # readelf reads every ELF machine; the host's serves cross builds too.
    return subprocess.run(["readelf", "-W", *options, module], check=True, capture_output=True, text=True).stdout


def version_key(version):
    return tuple(int(part) for part in version.split("."))


def needed_versions(module):
    return re.findall(r"Name: (\S+)\s+Flags", readelf(module, "-V"))


def newest_glibc(needed):
    return max((name[len("GLIBC_"):] for name in needed if re.fullmatch(r"GLIBC_[0-9.]+", name)),
               key=version_key, default=None)


def release_problems(module, glibc):
    needed = needed_versions(module)
    newest = newest_glibc(needed)
    if newest and version_key(newest) > version_key(glibc):
        yield f"needs GLIBC_{newest}, newer than the {glibc} it is built for"
    if "GLIBC_PRIVATE" in needed:
        yield "needs GLIBC_PRIVATE, which no other build of the C library offers"
    runtime = sorted({name for name in needed if RUNTIME_VERSIONS.match(name)})
    if runtime:
        yield f"needs the system's C++ runtime or libgcc: {' '.join(runtime)}"
    undefined, unversioned = set(), set()
    for line in readelf(module, "--dyn-syms").splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(fields) < 8 or fields[6] != "UND":
            continue
        name, bind = fields[7], fields[4]
        undefined.add(name.split("@")[0])
        if "@" not in name and bind != "WEAK" and not PYTHON_API.match(name):
            unversioned.add(name)
    if unversioned:
        yield f"undefined symbols without a version: {' '.join(sorted(unversioned))}"
    dynamic = sorted(set(DYNAMIC_TLS.findall(readelf(module, "-r"))) | ({"__tls_get_addr"} & undefined))
    if dynamic:
        yield f"uses dynamic TLS ({' '.join(dynamic)}): the C++ runtime's own exception state"
    if not re.search(r"^ *TLS ", readelf(module, "-l"), re.M):
        yield "has no static TLS of its own: the exception state would be the runtime's"


def problems(module, tools, machine, needs_only, glibc):
    free_threaded = re.search(r"\.cpython-\d+t-", module) is not None
    exports = symbols(tools + "nm", module, "--defined-only")
    if exports != ["PyInit_zorf_lib"]:
        yield f"exports more than PyInit_zorf_lib: {' '.join(exports)}"
    set_gil = symbols(tools + "nm", module, "--undefined-only").count("PyUnstable_Module_SetGIL")
    if free_threaded and set_gil != 1:
        yield "free-threaded, yet never calls PyUnstable_Module_SetGIL"
    if not free_threaded and set_gil:
        yield "default ABI, yet calls PyUnstable_Module_SetGIL"
    if machine:
        if not re.search(rf"^ *Machine: +{re.escape(machine)}$", readelf(module, "-h"), re.M):
            yield f"not an {machine} ELF file"
    if needs_only:
        extra = sorted(set(re.findall(r"\(NEEDED\).*\[(.*)\]", readelf(module, "-d"))) - set(needs_only))
        if extra:
            yield f"needs more than {', '.join(needs_only)}: {' '.join(extra)}"
    if glibc:
        yield from release_problems(module, glibc)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tools", default="", help="binutils prefix")
    parser.add_argument("--machine", help="the ELF machine the module must be built for")
    parser.add_argument("--needs-only", type=lambda text: text.split(","), help="the libraries it may need")
    parser.add_argument("--glibc", help="the C library version a release module is built for")
    parser.add_argument("modules", nargs="+")
    args = parser.parse_args()
    failed = False
    for module in args.modules:
        found = list(problems(module, args.tools, args.machine, args.needs_only, args.glibc))
        for problem in found:
            print(f"{module}: {problem}", file=sys.stderr)
        failed = failed or bool(found)
        if not found:
            print(f"{module}: exports only PyInit_zorf_lib, declares the GIL as its ABI wants"
                  + (f", {args.machine}" if args.machine else "")
                  + (f", needs only {' '.join(args.needs_only)}" if args.needs_only else "")
                  + (f", needs GLIBC_{newest_glibc(needed_versions(module))} at most and no C++ runtime, "
                     "its exception state in static TLS" if args.glibc else ""))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
