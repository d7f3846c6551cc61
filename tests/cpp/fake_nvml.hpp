// Test-side control of the fake NVML library: a scratch folder per test, the
// configuration the library reads when it is loaded, and its call log.
#pragma once

#include <cstdlib>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zorf::test {

class FakeNvml {
 public:
  // Makes a fresh scratch folder and points the fake library at a config file
  // and a log file inside it. The configuration starts empty.
  FakeNvml();
  ~FakeNvml();
  FakeNvml(const FakeNvml&) = delete;
  FakeNvml& operator=(const FakeNvml&) = delete;

  // Replaces the configuration with these directive lines (see fake_nvml.cpp).
  void configure(const std::vector<std::string>& lines) const;
  // The log's lines so far.
  std::vector<std::string> log() const;
  // Its last `n` lines (fewer when it is shorter).
  std::vector<std::string> log_tail(std::size_t n) const;
  void clear_log() const;
  // How many log lines equal `event`.
  std::size_t count(const std::string& event) const;

  const std::filesystem::path& dir() const { return dir_; }
  // A path inside the scratch folder.
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

// The name of the fake library variant this process's loader path holds
// ("full", "without_uuid", ...), as set by the test runner.
std::string variant();

// Hex of bytes, for "uuid" directives.
std::string hex(const std::string& bytes);

// BLAKE3 of `bytes` in hexadecimal, computed by the b3sum program: an oracle
// independent of the code under test.
std::string b3sum(const std::string& bytes);

// File names in a folder, sorted.
std::vector<std::string> list_dir(const std::filesystem::path& dir);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

// Names a parameterised case after the `name` member of its parameter.
struct CaseName {
  template <class Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

// Runs `body` in a forked child and returns the text it returned: by
// convention empty when all went well, else what went wrong. The child must
// not use gtest assertions, which would not reach the parent.
std::string run_in_child(const std::function<std::string()>& body);

// Sets the process umask for the lifetime of the object.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask);
  ~ScopedUmask();
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

}  // namespace zorf::test
