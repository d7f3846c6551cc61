"""Shared helpers of the Python tests.

NVML is replaced by the fake library under $ZORF_FAKE_NVML_DIR/<variant>. The
loader reads LD_LIBRARY_PATH once, at process start, so every test that may
reach NVML runs its code in a fresh interpreter (`ScenarioRunner.run`), whose last
line of output is a JSON document the test reads back.
"""

import fcntl
import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import blake3
import pytest

TESTS_DIR = Path(__file__).resolve().parent

# Set by the wrapper that runs an arm64 interpreter under qemu-user
# (nox -s arm64), and so inherited by every interpreter a test starts.
EMULATED = os.environ.get("ZORF_EMULATED", "")
# How long a scenario may take before it counts as hung. Emulated, the longest
# take 25 s alone and over 120 s eight at a time on two cores.
SCENARIO_TIMEOUT = 600 if EMULATED else 120

# Two GPUs, enumerated in the reverse of their sorted order.
UUIDS = ["GPU-f1e2d3c4-0000-4000-8000-00000000000b", "GPU-0a1b2c3d-0000-4000-8000-00000000000a"]
DEFAULT_CONFIG = tuple(f"uuid_text {uuid}" for uuid in UUIDS)

# What runs first in every scenario interpreter. argv: the cache path, the tests folder.
PRELUDE = r'''
import collections, json, os, pathlib, sys
sys.path.insert(0, sys.argv[2])  # for `from conftest import run_threaded`
import zorf_lib
PATH = sys.argv[1]

def describe(exc):
    return {"raised": type(exc).__name__, "module": type(exc).__module__, "message": str(exc),
            "args": [a if isinstance(a, str) else repr(a) for a in exc.args],
            "cause": repr(exc.__cause__), "suppress_context": exc.__suppress_context__}

def call(*args, **kwargs):
    try:
        value = zorf_lib.get_gpu_node_id(*args, **kwargs)
    except BaseException as exc:
        return describe(exc)
    return {"value": value, "type": type(value).__name__}

def emit(data):
    sys.stdout.write("\n" + json.dumps(data) + "\n")
'''


def node_id_of(uuids):
    """The expected identifier: BLAKE3 of the byte-wise sorted UUIDs, joined."""
    raw = sorted(u.encode() if isinstance(u, str) else u for u in uuids)
    return blake3.blake3(b"".join(raw)).hexdigest()


def generated_uuids(n):
    """The UUIDs that the fake's "generate N" directive makes."""
    return ["GPU-%08x-%04x-4%03x-8000-%012x" % (0x5EED0000 + i, i & 0xFFFF, i & 0xFFF, i) for i in range(n)]


def run_threaded(func, n_threads=8, timeout=60.0):
    """Runs func(index) in n_threads threads released together; returns the results."""
    barrier = threading.Barrier(n_threads)
    results = [None] * n_threads
    errors = []

    def worker(index):
        try:
            barrier.wait(timeout)
            results[index] = func(index)
        except BaseException as exc:  # reported to the caller below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(n_threads)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout)
    assert not any(thread.is_alive() for thread in threads), "threads still running after the timeout"
    if errors:
        raise errors[0]
    return results


class Outcome:
    def __init__(self, data, log, stderr):
        self.data = data
        # NVML events, or None when the library was never loaded.
        self.log = log
        self.stderr = stderr

    def calls(self, name):
        return sum(1 for line in self.log or () if line.split()[0] == name)


