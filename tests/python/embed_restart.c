/* An application that embeds CPython and restarts it: each round initialises
 * the runtime, runs the round's code (argv[1], which imports zorf_lib and
 * calls it), and finalises the runtime again, all in one process.
 *
 *   embed_restart CODE ROUNDS
 *
 * The round number is in the environment of the code as ZORF_ROUND. Exits
 * non-zero on the first round whose code raised or whose finalisation failed. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s CODE ROUNDS\n", argv[0]);
    return 2;
  }
  const int rounds = atoi(argv[2]);
  for (int round = 1; round <= rounds; ++round) {
    char number[16];
    snprintf(number, sizeof number, "%d", round);
    setenv("ZORF_ROUND", number, 1);
    Py_InitializeEx(0);
    if (PyRun_SimpleString(argv[1]) != 0) {
      fprintf(stderr, "round %d: the code raised\n", round);
      return 1;
    }
    if (Py_FinalizeEx() != 0) {
      fprintf(stderr, "round %d: finalisation failed\n", round);
      return 1;
    }
  }
  printf("%d rounds\n", rounds);
  return 0;
}
