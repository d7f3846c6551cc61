/* The floor under a cache hit, from the command line.
 *
 * usage: hit_syscalls PATH ITERATIONS ROUNDS
 * Prints, per round, the mean nanoseconds per hit. */
#include <stdio.h>
#include <stdlib.h>

#include "hit_loop.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fputs("usage: hit_syscalls PATH ITERATIONS ROUNDS\n", stderr);
    return 2;
  }
  const long iterations = strtol(argv[2], NULL, 10);
  const long rounds = strtol(argv[3], NULL, 10);
  if (iterations <= 0 || rounds <= 0) return 2;
  for (long round = 0; round < rounds; ++round) {
    const double ns = hit_loop(argv[1], iterations);
    if (ns < 0) return 1;
    printf("%.1f\n", ns);
  }
  return 0;
}
