"""The command line: argument parsing, the three ways of asking, and the exit
statuses that scripts test.

Only RuntimeError, the module's error for a node identifier it cannot read or
compute, becomes a message and status 1. A PanicException (an internal fault
of the module, a BaseException) is left to the interpreter, which prints its
traceback and exits with status 1, as in any other program.

What it prints follows one rule in every mode: on a terminal a value that is
not printable is shown escaped; elsewhere it goes out as it stands, with what
the output's encoding cannot encode escaped with backslashes. Messages go to
standard error only, never to standard output, where `$(...)` would take them
for the identifier; output that cannot be written is status 5.
"""

import argparse
import errno
import functools
import json
import os
import signal
import stat
import sys
import time

import zorf_lib

PROG = "zorf-node-id"
# The module's own default, the one path the module uses when given none. The
# tool names it, since it looks at the file itself (--json, --check).
DEFAULT_CACHE_FILE = "/tmp/zorf"

OK = 0
FAILED = 1
USAGE = 2  # argparse's own status for bad usage
STALE = 3
NO_CACHE = 4
OUTPUT = 5

# What looking at the cache path fails with where the module, too, finds no
# cache: nothing there, a file where a folder should be, a loop of links, a
# folder on the way that cannot be searched, a path too long for the kernel.
# Anything else the module reports itself. (tests/python/test_command.py
# makes each of these and checks that the module misses there.)
NO_FILE = (errno.ENOENT, errno.ENOTDIR, errno.ELOOP, errno.EACCES, errno.ENAMETOOLONG)

# The signals that end --check, with its private folder cleaned up; those
# the command was started with ignored (nohup, a background job of a
# non-interactive shell) stay ignored.
ENDING = (signal.SIGHUP, signal.SIGINT, signal.SIGTERM)
# How long the parent waits for a killed child: one stuck in the kernel (a
# wedged driver) dies only when the driver lets it go, and is left to init.
KILLED_CHILD_WAIT = 2.0


def main(argv=None):
    # Ctrl-C ends the command at once, even while NVML holds it, as SIGTERM
    # and SIGHUP do; --check cleans up first. (Python's own handler would run
    # only once the native call returned.)
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
    _fill_standard_descriptors()
    if sys.stdout is not None:
        sys.stdout.reconfigure(errors="backslashreplace")
    parser = _parser()
    args = parser.parse_args(argv)
    if sys.stdout is None:
        _error("standard output is closed")
        return OUTPUT
    if args.help:
        return _emit(parser.format_help())
    if args.version:
        return _print_version()
    # The module takes text and encodes it as UTF-8: the bytes the operator
    # typed, whatever the locale, are the path only when they are UTF-8.
    raw = os.fsencode(args.cache_file)
    try:
        path = raw.decode("utf-8")
    except UnicodeDecodeError:
        parser.error(f"argument --cache-file: {ascii(args.cache_file)} is not UTF-8 text")
    if args.check:
        return _check(path, raw)
    try:
        if args.json:
            return _report(path, raw)
        return _emit(_shown(zorf_lib.get_gpu_node_id(path)) + "\n")
    except RuntimeError as exc:
        _error(str(exc))
        return FAILED


def _parser():
    parser = argparse.ArgumentParser(
        prog=PROG, add_help=False,
        description="Print this machine's node identifier: BLAKE3 of its NVIDIA GPUs' sorted UUIDs.",
        epilog="Exit status: 0 success, 1 the identifier could not be read or computed, 2 bad usage, "
               "3 (--check) the cached identifier is not these GPUs', 4 (--check) no cache file, "
               "5 the output could not be written; --check ended by SIGHUP, SIGINT or SIGTERM: 128 + its number.")
    parser.add_argument("-h", "--help", action="store_true", help="show this help message and exit")
    parser.add_argument("--cache-file", metavar="PATH", default=DEFAULT_CACHE_FILE,
                        help=f"the cache file to read, or to write when missing (default: {DEFAULT_CACHE_FILE})")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--json", action="store_true",
                      help='print one JSON object: node_id, cache_file, and source ("cache" when the path '
                           'named a regular file just before the call, "computed" otherwise)')
    mode.add_argument("--check", action="store_true",
                      help="compute the identifier afresh through NVML, without touching the cache file, "
                           "and compare it with the cached one")
    parser.add_argument("--version", action="store_true", help="print the installed version and exit")
    return parser


