# Checks of a built extension module's dynamic symbols (sourced, not run).

# check_module_symbols NM MODULE ABI: the module exports PyInit_zorf_lib and
# nothing else, and calls PyUnstable_Module_SetGIL exactly when ABI is
# "free-threaded" (on a default build there is no GIL declaration to make).
check_module_symbols() {
  local nm=$1 module=$2 abi=$3 exports set_gil
  exports=$("$nm" -D --defined-only "$module" | awk '{print $NF}')
  [ "$exports" = PyInit_zorf_lib ] || { echo "$module exports more than PyInit_zorf_lib: $(echo $exports)" >&2; return 1; }
  set_gil=$("$nm" -D --undefined-only "$module" | awk '$NF == "PyUnstable_Module_SetGIL"' | wc -l)
  case $abi in
    free-threaded) [ "$set_gil" -eq 1 ] || { echo "$module: free-threaded, yet never calls PyUnstable_Module_SetGIL" >&2; return 1; } ;;
    default) [ "$set_gil" -eq 0 ] || { echo "$module: default ABI, yet calls PyUnstable_Module_SetGIL" >&2; return 1; } ;;
    *) echo "check_module_symbols: unknown ABI '$abi'" >&2; return 2 ;;
  esac
}
