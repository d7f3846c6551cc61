"""zorf-node-id, run as `python -m zorf_node_id` against the fake NVML: what
it prints, its exit status, and what it leaves in the cache file."""

import importlib.metadata
import json
import sys

import pytest

from conftest import DEFAULT_CONFIG, UUIDS, node_id_of

NODE, OTHER = node_id_of(UUIDS), node_id_of(UUIDS[:1])


def zorf_node_id(scenarios, *args, **options):
    """The run and its count of NVML loads; its TMPDIR must be left empty."""
    (private := scenarios.workdir / "tmpdir").mkdir(exist_ok=True)
    proc, log = scenarios.program([sys.executable, "-m", "zorf_node_id", *args], env={"TMPDIR": str(private)}, **options)
    assert not any(private.iterdir())
    return proc, (log or []).count("load")


def cached(path):  # bytes that are not UTF-8 as lone surrogates
    return path.read_bytes().decode("utf-8", "surrogateescape") if path.exists() else None


# (arguments after --cache-file PATH, cache file before and after, fake configuration added,
#  status, standard output (node_id and source of --json), end of standard error, NVML loads)
CASES = [
    ([], (None, NODE), (), 0, f"{NODE}\n", "", 1),
    ([], ("planted", "planted"), (), 0, "planted\n", "", 0),
    (["--json"], (None, NODE), (), 0, (NODE, "computed"), "", 1),
    (["--json"], (OTHER, OTHER), (), 0, (OTHER, "cache"), "", 0),
    (["--check"], (NODE, NODE), (), 0, f"computed: {NODE}\ncached: {NODE}\n", "", 1),
    (["--check"], (OTHER, OTHER), (), 3, f"computed: {NODE}\ncached: {OTHER}\n", "computed again\n", 1),
    (["--check"], ("a\nb", "a\nb"), (), 3, f"computed: {NODE}\ncached: 'a\\nb'\n", "computed again\n", 1),
    (["--check"], (None, None), (), 4, f"computed: {NODE}\ncached: none: no file at {{path}}\n", "", 1),
    ([], (None, None), ("count 0",), 1, "", "zorf-node-id: No GPUs found\n", 1),
    (["--json"], ("\udcff",) * 2, (), 1, "", "zorf-node-id: Failed to read cache file\n", 0),
    (["--check"], (OTHER, OTHER), ("init_rc 9",), 1, "", "zorf-node-id: Failed to init nvml\n", 1),
    (["--json", "--check"], (None, None), (), 2, "", "argument --check: not allowed with argument --json\n", 0),
    (["--cache-file"], (None, None), (), 2, "", "argument --cache-file: expected one argument\n", 0),
    (["--cache-file", b"\xff"], (None, None), (), 2, "", "'\\udcff' is not UTF-8 text\n", 0),
]


@pytest.mark.parametrize(("args", "cache", "config", "status", "stdout", "stderr", "loads"), CASES)
def test_command(scenarios, args, cache, config, status, stdout, stderr, loads):
    if cache[0] is not None:
        scenarios.path.write_bytes(cache[0].encode("utf-8", "surrogateescape"))
    proc, loaded = zorf_node_id(scenarios, "--cache-file", str(scenarios.path), *args, config=DEFAULT_CONFIG + config)
    stdout = (stdout.format(path=scenarios.path) if isinstance(stdout, str)
              else json.dumps({"node_id": stdout[0], "cache_file": str(scenarios.path), "source": stdout[1]}) + "\n")
    assert (proc.returncode, proc.stdout, loaded) == (status, stdout, loads), proc.stderr
    assert proc.stderr.endswith(stderr) and bool(proc.stderr) == bool(stderr)
    assert cached(scenarios.path) == cache[1] and sorted(p.name for p in scenarios.workdir.glob("*\udcff*")) == []


def test_panic_is_not_swallowed(scenarios):
    proc, _ = zorf_node_id(scenarios, "--cache-file", str(scenarios.path), variant="without_shutdown")
    assert proc.returncode == 1 and "\nTraceback (most recent call last):\n" in proc.stderr
    assert "\nvorn_runtime.PanicException: " in proc.stderr


def test_cache_path_is_a_link(scenarios):
    """--json: the module reads through the link, the tool saw only a link.
    --check: a dangling link is no cache, and is not written through."""
    (target := scenarios.workdir / "target").write_text(OTHER)
    scenarios.path.symlink_to(target.name)
    proc, loaded = zorf_node_id(scenarios, "--json", "--cache-file", str(scenarios.path))
    assert (json.loads(proc.stdout)["node_id"], json.loads(proc.stdout)["source"], loaded) == (OTHER, "computed", 0)
    target.unlink()
    proc, loaded = zorf_node_id(scenarios, "--check", "--cache-file", str(scenarios.path))
    assert (proc.returncode, loaded, target.exists()) == (4, 1, False)


def test_version_is_the_installed_distribution(scenarios):
    try:
        expected = (0, f"zorf-node-id {importlib.metadata.version('zorf_lib')}\n", "")
    except importlib.metadata.PackageNotFoundError:  # a module installed by CMake, without metadata
        expected = (1, "", "zorf-node-id: no version: zorf_lib is not installed as a distribution here\n")
    proc, _ = zorf_node_id(scenarios, "--version")
    assert (proc.returncode, proc.stdout, proc.stderr) == expected


def test_default_path_is_the_modules(scenarios, default_cache):
    default_cache.write_text("planted in the default path")
    proc, _ = zorf_node_id(scenarios, "--json")
    assert json.loads(proc.stdout) == {"node_id": default_cache.read_text(), "cache_file": "/tmp/zorf",
                                       "source": "cache"}
    assert scenarios.call("").data["value"] == default_cache.read_text()
