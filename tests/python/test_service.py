"""get_gpu_node_id end to end against the fake NVML: the identifier, the cache
file, the NVML instance's lifetime, and the RuntimeError of every failing step."""

import os
import re

import pytest

from conftest import DEFAULT_CONFIG, UUIDS, generated_uuids, node_id_of

# The fake's log of one complete computation over the two default GPUs.
FULL_RUN = ["load", "nvmlInit_v2", "nvmlDeviceGetCount_v2",
            "nvmlDeviceGetHandleByIndex_v2 0", "nvmlDeviceGetUUID 0 96",
            "nvmlDeviceGetHandleByIndex_v2 1", "nvmlDeviceGetUUID 1 96", "nvmlShutdown", "unload"]

LONG_UUID = "G" * 95


# (fake configuration, UUID bytes the fake reports)
@pytest.mark.parametrize(("config", "uuids"), [
    (DEFAULT_CONFIG, UUIDS),
    (DEFAULT_CONFIG[::-1], UUIDS),
    (["uuid_text GPU-1"], ["GPU-1"]),
    (["generate 9"], generated_uuids(9)),
    (["uuid_text GPU-ab", "uuid_text GPU-a", "uuid_text GPU-"], ["GPU-ab", "GPU-a", "GPU-"]),
    (["uuid_text gpu-a", "uuid_text GPU-b", "uuid_text GPU-B"], ["gpu-a", "GPU-b", "GPU-B"]),
    (["uuid_text GPU-é", "uuid_text GPU-z"], ["GPU-é", "GPU-z"]),
    (["uuid -", "uuid_text GPU-x"], ["", "GPU-x"]),
    ([f"uuid_text {LONG_UUID}", "uuid_text GPU-short"], [LONG_UUID, "GPU-short"]),
], ids=["two", "two-swapped", "one", "nine", "prefixes", "case", "non-ascii", "empty-uuid", "95-bytes"])
def test_identifier_is_blake3_of_sorted_uuids(scenarios, config, uuids):
    outcome = scenarios.call(config=config)
    expected = node_id_of(uuids)
    assert outcome.data == {"value": expected, "type": "str"}
    assert re.fullmatch("[0-9a-f]{64}", expected)
    assert scenarios.path.read_bytes() == expected.encode()
    assert outcome.calls("nvmlInit_v2") == outcome.calls("nvmlShutdown") == 1
    assert outcome.log[-2:] == ["nvmlShutdown", "unload"]


@pytest.mark.parametrize("variant", ["full", "without_init_with_flags"])
@pytest.mark.parametrize("config", [(), ("shutdown_rc 5",)], ids=["", "shutdown-fails"])
def test_nvml_instance_lifetime(scenarios, variant, config):
    outcome = scenarios.call(variant=variant, config=DEFAULT_CONFIG + config)
    assert outcome.data["value"] == node_id_of(UUIDS)
    assert outcome.log == FULL_RUN


# (variant, configuration added to the two GPUs, path as Python source, message,
# NVML log: None when the library was never loaded)
FAILURES = [
    ("none", (), "PATH", "Failed to init nvml", None),
    ("without_init_v2", (), "PATH", "Failed to init nvml", ["load", "unload"]),
    ("full", ("init_rc 9",), "PATH", "Failed to init nvml", ["load", "nvmlInit_v2", "unload"]),
    ("full", ("init_rc 1000",), "PATH", "Failed to init nvml", ["load", "nvmlInit_v2", "unload"]),
    ("full", ("count_rc 2",), "PATH", "Failed to get nvml device count",
     ["load", "nvmlInit_v2", "nvmlDeviceGetCount_v2", "nvmlShutdown", "unload"]),
    ("null_count", (), "PATH", "Failed to get nvml device count",
     ["load", "nvmlInit_v2", "nvmlShutdown", "unload"]),
    ("full", ("count 0",), "PATH", "No GPUs found",
     ["load", "nvmlInit_v2", "nvmlDeviceGetCount_v2", "nvmlShutdown", "unload"]),
    ("full", ("handle_rc 1 15",), "PATH", "Failed to get nvml device by index", FULL_RUN[:5] + [
        "nvmlDeviceGetHandleByIndex_v2 1", "nvmlShutdown", "unload"]),
    ("full", ("count 3",), "PATH", "Failed to get nvml device by index",
     FULL_RUN[:7] + ["nvmlDeviceGetHandleByIndex_v2 2", "nvmlShutdown", "unload"]),
    ("full", ("uuid_rc 0 7",), "PATH", "Failed to get device uuid", FULL_RUN[:5] + ["nvmlShutdown", "unload"]),
    # A third GPU whose UUID is "GPU" and a byte that is not UTF-8.
    ("full", ("uuid 475055ff",), "PATH", "Failed to get device uuid",
     FULL_RUN[:7] + ["nvmlDeviceGetHandleByIndex_v2 2", "nvmlDeviceGetUUID 2 96", "nvmlShutdown", "unload"]),
    ("without_uuid", (), "PATH", "Failed to get device uuid",
     FULL_RUN[:4] + ["nvmlShutdown", "unload"]),
    ("full", (), "PATH + '/missing/zorf'", "Failed to write cache", FULL_RUN),
    ("full", (), "''", "Failed to write cache", FULL_RUN),
    ("full", (), "PATH + '\\x00'", "Failed to write cache", FULL_RUN),
]


