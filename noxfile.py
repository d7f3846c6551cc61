"""Every check of zorf_lib, one nox session each.

    nox -l                  the sessions, each with the first line of its docstring
    nox --usage NAME        a session's whole docstring
    nox -s NAME [-- ARGS]   runs one (ARGS go to pytest where a session runs it)
    nox                     every session that CI runs (the ones marked "on request" are left out)

The sessions install nothing: they run on the interpreters and tools that
`bash scripts/setup.sh PART` provisioned at fixed paths (each docstring names
its part), and fail with the set-up command to run when one is missing. The
one thing a session puts into an environment is zorf_lib itself, built from
this checkout. Every build tree is a preset of CMakePresets.json, made only
through `cmake_preset`; the pip builds keep scikit-build-core's own build
folder (pyproject.toml).

.ci/run runs two sessions at a time, in lanes arranged so that no two of
them use one build tree or install into one environment at once; a build
tree is also locked while it is configured, built or installed from, for
the trees several sessions build (the fakes, the aarch64 tests).
"""

import contextlib
import fcntl
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

import nox

nox.options.default_venv_backend = "none"
nox.options.error_on_external_run = False

ROOT = Path(__file__).resolve().parent
VENV = ROOT / ".venv/bin/python"
VENV_FT = ROOT / ".venv-ft/bin/python"
AARCH64 = ROOT / "build/aarch64"
# The questions the checks ask of an interpreter (tests/abi/interpreter.py).
ASK = str(ROOT / "tests/abi/interpreter.py")
# The tests that watch the process's memory stay flat over many calls, and the
# test that their measures see a leak: no sanitizer's malloc is visible to
# them (see python-asan and ft-tsan).
MEMORY_TESTS = ["--deselect=tests/python/test_threads.py::test_repeated_calls_leave_memory_and_descriptors_flat",
                "--deselect=tests/python/test_threads.py::test_the_measures_see_a_leak"]
AARCH64_NEEDS = "libc.so.6,libstdc++.so.6,libgcc_s.so.1,libm.so.6,ld-linux-aarch64.so.1,libblake3.so.0"


def session(*, default=True, name=None):
    """A session on the provisioned interpreters: no environment of its own."""
    return nox.session(python=False, default=default, name=name)


def needs(nox_session, path, part):
    """Ends the session unless the set-up has made PATH."""
    if not Path(path).exists():
        nox_session.error(f"{path} is missing: run `bash scripts/setup.sh {part}` first")


def tool(nox_session, program, part):
    if shutil.which(program) is None:
        nox_session.error(f"{program} is not on the PATH: run `bash scripts/setup.sh {part}` first")


