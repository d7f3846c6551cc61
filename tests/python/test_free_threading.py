"""What the interpreter's build decides: on a free-threaded build the module
keeps the GIL off and its calls run side by side; on a default build each
call holds the interpreter from start to end, since the thread stays
attached for the whole call."""

import sys
import sysconfig

import pytest

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# Eight threads miss the cache together; each instance stays in nvmlInit_v2
# for 100 ms, which is where two instances overlap if they can.
OVERLAP = (
    "from conftest import run_threaded\n"
    "emit(run_threaded(lambda i: call(PATH + str(i)), n_threads=8))"
)


def first_shutdown_position(log):
    events = [line.split()[0] for line in log]
    return events.count("nvmlInit_v2"), events[: events.index("nvmlShutdown")].count("nvmlInit_v2")


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_the_gil_disabled(scenarios):
    outcome = scenarios.run("emit([sys._is_gil_enabled(), zorf_lib.get_gpu_node_id(PATH)])")
    assert outcome.data[0] is False


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_calls_run_in_parallel(scenarios):
    outcome = scenarios.run(OVERLAP, config=("generate 2", "init_delay_us 100000"))
    assert all("value" in result for result in outcome.data)
    total, before_first_shutdown = first_shutdown_position(outcome.log)
    assert total == 8
    assert before_first_shutdown > 1, "no two calls were ever inside NVML at once"


@pytest.mark.skipif(FREE_THREADED, reason="a default build serialises calls")
def test_calls_hold_the_interpreter_on_a_default_build(scenarios):
    outcome = scenarios.run(OVERLAP, config=("generate 2", "init_delay_us 20000"))
    assert all("value" in result for result in outcome.data)
    total, before_first_shutdown = first_shutdown_position(outcome.log)
    assert (total, before_first_shutdown) == (8, 1)
    assert sys._is_gil_enabled()
