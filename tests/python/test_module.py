"""The module as Python sees it: its attributes, repeated and foreign
initialisation, the installed type stubs and the exported symbols."""

import ast
import ctypes
import importlib.util
import inspect
import json
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import zorf_lib

FUNCTION = zorf_lib.get_gpu_node_id


@pytest.mark.parametrize(("value", "expected"), [
    (lambda: zorf_lib.__name__, "zorf_lib"),
    (lambda: zorf_lib.__doc__, ""),
    (lambda: zorf_lib.__all__, ["get_gpu_node_id"]),
    (lambda: type(zorf_lib.__all__), list),
    (lambda: sorted(n for n in dir(zorf_lib) if not n.startswith("_")), ["get_gpu_node_id"]),
    (lambda: hasattr(zorf_lib, "PanicException"), False),
    (lambda: FUNCTION.__name__, "get_gpu_node_id"),
    (lambda: FUNCTION.__text_signature__, "(cache_file_path=None)"),
    (lambda: FUNCTION.__doc__, None),
    (lambda: FUNCTION.__module__, "zorf_lib"),
    (lambda: FUNCTION.__self__ is zorf_lib, True),
    (lambda: type(FUNCTION).__name__, "builtin_function_or_method"),
    (lambda: str(inspect.signature(FUNCTION)), "(cache_file_path=None)"),
])
def test_module_attribute(value, expected):
    assert value() == expected


def test_second_initialisation_returns_the_same_module():
    spec = importlib.util.spec_from_file_location("zorf_lib", zorf_lib.__file__)
    assert importlib.util.module_from_spec(spec) is zorf_lib
    # Straight through the entry point, bypassing the import system's caches.
    init = ctypes.PyDLL(zorf_lib.__file__).PyInit_zorf_lib
    init.restype = ctypes.py_object
    assert init() is zorf_lib
    assert init() is zorf_lib
    assert zorf_lib.__all__ == ["get_gpu_node_id"]
    assert zorf_lib.get_gpu_node_id is FUNCTION


SUBINTERPRETER = r'''
import _interpreters, json, sys, zorf_lib
open(sys.argv[1], "w").write("cached in the main interpreter")
code = """
def attempt(step):
    try:
        step()
    except ImportError as exc:
        return ("ImportError", str(exc))
    return ("imported", "")

def init_directly():
    import ctypes
    init = ctypes.PyDLL(MODULE_FILE).PyInit_zorf_lib
    init.restype = ctypes.py_object
    init()

outcomes = [attempt(lambda: __import__("zorf_lib")), attempt(init_directly)]
""".replace("MODULE_FILE", repr(zorf_lib.__file__))
iid = _interpreters.create(_interpreters.new_config("legacy"))
_interpreters.exec(iid, code)
_interpreters.exec(iid, "import json; print(json.dumps(outcomes), flush=True)")
_interpreters.destroy(iid)
print(json.dumps(zorf_lib.get_gpu_node_id(sys.argv[1])))
'''

OUR_REFUSAL = "do not yet support subinterpreters"
# A free-threaded CPython checks single-phase modules itself, even in a
# legacy-config subinterpreter, and refuses before PyInit_zorf_lib runs.
CPYTHON_REFUSAL = "module zorf_lib does not support loading in subinterpreters"


def test_second_interpreter_is_refused(tmp_path):
    proc = subprocess.run([sys.executable, "-c", SUBINTERPRETER, str(tmp_path / "cache")],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    sub, main = proc.stdout.splitlines()
    (import_raised, import_message), (init_raised, init_message) = json.loads(sub)
    assert import_raised == init_raised == "ImportError"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert import_message == CPYTHON_REFUSAL
    else:
        assert OUR_REFUSAL in import_message
    # The module's own refusal, reached by calling its entry point.
    assert OUR_REFUSAL in init_message
    assert main == '"cached in the main interpreter"'


def test_import_touches_no_nvml(scenarios):
    outcome = scenarios.run("emit(sorted(vars(zorf_lib)))")
    assert "get_gpu_node_id" in outcome.data
    assert outcome.log is None


def test_installed_stub_declares_the_function():
    stub = Path(zorf_lib.__file__).parent / "zorf_lib-stubs" / "__init__.pyi"
    assert stub.is_file(), f"no stubs at {stub}"
    body = ast.parse(stub.read_text()).body
    functions = {n.name: n for n in body if isinstance(n, ast.FunctionDef)}
    assert list(functions) == ["get_gpu_node_id"]
    declared = functions["get_gpu_node_id"]
    assert ast.unparse(declared.args) == "cache_file_path: str | None=None"
    assert ast.unparse(declared.returns) == "str"
    assigned = {t.id: ast.literal_eval(n.value) for n in body if isinstance(n, ast.Assign)
                for t in n.targets if isinstance(t, ast.Name)}
    assert assigned.get("__all__") == zorf_lib.__all__


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", zorf_lib.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_zorf_lib"]
