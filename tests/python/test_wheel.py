"""The release wheel: built by `pip wheel .`, tagged for the interpreter that
built it, and installable into a fresh virtual environment."""

import os
import subprocess
import sys
import sysconfig
import venv
import zipfile
from pathlib import Path

import pytest

from conftest import EMULATED, UUIDS, node_id_of

ROOT = Path(__file__).resolve().parents[2]

# Under emulation pip and scikit-build-core would hand the build to this
# machine's CMake and compiler: an x86_64 module under an aarch64 name. The
# Arm release wheels are cross-built (nox -s wheels) and installed
# under emulation by nox -s wheel-install.
pytestmark = pytest.mark.skipif(bool(EMULATED), reason=f"no wheel builds for an interpreter under {EMULATED}")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q",
         "-w", str(out), str(ROOT)],
        check=True, env=dict(os.environ, PIP_CONFIG_FILE="/dev/null"),
    )
    (built,) = out.glob("zorf_lib-*.whl")
    return built


def test_wheel_is_tagged_for_this_interpreter(wheel):
    abi = "cp314t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "cp314"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    assert wheel.name == f"zorf_lib-0.1.0-cp314-{abi}-{platform}.whl"
    names = zipfile.ZipFile(wheel).namelist()
    assert f"zorf_lib.{sysconfig.get_config_var('SOABI')}.so" in names
    assert "zorf_lib-stubs/__init__.pyi" in names
    licence = "zorf_lib-0.1.0.dist-info/licenses/LICENSE"
    assert zipfile.ZipFile(wheel).read(licence) == (ROOT / "LICENSE").read_bytes()
    assert "License-File: LICENSE" in zipfile.ZipFile(wheel).read("zorf_lib-0.1.0.dist-info/METADATA").decode()
    assert {"zorf_node_id/__init__.py", "zorf_node_id/__main__.py", "zorf_node_id/command.py"} <= set(names)


def test_wheel_installs_into_a_fresh_environment(wheel, tmp_path, scenarios):
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", str(wheel)], check=True,
                   env=dict(os.environ, PIP_CONFIG_FILE="/dev/null"))
    probe = ("import zorf_lib; print(zorf_lib.__file__); "
             "print(zorf_lib.get_gpu_node_id.__text_signature__)")
    out = subprocess.run([python, "-c", probe], check=True, capture_output=True, text=True,
                         cwd=tmp_path).stdout.splitlines()
    assert out[0].startswith(str(env_dir))
    assert out[1] == "(cache_file_path=None)"
    # The console script, found on the PATH by name.
    on_path = {"PATH": f"{env_dir / 'bin'}:{os.environ['PATH']}"}
    proc, _ = scenarios.program(["zorf-node-id", "--cache-file", str(scenarios.path)], env=on_path)
    assert (proc.returncode, proc.stdout) == (0, f"{node_id_of(UUIDS)}\n"), proc.stderr
    proc, _ = scenarios.program(["zorf-node-id", "--version"], env=on_path)
    assert proc.stdout == "zorf-node-id 0.1.0\n"
