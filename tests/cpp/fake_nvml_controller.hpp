// The test side of the fake NVML library (tests/fake_nvml): the configuration
// it reads when it is loaded and the log of the calls it gets, both in a
// scratch folder of the test's own.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "scratch_folder.hpp"

namespace zorf::test {

class FakeNvmlController {
 public:
  // Points the fake library (through FAKE_NVML_CONFIG and FAKE_NVML_LOG, for
  // the whole process) at a config file and a log file in a fresh scratch
  // folder. The configuration starts empty.
  FakeNvmlController();
  ~FakeNvmlController();
  FakeNvmlController(const FakeNvmlController&) = delete;
  FakeNvmlController& operator=(const FakeNvmlController&) = delete;

  // Replaces the configuration with these directive lines (see
  // tests/fake_nvml/fake_nvml.cpp).
  void configure(const std::vector<std::string>& lines) const;
  // The log's lines so far.
  std::vector<std::string> log() const;
  // Its last `n` lines (fewer when it is shorter).
  std::vector<std::string> log_tail(std::size_t n) const;
  void clear_log() const;
  // How many log lines equal `event`.
  std::size_t count(const std::string& event) const;

  // The scratch folder, which the tests use for their cache files too.
  const std::filesystem::path& dir() const { return scratch_.dir(); }
  std::string path(const std::string& name) const { return scratch_.path(name); }

 private:
  ScratchFolder scratch_;
};

// Hex of bytes, for "uuid" directives ("-" for none).
std::string hex(const std::string& bytes);

}  // namespace zorf::test
