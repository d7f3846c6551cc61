// A stand-in for libnvidia-ml.so.1 whose behaviour each test sets.
//
// FAKE_NVML_CONFIG names a text file read on the first NVML call, one
// directive per line:
//   uuid HEX          next device's UUID bytes, as hexadecimal ("-" for none)
//   uuid_text TEXT    next device's UUID, the rest of the line as it stands
//   generate N        N more devices with distinct made-up UUIDs, listed in
//                     descending order so that sorting has work to do
//   count N           what nvmlDeviceGetCount_v2 reports (default: the devices)
//   init_rc RC, shutdown_rc RC, count_rc RC
//   handle_rc I RC, uuid_rc I RC    return codes of one device's calls
//   init_delay_us US  sleep in nvmlInit_v2, to widen races in tests, or to
//                     stand for a wedged driver
//   shutdown_delay_us US   the same in nvmlShutdown, after the cache is written
// FAKE_NVML_LOG names a file that gets one line per event: load, unload and
// every NVML call with its arguments.
//
// Variants of the library leave out entry points (FAKE_NVML_WITHOUT_*) or
// make one resolve to a null address (FAKE_NVML_NULL_COUNT).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

using nvmlReturn_t = unsigned int;
using nvmlDevice_t = struct nvmlDevice_st*;

