// Calls get_gpu_node_id many times, half of the process on a warm cache and
// half on a cold one, for a leak checker to watch: any memory a call keeps
// grows with the number of calls, so the leak stands out from the noise of
// one-time allocations.
//
//   node_id_loop CACHE_PATH HITS MISSES
//
// Every miss removes the cache first, so each one loads NVML, queries it,
// shuts it down, unloads it and writes the file anew. Exits non-zero when a
// call fails or two calls disagree.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "node_id.hpp"

namespace {

bool call(const std::string& path, std::string& expected) {
  auto node_id = zorf::get_gpu_node_id(path);
  if (!node_id) {
    std::fprintf(stderr, "node_id_loop: %s\n", zorf::chain(node_id.error()).c_str());
    return false;
  }
  if (expected.empty()) expected = *node_id;
  if (*node_id != expected) {
    std::fprintf(stderr, "node_id_loop: got %s after %s\n", node_id->c_str(), expected.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: node_id_loop CACHE_PATH HITS MISSES\n");
    return 2;
  }
  const std::string path = argv[1];
  const long hits = std::strtol(argv[2], nullptr, 10);
  const long misses = std::strtol(argv[3], nullptr, 10);
  std::string expected;

  for (long i = 0; i < misses; ++i) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      std::perror("node_id_loop: unlink");
      return 1;
    }
    if (!call(path, expected)) return 1;
  }
  for (long i = 0; i < hits; ++i)
    if (!call(path, expected)) return 1;
  std::printf("node_id_loop: %ld misses, %ld hits, node id %s\n", misses, hits, expected.c_str());
  return 0;
}
