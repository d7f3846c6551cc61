/* The fake NVML's own share of a cache miss, from the command line.
 *
 * usage: miss_bare ITERATIONS
 * Prints a header of stage names, then one line of nanoseconds per stage for
 * each iteration. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include "fake_walk.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: miss_bare ITERATIONS\n", stderr);
    return 2;
  }
  const long iterations = strtol(argv[1], NULL, 10);
  /* The process that runs the module already holds the C++ runtime, which the
   * fake library needs; without it here every load would pull it in and every
   * unload drop it again, a cost the module never pays. */
  if (dlopen("libstdc++.so.6", RTLD_NOW | RTLD_GLOBAL) == NULL) {
    fprintf(stderr, "dlopen libstdc++: %s\n", dlerror());
    return 1;
  }
  puts("load resolve init count queries shutdown unload total");
  for (long iteration = 0; iteration < iterations; ++iteration) {
    long long stage_ns[FAKE_WALK_STAGES];
    if (fake_walk(stage_ns) != 0) return 1;
    for (int stage = 0; stage < FAKE_WALK_STAGES; ++stage)
      printf("%lld%c", stage_ns[stage], stage + 1 < FAKE_WALK_STAGES ? ' ' : '\n');
  }
  return 0;
}
