// gpu_check: prints the node identifier computed by the library on this
// machine and, on request, times a cold call (NVML load, init, queries,
// shutdown, unload, cache write) and a cache hit. Used to check the library
// against real GPUs without Python.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "node_id.hpp"
#include "support/internal_failure.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double microseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

int usage() {
  std::fputs("usage: gpu_check [--cache PATH] [--time [HITS]]\n"
             "  Prints the node identifier. Without --cache, a fresh temporary cache\n"
             "  file is used and removed, so NVML is always asked.\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> cache;
  bool timing = false;
  long hits = 10000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cache") == 0 && i + 1 < argc) {
      cache = argv[++i];
    } else if (std::strcmp(argv[i], "--time") == 0) {
      timing = true;
      if (i + 1 < argc && argv[i + 1][0] != '-') hits = std::strtol(argv[++i], nullptr, 10);
    } else {
      return usage();
    }
  }
  const bool temporary = !cache;
  if (temporary) {
    char dir[] = "/tmp/gpu_check-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return std::perror("mkdtemp"), 1;
    cache = std::string(dir) + "/node_id";
  }

  int status = 0;
  try {
    const auto start = Clock::now();
    const auto node_id = zorf::get_gpu_node_id(*cache);
    const double cold_us = microseconds_since(start);
    if (!node_id) {
      std::fprintf(stderr, "error: %s\n", zorf::chain(node_id.error()).c_str());
      status = 1;
    } else {
      std::printf("%s\n", node_id->c_str());
      if (timing) {
        const auto hit_start = Clock::now();
        for (long i = 0; i < hits; ++i)
          if (!zorf::get_gpu_node_id(*cache)) return std::fputs("cache hit failed\n", stderr), 1;
        std::fprintf(stderr, "cold call: %.1f us\ncache hit: %.3f us (mean of %ld)\n", cold_us,
                     microseconds_since(hit_start) / static_cast<double>(hits), hits);
      }
    }
  } catch (const zorf::InternalFailure& failure) {
    std::fprintf(stderr, "internal failure: %s\n", failure.what());
    status = 1;
  }
  if (temporary) {
    ::unlink(cache->c_str());
    ::rmdir(cache->substr(0, cache->rfind('/')).c_str());
  }
  return status;
}
