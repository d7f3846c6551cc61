"""What the checks ask of an interpreter, answered by that interpreter.

usage: interpreter.py QUESTION [ARG]

  module          prints where `import zorf_lib` finds the module
  headers         prints the multiarch name, the include folder and pyconfig.h's folder
  gil-stays-off   fails unless this is a free-threaded build and importing zorf_lib leaves the GIL off
  tsan-build      fails unless this is a free-threaded CPython 3.14 built with ThreadSanitizer
                  that finds the thread tests' packages
  race LIBRARY    calls race() in LIBRARY (tests/sanitizers/race_canary.cpp)
"""

import ctypes
import os
import sys
import sysconfig


def module():
    import zorf_lib

    print(zorf_lib.__file__)


def headers():
    print(sysconfig.get_config_var("MULTIARCH"), sysconfig.get_config_var("INCLUDEPY"),
          os.path.dirname(sysconfig.get_config_h_filename()))


def gil_stays_off():
    assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
    import zorf_lib  # noqa: F401

    assert not sys._is_gil_enabled(), "importing zorf_lib enabled the GIL"


def tsan_build():
    assert sys.version_info[:2] == (3, 14), sys.version
    assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
    assert "--with-thread-sanitizer" in sysconfig.get_config_var("CONFIG_ARGS"), "not built with TSan"
    import blake3, pytest, pytest_run_parallel  # noqa: E401, F401


def race(library):
    ctypes.CDLL(library).race()


QUESTIONS = {"module": module, "headers": headers, "gil-stays-off": gil_stays_off, "tsan-build": tsan_build,
             "race": race}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in QUESTIONS:
        sys.exit(__doc__)
    QUESTIONS[sys.argv[1]](*sys.argv[2:])
