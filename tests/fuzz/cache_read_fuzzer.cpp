// get_gpu_node_id on a present cache file with arbitrary content: valid UTF-8
// comes back unchanged, anything else is "Failed to read cache file" with the
// decoding error as its cause. This path must never load NVML: the fuzzer
// runs without any NVML on the loader path and checks that none got loaded.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "node_id.hpp"
#include "support/utf8.hpp"
#include "fuzz_check.hpp"
#include "utf8_reference.hpp"

namespace {

using zorf::fuzz::check;
using zorf::fuzz::fail;

// A folder of our own, made once; tmpfs where there is one, as every
// iteration rewrites the file.
struct Scratch {
  std::string dir;
  std::string file;

  Scratch() {
    std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/zorf-fuzz.XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) fail("cannot make a scratch folder");
    dir = pattern;
    file = dir + "/cache";
    std::atexit([] {
      ::unlink(scratch().file.c_str());
      ::rmdir(scratch().dir.c_str());
    });
  }

  static Scratch& scratch() {
    static Scratch instance;
    return instance;
  }
};

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot open the cache file for writing");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) fail("cannot write the cache file");
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const zorf::fuzz::Utf8Reference reference;
  const std::string& path = Scratch::scratch().file;
  write_file(path, data, size);

  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const auto expected = reference.check(content);
  const auto result = zorf::get_gpu_node_id(path);

  check(::dlopen("libnvidia-ml.so.1", RTLD_LAZY | RTLD_NOLOAD) == nullptr, "NVML got loaded on a cache hit");
  if (result) {
    check(!expected, "returned a cache file that is not UTF-8");
    check(*result == content, "returned text differs from the file");
    return 0;
  }
  check(expected.has_value(), "failed on a valid UTF-8 cache file");
  check(result.error().display() == "Failed to read cache file", "wrong message for a bad cache file");
  const auto* cause = result.error().cause().get_if<zorf::Utf8Error>();
  check(cause != nullptr, "the cause is not the decoding error");
  check(cause->valid_up_to == expected->valid_up_to, "valid_up_to differs from the reference");
  check(cause->error_len == expected->error_len, "error_len differs from the reference");
  return 0;
}
