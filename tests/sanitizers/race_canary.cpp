// A library whose two threads bump one counter with nothing to order them:
// loaded into an interpreter started as the thread tests start theirs, it
// must make ThreadSanitizer end that process with its status, or a clean
// run of those tests would prove nothing.
#include <pthread.h>

namespace {
long counter;

void* bump(void* arg) {
  for (int i = 0; i < 1000; ++i) ++counter;
  return arg;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) void race() {
  pthread_t a;
  pthread_t b;
  pthread_create(&a, nullptr, bump, nullptr);
  pthread_create(&b, nullptr, bump, nullptr);
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
}
