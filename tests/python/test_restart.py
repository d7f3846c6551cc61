"""An application that embeds CPython may finalise the runtime and start a new
one in the same process; zorf_lib must then work in the new runtime as in the
first, never hand out the old runtime's module or exception class."""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import zorf_lib
from conftest import EMULATED, TESTS_DIR, UUIDS, node_id_of

ROUNDS = 3

ROUND = r'''
import importlib, os, sys, zorf_lib
round = int(os.environ["ZORF_ROUND"])
assert zorf_lib.__all__ == ["get_gpu_node_id"], zorf_lib.__all__
assert importlib.import_module("zorf_lib") is zorf_lib
try:
    zorf_lib.get_gpu_node_id(5)
except TypeError as exc:
    assert str(exc) == "argument 'cache_file_path': 'int' object cannot be cast as 'str'", exc
path = os.environ["ZORF_CACHE"] + str(round)
if os.environ["ZORF_EXPECT"] == "panic":
    try:
        zorf_lib.get_gpu_node_id(path)
    except BaseException as exc:
        assert type(exc).__module__ + "." + type(exc).__name__ == "vorn_runtime.PanicException", repr(exc)
        assert not isinstance(exc, Exception)
    else:
        raise AssertionError("no PanicException")
else:
    first = zorf_lib.get_gpu_node_id(path)
    assert first == zorf_lib.get_gpu_node_id(path) == os.environ["ZORF_EXPECT"], first
print("round", round, "ok", flush=True)
'''


def python_config():
    name = f"python{sysconfig.get_config_var('LDVERSION')}-config"
    config = Path(sysconfig.get_config_var("BINDIR")) / name
    if not config.exists():
        pytest.skip(f"{name} is not installed")
    return str(config)


@pytest.fixture(scope="module")
def embed_restart(tmp_path_factory):
    if EMULATED:
        # cc and python3.14-config would be this machine's, which make no program
        # for the emulated target, and none could start here without qemu.
        pytest.skip(f"the embedding program cannot be built for an interpreter under {EMULATED}")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    config = python_config()
    # The compiler must not inherit a sanitizer runtime preloaded for the tests.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    flags = subprocess.run([config, "--includes"], env=env, capture_output=True, text=True, check=True).stdout.split()
    libs = subprocess.run([config, "--embed", "--ldflags"], env=env, capture_output=True, text=True,
                          check=True).stdout.split()
    program = tmp_path_factory.mktemp("embed") / "embed_restart"
    # Exported symbols: a statically linked runtime must still serve the module.
    subprocess.run([compiler, *flags, str(TESTS_DIR / "embed_restart.c"), "-o", str(program), "-rdynamic", *libs],
                   env=env, check=True, capture_output=True, text=True)
    return program


@pytest.mark.parametrize(("variant", "expect"), [
    ("full", node_id_of(UUIDS)),
    # The exception class is made anew in each runtime, as the module is.
    ("without_shutdown", "panic"),
])
def test_module_works_in_every_restarted_runtime(embed_restart, fake_nvml_dir, tmp_path, variant, expect):
    config = tmp_path / "nvml.conf"
    config.write_text("".join(f"uuid_text {uuid}\n" for uuid in UUIDS))
    env = dict(os.environ,
               PYTHONPATH=str(Path(zorf_lib.__file__).parent),
               LD_LIBRARY_PATH=str(fake_nvml_dir / variant),
               FAKE_NVML_CONFIG=str(config),
               ZORF_CACHE=str(tmp_path / "cache"),
               ZORF_EXPECT=expect)
    proc = subprocess.run([str(embed_restart), ROUND, str(ROUNDS)], env=env, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    assert proc.stdout.splitlines() == [f"round {n} ok" for n in range(1, ROUNDS + 1)] + [f"{ROUNDS} rounds"]
