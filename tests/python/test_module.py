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
try:
    import zorf_lib
except ImportError as exc:
    outcome = ("ImportError", str(exc))
else:
    outcome = ("imported", "")
"""
iid = _interpreters.create(_interpreters.new_config("legacy"))
_interpreters.exec(iid, code)
_interpreters.exec(iid, "import json; print(json.dumps(outcome), flush=True)")
_interpreters.destroy(iid)
print(json.dumps(zorf_lib.get_gpu_node_id(sys.argv[1])))
'''


def test_second_interpreter_is_refused(tmp_path):
    # The legacy configuration lets the import reach PyInit_zorf_lib, which refuses.
    proc = subprocess.run([sys.executable, "-c", SUBINTERPRETER, str(tmp_path / "cache")],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    sub, main = proc.stdout.splitlines()
    raised, message = json.loads(sub)
    assert raised == "ImportError"
    assert "do not yet support subinterpreters" in message
    assert main == '"cached in the main interpreter"'


def test_import_touches_no_nvml(nvml):
    outcome = nvml.run("emit(sorted(vars(zorf_lib)))")
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