def _fill_standard_descriptors():
    """Opens /dev/null on standard descriptors that are closed: else the next
    file opened (the cache file, NVML's) would take their number, and what is
    meant for standard error would be written into it. sys.stdout and
    sys.stderr stay None for a stream that was closed."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)  # the lowest free number: this one


def _error(message):
    if sys.stderr is None:
        return
    try:
        print(f"{PROG}: {message}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # nowhere left to say it; the status still does


def _emit(text):
    """TEXT on standard output: OK, or OUTPUT when it cannot be written."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as exc:
        _error(f"cannot write to standard output: {exc.strerror or exc}")
        # What is still buffered goes nowhere, so that the interpreter's own
        # flush at exit does not fail again with a traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return OUTPUT
    return OK


def _shown(value):
    if sys.stdout.isatty() and not (value and value.isprintable()):
        return ascii(value)
    return value


# statx, told to keep to what the kernel already knows, answers for a mount's
# root without asking the file system mounted there, which may be another
# user's and never answer. Where the C library has no statx, os.stat.
_AT_FDCWD = -100
_AT_SYMLINK_NOFOLLOW = 0x100
_AT_STATX_DONT_SYNC = 0x4000
_STATX_TYPE = 0x1
_STX_MODE = slice(28, 30)  # struct statx's stx_mode, the same on every architecture


@functools.cache
def _statx_mode():
    """A function of (path as bytes, flags) that gives stx_mode or raises
    OSError; None where the C library has no statx. Made on first use: plain
    mode, which every task of a job may run, never needs ctypes."""
    import ctypes

    statx = getattr(ctypes.CDLL(None, use_errno=True), "statx", None)
    if statx is None:
        return None
    statx.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_uint, ctypes.c_void_p]

    def mode(raw, flags):
        status = ctypes.create_string_buffer(256)
        if statx(_AT_FDCWD, raw, flags, _STATX_TYPE, status) != 0:
            code = ctypes.get_errno()
            raise OSError(code, os.strerror(code), raw)
        return int.from_bytes(status.raw[_STX_MODE], sys.byteorder)

    return mode


def _file_type(raw, follow):
    """The type of what is at the path RAW (bytes), as stat.S_IFMT gives it;
    OSError where there is nothing to look at."""
    statx_mode = _statx_mode()
    if statx_mode is None:
        return stat.S_IFMT((os.stat if follow else os.lstat)(raw).st_mode)
    return stat.S_IFMT(statx_mode(raw, _AT_STATX_DONT_SYNC | (0 if follow else _AT_SYMLINK_NOFOLLOW)))


def _print_version():
    # Imported here: it costs more than the rest of the command together.
    import importlib.metadata

    try:
        version = importlib.metadata.version("zorf_lib")
    except importlib.metadata.PackageNotFoundError:
        _error("no version: zorf_lib is not installed as a distribution here")
        return FAILED
    return _emit(f"{PROG} {version}\n")


def _report(path, raw):
    # What the tool saw, not what the module decided: a link, even to a
    # regular file, counts as "computed", and the file may change meanwhile.
    try:
        cached = _file_type(raw, follow=False) == stat.S_IFREG
    except OSError:
        cached = False
    node_id = zorf_lib.get_gpu_node_id(path)
    return _emit(json.dumps({"node_id": node_id, "cache_file": path, "source": "cache" if cached else "computed"})
                 + "\n")