namespace {

constexpr nvmlReturn_t kSuccess = 0;
constexpr nvmlReturn_t kInvalidArgument = 2;

struct Config {
  std::vector<std::string> uuids;
  long long count = -1;
  nvmlReturn_t init_rc = 0, shutdown_rc = 0, count_rc = 0;
  std::map<unsigned, nvmlReturn_t> handle_rc, uuid_rc;
  unsigned init_delay_us = 0, shutdown_delay_us = 0;
};

void log_event(const std::string& event) {
  const char* path = std::getenv("FAKE_NVML_LOG");
  if (path == nullptr || *path == '\0') return;
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string line = event + "\n";
  // One write per line, so that lines of concurrent processes do not mix.
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

std::string from_hex(const std::string& hex) {
  if (hex == "-") return {};
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

Config load_config() {
  Config c;
  const char* path = std::getenv("FAKE_NVML_CONFIG");
  if (path == nullptr || *path == '\0') return c;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string directive;
    words >> directive;
    if (directive == "uuid") {
      std::string hex;
      words >> hex;
      c.uuids.push_back(from_hex(hex));
    } else if (directive == "uuid_text") {
      c.uuids.push_back(line.size() > 10 ? line.substr(10) : std::string());
    } else if (directive == "generate") {
      unsigned n = 0;
      words >> n;
      for (unsigned i = n; i-- > 0;) {
        char uuid[64];
        std::snprintf(uuid, sizeof uuid, "GPU-%08x-%04x-4%03x-8000-%012x", 0x5eed0000u + i, i & 0xFFFF, i & 0xFFF, i);
        c.uuids.emplace_back(uuid);
      }
    } else if (directive == "count") {
      words >> c.count;
    } else if (directive == "init_rc") {
      words >> c.init_rc;
    } else if (directive == "shutdown_rc") {
      words >> c.shutdown_rc;
    } else if (directive == "count_rc") {
      words >> c.count_rc;
    } else if (directive == "handle_rc" || directive == "uuid_rc") {
      unsigned index = 0;
      nvmlReturn_t rc = 0;
      words >> index >> rc;
      (directive == "handle_rc" ? c.handle_rc : c.uuid_rc)[index] = rc;
    } else if (directive == "init_delay_us") {
      words >> c.init_delay_us;
    } else if (directive == "shutdown_delay_us") {
      words >> c.shutdown_delay_us;
    }
  }
  return c;
}

// Read on first use, under the guard of a function-local static, rather than
// in the load-time constructor: threads that load the library together are
// ordered by the loader's own lock, which ThreadSanitizer cannot see, but it
// sees this guard.
const Config& config() {
  static const Config instance = load_config();
  return instance;
}

__attribute__((constructor)) void on_load() { log_event("load"); }

__attribute__((destructor)) void on_unload() { log_event("unload"); }

}  // namespace

// A variable at global scope has no mangled name: this is the C symbol (GCC
// declares it itself, with C++ linkage).
extern void* __dso_handle;
extern "C" void __cxa_finalize(void* dso);

namespace {

// The destructors this library registered (config()'s static) must run when
// it is unloaded, while its code is still mapped. GCC's start files call
// __cxa_finalize at dlclose; zig's do not (zig issue 17908), which would
// leave them to the process's exit, from a library long gone. A second call
// finds nothing left to run.
__attribute__((destructor)) void finalize_on_unload() { __cxa_finalize(&__dso_handle); }

nvmlDevice_t handle_of(unsigned index) {
  return reinterpret_cast<nvmlDevice_t>(static_cast<std::uintptr_t>(index + 1) * 16);
}

}  // namespace

#ifndef FAKE_NVML_WITHOUT_INIT_V2
FAKE_EXPORT nvmlReturn_t nvmlInit_v2() {
  log_event("nvmlInit_v2");
  if (config().init_delay_us != 0) std::this_thread::sleep_for(std::chrono::microseconds(config().init_delay_us));
  return config().init_rc;
}
#endif

#ifndef FAKE_NVML_WITHOUT_INIT_WITH_FLAGS
FAKE_EXPORT nvmlReturn_t nvmlInitWithFlags(unsigned int flags) {
  log_event("nvmlInitWithFlags " + std::to_string(flags));
  return config().init_rc;
}
#endif

#ifndef FAKE_NVML_WITHOUT_SHUTDOWN
FAKE_EXPORT nvmlReturn_t nvmlShutdown() {
  log_event("nvmlShutdown");
  if (config().shutdown_delay_us != 0)
    std::this_thread::sleep_for(std::chrono::microseconds(config().shutdown_delay_us));
  return config().shutdown_rc;
}
#endif

FAKE_EXPORT const char* nvmlErrorString(nvmlReturn_t) { return "fake NVML error"; }

FAKE_EXPORT nvmlReturn_t nvmlSystemGetDriverVersion(char* version, unsigned int length) {
  std::snprintf(version, length, "0.0.fake");
  return kSuccess;
}

[[maybe_unused]] static nvmlReturn_t get_count(unsigned int* count) {
  log_event("nvmlDeviceGetCount_v2");
  if (config().count_rc != kSuccess) return config().count_rc;
  *count = config().count >= 0 ? static_cast<unsigned>(config().count)
                               : static_cast<unsigned>(config().uuids.size());
  return kSuccess;
}

#ifdef FAKE_NVML_NULL_COUNT
// An indirect function whose resolver yields null: dlsym then returns a null
// address without any error text.
// The resolver returns the function's own pointer type, as GCC checks.
using GetCount = nvmlReturn_t (*)(unsigned int*);
extern "C" GetCount resolve_null_count() { return nullptr; }
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetCount_v2(unsigned int*) __attribute__((ifunc("resolve_null_count")));
#else
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetCount_v2(unsigned int* count) { return get_count(count); }
#endif

FAKE_EXPORT nvmlReturn_t nvmlDeviceGetHandleByIndex_v2(unsigned int index, nvmlDevice_t* device) {
  log_event("nvmlDeviceGetHandleByIndex_v2 " + std::to_string(index));
  if (auto rc = config().handle_rc.find(index); rc != config().handle_rc.end()) return rc->second;
  if (index >= config().uuids.size()) return kInvalidArgument;
  *device = handle_of(index);
  return kSuccess;
}

#ifndef FAKE_NVML_WITHOUT_UUID
FAKE_EXPORT nvmlReturn_t nvmlDeviceGetUUID(nvmlDevice_t device, char* uuid, unsigned int length) {
  const auto raw = reinterpret_cast<std::uintptr_t>(device);
  const unsigned index = static_cast<unsigned>(raw / 16) - 1;
  log_event("nvmlDeviceGetUUID " + std::to_string(index) + " " + std::to_string(length));
  if (raw == 0 || raw % 16 != 0 || index >= config().uuids.size()) return kInvalidArgument;
  if (auto rc = config().uuid_rc.find(index); rc != config().uuid_rc.end()) return rc->second;
  const std::string& text = config().uuids[index];
  // Like NVML: the text and a NUL when it fits, else as much as fits.
  std::memcpy(uuid, text.data(), std::min<std::size_t>(text.size(), length));
  if (text.size() < length) uuid[text.size()] = '\0';
  return kSuccess;
}
#endif