@contextlib.contextmanager
def tree_lock(preset):
    locks = ROOT / "build/.locks"
    locks.mkdir(parents=True, exist_ok=True)
    with open(locks / f"{preset}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def cmake_preset(nox_session, preset, *defines, workflow=False, install_to=None, launch=()):
    """The one way a build tree is made: configures and builds PRESET (with
    the cache entries DEFINES, for what depends on the machine), or runs its
    workflow (configure, build, CTest); then installs it to INSTALL_TO."""
    with tree_lock(preset):
        if workflow:
            nox_session.run(*launch, "cmake", "--workflow", "--preset", preset)
        else:
            nox_session.run(*launch, "cmake", "--preset", preset, *(f"-D{define}" for define in defines), silent=True)
            nox_session.run("cmake", "--build", "--preset", preset)
        if install_to:
            # Laid out as a wheel lays it out: the module, its stubs and the
            # command's package (without the wheel's metadata, so that
            # `zorf-node-id --version` has none).
            shutil.rmtree(install_to, ignore_errors=True)
            nox_session.run("cmake", "--install", binary_dir(preset), "--prefix", str(install_to), silent=True)
            shutil.copytree(ROOT / "src/zorf_node_id", Path(install_to) / "zorf_node_id",
                            ignore=shutil.ignore_patterns("__pycache__"))


def binary_dir(preset):
    """PRESET's build tree, as CMakePresets.json gives it."""
    presets = {entry["name"]: entry for entry in json.loads((ROOT / "CMakePresets.json").read_text())["configurePresets"]}
    entry = presets[preset]
    while "binaryDir" not in entry:
        entry = presets[entry["inherits"]]
    return entry["binaryDir"].replace("${sourceDir}", str(ROOT))


def install_project(nox_session, python):
    """zorf_lib from this checkout into PYTHON's environment, and nothing else:
    no build isolation, no dependencies, no index (this machine's pip
    configuration left out)."""
    nox_session.run(python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", "--no-index",
                    "--disable-pip-version-check", ".", env={"PIP_CONFIG_FILE": "/dev/null"})


def output(nox_session, *command, env=None):
    return nox_session.run(*command, env=env, silent=True).strip()


def check_module(nox_session, *modules, cross=False):
    extra = ["--tools", "aarch64-linux-gnu-", "--machine", "AArch64", "--needs-only", AARCH64_NEEDS] if cross else []
    nox_session.run(VENV, "tests/abi/check_module.py", *extra, *map(str, modules))


def fake_nvml_dir(tree):
    return str(ROOT / tree / "fake_nvml")


def pytest(nox_session, python, *args, env, launch=()):
    nox_session.run(*launch, python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args, *nox_session.posargs,
                    env=env)


def tsan_launch(*probe):
    """The prefix that lets ThreadSanitizer-instrumented programs start here:
    none, or setarch -R, found by running PROBE once. GCC 12's TSan runtime
    expects the address space layout of kernels with fewer random mmap bits
    and dies at start on the others; without randomisation it always fits,
    and the personality is inherited by everything the program starts. Only
    where needed: some containers refuse that personality."""
    done = subprocess.run(list(map(str, probe)), capture_output=True, text=True)
    if "ThreadSanitizer: unexpected memory mapping" in done.stdout + done.stderr:
        print("address space randomisation trips TSan here; running with setarch -R")
        return ["setarch", os.uname().machine, "-R"]
    return []


def in_host_view(root, *command, over=()):
    """COMMAND in a mount namespace where this machine's folders are also at
    their own paths inside the emulated target's ROOT (tests/emulated/host_view.py)."""
    return [VENV, "-I", str(ROOT / "tests/emulated/host_view.py"), str(root), *over, "--", *map(str, command)]


@session()
def tests(nox_session):
    """The test command: C++ tests (CTest) and the Python suite on the installed module.

    Interpreter: .venv (CPython 3.14, default build). Preset: dev (build/cmake,
    workflow: configure, build, CTest). Fake NVML: every variant, from
    build/cmake/fake_nvml. Tests: all of tests/python against zorf_lib
    installed into .venv by pip; ARGS go to pytest. Set-up: base.
    """
    needs(nox_session, VENV, "base")
    cmake_preset(nox_session, "dev", workflow=True)
    install_project(nox_session, VENV)
    pytest(nox_session, VENV, "tests/python", env={"ZORF_FAKE_NVML_DIR": fake_nvml_dir("build/cmake")})


@session(name="free-threaded-abi")
def free_threaded_abi(nox_session):
    """The cp314t module of this machine, checked without a free-threaded interpreter.

    Interpreter: none runs the module; .venv's 3.14 headers. Preset:
    free-threaded-abi (build/free-threaded), ABI and headers named from .venv's
    sysconfig. Fake NVML: none. Checks: it calls PyUnstable_Module_SetGIL and exports only
    PyInit_zorf_lib (tests/abi/check_module.py). Set-up: base. Seconds.
    """
    needs(nox_session, VENV, "base")
    multiarch, include, config_dir = output(nox_session, VENV, ASK, "headers").split()
    soabi = f"cpython-314t-{multiarch}"
    cmake_preset(nox_session, "free-threaded-abi", f"ZORF_PYTHON_SOABI={soabi}",
                 f"Python_INCLUDE_DIRS={include};{config_dir}")
    check_module(nox_session, ROOT / f"build/free-threaded/src/python/zorf_lib.{soabi}.so")


@session(name="free-threaded")
def free_threaded(nox_session):
    """The Python suite on a free-threaded CPython 3.14, then every test body in 8 threads.

    Interpreter: .venv-ft (CPython 3.14 built with --disable-gil). Preset:
    fake-nvml (build/fake-nvml). Fake NVML: every variant. Tests: all of
    tests/python, once as they are and once under pytest-run-parallel
    (--parallel-threads=8), against zorf_lib installed into .venv-ft; the
    module is checked to be cp314t, to declare it needs no GIL, and to leave
    the GIL off when imported. Set-up: free-threaded.
    """
    needs(nox_session, VENV_FT, "free-threaded")
    cmake_preset(nox_session, "fake-nvml")
    install_project(nox_session, VENV_FT)
    module = output(nox_session, VENV_FT, ASK, "module")
    if ".cpython-314t-" not in module:
        nox_session.error(f"installed {module}, not a cp314t module")
    check_module(nox_session, module)
    nox_session.run(VENV_FT, ASK, "gil-stays-off")
    env = {"ZORF_FAKE_NVML_DIR": fake_nvml_dir("build/fake-nvml")}
    pytest(nox_session, VENV_FT, "tests/python", env=env)
    pytest(nox_session, VENV_FT, "tests/python", "--parallel-threads=8", env=env)


def compiler_session(preset, compiler, part, about):
    def check(nox_session):
        tool(nox_session, compiler, part)
        cmake_preset(nox_session, preset, workflow=True)

    check.__doc__ = f"""{about}: the module and the C++ tests at -O2, every warning an error; then CTest.

    Interpreter: none (the module is built, the C++ tests run). Compiler:
    {compiler}. Preset: {preset} (build/{preset}, workflow).
    Fake NVML: every variant. Tests: the C++ suites. Set-up: {part}.
    """
    session(name=f"compiler-{preset}")(check)


compiler_session("gcc12", "g++-12", "base", "GCC 12, Debian 12's compiler, the oldest supported")
compiler_session("gcc14", "g++-14", "compilers", "GCC 14, the newest that Debian 12's binutils can assemble for")
compiler_session("clang19", "clang++-19", "compilers", "clang 19, the first whose concepts reach libstdc++'s <expected>")


@session()
def asan(nox_session):
    """The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.

    Compiler: g++. Preset: asan (build/asan, workflow; the test preset sets
    ASAN_OPTIONS and UBSAN_OPTIONS). Fake NVML: every variant, instrumented too. Tests: the C++
    suites. Set-up: base.
    """
    cmake_preset(nox_session, "asan", workflow=True)


@session()
def tsan(nox_session):
    """The C++ tests under ThreadSanitizer.

    Compiler: g++. Preset: tsan (build/tsan; the test preset names the
    suppressions), CTest under setarch -R where TSan needs it. Fake NVML:
    every variant, instrumented too. Tests: the C++ suites. Set-up: base.
    """
    cmake_preset(nox_session, "tsan")
    launch = tsan_launch("build/tsan/tests/core_tests", "--gtest_list_tests")
    nox_session.run(*launch, "ctest", "--preset", "tsan")


@session(name="python-asan")
def python_asan(nox_session):
    """The Python suite against the module built with ASan and UBSan.

    Interpreter: .venv, uninstrumented, with the sanitizer runtimes preloaded
    and PYTHONMALLOC=malloc. Preset: asan, installed to build/asan/site as a
    wheel lays it out. Fake NVML: every variant of build/asan. Tests:
    tests/python but the wheel tests and the tests that watch memory or run
    out of memory (reasons below); ARGS go to pytest.
    Set-up: base.
    """
    needs(nox_session, VENV, "base")
    site = ROOT / "build/asan/site"
    cmake_preset(nox_session, "asan", install_to=site)
    runtimes = [os.path.realpath(output(nox_session, "g++", f"-print-file-name={name}"))
                for name in ("libasan.so", "libubsan.so")]
    for runtime in runtimes:
        if not os.path.exists(runtime):
            nox_session.error(f"no sanitizer runtime at {runtime} (g++ -print-file-name)")
    env = {
        # The interpreter is not instrumented, so the runtimes must be in the
        # process before the module is: asan first, as it must precede libc.
        "LD_PRELOAD": " ".join(runtimes),
        # CPython keeps much of its memory until exit on purpose; the leaks
        # worth finding are the valgrind session's, where they can be told apart.
        "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=0",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
        # Object memory through malloc, so that ASan sees the module misuse it.
        "PYTHONMALLOC": "malloc",
        "PYTHONPATH": str(site),
        "ZORF_FAKE_NVML_DIR": fake_nvml_dir("build/asan"),
    }
    loaded = output(nox_session, VENV, ASK, "module", env=env)
    if not loaded.startswith(f"{site}/"):
        nox_session.error(f"the tests would import {loaded}, not the ASan build")
    # Left out: the wheel tests build and install a release wheel, in which
    # nothing of the ASan build takes part; the tests that watch the process's
    # memory stay flat over many calls, which ASan's quarantine of freed
    # blocks defeats by design, with the test of their measures (ASan's malloc
    # is invisible to mallinfo2, and PYTHONMALLOC=malloc leaves Python no
    # block count); and the test that runs a call out of address space:
    # ASan's own runtime needs it and fails first.
    pytest(nox_session, VENV, "tests/python", "--ignore=tests/python/test_wheel.py",
           "--deselect=tests/python/test_hostile_cache.py::test_out_of_memory_raises_in_a_new_thread",
           *MEMORY_TESTS, env=env)


@session()
def valgrind(nox_session):
    """valgrind memcheck over 11,000 calls in C++ and 13,000 from Python.

    Preset: valgrind (build/valgrind, uninstrumented). Fake NVML: full (the
    variant without nvmlShutdown keeps its handle open by design). Programs:
    tests/leaks/node_id_loop (10,000 hits, 1,000 misses; every error and
    definite leak counts) and tests/leaks/python_loop.py on .venv (only
    reports with a frame in zorf_lib count: tests/leaks/our_errors.py).
    Set-up: sanitizers.
    """
    tool(nox_session, "valgrind", "sanitizers")
    # valgrind reads the C library's debugging symbols of the very version
    # installed; an upgrade of one without the other would blind it.
    libc, symbols = (output(nox_session, "dpkg-query", "-W", "-f=${Version}", package)
                     for package in ("libc6", "libc6-dbg"))
    if libc != symbols:
        nox_session.error(f"libc6-dbg {symbols} does not match libc6 {libc}: run `bash scripts/setup.sh sanitizers`")
    cmake_preset(nox_session, "valgrind")
    module_dir = ROOT / "build/valgrind/src/python"
    memcheck = ["valgrind", "--quiet", "--leak-check=full", "--errors-for-leak-kinds=definite", "--num-callers=40"]
    with tempfile.TemporaryDirectory() as work:
        with open(f"{work}/nvml.conf", "w") as config:
            config.write("uuid_text GPU-f1e2d3c4-0000-4000-8000-00000000000b\n"
                         "uuid_text GPU-0a1b2c3d-0000-4000-8000-00000000000a\n")
        env = {"LD_LIBRARY_PATH": f"{fake_nvml_dir('build/valgrind')}/full", "FAKE_NVML_CONFIG": f"{work}/nvml.conf"}
        nox_session.run(*memcheck, "--error-exitcode=1", "build/valgrind/tests/leaks/node_id_loop",
                        f"{work}/cache", "10000", "1000", env=env)
        # CPython has definite leaks of its own at exit; the XML report keeps
        # every stack so that ours can be told from them.
        nox_session.run(*memcheck, "--xml=yes", f"--xml-file={work}/python.xml", VENV, "tests/leaks/python_loop.py",
                        f"{work}/cache", str(module_dir),
                        env={**env, "PYTHONMALLOC": "malloc", "PYTHONPATH": str(module_dir)})
        nox_session.run(VENV, "tests/leaks/our_errors.py", f"{work}/python.xml")


@session(name="ft-tsan", default=False)
def ft_tsan(nox_session):
    """On request: the thread tests on a free-threaded CPython built with TSan.

    Interpreter: build/cpython/free-threaded-tsan (CPython 3.14 with
    --disable-gil --with-thread-sanitizer), under setarch -R where TSan
    needs it; pytest from build/cpython/ft-tsan-packages. Preset: ft-tsan
    (build/ft-tsan: the module, the fakes and the race canary, all with TSan).
    Fake NVML: every variant. Tests: test_threads, test_cold_start and
    test_free_threading, once as they are and once in 8 threads, but the two
    memory tests (TSan's malloc is invisible to mallinfo2); first a race in a
    child interpreter must end it with TSan's status 66, or the run would
    prove nothing. Set-up: ft-tsan (which builds CPython with TSan, once).
    """
    python = ROOT / "build/cpython/free-threaded-tsan"
    packages = ROOT / "build/cpython/ft-tsan-packages"
    needs(nox_session, packages / ".complete", "ft-tsan")
    launch = tsan_launch(python, ASK, "tsan-build")
    module_dir = ROOT / "build/ft-tsan/src/python"
    env = {
        "PYTHONPATH": f"{module_dir}:{packages}",
        "ZORF_FAKE_NVML_DIR": fake_nvml_dir("build/ft-tsan"),
        # Inherited by every interpreter the tests start. A report ends the
        # process with status 66, which the tests check of each child.
        "TSAN_OPTIONS": f"halt_on_error=1:second_deadlock_stack=1:suppressions={ROOT}/tests/sanitizers/ft_tsan.supp",
    }
    nox_session.run(*launch, python, ASK, "tsan-build", env=env)
    # CMake runs the interpreter to find its headers and its module suffix.
    cmake_preset(nox_session, "ft-tsan", launch=launch)
    loaded = output(nox_session, *launch, python, ASK, "module", env=env)
    if not re.fullmatch(rf"{re.escape(str(module_dir))}/zorf_lib\.cpython-314t-.*\.so", loaded):
        nox_session.error(f"the tests would import {loaded}, not a cp314t module from {module_dir}")
    if "__tsan_func_entry" not in output(nox_session, "nm", "-D", "--undefined-only", loaded):
        nox_session.error(f"{loaded} is not built with TSan")
    canary = subprocess.run([*launch, python, ASK, "race", ROOT / "build/ft-tsan/tests/sanitizers/librace_canary.so"],
                            env={**os.environ, **env}, capture_output=True, text=True)
    if canary.returncode != 66 or "WARNING: ThreadSanitizer: data race" not in canary.stderr:
        nox_session.error(f"a race in a child interpreter did not end it with TSan's status 66 (got "
                          f"{canary.returncode}); the run would prove nothing:\n{canary.stderr}")
    selection = ["tests/python/test_threads.py", "tests/python/test_cold_start.py",
                 "tests/python/test_free_threading.py", *MEMORY_TESTS]
    pytest(nox_session, python, *selection, env=env, launch=launch)
    pytest(nox_session, python, *selection, "--parallel-threads=8", env=env, launch=launch)


@session()
def fuzz(nox_session):
    """libFuzzer on the UUID-to-text step and the cache read path, a minute per target.

    Interpreter: none. Compiler: clang 19 with ASan and UBSan. Preset: fuzz
    (build/fuzz). Fake
    NVML: none, and an empty loader path, so that a read that loaded NVML
    would fail. Seeds: tests/fuzz/corpus; new inputs go to build/fuzz/corpus.
    ARGS: the seconds per target (default 60). Set-up: compilers.
    """
    tool(nox_session, "clang++-19", "compilers")
    seconds = nox_session.posargs[0] if nox_session.posargs else "60"
    cmake_preset(nox_session, "fuzz")
    for target in ["uuid_text", "cache_read"]:
        corpus, artifacts = ROOT / f"build/fuzz/corpus/{target}", ROOT / f"build/fuzz/artifacts/{target}"
        corpus.mkdir(parents=True, exist_ok=True)
        artifacts.mkdir(parents=True, exist_ok=True)
        log = ROOT / f"build/fuzz/{target}.log"
        with open(log, "w") as out:
            done = subprocess.run(
                [f"build/fuzz/tests/fuzz/{target}_fuzzer", f"-max_total_time={seconds}", "-print_final_stats=1",
                 f"-artifact_prefix={artifacts}/", corpus, f"tests/fuzz/corpus/{target}"],
                env={**os.environ, "LD_LIBRARY_PATH": "", "ASAN_OPTIONS": "abort_on_error=0:detect_leaks=1",
                     "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1"}, stdout=out, stderr=subprocess.STDOUT)
        lines = log.read_text(errors="replace").splitlines()
        if done.returncode:
            print("\n".join(lines[-80:]), file=sys.stderr)
            nox_session.error(f"{target}_fuzzer failed; the input that did it is under {artifacts} (log: {log})")
        stats = [line for line in lines if re.match(r"(Done|stat::number_of_executed_units|stat::peak_rss_mb|#\d+ +DONE)",
                                                     line)]
        print(f"== {target}_fuzzer, {seconds} s\n" + "\n".join(stats or lines[-5:]))


@session()
def aarch64(nox_session):
    """64-bit Arm: cross build, the C++ tests under qemu-aarch64, the module in both ABIs.

    Interpreter: none (the modules are checked as files). Compiler: Debian's
    g++-aarch64-linux-gnu against build/aarch64/sysroot.
    Presets: aarch64-tests (CTest runs each test through qemu, in a mount
    namespace where this machine's folders are also inside qemu's root),
    aarch64-cp314, aarch64-cp314t. Fake NVML: every variant, cross-built.
    Checks: the C++ suites; each module is AArch64, exports only
    PyInit_zorf_lib, declares the GIL as its ABI wants and needs only the C and
    C++ runtime and libblake3. Set-up: arm64.
    """
    needs(nox_session, AARCH64 / "sysroot/.packages", "arm64")
    cmake_preset(nox_session, "aarch64-tests")
    log = AARCH64 / "tests/ctest.log"
    # qemu's root for the C++ tests is the cross C library's folder; the two
    # tests that mount over /tmp themselves skip, as that mount cannot reach it.
    command = in_host_view(AARCH64 / "qemu-root", "ctest", "--preset", "aarch64-tests",
                           over=["--over", "/usr/aarch64-linux-gnu"])
    with open(log, "w") as out:
        failed = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode
    text = log.read_text(errors="replace")
    if failed:
        print("\n".join(text.splitlines()[-80:]), file=sys.stderr)
        nox_session.error(f"the C++ tests failed under qemu (log: {log})")
    entries = re.findall(r"^ *\d+/\d+ Test +#.*$", text, re.M)
    cases = sum(int(n) for n in re.findall(r"^\d+: \[  PASSED  \] (\d+) tests?\.$", text, re.M))
    print("\n".join(entries))
    for abi in ["cp314", "cp314t"]:
        cmake_preset(nox_session, f"aarch64-{abi}")
    check_module(nox_session, *(AARCH64 / f"cpython-{abi}/src/python/zorf_lib.cpython-{abi}-aarch64-linux-gnu.so"
                                for abi in ["314", "314t"]), cross=True)
    print(f"aarch64: {cases} C++ tests passed under qemu ({len(entries)} CTest entries)")


def arm64_suite(nox_session, abi, python):
    needs(nox_session, python, "arm64")
    cmake_preset(nox_session, "aarch64-tests")
    module = AARCH64 / f"module-{abi}"
    cmake_preset(nox_session, f"aarch64-{abi}", install_to=module)
    env = {"PYTHONPATH": f"{module}:{AARCH64}/site-{abi}", "ZORF_FAKE_NVML_DIR": str(AARCH64 / "tests/fake_nvml")}
    nox_session.run(*in_host_view(AARCH64 / "runtime", python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                  "tests/python", *nox_session.posargs), env=env)


@session()
def arm64(nox_session):
    """64-bit Arm: the Python suite under qemu-aarch64 on Debian's arm64 python3.14.

    Interpreter: build/aarch64/runtime/usr/bin/python3.14-qemu (Debian's
    arm64 python3.14 unpacked with its dependencies, run by qemu-user).
    Presets: aarch64-cp314 (installed to build/aarch64/module-cp314),
    aarch64-tests for the fake NVML, every variant. Tests: all of
    tests/python (the wheel, restart and two recipe tests skip under
    emulation); ARGS go to pytest. Set-up: arm64.
    """
    arm64_suite(nox_session, "cp314", AARCH64 / "runtime/usr/bin/python3.14-qemu")


@session(name="arm64-free-threaded")
def arm64_free_threaded(nox_session):
    """64-bit Arm: the Python suite under qemu-aarch64 on a free-threaded CPython.

    Interpreter: build/aarch64/cp314t/python3.14t-qemu (CPython 3.14
    cross-built with --disable-gil, on the libraries of the arm64 runtime
    root). Presets: aarch64-cp314t, aarch64-tests for the fake NVML. Tests: as
    the arm64 session; ARGS go to pytest (--parallel-threads=8 is slow here).
    Set-up: arm64 (with the CPython source).
    """
    python = AARCH64 / "cp314t/python3.14t-qemu"
    if not python.exists():
        nox_session.error(f"{python} is missing: run `bash scripts/setup.sh arm64` with a CPython 3.14 source "
                          "tarball at hand (CPYTHON_SOURCE, or ../shared/cpython/cpython-3.14.7.tar.xz)")
    arm64_suite(nox_session, "cp314t", python)


# The release wheels: built by zig's toolchain for glibc 2.28 on both
# architectures (cmake/zig.cmake), BLAKE3 compiled in.
RELEASE_GLIBC = "2.28"
RELEASE = [(abi, arch) for arch in ("x86_64", "aarch64") for abi in ("cp314", "cp314t")]
ZIG = ROOT / ".venv/lib/python3.14/site-packages/ziglang/zig"
# What a release module may need: the C library alone (zig links libm, libdl
# and libpthread by name; they are part of it).
RELEASE_NEEDS = "libc.so.6,libm.so.6,libdl.so.2,libpthread.so.0"


def release_env():
    """zig keeps the runtimes it compiles for each target in the set-up's cache."""
    cache = str(ROOT / "build/zig-cache")
    return {"ZIG_GLOBAL_CACHE_DIR": cache, "ZIG_LOCAL_CACHE_DIR": cache}


def release_headers(nox_session, abi, arch):
    """The target interpreter's own headers, in a folder of their own that
    holds the real pyconfig.h: Debian's is a wrapper that includes the one in
    /usr/include/MULTIARCH, and this machine's headers must stay out of a
    build for glibc 2.28."""
    if arch == "x86_64":
        multiarch, include, _ = output(nox_session, VENV if abi == "cp314" else VENV_FT, ASK, "headers").split()
        include = Path(include)
    elif abi == "cp314":
        multiarch, include = "aarch64-linux-gnu", AARCH64 / "sysroot/usr/include/python3.14"
    else:
        multiarch, include = "aarch64-linux-gnu", ROOT / "build/cpython/free-threaded-aarch64/include/python3.14t"
    config = include.parent / multiarch / include.name / "pyconfig.h"
    folder = ROOT / f"build/wheels/include/{abi}-{arch}"
    shutil.copytree(include, folder)
    shutil.copy(config if config.exists() else include / "pyconfig.h", folder / "pyconfig.h")
    return folder


def release_wheels(nox_session):
    """dist/'s four wheels, by (abi, arch); ends the session unless all are there."""
    found = {}
    for abi, arch in RELEASE:
        matches = glob.glob(f"{ROOT}/dist/zorf_lib-*-cp314-{abi}-manylinux_2_28_{arch}.whl")
        if len(matches) != 1:
            nox_session.error(f"no {abi} {arch} manylinux_2_28 wheel in dist/: run `nox -s wheels` first")
        found[abi, arch] = Path(matches[0])
    return found


def pip_target(nox_session, wheel, target, abi, arch):
    """WHEEL installed into the folder TARGET, for ABI and ARCH, by .venv's pip."""
    shutil.rmtree(target, ignore_errors=True)
    nox_session.run(VENV, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-index", "--no-deps",
                    "--target", str(target), "--platform", f"manylinux_2_28_{arch}", "--python-version", "3.14",
                    "--implementation", "cp", "--abi", abi, "--only-binary=:all:", str(wheel),
                    env={"PIP_CONFIG_FILE": "/dev/null"})


@session()
def wheels(nox_session):
    """Release: the four wheels (cp314, cp314t; x86_64, aarch64) for manylinux_2_28, and the sdist, checked.

    Toolchain: zig from .venv (cmake/zig.cmake) for x86_64-linux-gnu.2.28 and
    aarch64-linux-gnu.2.28, its libc++ linked in, BLAKE3 compiled in from
    build/blake3, each ABI's own Python headers; .venv's pip builds all four,
    the ABI and the tag named, from nothing (build/wheels/). auditwheel sets
    the manylinux_2_28 tag. Every module is then checked statically
    (tests/abi/check_module.py --glibc 2.28: no newer C library symbol, no C++
    runtime or libgcc version, no unversioned symbol but Python's, only
    PyInit_zorf_lib exported, the exception state in static TLS), after
    tests/abi/ has shown that the check fails on small modules that break each
    rule. The sdist is built, then built into a wheel with this machine's
    compiler and libblake3 and used; twine check --strict, check-wheel-contents
    and the licence in every file. Output: dist/. Set-up: release. (The first
    run compiles zig's runtimes for both targets.)
    """
    needs(nox_session, ZIG, "release")
    needs(nox_session, ROOT / "build/blake3/blake3.c", "release")
    needs(nox_session, ROOT / "build/cpython/free-threaded-aarch64/include", "release")
    needs(nox_session, VENV_FT, "free-threaded")
    needs(nox_session, AARCH64 / "sysroot/.packages", "arm64")
    bin_dir = ROOT / ".venv/bin"
    nox_session.run(VENV, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/abi")
    work, dist = ROOT / "build/wheels", ROOT / "dist"
    shutil.rmtree(work, ignore_errors=True)
    shutil.rmtree(dist, ignore_errors=True)
    (work / "raw").mkdir(parents=True)
    dist.mkdir()
    for abi, arch in RELEASE:
        cmake_args = [f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/zig.cmake",
                      f"-DZORF_ZIG_TARGET={arch}-linux-gnu.{RELEASE_GLIBC}",
                      f"-DZORF_PYTHON_SOABI=cpython-{abi[2:]}-{arch}-linux-gnu",
                      f"-DPython_INCLUDE_DIRS={release_headers(nox_session, abi, arch)}",
                      f"-DZORF_BLAKE3_SOURCE_DIR={ROOT}/build/blake3"]
        nox_session.run(VENV, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "--no-index",
                        "--disable-pip-version-check", "-w", str(work / "raw"), ".",
                        "-C", f"build-dir={work}/{abi}-{arch}", "-C", f"wheel.tags=cp314-{abi}-linux_{arch}",
                        # Linked without symbols already (cmake/zig.cmake).
                        "-C", "install.strip=false",
                        env={"PIP_CONFIG_FILE": "/dev/null", "CMAKE_ARGS": " ".join(cmake_args), **release_env()})
        (built,) = (work / "raw").glob(f"*-{abi}-linux_{arch}.whl")
        # The tag follows from the symbol versions, and only that one
        # (--only-plat); release_wheels checks that it is manylinux_2_28.
        # (auditwheel names a tag itself only for this machine's architecture.)
        nox_session.run(bin_dir / "auditwheel", "repair", "--plat", "auto", "--only-plat",
                        "-w", str(dist), str(built), silent=True,
                        env={"PATH": f"{bin_dir}:{os.environ['PATH']}", "LD_LIBRARY_PATH": ""})
    wheels_found = release_wheels(nox_session)
    for (abi, arch), path in wheels_found.items():
        names = zipfile.ZipFile(path).namelist()
        if any(".libs/" in name for name in names):
            nox_session.error(f"{path.name} bundles libraries; BLAKE3 and the C++ runtime are to be linked in")
        if not any(re.fullmatch(r"zorf_lib-[^/]*\.dist-info/licenses/LICENSE", name) for name in names):
            nox_session.error(f"{path.name} does not hold LICENSE")
        module = f"zorf_lib.cpython-{abi[2:]}-{arch}-linux-gnu.so"
        unpacked = work / "unpacked" / f"{abi}-{arch}"
        zipfile.ZipFile(path).extract(module, unpacked)
        print(f"  {path.name}")
        nox_session.run(VENV, "tests/abi/check_module.py", "--glibc", RELEASE_GLIBC, "--needs-only", RELEASE_NEEDS,
                        "--machine", "AArch64" if arch == "aarch64" else "Advanced Micro Devices X86-64",
                        str(unpacked / module))
    nox_session.run(VENV, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(dist), ".", silent=True,
                    env={"PIP_CONFIG_FILE": "/dev/null"})
    (sdist,) = dist.glob("zorf_lib-*.tar.gz")
    if not any(re.fullmatch(r"zorf_lib-[^/]*/LICENSE", name) for name in tarfile.open(sdist).getnames()):
        nox_session.error(f"{sdist.name} does not hold LICENSE")
    # Where no wheel fits, pip builds the sdist: with a C++23 compiler and
    # the system's BLAKE3 (libblake3-dev), as here.
    nox_session.run(VENV, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "--no-index",
                    "--disable-pip-version-check", "-w", str(work / "from-sdist"), str(sdist),
                    env={"PIP_CONFIG_FILE": "/dev/null"})
    (from_sdist,) = (work / "from-sdist").glob("*.whl")
    site = work / "from-sdist/site"
    nox_session.run(VENV, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--no-index", "--no-deps",
                    "--target", str(site), str(from_sdist), env={"PIP_CONFIG_FILE": "/dev/null"})
    cmake_preset(nox_session, "fake-nvml")
    nox_session.run(VENV, ROOT / "tests/wheel/use_installed.py", "--from-source", work / "from-sdist/node-id", site,
                    env={"PYTHONPATH": str(site), "LD_LIBRARY_PATH": f"{fake_nvml_dir('build/fake-nvml')}/full",
                         "FAKE_NVML_CONFIG": str(work / "from-sdist/nvml.conf")})
    nox_session.run(bin_dir / "twine", "check", "--strict", *map(str, sorted(dist.iterdir())), silent=True)
    for (abi, arch), path in wheels_found.items():
        nox_session.run(bin_dir / "check-wheel-contents", "--toplevel",
                        f"zorf_lib.cpython-{abi[2:]}-{arch}-linux-gnu.so,zorf_lib-stubs,zorf_node_id",
                        str(path), silent=True)
    print(f"wheels: the four manylinux_2_28 wheels pass the release checks; {sdist.name} builds with this "
          "machine's compiler and works; all pass twine check and check-wheel-contents, LICENSE in each")


@contextlib.contextmanager
def new_system(tarball):
    """A fresh copy of the set-up's Debian 11 system, with /proc, /sys and
    /dev bound in; it goes when the block ends."""
    new = tempfile.mkdtemp(prefix="zorf-wheel-test.", dir="/var/tmp")
    mounts = []

    def bind(source, target, writable=False):
        os.makedirs(new + target, exist_ok=True)
        subprocess.run(["mount", "--bind", str(source), new + target], check=True)
        mounts.append(new + target)
        if not writable:
            subprocess.run(["mount", "-o", "remount,bind,ro", new + target], check=True)

    try:
        subprocess.run(["tar", "-C", new, "-xf", str(tarball)], check=True)
        os.chmod(f"{new}/tmp", 0o1777)
        for folder in ["/proc", "/sys", "/dev", "/dev/pts"]:
            bind(folder, folder, writable=True)
        yield new, bind
    finally:
        for mount in reversed(mounts):
            subprocess.run(["umount", "-l", mount])
        subprocess.run(["rm", "-rf", "--one-file-system", new])


@session(name="wheel-install")
def wheel_install(nox_session):
    """Release: each wheel of dist/ installed as users install it, with pip and with uv, and used.

    x86_64 with pip: in a fresh copy of the set-up's Debian 11 system (glibc
    2.31; CPython 3.14 built there, both builds; no compiler, no libblake3), a
    new venv of the wheel's ABI and pip install of the wheel alone
    (tests/wheel/in_new_system.sh), with a fake NVML built for glibc 2.28 by
    the release toolchain (preset release-fake-nvml). x86_64 with uv: uv pip
    install into a new venv of each ABI on this machine. aarch64: pip and uv
    install --target for manylinux_2_28 aarch64, used under qemu-aarch64 on
    the arm64 runtime root without libblake3. Each use imports zorf_lib, makes
    a cache miss and a hit against the full fake NVML, and runs the command the
    wheel carries (tests/wheel/use_installed.py). Presets: release-fake-nvml,
    fake-nvml, aarch64-tests. Needs root and the wheels session's dist/.
    Set-up: release.
    """
    if os.geteuid() != 0:
        nox_session.error("run as root (chroot, mounts)")
    tarball = ROOT / "build/new-system.tar"
    needs(nox_session, tarball, "release")
    needs(nox_session, ROOT / ".venv/bin/uv", "release")
    found = release_wheels(nox_session)
    uv = [ROOT / ".venv/bin/uv", "pip", "install", "-q", "--no-index", "--no-deps", "--no-config"]
    uv_env = {"UV_PYTHON_DOWNLOADS": "never", "UV_OFFLINE": "1"}

    cmake_preset(nox_session, "release-fake-nvml")
    with new_system(tarball) as (new, bind):
        bind(ROOT / "dist", "/srv/wheels")
        bind(ROOT / "build/release-fake-nvml/fake_nvml/full", "/srv/fake_nvml")
        bind(ROOT / "tests/wheel", "/srv/check")
        for abi, python in [("cp314", "/opt/python3.14/bin/python3.14"), ("cp314t", "/opt/python3.14t/bin/python3.14t")]:
            nox_session.run("chroot", new, "/usr/bin/env", "-i", "HOME=/root", "LANG=C.UTF-8",
                            "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                            "/bin/bash", "/srv/check/in_new_system.sh", python,
                            f"/srv/wheels/{found[abi, 'x86_64'].name}", include_outer_env=False)
    print("wheel-install: both x86_64 wheels installed with pip and worked on a new Debian 11 system")

    cmake_preset(nox_session, "fake-nvml")
    fake = {"LD_LIBRARY_PATH": f"{fake_nvml_dir('build/fake-nvml')}/full"}
    for abi, base in [("cp314", VENV), ("cp314t", VENV_FT)]:
        folder = ROOT / f"build/wheels/uv-{abi}-x86_64"
        shutil.rmtree(folder, ignore_errors=True)
        interpreter = os.path.realpath(output(nox_session, base, "-c", "import sys; print(sys._base_executable)"))
        nox_session.run(ROOT / ".venv/bin/uv", "venv", "-q", "--no-config", "--python", interpreter, folder / "venv",
                        env=uv_env)
        nox_session.run(*uv, "--python", folder / "venv/bin/python", found[abi, "x86_64"], env=uv_env)
        nox_session.run(folder / "venv/bin/python", ROOT / "tests/wheel/use_installed.py", folder / "node-id",
                        env={**fake, "FAKE_NVML_CONFIG": str(folder / "nvml.conf")})
    print("wheel-install: both x86_64 wheels installed with uv and worked")

    cmake_preset(nox_session, "aarch64-tests")
    bare = AARCH64 / "runtime-without-blake3"
    for abi, python in [("cp314", bare / "usr/bin/python3.14-qemu"),
                        ("cp314t", AARCH64 / "cp314t-without-blake3/python3.14t-qemu")]:
        needs(nox_session, python, "release")
        for installer in ["pip", "uv"]:
            folder = ROOT / f"build/wheels/{installer}-{abi}-aarch64"
            shutil.rmtree(folder, ignore_errors=True)
            if installer == "pip":
                pip_target(nox_session, found[abi, "aarch64"], folder / "site", abi, "aarch64")
            else:
                # The ABI is the interpreter's (uv names no "t" in a version).
                nox_session.run(*uv, "--target", folder / "site", "--python-platform", "aarch64-manylinux_2_28",
                                "--python", VENV if abi == "cp314" else VENV_FT, found[abi, "aarch64"], env=uv_env)
            with nox_session.chdir(folder):
                nox_session.run(*in_host_view(bare, python, ROOT / "tests/wheel/use_installed.py", folder / "node-id",
                                              folder / "site"),
                                env={"LD_LIBRARY_PATH": str(AARCH64 / "tests/fake_nvml/full"),
                                     "FAKE_NVML_CONFIG": str(folder / "nvml.conf"), "PYTHONPATH": str(folder / "site")})
    print("wheel-install: both aarch64 wheels installed with pip and with uv and worked under qemu-aarch64")


@session(name="wheel-suite")
def wheel_suite(nox_session):
    """Release: the whole Python suite on each of the four wheels of dist/.

    x86_64: each wheel installed by pip into build/wheels/suite-ABI-x86_64,
    which .venv or .venv-ft imports it from (checked), with the fake NVML of
    preset fake-nvml. aarch64: each wheel installed for its platform and the
    suite run under qemu-aarch64 as the arm64 sessions run it (Debian's arm64
    python3.14; the cross-built free-threaded CPython), with the fakes of
    preset aarch64-tests. tests/python/test_wheel.py, which builds a wheel of
    its own with this machine's compiler, is left out. ARGS go to pytest.
    Needs the wheels session's dist/. Set-up: release.
    """
    found = release_wheels(nox_session)
    cmake_preset(nox_session, "fake-nvml")
    for abi, python in [("cp314", VENV), ("cp314t", VENV_FT)]:
        site = ROOT / f"build/wheels/suite-{abi}-x86_64"
        pip_target(nox_session, found[abi, "x86_64"], site, abi, "x86_64")
        env = {"PYTHONPATH": str(site), "ZORF_FAKE_NVML_DIR": fake_nvml_dir("build/fake-nvml")}
        loaded = output(nox_session, python, ASK, "module", env=env)
        if not loaded.startswith(f"{site}/"):
            nox_session.error(f"the tests would import {loaded}, not the release wheel's module")
        pytest(nox_session, python, "tests/python", "--ignore=tests/python/test_wheel.py", env=env)
    cmake_preset(nox_session, "aarch64-tests")
    for abi, python in [("cp314", AARCH64 / "runtime/usr/bin/python3.14-qemu"),
                        ("cp314t", AARCH64 / "cp314t/python3.14t-qemu")]:
        needs(nox_session, python, "arm64")
        site = ROOT / f"build/wheels/suite-{abi}-aarch64"
        pip_target(nox_session, found[abi, "aarch64"], site, abi, "aarch64")
        env = {"PYTHONPATH": f"{site}:{AARCH64}/site-{abi}", "ZORF_FAKE_NVML_DIR": str(AARCH64 / "tests/fake_nvml")}
        nox_session.run(*in_host_view(AARCH64 / "runtime", python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                      "tests/python", "--ignore=tests/python/test_wheel.py", *nox_session.posargs),
                        env=env)


@session(default=False)
def benchmarks(nox_session):
    """On request: the benchmarks; every figure beside its goal, whatever the timings.

    Interpreters: .venv, and .venv-ft when there is one (the two builds
    compared). Preset: bench (build/bench: the bare system-call loop, the
    bare walk through the fake NVML, the core timed stage by stage). Fake
    NVML: full, of the same tree. Writes benchmarks/results/latest.md and
    cache_miss.png. Set-up: bench (and free-threaded for the comparison).
    """
    needs(nox_session, VENV, "base")
    if subprocess.run([VENV, "-c", "import matplotlib"], capture_output=True).returncode:
        nox_session.error("matplotlib is missing from .venv: run `bash scripts/setup.sh bench` first")
    install_project(nox_session, VENV)
    cmake_preset(nox_session, "bench")
    pythons = []
    if VENV_FT.exists():
        install_project(nox_session, VENV_FT)
        pythons.append(VENV_FT)
    else:
        print("benchmarks: no .venv-ft (`bash scripts/setup.sh free-threaded`); the builds are not compared")
    nox_session.run(VENV, "benchmarks/python/main.py", ROOT / "build/bench/benchmarks", ROOT / "benchmarks/results",
                    *pythons)


@session(name="profile-hit", default=False)
def profile_hit(nox_session):
    """On request: where a cache hit's instructions go, per hit, under callgrind.

    Interpreter: .venv, running benchmarks/python/hit_loop.py. Preset:
    bench-profile (release optimisation with symbols). Fake NVML: none (every
    call is a hit). Counts only inside the
    module's entry point, user space only: compare with the benchmarks' bare
    system-call loop for the kernel's share. ARGS: the number of hits
    (default 1000). Set-up: sanitizers (valgrind). Seconds.
    """
    tool(nox_session, "valgrind", "sanitizers")
    hits = int(nox_session.posargs[0]) if nox_session.posargs else 1000
    cmake_preset(nox_session, "bench-profile")
    with tempfile.TemporaryDirectory() as scratch:
        # A path as long as a real one, past the short-string buffer.
        cache = f"{scratch}/a-cache-file-path-of-typical-length"
        Path(cache).write_text("0" * 64)
        nox_session.run("valgrind", "--tool=callgrind", f"--callgrind-out-file={scratch}/out",
                        "--toggle-collect=zorf::python::get_gpu_node_id_entry*", VENV,
                        "benchmarks/python/hit_loop.py", cache, str(hits), silent=True,
                        env={"PYTHONPATH": str(ROOT / "build/bench-profile/src/python")})
        report = output(nox_session, "callgrind_annotate", "--inclusive=yes", "--auto=no", "--threshold=100",
                        f"{scratch}/out")
    print("instructions per hit, inclusive (user space only):")
    outer = re.compile(r"Py_RunMain|Py_BytesMain|PyEval_EvalCode|_PyEval_EvalFrameDefault|below main|libc_start|"
                       r"^\?\?\?:0x")
    for line in report.splitlines():
        match = re.match(r"^ *([0-9,]+) \([ 0-9.%]+\) *(.*?)( \[.*)?$", line)
        if not match or "PROGRAM TOTALS" in line:
            continue
        per_hit = int(match.group(1).replace(",", "")) / hits
        if per_hit >= 4 and not outer.search(match.group(2)):
            print(f"{per_hit:8.0f}  {match.group(2)}")


@session(name="gpu-check", default=False)
def gpu_check(nox_session):
    """On request, on a machine with NVIDIA GPUs: the identifier through the real NVML.

    Runs scripts/gpu_check.sh, which needs neither nox nor Python 3.14 and
    runs alone where they are absent. Preset: gpu-check (build/gpu_check).
    Fake NVML: full, fed the UUIDs nvidia-smi reports; the two identifiers
    must match. Also times a cold call and cache hits. Set-up: none beyond a
    C++ compiler, CMake and BLAKE3.
    """
    nox_session.run("bash", "scripts/gpu_check.sh")