def _check(path, raw):
    """Computes and reads in a child process, so that a signal ends the check
    at once even while NVML holds the child, and the private folder, with
    what the child wrote there, is removed on every way out. The signals are
    held back and only waited for: nothing interrupts the clean-up."""
    # Imported here, as the check's other modules are where they are used:
    # plain mode, which every task of a job may run, never needs them.
    import shutil
    import tempfile

    ending = {signum for signum in ENDING if signal.getsignal(signum) is not signal.SIG_IGN}
    # A SIGCHLD ignored by whoever started the command (inherited across exec)
    # would have the kernel reap the child unannounced, and the wait below
    # would never end.
    signal.signal(signal.SIGCHLD, signal.SIG_DFL)
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {*ending, signal.SIGCHLD})
    try:
        private = tempfile.mkdtemp(prefix="zorf-node-id.")
    except OSError as exc:
        _error(f"no private folder for the fresh identifier: {exc}")
        return FAILED
    try:
        try:
            fresh = os.path.join(os.fsencode(private).decode("utf-8"), "node-id")
        except UnicodeDecodeError:
            _error(f"no private folder for the fresh identifier: {ascii(private)} is not UTF-8 text")
            return FAILED
        outcome = _apart(private, ending, lambda: _compare(fresh, path, raw))
    finally:
        shutil.rmtree(private, ignore_errors=True)
    if isinstance(outcome, int):
        return outcome
    # Signals end the command again while it prints: a reader that never
    # reads must not keep it alive.
    signal.pthread_sigmask(signal.SIG_SETMASK, held)
    if "computed" not in outcome:
        _error(outcome["error"])
        return FAILED
    lines = f"computed: {outcome['computed']}\n"
    if "error" in outcome:
        status = _emit(lines)
        _error(outcome["error"])
        return status or FAILED
    cached = outcome["cached"]
    if cached is None:
        return _emit(lines + f"cached: none: no file at {path}\n") or NO_CACHE
    status = _emit(lines + f"cached: {_shown(cached)}\n")
    if status == OK and cached != outcome["computed"]:
        _error(f"{path} does not hold these GPUs' identifier: delete it to have it computed again")
        return STALE
    return status


def _apart(private, ending, work):
    """work() in a forked child, its result handed back as JSON through a
    file in PRIVATE; or the exit status when the child failed or one of the
    signals ENDING ended the wait. The child keeps the parent's blocked
    signals: only the parent's SIGKILL ends it."""
    result = os.path.join(private, "result.json")
    pid = os.fork()
    if pid == 0:
        status = FAILED
        try:
            with open(result, "w") as file:
                json.dump(work(), file)
            status = OK
        except BaseException:
            if sys.stderr is not None:  # else print_exc would print to standard output
                import traceback

                traceback.print_exc()
                sys.stderr.flush()
        finally:
            os._exit(status)
    signum = signal.sigwaitinfo({*ending, signal.SIGCHLD}).si_signo
    if signum != signal.SIGCHLD:
        os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + KILLED_CHILD_WAIT
        while os.waitpid(pid, os.WNOHANG) == (0, 0) and time.monotonic() < deadline:
            time.sleep(0.01)
        return 128 + signum
    _, status = os.waitpid(pid, 0)
    if not os.WIFEXITED(status):
        _error(f"the check's process ended by signal {os.WTERMSIG(status)} "
               f"({signal.Signals(os.WTERMSIG(status)).name})")
        return 128 + os.WTERMSIG(status)
    if os.WEXITSTATUS(status) != OK:
        return os.WEXITSTATUS(status)
    with open(result) as file:
        return json.load(file)


def _compare(fresh, path, raw):
    """In the child: the identifier computed into FRESH, then the cached one."""
    try:
        computed = zorf_lib.get_gpu_node_id(fresh)
    except RuntimeError as exc:
        return {"error": str(exc)}
    try:
        _file_type(raw, follow=True)
    except OSError as exc:
        if exc.errno in NO_FILE:
            return {"computed": computed, "cached": None}
    # The read must not miss, since a miss writes: a file deleted since the
    # look would be computed and written there. So this process can write no
    # byte to any file now, and such a miss fails as any refused write does.
    import resource

    limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (0, limit[1]))
    try:
        cached = zorf_lib.get_gpu_node_id(path)
    except RuntimeError as exc:
        if str(exc) == "Failed to write cache":  # only a miss writes: there was no cache
            return {"computed": computed, "cached": None}
        return {"computed": computed, "error": str(exc)}
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)
    return {"computed": computed, "cached": cached}