@pytest.mark.parametrize(("variant", "config", "path", "message", "log"), FAILURES)
def test_failing_step_raises_runtime_error(scenarios, variant, config, path, message, log):
    outcome = scenarios.call(path, variant=variant, config=DEFAULT_CONFIG + config)
    error = outcome.data
    assert (error["raised"], error["module"]) == ("RuntimeError", "builtins")
    assert error["message"] == message
    assert error["args"] == [message]
    assert error["cause"] == "None"
    assert outcome.log == log
    # No cache file, no leftovers.
    assert sorted(p.name for p in scenarios.workdir.iterdir()) == ["nvml.conf"] + (["nvml.log"] if log else [])


@pytest.mark.parametrize("content", [b"", b"abc\n", b"f" * 64, "nöde\x00 id\r\n".encode(), b"x" * 100_000])
@pytest.mark.parametrize("through_link", [False, True])
def test_present_cache_is_returned_unchanged_without_nvml(scenarios, content, through_link):
    scenarios.path.write_bytes(content)
    path = scenarios.path
    if through_link:
        path = scenarios.workdir / "link"
        path.symlink_to(scenarios.path.name)
    outcome = scenarios.call(path=path)
    assert outcome.data == {"value": content.decode(), "type": "str"}
    assert outcome.log is None


@pytest.mark.parametrize("content", [None, b"\xff\xfe", b"abc\xc3"], ids=["directory", "invalid", "truncated"])
def test_unreadable_cache_fails_without_nvml(scenarios, content):
    if content is None:
        scenarios.path.mkdir()
    else:
        scenarios.path.write_bytes(content)
    outcome = scenarios.call()
    assert (outcome.data["raised"], outcome.data["message"]) == ("RuntimeError", "Failed to read cache file")
    assert outcome.log is None


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o000])
def test_written_cache_is_read_back(scenarios, umask):
    outcome = scenarios.run(f"os.umask({umask:#o}); emit([call(PATH), call(PATH), call(cache_file_path=PATH)])")
    expected = node_id_of(UUIDS)
    assert [r["value"] for r in outcome.data] == [expected] * 3
    assert outcome.calls("load") == outcome.calls("nvmlInit_v2") == outcome.calls("unload") == 1
    assert scenarios.path.read_bytes() == expected.encode()
    assert os.stat(scenarios.path).st_mode & 0o777 == 0o666 & ~umask
    assert sorted(p.name for p in scenarios.workdir.iterdir()) == ["node_id", "nvml.conf", "nvml.log"]


def test_each_miss_has_its_own_nvml_instance(scenarios):
    outcome = scenarios.run("emit([call(PATH + '-1'), call(PATH + '-2')])")
    assert outcome.data[0] == outcome.data[1] == {"value": node_id_of(UUIDS), "type": "str"}
    assert outcome.log == FULL_RUN * 2


# (links made in order as (name, target), all relative to the work folder; the cache path is the first)
@pytest.mark.parametrize("links", [
    [("link", "target")],
    [("sub/link", "../target")],
    [("link", "{workdir}/target")],
    [("link", "hop"), ("hop", "sub/../target")],
    [(f"l{i}", f"l{i + 1}") for i in range(39)] + [("l39", "target")],
], ids=["relative", "up-from-subfolder", "absolute", "chain", "chain-of-40"])
def test_dangling_link_is_written_through(scenarios, links):
    (scenarios.workdir / "sub").mkdir()
    for name, target in links:
        (scenarios.workdir / name).symlink_to(target.format(workdir=scenarios.workdir))
    outcome = scenarios.run("emit([call(PATH), call(PATH)])", path=scenarios.workdir / links[0][0])
    expected = node_id_of(UUIDS)
    assert [r.get("value", r.get("message")) for r in outcome.data] == [expected] * 2
    assert outcome.calls("nvmlInit_v2") == 1
    assert all((scenarios.workdir / name).is_symlink() for name, _ in links)
    assert (scenarios.workdir / "target").read_text() == expected


@pytest.mark.parametrize("name", ["node_id", "~node", "$HOME", "./x/../node"])
def test_relative_path_is_taken_literally_from_the_working_directory(scenarios, name):
    (scenarios.workdir / "x").mkdir()
    outcome = scenarios.call(path=name)
    assert outcome.data["value"] == node_id_of(UUIDS)
    assert (scenarios.workdir / name).read_text() == outcome.data["value"]


def test_default_path_is_written_when_missing(scenarios, default_cache):
    default_cache.unlink(missing_ok=True)
    outcome = scenarios.call("")
    assert outcome.data["value"] == node_id_of(UUIDS)
    assert default_cache.read_text() == outcome.data["value"]
