"""zorf-node-id, run as `python -P -m zorf_node_id` against the fake NVML:
what it prints, its exit status, and what it leaves in the cache file, with
the streams, signals and locales an operator gives it."""

import contextlib
import errno
import importlib.metadata
import json
import os
import pty
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import DEFAULT_CONFIG, EMULATED, SCENARIO_TIMEOUT, UUIDS, node_id_of
from zorf_node_id import command

NODE, OTHER = node_id_of(UUIDS), node_id_of(UUIDS[:1])
COMMAND = [sys.executable, "-P", "-m", "zorf_node_id"]


def zorf_node_id(scenarios, *args, env=(), prefix=(), **options):
    """The run (after PREFIX, a program that runs it) and its count of NVML
    loads; its TMPDIR must be left empty."""
    (private := scenarios.workdir / "tmpdir").mkdir(exist_ok=True)
    proc, log = scenarios.program([*prefix, *COMMAND, *args], env={"TMPDIR": str(private), **dict(env)}, **options)
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
    (["--check"], ("a\nb", "a\nb"), (), 3, f"computed: {NODE}\ncached: a\nb\n", "computed again\n", 1),
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


@pytest.mark.parametrize("mode", [[], ["--check"]], ids=["plain", "check"])  # --check: in its child process
def test_panic_is_not_swallowed(scenarios, mode):
    proc, _ = zorf_node_id(scenarios, "--cache-file", str(scenarios.path), *mode, variant="without_shutdown")
    assert (proc.returncode, proc.stdout) == (1, "") and "\nTraceback (most recent call last):\n" in proc.stderr
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


# ---- What --check counts as no cache file ----------------------------------

def too_long(folder):
    """Real folders under FOLDER whose path is longer than the kernel takes:
    a walk from folder to folder could reach its end, no system call can."""
    component = "d" * 200
    path, fd = str(folder), os.open(folder, os.O_PATH | os.O_DIRECTORY)
    while len(path) < os.pathconf("/", "PC_PATH_MAX"):
        os.mkdir(component, dir_fd=fd)
        fd, parent = os.open(component, os.O_PATH | os.O_DIRECTORY, dir_fd=fd), fd
        os.close(parent)
        path += "/" + component
    os.close(fd)
    return path + "/node-id"


def missing(folder):
    return str(folder / "missing"), []


def under_a_file(folder):
    (folder / "file").write_text(OTHER)
    return str(folder / "file" / "node-id"), []


def link_loop(folder):
    (folder / "loop").symlink_to("loop")
    return str(folder / "loop"), []


def locked(folder):
    """A folder on the way that the caller cannot search. Root can search any,
    so it runs the command without that capability, as a container that drops
    it does."""
    (folder / "locked").mkdir(mode=0)
    prefix = ["setpriv", "--inh-caps=-dac_override,-dac_read_search", "--bounding-set=-dac_override,-dac_read_search",
              "--"] if os.geteuid() == 0 else []
    return str(folder / "locked" / "node-id"), prefix


# Each errno the command counts as no cache file, and a cache path that makes
# looking at it fail so: (path, the command's prefix).
NO_FILE_CASES = {
    errno.ENOENT: missing,
    errno.ENOTDIR: under_a_file,
    errno.ELOOP: link_loop,
    errno.EACCES: locked,
    errno.ENAMETOOLONG: lambda folder: (too_long(folder), []),
}

STAT_ERRNO = "import os, sys\ntry:\n    os.stat(sys.argv[1])\nexcept OSError as exc:\n    print(exc.errno)"


def test_every_no_file_errno_has_its_case():
    assert sorted(NO_FILE_CASES) == sorted(command.NO_FILE)


@pytest.mark.parametrize("code", sorted(NO_FILE_CASES), ids=errno.errorcode.get)
def test_what_check_counts_as_no_file_the_module_counts_as_no_cache(scenarios, code):
    """--check never writes the cache: where the look fails with an errno of
    its list, it says so (status 4) and writes nothing; and the module, asked
    there, misses: it loads NVML to compute the identifier."""
    (folder := scenarios.workdir / "case").mkdir()
    path, prefix = NO_FILE_CASES[code](folder)
    looked = subprocess.run([*prefix, sys.executable, "-c", STAT_ERRNO, path], capture_output=True, text=True)
    assert looked.stdout.strip() == str(code), looked.stderr
    before = tree(folder)

    proc, loads = zorf_node_id(scenarios, "--check", "--cache-file", path, prefix=prefix)
    assert (proc.returncode, proc.stdout, loads) == (4, f"computed: {NODE}\ncached: none: no file at {path}\n", 1), \
        proc.stderr
    assert tree(folder) == before
    proc, loads = zorf_node_id(scenarios, "--cache-file", path, prefix=prefix)
    assert loads == 1, proc.stderr


