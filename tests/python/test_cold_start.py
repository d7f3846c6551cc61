"""Many processes of one job starting together on a fresh node: every call
misses the cache at the same moment, and all of them must agree."""

import json
import multiprocessing
import os
import time

import cold_start_worker
from conftest import generated_uuids, node_id_of

PROCESSES = 16
THREADS = 8
ROUNDS = 50
GPUS = 8


def test_simultaneous_cold_starts_agree(fake_nvml_dir, tmp_path, monkeypatch):
    config = tmp_path / "nvml.conf"
    config.write_text(f"generate {GPUS}\n")
    # Read by the loader when each worker process starts.
    monkeypatch.setenv("LD_LIBRARY_PATH", str(fake_nvml_dir / "full"))
    monkeypatch.setenv("FAKE_NVML_CONFIG", str(config))
    monkeypatch.delenv("FAKE_NVML_LOG", raising=False)

    rounds = [tmp_path / f"round{r:02}" for r in range(ROUNDS)]
    for folder in rounds:
        folder.mkdir()
    missing = tmp_path / "missing"
    paths = [str(folder / "node_id") for folder in rounds] + [str(missing / "node_id")]

    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(PROCESSES * THREADS, timeout=120)
    outs = [tmp_path / f"worker{p}.json" for p in range(PROCESSES)]
    workers = [context.Process(target=cold_start_worker.main, args=(barrier, paths, THREADS, str(out)))
               for out in outs]
    for worker in workers:
        worker.start()
    # A worker that dies holding the shared barrier's lock leaves the others
    # blocked for good: the first failure, or the deadline, ends them all.
    deadline = time.monotonic() + 300
    while any(w.is_alive() for w in workers) and time.monotonic() < deadline:
        if any(w.exitcode not in (None, 0) for w in workers):
            break
        time.sleep(0.1)
    for worker in workers:
        if worker.is_alive():
            worker.kill()
        worker.join(10)
    assert [worker.exitcode for worker in workers] == [0] * PROCESSES

    expected = node_id_of(generated_uuids(GPUS))
    per_call = [json.loads(out.read_text()) for out in outs]
    results = [thread[r] for process in per_call for thread in process for r in range(ROUNDS + 1)]
    assert len(results) == PROCESSES * THREADS * (ROUNDS + 1)
    by_round = list(zip(*(thread for process in per_call for thread in process)))
    for folder, answers in zip(rounds, by_round):
        assert set(answers) == {expected}, folder.name
        assert (folder / "node_id").read_bytes() == expected.encode()
        assert os.listdir(folder) == ["node_id"], "temporary files left behind"
    assert set(by_round[-1]) == {"RuntimeError: Failed to write cache"}
    assert not missing.exists()
