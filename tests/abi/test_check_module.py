"""The release checks of check_module.py, fed small modules built here with
this machine's compiler, whose C library is newer than 2.28: each fault a
release module could carry must fail the check, and a module without them
must pass it. Run by the wheels session before it checks the wheels."""

import subprocess
import sys
from pathlib import Path

import pytest

CHECKER = Path(__file__).resolve().parent / "check_module.py"
EXPORT = '__attribute__((visibility("default")))'
# The module's own exception state: initial-exec TLS, as exception_globals.cpp has it.
STATE = '__thread int state __attribute__((tls_model("initial-exec")));'

CASES = {
    "sound": ("c", f"#include <stdlib.h>\n{STATE}\n{EXPORT} void* PyInit_zorf_lib(void) {{ state = 1; return malloc(1); }}",
              [], None),
    # arc4random came with glibc 2.36.
    "newer symbol": ("c", f"#include <stdlib.h>\n{STATE}\n{EXPORT} unsigned PyInit_zorf_lib(void) {{ return arc4random(); }}",
                     [], "needs GLIBC_2.36, newer than the 2.28 it is built for"),
    # What GCC's C++ runtime archives reference when built for a newer glibc,
    # left unversioned when the link does not see the C library.
    "unversioned symbol": ("c", f"extern char __libc_single_threaded;\n{STATE}\n"
                                f"{EXPORT} char PyInit_zorf_lib(void) {{ return __libc_single_threaded; }}",
                           ["-nostdlib"], "undefined symbols without a version: __libc_single_threaded"),
    "shared C++ runtime": ("c++", f"#include <string>\n{STATE}\n"
                                  f'extern "C" {EXPORT} unsigned long PyInit_zorf_lib() {{ return std::to_string(state).size(); }}',
                           [], "needs the system's C++ runtime or libgcc: "),
    "dynamic TLS": ("c", f"__thread int state;\n{EXPORT} int PyInit_zorf_lib(void) {{ return ++state; }}",
                    [], "uses dynamic TLS"),
}


@pytest.mark.parametrize("case", CASES)
def test_release_check(case, tmp_path):
    language, source, flags, problem = CASES[case]
    path = tmp_path / f"module.{language.replace('+', 'p')}"
    path.write_text(source + "\n")
    module = tmp_path / "zorf_lib.cpython-314-x86_64-linux-gnu.so"
    compiler = "cc" if language == "c" else "c++"
    subprocess.run([compiler, "-shared", "-fPIC", "-fvisibility=hidden", "-O1", *flags, str(path), "-o", str(module)],
                   check=True)
    done = subprocess.run([sys.executable, CHECKER, "--glibc", "2.28", module], capture_output=True, text=True)
    if problem is None:
        assert (done.returncode, done.stderr) == (0, ""), done.stderr
    else:
        assert done.returncode == 1
        assert problem in done.stderr, done.stderr
