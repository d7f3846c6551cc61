"""zorf-node-id, run as `python -m zorf_node_id` against the fake NVML: what
it prints, its exit status, and what it leaves in the cache file."""

import importlib.metadata
import json
import os
import sys

import pytest

from conftest import DEFAULT_CONFIG, UUIDS, node_id_of

NODE = node_id_of(UUIDS)
OTHER = node_id_of(UUIDS[:1])


def zorf_node_id(nvml, *args, env=(), **options):
    """The tool's run, with a TMPDIR of its own that it must leave empty."""
    private = nvml.workdir / "tmpdir"
    private.mkdir(exist_ok=True)
    proc, log = nvml.program([sys.executable, "-m", "zorf_node_id", *args], env=dict(env, TMPDIR=str(private)),
                             **options)
    assert not any(private.iterdir())
    return proc, sum(line == "load" for line in log or ())


# Cache contents as text, bytes that are not UTF-8 as lone surrogates.
def write_cache(path, text):
    path.write_bytes(text.encode("utf-8", "surrogateescape"))


def cached(path):
    return path.read_bytes().decode("utf-8", "surrogateescape") if path.exists() else None


# (arguments after --cache-file PATH, cache file before, fake configuration added,
#  status, standard output, end of standard error, NVML loads, cache file after)
CASES = [
    ([], None, (), 0, f"{NODE}\n", "", 1, NODE),
    ([], "planted", (), 0, "planted\n", "", 0, "planted"),
    (["--json"], None, (), 0, {"node_id": NODE, "source": "computed"}, "", 1, NODE),
    (["--json"], OTHER, (), 0, {"node_id": OTHER, "source": "cache"}, "", 0, OTHER),
    (["--check"], NODE, (), 0, f"computed: {NODE}\ncached: {NODE}\n", "", 1, NODE),
    (["--check"], OTHER, (), 3, f"computed: {NODE}\ncached: {OTHER}\n", "delete it to have it computed again\n", 1,
     OTHER),
    (["--check"], "a\nb", (), 3, f"computed: {NODE}\ncached: 'a\\nb'\n", "computed again\n", 1, "a\nb"),
    (["--check"], None, (), 4, f"computed: {NODE}\ncached: none: no file at {{path}}\n", "", 1, None),
    ([], None, ("count 0",), 1, "", "zorf-node-id: No GPUs found\n", 1, None),
    (["--json"], "\udcff", (), 1, "", "zorf-node-id: Failed to read cache file\n", 0, "\udcff"),
    (["--check"], OTHER, ("init_rc 9",), 1, "", "zorf-node-id: Failed to init nvml\n", 1, OTHER),
    (["--json", "--check"], None, (), 2, "", "argument --check: not allowed with argument --json\n", 0, None),
    (["--cache-file"], None, (), 2, "", "argument --cache-file: expected one argument\n", 0, None),
    (["--node"], None, (), 2, "", "unrecognized arguments: --node\n", 0, None),
]


@pytest.mark.parametrize(("args", "before", "config", "status", "stdout", "stderr", "loads", "after"), CASES)
def test_command(nvml, args, before, config, status, stdout, stderr, loads, after):
    if before is not None:
        write_cache(nvml.path, before)
    proc, loaded = zorf_node_id(nvml, "--cache-file", str(nvml.path), *args, config=DEFAULT_CONFIG + config)
    assert proc.returncode == status, proc.stderr
    if isinstance(stdout, dict):
        assert json.loads(proc.stdout) == dict(stdout, cache_file=str(nvml.path))
        assert proc.stdout.count("\n") == 1
    else:
        assert proc.stdout == stdout.format(path=nvml.path)
    assert proc.stderr.endswith(stderr) and bool(proc.stderr) == bool(stderr)
    assert loaded == loads
    assert cached(nvml.path) == after


def test_uncodable_path_and_panic(nvml):
    """Neither is the module's RuntimeError: a path that is not UTF-8 is bad
    usage, touching nothing; a PanicException reaches the interpreter."""
    bad = os.fsencode(nvml.path) + b"\xff"
    proc, loaded = zorf_node_id(nvml, "--cache-file", bad)
    assert (proc.returncode, loaded) == (2, 0)
    assert proc.stderr.endswith("is not UTF-8 text\n") and not os.path.lexists(bad)
    proc, _ = zorf_node_id(nvml, "--cache-file", str(nvml.path), variant="without_shutdown")
    assert proc.returncode == 1
    assert "Traceback (most recent call last)" in proc.stderr and "\nvorn_runtime.PanicException: " in proc.stderr


def test_version_is_the_installed_distribution(nvml):
    proc, _ = zorf_node_id(nvml, "--version")
    try:
        expected = (0, f"zorf-node-id {importlib.metadata.version('zorf_lib')}\n", "")
    except importlib.metadata.PackageNotFoundError:  # a module installed by CMake, without metadata
        expected = (1, "", "zorf-node-id: no version: zorf_lib is not installed as a distribution here\n")
    assert (proc.returncode, proc.stdout, proc.stderr) == expected


def test_default_path_is_the_modules(nvml, default_cache):
    default_cache.write_text("planted in the default path")
    proc, _ = zorf_node_id(nvml, "--json")
    assert json.loads(proc.stdout) == {"node_id": "planted in the default path", "cache_file": "/tmp/zorf",
                                       "source": "cache"}
    assert nvml.call("").data["value"] == "planted in the default path"


# Rows of the README's "When the identifier changes" that the fake can show:
# --check against a cache written for the two default GPUs.
# (what happened, fake configuration now, environment, status, end of standard error)
CHANGES = [
    ("listed in another order", DEFAULT_CONFIG[::-1], {}, 0, ""),
    ("CUDA_VISIBLE_DEVICES", DEFAULT_CONFIG, {"CUDA_VISIBLE_DEVICES": "1"}, 0, ""),
    ("GPU replaced", DEFAULT_CONFIG[:1] + ("uuid_text GPU-new",), {}, 3, "computed again\n"),
    ("GPU added", DEFAULT_CONFIG + ("uuid_text GPU-new",), {}, 3, "computed again\n"),
    ("GPU removed, or a container given a subset", DEFAULT_CONFIG[:1], {}, 3, "computed again\n"),
    ("fell off the bus, still counted", DEFAULT_CONFIG + ("handle_rc 1 15",), {}, 1,
     "zorf-node-id: Failed to get nvml device by index\n"),
    ("fell off the bus, UUID lost", DEFAULT_CONFIG + ("uuid_rc 1 15",), {}, 1,
     "zorf-node-id: Failed to get device uuid\n"),
]


@pytest.mark.parametrize(("config", "env", "status", "stderr"), [c[1:] for c in CHANGES], ids=[c[0] for c in CHANGES])
def test_check_tells_when_the_identifier_changed(nvml, config, env, status, stderr):
    nvml.path.write_text(NODE)
    proc, _ = zorf_node_id(nvml, "--check", "--cache-file", str(nvml.path), config=config, env=env)
    assert proc.returncode == status and proc.stderr.endswith(stderr)
    assert nvml.path.read_text() == NODE
