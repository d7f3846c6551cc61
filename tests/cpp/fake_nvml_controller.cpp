#include "fake_nvml_controller.hpp"

#include <stdlib.h>

#include <algorithm>
#include <fstream>

namespace zorf::test {

FakeNvmlController::FakeNvmlController() {
  ::setenv("FAKE_NVML_CONFIG", path("fake_nvml.conf").c_str(), 1);
  ::setenv("FAKE_NVML_LOG", path("fake_nvml.log").c_str(), 1);
  configure({});
}

FakeNvmlController::~FakeNvmlController() {
  ::unsetenv("FAKE_NVML_CONFIG");
  ::unsetenv("FAKE_NVML_LOG");
}

void FakeNvmlController::configure(const std::vector<std::string>& lines) const {
  std::ofstream file(dir() / "fake_nvml.conf", std::ios::trunc);
  for (const auto& line : lines) file << line << '\n';
}

std::vector<std::string> FakeNvmlController::log() const {
  std::ifstream file(dir() / "fake_nvml.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> FakeNvmlController::log_tail(std::size_t n) const {
  auto lines = log();
  lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())));
  return lines;
}

void FakeNvmlController::clear_log() const { std::filesystem::remove(dir() / "fake_nvml.log"); }

std::size_t FakeNvmlController::count(const std::string& event) const {
  const auto lines = log();
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), event));
}

std::string hex(const std::string& bytes) {
  if (bytes.empty()) return "-";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace zorf::test
