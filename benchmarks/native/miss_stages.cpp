// A cache miss taken apart: the core library's own calls, each timed, with
// the fake NVML underneath.
//
// Each iteration walks the library's life twice. First piece by piece (load,
// resolve, init, shutdown, unload), since Nvml::init and Nvml::end do several
// of those at once; then as the service does it (Nvml::init, count, handles
// and UUIDs, hash, cache write, Nvml::end, after an untimed look that finds no
// cache file), and finally the whole service call in one.
//
// usage: miss_stages ITERATIONS CACHE_DIRECTORY
// Prints a header of stage names, then one line of nanoseconds per stage for
// each iteration.
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cache_file.hpp"
#include "gpu/device.hpp"
#include "gpu/library.hpp"
#include "gpu/nvml.hpp"
#include "gpu/nvml_lib.hpp"
#include "node_id.hpp"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "miss_stages: %s\n", what.c_str());
  std::exit(1);
}

template <class T>
T must(std::expected<T, zorf::gpu::NvmlError> result, const char* what) {
  if (!result) fail(std::string(what) + ": " + result.error().display());
  return std::move(*result);
}

class Stopwatch {
 public:
  // Nanoseconds since the previous lap, so that stages laid end to end add up
  // to the whole with no gaps between them.
  long long lap() {
    const auto now = Clock::now();
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - last_).count();
    last_ = now;
    return elapsed;
  }

 private:
  Clock::time_point last_ = Clock::now();
};

struct Pieces {
  long long load, resolve, init, shutdown, unload;
};

Pieces piece_by_piece() {
  Stopwatch watch;
  auto library = zorf::gpu::Library::open(zorf::gpu::kNvmlSoname, RTLD_LAZY | RTLD_LOCAL);
  if (!library) fail("load: " + library.error().display());
  const long long load = watch.lap();
  std::optional<zorf::gpu::NvmlLib> lib(zorf::gpu::NvmlLib::from_library(std::move(*library)));
  const long long resolve = watch.lap();
  const auto init = must(lib->nvmlInit_v2.get(), "nvmlInit_v2");
  if (init() != 0) fail("nvmlInit_v2 failed");
  const long long init_ns = watch.lap();
  (*must(lib->nvmlShutdown.get(), "nvmlShutdown"))();
  const long long shutdown = watch.lap();
  lib.reset();
  return {load, resolve, init_ns, shutdown, watch.lap()};
}

struct ServicePath {
  long long init, count, queries, hash, write, end;
};

// Where the cache file goes: the folder that a look at `path` found no file
// in, as the service looks before it starts NVML.
zorf::FolderEntry place_of_a_miss(const std::string& path) {
  auto lookup = zorf::look_up_cache(path);
  if (!lookup) fail("cache look-up: " + std::visit([](const auto& error) { return error.display(); }, lookup.error()));
  auto* absent = std::get_if<zorf::CacheAbsent>(&*lookup);
  if (absent == nullptr) fail("a cache file is already at " + path);
  if (!absent->place) fail("no place for the cache file: " + absent->place.error().display());
  return std::move(*absent->place);
}

ServicePath as_the_service(const std::string& path) {
  const zorf::FolderEntry place = place_of_a_miss(path);
  Stopwatch watch;
  zorf::gpu::Nvml nvml = must(zorf::gpu::Nvml::init(), "init");
  const long long init = watch.lap();
  const std::uint32_t count = must(nvml.device_count(), "count");
  const long long count_ns = watch.lap();
  std::vector<std::string> uuids;
  uuids.reserve(count);
  for (std::uint32_t index = 0; index < count; ++index)
    uuids.push_back(must(must(nvml.device_by_index(index), "handle").uuid(), "uuid"));
  const long long queries = watch.lap();
  const std::string node_id = zorf::node_id_from_uuids(std::move(uuids));
  const long long hash = watch.lap();
  const auto written = zorf::write_new_cache(place, node_id);
  if (!written || *written != zorf::NewCacheFile::written) fail("cache write failed");
  const long long write = watch.lap();
  nvml.end();
  const long long end = watch.lap();
  ::unlink(path.c_str());
  return {init, count_ns, queries, hash, write, end};
}

long long whole_call(const std::string& path) {
  Stopwatch watch;
  const auto node_id = zorf::get_gpu_node_id(path);
  const long long whole = watch.lap();
  if (!node_id) fail("service call: " + zorf::chain(node_id.error()));
  ::unlink(path.c_str());
  return whole;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: miss_stages ITERATIONS CACHE_DIRECTORY\n", stderr);
    return 2;
  }
  const long iterations = std::strtol(argv[1], nullptr, 10);
  const std::string path = std::string(argv[2]) + "/miss_stages." + std::to_string(::getpid());

  std::puts("load resolve init shutdown unload nvml_init count queries hash write nvml_end whole");
  for (long iteration = 0; iteration < iterations; ++iteration) {
    const Pieces p = piece_by_piece();
    const ServicePath s = as_the_service(path);
    const long long whole = whole_call(path);
    std::printf("%lld %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld %lld\n", p.load, p.resolve, p.init,
                p.shutdown, p.unload, s.init, s.count, s.queries, s.hash, s.write, s.end, whole);
  }
  return 0;
}
