"""get_gpu_node_id against the fake NVML as Python sees it: the identifier as
a str, the RuntimeError of a failing step (its message alone, no cause), the
cache file's text as a str, the default and relative paths and the umask.
The steps themselves, their causes and NVML's calls are the C++ suites'
(tests/cpp/node_id_test.cpp)."""

import os

import pytest

from conftest import DEFAULT_CONFIG, UUIDS, node_id_of

# (variant, configuration added to the two GPUs, path as Python source, message):
# one failure per step, shown by its message alone whatever lies below it, and
# the two path texts that reach the service as they are rather than as the default.
FAILURES = [
    ("full", ("count 0",), "PATH", "No GPUs found"),
    ("none", (), "PATH", "Failed to init nvml"),
    ("full", ("count_rc 2",), "PATH", "Failed to get nvml device count"),
    ("full", ("handle_rc 1 15",), "PATH", "Failed to get nvml device by index"),
    ("full", ("uuid_rc 0 7",), "PATH", "Failed to get device uuid"),
    ("full", (), "PATH + '/missing/zorf'", "Failed to write cache"),
    ("full", (), "os.path.dirname(PATH)", "Failed to read cache file"),
    ("full", (), "''", "Failed to write cache"),
    ("full", (), "PATH + '\\x00'", "Failed to write cache"),
]


@pytest.mark.parametrize(("variant", "config", "path", "message"), FAILURES)
def test_failing_step_raises_runtime_error(scenarios, variant, config, path, message):
    outcome = scenarios.call(path, variant=variant, config=DEFAULT_CONFIG + config)
    error = outcome.data
    assert (error["raised"], error["module"]) == ("RuntimeError", "builtins")
    assert error["message"] == message
    assert error["args"] == [message]
    assert error["cause"] == "None"


@pytest.mark.parametrize("content", [b"", "nöde\x00 id\r\n".encode()], ids=["empty", "nul-and-crlf"])
def test_present_cache_is_returned_as_str_unchanged(scenarios, content):
    scenarios.path.write_bytes(content)
    outcome = scenarios.call()
    assert outcome.data == {"value": content.decode(), "type": "str"}


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o000, 0o027])
def test_written_cache_is_read_back(scenarios, umask):
    outcome = scenarios.run(f"os.umask({umask:#o}); emit([call(PATH), call(PATH), call(cache_file_path=PATH)])")
    expected = node_id_of(UUIDS)
    assert outcome.data == [{"value": expected, "type": "str"}] * 3
    assert outcome.calls("load") == outcome.calls("nvmlInit_v2") == outcome.calls("unload") == 1
    assert scenarios.path.read_bytes() == expected.encode()
    assert os.stat(scenarios.path).st_mode & 0o777 == 0o666 & ~umask
    assert sorted(p.name for p in scenarios.workdir.iterdir()) == ["node_id", "nvml.conf", "nvml.log"]


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
