# How to start ThreadSanitizer-instrumented programs here (sourced, not run).
#
# GCC 12's TSan runtime expects the address space layout of kernels with fewer
# random mmap bits and dies at start on the others; without randomisation it
# always fits. The personality is inherited by everything the launched
# program starts.

# tsan_launch_for LABEL PROGRAM [ARG...]: runs the instrumented PROGRAM once as
# a probe and sets the array tsan_launch to the prefix that lets such programs
# start: empty, or setarch -R.
tsan_launch_for() {
  local label=$1 probe
  shift
  tsan_launch=()
  probe=$("$@" 2>&1 || true)
  if grep -q 'ThreadSanitizer: unexpected memory mapping' <<<"$probe"; then
    echo "$label: address space randomisation trips TSan here; running with setarch -R" >&2
    tsan_launch=(setarch "$(uname -m)" -R)
  fi
}
