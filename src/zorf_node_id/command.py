"""The command line: argument parsing, the three ways of asking, and the exit
statuses that scripts test.

Only RuntimeError, the module's error for a node identifier it cannot read or
compute, becomes a message and status 1. A PanicException (an internal fault
of the module, a BaseException) is left to the interpreter, which prints its
traceback and exits with status 1, as in any other program.
"""

import argparse
import errno
import importlib.metadata
import json
import os
import stat
import sys
import tempfile

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


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.version:
        return _print_version()
    path = args.cache_file
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        # Bytes that are not UTF-8 reach Python as lone surrogates, which the
        # module refuses: no such path can be named to it.
        parser.error(f"argument --cache-file: {ascii(path)} is not UTF-8 text")
    try:
        if args.check:
            return _check(path)
        if args.json:
            return _report(path)
        print(zorf_lib.get_gpu_node_id(path))
        return OK
    except RuntimeError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return FAILED


def _parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Print this machine's node identifier: BLAKE3 of its NVIDIA GPUs' sorted UUIDs.",
        epilog="Exit status: 0 success, 1 the identifier could not be read or computed, 2 bad usage, "
               "3 (--check) the cached identifier is not these GPUs', 4 (--check) no cache file.")
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


def _print_version():
    try:
        version = importlib.metadata.version("zorf_lib")
    except importlib.metadata.PackageNotFoundError:
        print(f"{PROG}: no version: zorf_lib is not installed as a distribution here", file=sys.stderr)
        return FAILED
    print(f"{PROG} {version}")
    return OK


def _report(path):
    # What the tool saw, not what the module decided: a link, even to a
    # regular file, counts as "computed", and the file may change meanwhile.
    try:
        cached = stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        cached = False
    node_id = zorf_lib.get_gpu_node_id(path)
    print(json.dumps({"node_id": node_id, "cache_file": path, "source": "cache" if cached else "computed"}))
    return OK


def _check(path):
    try:
        private = tempfile.TemporaryDirectory(prefix="zorf-node-id.")
    except OSError as exc:
        print(f"{PROG}: no private folder for the fresh identifier: {exc}", file=sys.stderr)
        return FAILED
    with private:
        computed = zorf_lib.get_gpu_node_id(os.path.join(private.name, "node-id"))
    print(f"computed: {computed}")
    # The module writes a missing cache file, so the read must not miss: if
    # the file vanishes after this look, the read below computes and writes
    # it, and the check reports a match.
    try:
        os.stat(path)
    except OSError as exc:
        # What the module too counts as no cache: nothing there, a loop of
        # links, a folder on the way that cannot be searched. Anything else it
        # reports itself. (A link the module refuses, another user's in a
        # shared folder, is seen here as a file: the module then computes and
        # fails to write through it, and the check exits 1.)
        if exc.errno in (errno.ENOENT, errno.ENOTDIR, errno.ELOOP, errno.EACCES):
            print(f"cached: none: no file at {path}")
            return NO_CACHE
    cached = zorf_lib.get_gpu_node_id(path)
    print(f"cached: {cached if cached.isprintable() and cached else ascii(cached)}")
    if cached != computed:
        print(f"{PROG}: {path} does not hold these GPUs' identifier: delete it to have it computed again",
              file=sys.stderr)
        return STALE
    return OK
