/* Everything the module asks of the loader and of NVML on a cache miss
 * (dlopen, the five dlsym, init, count, one handle and one UUID per device,
 * shutdown, dlclose) and nothing else. Built both into miss_bare and into a
 * shared library, so that the Python side can take this floor in the very
 * process, and at the very moment, it times the module. */
#include "fake_walk.h"

#include <dlfcn.h>
#include <stdio.h>
#include <time.h>

typedef unsigned int nvmlReturn_t;
typedef void* nvmlDevice_t;

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* Into a data pointer's storage: ISO C has no cast from void* to a function
 * pointer, and POSIX guarantees this round trip. */
static int resolve(void* library, const char* name, void* function_slot) {
  void* address = dlsym(library, name);
  if (address == NULL) {
    fprintf(stderr, "dlsym %s: %s\n", name, dlerror());
    return -1;
  }
  *(void**)function_slot = address;
  return 0;
}

int fake_walk(long long stage_ns[FAKE_WALK_STAGES]) {
  long long t[8];
  t[0] = now_ns();
  void* library = dlopen("libnvidia-ml.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return -1;
  }
  t[1] = now_ns();
  nvmlReturn_t (*init)(void);
  nvmlReturn_t (*shutdown)(void);
  nvmlReturn_t (*get_count)(unsigned int*);
  nvmlReturn_t (*get_handle)(unsigned int, nvmlDevice_t*);
  nvmlReturn_t (*get_uuid)(nvmlDevice_t, char*, unsigned int);
  if (resolve(library, "nvmlInit_v2", &init) != 0 || resolve(library, "nvmlShutdown", &shutdown) != 0 ||
      resolve(library, "nvmlDeviceGetCount_v2", &get_count) != 0 ||
      resolve(library, "nvmlDeviceGetHandleByIndex_v2", &get_handle) != 0 ||
      resolve(library, "nvmlDeviceGetUUID", &get_uuid) != 0) {
    dlclose(library);
    return -1;
  }
  t[2] = now_ns();
  int status = -1;
  unsigned int count = 0;
  if (init() != 0) {
    fputs("nvmlInit_v2 failed\n", stderr);
    dlclose(library);
    return -1;
  }
  t[3] = now_ns();
  if (get_count(&count) == 0) status = 0;
  t[4] = now_ns();
  for (unsigned int index = 0; status == 0 && index < count; ++index) {
    nvmlDevice_t device = NULL;
    char uuid[96];
    if (get_handle(index, &device) != 0 || get_uuid(device, uuid, sizeof uuid) != 0) status = -1;
  }
  t[5] = now_ns();
  shutdown();
  t[6] = now_ns();
  dlclose(library);
  t[7] = now_ns();
  if (status != 0) {
    fputs("device query failed\n", stderr);
    return -1;
  }
  for (int stage = 1; stage < 8; ++stage) stage_ns[stage - 1] = t[stage] - t[stage - 1];
  stage_ns[7] = t[7] - t[0];
  return 0;
}
