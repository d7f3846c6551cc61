"""PanicException: an NVML without nvmlShutdown cannot be ended, which is an
internal failure of the module, raised as PanicException."""

import pytest

from conftest import UUIDS, ScenarioRunner, node_id_of

SCENARIO = r'''
import threading
seen = {}

def attempt():
    try:
        zorf_lib.get_gpu_node_id(PATH)
    except Exception:
        seen["caught by"] = "Exception"
    except BaseException as exc:
        seen["caught by"] = "BaseException"
        seen["exc"] = exc

worker = threading.Thread(target=attempt, name="node-id-worker")
worker.start()
worker.join()
exc = seen.pop("exc")
cls = type(exc)
try:
    zorf_lib.get_gpu_node_id(PATH + "-again")
except BaseException as again:
    same_class = type(again) is cls
emit(dict(seen, module=cls.__module__, name=cls.__name__, qualname=cls.__qualname__,
          bases=[b.__name__ for b in cls.__bases__], doc=cls.__doc__, args=list(exc.args),
          args_type=type(exc.args).__name__, is_exception=issubclass(cls, Exception),
          in_module=any(v is cls for v in vars(zorf_lib).values()), same_class=same_class,
          cached=zorf_lib.get_gpu_node_id(PATH)))
'''


@pytest.fixture(scope="module")
def panic(fake_nvml_dir, tmp_path_factory):
    """What the scenario gave. Run once, here: the tests may run in other
    threads."""
    scenarios = ScenarioRunner(fake_nvml_dir, tmp_path_factory.mktemp("panic"))
    return scenarios.run(SCENARIO, variant="without_shutdown")


@pytest.mark.parametrize(("fact", "expected"), [
    ("caught by", "BaseException"),
    ("is_exception", False),
    ("module", "vorn_runtime"),
    ("name", "PanicException"),
    ("qualname", "PanicException"),
    ("bases", ["BaseException"]),
    ("args_type", "tuple"),
    ("in_module", False),
    ("same_class", True),
])
def test_panic_exception_class(panic, fact, expected):
    assert panic.data[fact] == expected


def test_panic_message_names_the_missing_entry_point(panic):
    (message,) = panic.data["args"]
    assert message.startswith('Expected function, got error.: DlSym { desc: "')
    assert "nvmlShutdown" in message


def test_panic_exception_doc_has_two_paragraphs(panic):
    doc = panic.data["doc"]
    assert doc.startswith("\n") and doc.endswith("\n")
    first, second = doc.strip("\n").split("\n\n")
    assert "BaseException" in second and "SystemExit" in second


def test_panic_is_reported_on_stderr(panic):
    (message,) = panic.data["args"]
    stderr = panic.stderr
    assert "node-id-worker" in stderr
    assert "nvml.cpp" in stderr
    assert message in stderr
    assert "uncaught panic" not in stderr


# The cache file written before the instance fails to end, and NVML's calls
# with the library left loaded, are the C++ suite's (WithoutShutdown in
# tests/cpp/nvml_test.cpp); here, that the module still answers after a panic.
def test_a_call_after_the_panic_returns_the_cached_identifier(panic):
    assert panic.data["cached"] == node_id_of(UUIDS)
