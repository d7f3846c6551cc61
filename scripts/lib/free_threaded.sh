# Finding a free-threaded CPython 3.14 and making the project's venv on it
# (sourced, not run). Used by scripts/free_threaded_test.sh and the benchmarks.
source scripts/lib/cpython_cache.sh

# Prints the interpreter's path, or nothing (status 1) when there is none:
# $ZORF_FREE_THREADED_PYTHON, else python3.14t on the PATH, else one built by
# scripts/cpython.sh from the tarball named by $CPYTHON_SOURCE (built now if
# need be, once per machine), else one that scripts/cpython.sh built earlier.
free_threaded_python() {
  local python=${ZORF_FREE_THREADED_PYTHON:-}
  [ -n "$python" ] || python=$(command -v python3.14t || true)
  if [ -z "$python" ] && [ -n "${CPYTHON_SOURCE:-}" ]; then
    python=$(bash scripts/cpython.sh "$CPYTHON_SOURCE" free-threaded) || return 1
  fi
  [ -n "$python" ] || python=$(cached_cpython free-threaded python3.14t) || return 1
  "$python" -c 'import sys, sysconfig; assert sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED") == 1' \
    2>/dev/null || { echo "$python is not a free-threaded CPython 3.14" >&2; return 1; }
  echo "$python"
}

# free_threaded_venv PYTHON VENV PACKAGE...: a venv on PYTHON with the packages
# and zorf_lib from this checkout installed (the cp314t module).
free_threaded_venv() {
  local python=$1 venv=$2
  shift 2
  # Remade when it is on another interpreter, or when its pip does not run (a
  # set-up that failed half-way leaves a venv without one).
  if [ ! -x "$venv/bin/python" ] || [ "$("$venv/bin/python" -c 'import sys; print(sys._base_executable)')" != "$python" ] \
    || ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
  fi
  local imports
  imports=$(printf '%s\n' "$@" | tr - _ | paste -sd, -)
  if ! "$venv/bin/python" -c "import $imports" 2>/dev/null; then
    echo "$(basename "$0"): installing $* into $venv" >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$@"
  fi
  # The local build needs no index: this machine's pip configuration is left out.
  PIP_CONFIG_FILE=/dev/null "$venv/bin/python" -m pip install -q --no-build-isolation --disable-pip-version-check .
}
