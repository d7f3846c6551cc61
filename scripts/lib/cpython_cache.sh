# The per-machine cache of this project's scripts, and the CPython builds that
# scripts/cpython.sh keeps there (sourced, not run).

# $ZORF_CACHE_DIR, else zorf_lib under the user's cache folder.
zorf_cache=${ZORF_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zorf_lib}

# cached_cpython FLAVOUR PROGRAM: prints PROGRAM's path in a CPython 3.14 that
# scripts/cpython.sh built earlier in FLAVOUR (the newest name when several),
# or nothing (status 1) when there is none.
cached_cpython() {
  local flavour=$1 program=$2 complete found=""
  for complete in "$zorf_cache"/cpython/cpython-3.14.*-"$flavour"/.complete; do
    [ -f "$complete" ] && found=$(dirname "$complete")/bin/$program
  done
  [ -n "$found" ] && [ -x "$found" ] || return 1
  echo "$found"
}