class ScenarioRunner:
    """Runs scenarios in fresh interpreters against one variant of the fake.

    Each thread that uses it gets a work folder of its own (with its cache
    path, configuration and log), so that a test body may run in several
    threads at once (pytest-run-parallel) without the threads seeing each
    other's files."""

    def __init__(self, root, workdir):
        self.root = Path(root)
        self.base = Path(workdir)

    @property
    def workdir(self):
        folder = self.base / f"thread-{threading.get_ident()}"
        folder.mkdir(exist_ok=True)
        return folder

    @property
    def path(self):
        return self.workdir / "node_id"

    @property
    def log_file(self):
        return self.workdir / "nvml.log"

    @property
    def config_file(self):
        return self.workdir / "nvml.conf"

    def run(self, code, *, variant="full", config=DEFAULT_CONFIG, path=None, timeout=SCENARIO_TIMEOUT):
        proc, log = self.program([sys.executable, "-c", PRELUDE + code,
                                  str(self.path if path is None else path), str(TESTS_DIR)],
                                 variant=variant, config=config, timeout=timeout)
        assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
        lines = proc.stdout.strip().splitlines()
        data = json.loads(lines[-1]) if lines else None
        return Outcome(data, log, proc.stderr)

    def program(self, argv, *, variant="full", config=DEFAULT_CONFIG, env=(), timeout=SCENARIO_TIMEOUT):
        """Runs argv in the work folder against the fake; gives the finished
        process (whatever its status) and the NVML log (None: never loaded)."""
        proc = subprocess.run(argv, env=self.environment(variant=variant, config=config, env=env), cwd=self.workdir,
                              capture_output=True, text=True, errors="backslashreplace", timeout=timeout)
        return proc, self.nvml_log()

    def environment(self, *, variant="full", config=DEFAULT_CONFIG, env=()):
        """Writes the fake's configuration and clears its log: the environment
        of a program run against it, for tests that start it themselves."""
        self.config_file.write_text("".join(line + "\n" for line in config))
        self.log_file.unlink(missing_ok=True)
        return dict(os.environ, LD_LIBRARY_PATH=str(self.root / variant),
                    FAKE_NVML_CONFIG=str(self.config_file), FAKE_NVML_LOG=str(self.log_file), **dict(env))

    def nvml_log(self):
        """The NVML events so far, or None when the library was never loaded."""
        return self.log_file.read_text().splitlines() if self.log_file.exists() else None

    def call(self, arguments="PATH", **options):
        """One call with `arguments` (Python source) as its argument list."""
        return self.run(f"emit(call({arguments}))", **options)


def protected_symlinks():
    """The kernel's fs.protected_symlinks, for the record: the module applies
    its own rule whatever it is, and no test changes it."""
    try:
        return Path("/proc/sys/fs/protected_symlinks").read_text().strip()
    except OSError:
        return "unknown"


def pytest_terminal_summary(terminalreporter):
    terminalreporter.write_line(f"fs.protected_symlinks = {protected_symlinks()} (links planted by another user)")


@pytest.fixture(scope="session")
def fake_nvml_dir():
    root = os.environ.get("ZORF_FAKE_NVML_DIR")
    if not root:
        pytest.fail("ZORF_FAKE_NVML_DIR is not set: run the tests through scripts/test.sh, or set it to "
                    "build/cmake/fake_nvml", pytrace=False)
    if not (Path(root) / "full" / "libnvidia-ml.so.1").is_file():
        pytest.fail(f"ZORF_FAKE_NVML_DIR={root} holds no fake NVML build", pytrace=False)
    return Path(root)


@pytest.fixture
def scenarios(fake_nvml_dir, tmp_path):
    """The scenario runner for one test, in its own temporary folder."""
    return ScenarioRunner(fake_nvml_dir, tmp_path)


@pytest.fixture
def default_cache():
    """/tmp/zorf, given back afterwards exactly as it was (or absent). One path
    for the whole machine: the tests that use it run in one thread only
    (thread_unsafe_fixtures in pyproject.toml), and one test run at a time
    holds it, since several runs of the suite may share the machine (CI runs
    two sessions at once)."""
    path = Path("/tmp/zorf")
    with open("/tmp/zorf.tests.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if path.is_symlink() or (path.exists() and not path.is_file()):
            pytest.skip("/tmp/zorf is not a plain file here; it is left alone")
        saved = path.read_bytes() if path.exists() else None
        yield path
        if saved is None:
            path.unlink(missing_ok=True)
        else:
            path.write_bytes(saved)
