/* Built both into hit_syscalls and into a shared library, so that the Python
 * side can take this floor in its own process, in turn with the module,
 * without a process start between them. */
#include "hit_loop.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* The same chunk size as the module's reader, so that the read count matches. */
static char chunk[4096];

static int hit(const char* path) {
  struct stat status;
  if (stat(path, &status) != 0) return -1;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t count;
  while ((count = read(fd, chunk, sizeof chunk)) > 0) {
  }
  close(fd);
  return count < 0 ? -1 : 0;
}

double hit_loop(const char* path, long iterations) {
  const long long start = now_ns();
  for (long i = 0; i < iterations; ++i) {
    if (hit(path) != 0) {
      perror(path);
      return -1.0;
    }
  }
  return (double)(now_ns() - start) / (double)iterations;
}
