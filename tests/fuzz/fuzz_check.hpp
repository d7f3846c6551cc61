// The fuzz targets' way to report a broken expectation: a message, then abort,
// which libFuzzer records as a crash and saves with its input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace zorf::fuzz {

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

}  // namespace zorf::fuzz