def tree(folder):
    """Every entry below FOLDER, however deep (fwalk opens folder by folder)."""
    return sorted(os.path.join(root, name) for root, folders, files, _ in os.fwalk(folder) for name in folders + files)


# ---- Signals -----------------------------------------------------------------

def processes_with(marker):
    """The processes whose environment holds MARKER."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and marker in (entry / "environ").read_bytes().split(b"\0"):
                found.append(int(entry.name))
        except OSError:
            pass
    return found


@contextlib.contextmanager
def check_held_by_nvml(scenarios, stage, prefix=()):
    """zorf-node-id --check (after PREFIX, a program that runs it) with the
    fake NVML waiting for ten minutes in its init or its shutdown (a wedged
    driver): the process and its TMPDIR, once NVML holds it. Killed on the
    way out if still running."""
    (private := scenarios.workdir / "tmpdir").mkdir(exist_ok=True)
    env = scenarios.environment(config=DEFAULT_CONFIG + (f"{stage}_delay_us 600000000",), env={"TMPDIR": str(private)})
    event = {"init": "nvmlInit_v2", "shutdown": "nvmlShutdown"}[stage]
    proc = subprocess.Popen([*prefix, *COMMAND, "--check", "--cache-file", str(scenarios.path)], env=env,
                            cwd=scenarios.workdir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + SCENARIO_TIMEOUT
        while event not in (scenarios.nvml_log() or []) and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.01)
        if event not in (scenarios.nvml_log() or []):
            pytest.fail(f"NVML never got {event}: {scenarios.nvml_log()}")
        yield proc, private
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


# What `timeout`, the terminal and a closed session send: the check ends at
# once, even while NVML holds it, with status 128 + the signal's number, its
# private folder removed (with the identifier in it, when NVML blocks at its
# shutdown, after the write), and no process of it left.
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT], ids=lambda s: s.name)
@pytest.mark.parametrize("stage", ["init", "shutdown"])
def test_check_ended_by_a_signal_leaves_nothing(scenarios, signum, stage):
    with check_held_by_nvml(scenarios, stage) as (proc, private):
        assert bool(list(private.rglob("node-id"))) == (stage == "shutdown")
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=30)
    assert (proc.returncode, out) == (128 + signum, ""), err
    assert not any(private.iterdir())
    assert not scenarios.path.exists()
    assert processes_with(f"FAKE_NVML_CONFIG={scenarios.config_file}".encode()) == []


# What the command inherits ignored stays ignored (nohup, a background job of
# a non-interactive shell); SIGTERM still ends the check. A SIGCHLD inherited
# ignored would have the kernel reap the child unannounced: the check still
# ends.
IGNORING = "import os, signal, sys; [signal.signal(int(n), signal.SIG_IGN) for n in sys.argv[1].split()]; " \
           "os.execv(sys.argv[2], sys.argv[2:])"


@pytest.mark.parametrize("signum", [signal.SIGHUP, signal.SIGINT], ids=lambda s: s.name)
def test_check_keeps_signals_it_was_started_ignoring_ignored(scenarios, signum):
    with check_held_by_nvml(scenarios, "init", prefix=[sys.executable, "-c", IGNORING, str(int(signum))]) \
            as (proc, private):
        proc.send_signal(signum)
        time.sleep(1)
        assert proc.poll() is None, proc.communicate()
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=30)
    assert (proc.returncode, out) == (128 + signal.SIGTERM, ""), err
    assert not any(private.iterdir())


def test_check_started_with_sigchld_ignored_ends(scenarios):
    proc, _ = scenarios.program([sys.executable, "-c", IGNORING, str(int(signal.SIGCHLD)), *COMMAND, "--check",
                                 "--cache-file", str(scenarios.path)], timeout=60)
    assert (proc.returncode, proc.stdout) == (command.NO_CACHE, f"computed: {NODE}\ncached: none: no file at "
                                                                 f"{scenarios.path}\n"), proc.stderr


def test_check_under_timeout_as_the_readme_has_it(scenarios):
    (private := scenarios.workdir / "tmpdir").mkdir(exist_ok=True)
    proc, _ = scenarios.program(["timeout", "2", *COMMAND, "--check", "--cache-file", str(scenarios.path)],
                                config=DEFAULT_CONFIG + ("init_delay_us 600000000",), env={"TMPDIR": str(private)},
                                timeout=60)
    assert proc.returncode == 124 and not any(private.iterdir())


# ---- Standard streams it cannot use -------------------------------------------

def run_with_streams(scenarios, args, config, stdout, stderr):
    """The command with its standard output closed, a pipe nobody reads any
    more, /dev/full or a pipe; its standard error closed or a pipe. Closed and
    full as the shell makes them."""
    redirect = {"closed": " >&-", "full": " >/dev/full"}.get(stdout, "") + (" 2>&-" if stderr == "closed" else "")
    argv = ["sh", "-c", f'exec "$@"{redirect}', "sh", *COMMAND, "--cache-file", str(scenarios.path), *args]
    read_end, write_end = os.pipe()
    if stdout == "broken-pipe":
        os.close(read_end)
    try:
        return subprocess.run(argv, env=scenarios.environment(config=DEFAULT_CONFIG + config), cwd=scenarios.workdir,
                              stdout=write_end if stdout == "broken-pipe" else subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=SCENARIO_TIMEOUT)
    finally:
        os.close(write_end)
        if stdout != "broken-pipe":
            os.close(read_end)


# (arguments, fake configuration added, standard output, standard error, status, what the test's pipe on
#  standard output got (None: the test gave it none), the end of standard error)
STREAM_CASES = [
    ([], (), "closed", "pipe", 5, "", "zorf-node-id: standard output is closed\n"),
    (["--check"], (), "closed", "pipe", 5, "", "zorf-node-id: standard output is closed\n"),
    ([], (), "broken-pipe", "pipe", 5, None, "zorf-node-id: cannot write to standard output: Broken pipe\n"),
    (["--json"], (), "broken-pipe", "pipe", 5, None, "zorf-node-id: cannot write to standard output: Broken pipe\n"),
    (["--check"], (), "full", "pipe", 5, "",
     "zorf-node-id: cannot write to standard output: No space left on device\n"),
    (["--help"], (), "full", "pipe", 5, "",
     "zorf-node-id: cannot write to standard output: No space left on device\n"),
    ([], (), "pipe", "closed", 0, f"{NODE}\n", ""),
    ([], ("count 0",), "pipe", "closed", 1, "", ""),
    (["--check"], ("count 0",), "pipe", "closed", 1, "", ""),
]


@pytest.mark.parametrize(("args", "config", "stdout", "stderr", "status", "printed", "message"), STREAM_CASES)
def test_streams_it_cannot_use(scenarios, args, config, stdout, stderr, status, printed, message):
    """Never a traceback, never a success that printed nothing, never an
    error on standard output, where $(...) would take it for the identifier."""
    proc = run_with_streams(scenarios, args, config, stdout, stderr)
    assert (proc.returncode, proc.stdout) == (status, printed), proc.stderr
    assert proc.stderr.endswith(message) and "Traceback" not in proc.stderr and "Exception" not in proc.stderr


# ---- What it prints --------------------------------------------------------------

def run_on_a_terminal(scenarios, args, env):
    """The command with a terminal as its standard output: what reached it."""
    controller, terminal = pty.openpty()
    try:
        proc = subprocess.Popen([*COMMAND, "--cache-file", str(scenarios.path), *args], env=scenarios.environment(env=env),
                                cwd=scenarios.workdir, stdout=terminal, stderr=subprocess.PIPE)
    finally:
        os.close(terminal)
    shown = b""
    try:
        while chunk := os.read(controller, 4096):
            shown += chunk
    except OSError:  # EIO: the terminal's last user is gone
        pass
    finally:
        os.close(controller)
    proc.communicate(timeout=SCENARIO_TIMEOUT)
    return shown.replace(b"\r\n", b"\n")  # the terminal's own line ends


# Sets the terminal's title, then clears the screen.
ESCAPES = "\x1b]0;owned\x07\x1b[2J"


# (arguments, cache file, standard output, environment, what it gets)
PRINT_CASES = [
    ([], ESCAPES, "terminal", {}, f"{ascii(ESCAPES)}\n"),
    ([], ESCAPES, "pipe", {}, f"{ESCAPES}\n"),
    (["--check"], ESCAPES, "terminal", {}, f"computed: {NODE}\ncached: {ascii(ESCAPES)}\n"),
    (["--check"], ESCAPES, "pipe", {}, f"computed: {NODE}\ncached: {ESCAPES}\n"),
    ([], "", "terminal", {}, "''\n"),
    ([], "café", "terminal", {"PYTHONIOENCODING": "ascii"}, "caf\\xe9\n"),
    ([], "café", "pipe", {"PYTHONIOENCODING": "ascii"}, "caf\\xe9\n"),
    (["--check"], "café", "pipe", {"PYTHONIOENCODING": "ascii"}, f"computed: {NODE}\ncached: caf\\xe9\n"),
    ([], "日本", "pipe", "latin-1", "\\u65e5\\u672c\n"),
]


@pytest.mark.parametrize(("args", "cached", "stdout", "env", "shown"), PRINT_CASES)
def test_one_rule_for_what_it_prints(scenarios, latin1_locale, args, cached, stdout, env, shown):
    """On a terminal a value that is not printable is escaped; elsewhere it
    goes out as it stands, and what the encoding cannot encode is escaped with
    backslashes. Never a traceback."""
    scenarios.path.write_text(cached, encoding="utf-8")
    env = latin1_locale if env == "latin-1" else env
    if stdout == "terminal":
        if EMULATED:
            pytest.skip("qemu-user does not know the terminal ioctl of the guest's C library: isatty says no")
        assert run_on_a_terminal(scenarios, args, env) == shown.encode()
        return
    proc, _ = zorf_node_id(scenarios, "--cache-file", str(scenarios.path), *args, env=env)
    assert proc.stdout == shown and "Traceback" not in proc.stderr, proc.stderr


# ---- Locales -----------------------------------------------------------------------

@pytest.fixture(scope="session")
def latin1_locale(tmp_path_factory):
    """An ISO-8859-1 locale, built with localedef into a folder of its own:
    the environment that selects it."""
    folder = tmp_path_factory.mktemp("locales")
    built = subprocess.run(["localedef", "-i", "fr_FR", "-f", "ISO-8859-1", str(folder / "fr_FR.ISO-8859-1")],
                           capture_output=True, text=True)
    if not (folder / "fr_FR.ISO-8859-1" / "LC_CTYPE").exists():
        pytest.fail(f"localedef made no locale (run `bash scripts/setup.sh base`): {built.stderr}")
    env = {"LOCPATH": str(folder), "LC_ALL": "fr_FR.ISO-8859-1", "PYTHONUTF8": "0"}
    encoding = subprocess.run([sys.executable, "-c", "import sys; print(sys.getfilesystemencoding())"],
                              env=dict(os.environ, **env), capture_output=True, text=True).stdout.strip()
    if encoding != "iso8859-1":
        if EMULATED:
            pytest.skip("the emulated C library does not take this machine's compiled locale")
        pytest.fail(f"the ISO-8859-1 locale gives the file-system encoding {encoding!r}")
    return env


CAFE = "café"


# The path is the bytes the operator typed, whatever the locale: the module
# gets them (as UTF-8 text) and the command looks at the same file. Bytes that
# are not UTF-8 cannot name the module's cache file: bad usage.
@pytest.mark.parametrize("mode", [[], ["--json"], ["--check"]], ids=["plain", "json", "check"])
@pytest.mark.parametrize("locale", ["latin-1", "C"])
def test_the_path_is_the_bytes_typed(scenarios, latin1_locale, locale, mode):
    env = latin1_locale if locale == "latin-1" else {"LC_ALL": "C", "PYTHONUTF8": "0"}
    (scenarios.workdir / CAFE).write_text(OTHER)  # named in UTF-8, as the suite's own locale has it
    path = os.fsencode(scenarios.workdir / CAFE)
    proc, loads = zorf_node_id(scenarios, *mode, "--cache-file", path, env=env)
    expected = {(): (0, f"{OTHER}\n", 0),
                ("--json",): (0, json.dumps({"node_id": OTHER, "cache_file": os.fsdecode(path), "source": "cache"}) + "\n",
                              0),
                ("--check",): (3, f"computed: {NODE}\ncached: {OTHER}\n", 1)}[tuple(mode)]
    assert (proc.returncode, proc.stdout, loads) == expected, proc.stderr
    assert sorted(p.name for p in scenarios.workdir.iterdir() if p.name.startswith("caf")) == [CAFE]


def test_a_path_that_is_not_utf8_is_bad_usage(scenarios, latin1_locale):
    latin1 = os.fsencode(scenarios.workdir) + b"/caf\xe9"
    proc, loads = zorf_node_id(scenarios, "--cache-file", latin1, env=latin1_locale)
    assert (proc.returncode, proc.stdout, loads) == (2, "", 0)
    assert proc.stderr.endswith("/caf\\xe9' is not UTF-8 text\n"), proc.stderr
