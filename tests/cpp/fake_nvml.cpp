#include "fake_nvml.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace zorf::test {

FakeNvml::FakeNvml() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zorf-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  ::setenv("FAKE_NVML_CONFIG", path("fake_nvml.conf").c_str(), 1);
  ::setenv("FAKE_NVML_LOG", path("fake_nvml.log").c_str(), 1);
  configure({});
}

FakeNvml::~FakeNvml() {
  ::unsetenv("FAKE_NVML_CONFIG");
  ::unsetenv("FAKE_NVML_LOG");
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void FakeNvml::configure(const std::vector<std::string>& lines) const {
  std::ofstream file(dir_ / "fake_nvml.conf", std::ios::trunc);
  for (const auto& line : lines) file << line << '\n';
}

std::vector<std::string> FakeNvml::log() const {
  std::ifstream file(dir_ / "fake_nvml.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> FakeNvml::log_tail(std::size_t n) const {
  auto lines = log();
  lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())));
  return lines;
}

void FakeNvml::clear_log() const { std::filesystem::remove(dir_ / "fake_nvml.log"); }

std::size_t FakeNvml::count(const std::string& event) const {
  const auto lines = log();
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), event));
}

std::string variant() {
  const char* name = std::getenv("FAKE_NVML_VARIANT");
  return name ? name : "";
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

std::string b3sum(const std::string& bytes) {
  char input[] = "/tmp/zorf-b3sum-XXXXXX";
  const int fd = ::mkstemp(input);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::close(fd);
  write_file(input, bytes);
  const std::string command = std::string("b3sum --no-names ") + input;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run b3sum");
  char digest[65] = {};
  const std::size_t got = std::fread(digest, 1, 64, pipe);
  ::pclose(pipe);
  ::unlink(input);
  if (got != 64) throw std::runtime_error("b3sum printed no digest");
  return std::string(digest, 64);
}

std::vector<std::string> list_dir(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
}

std::string run_in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(fds[0]);
    std::string text;
    try {
      text = body();
    } catch (const std::exception& e) {
      text = std::string("child threw: ") + e.what();
    }
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char chunk[512];
  for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child did not exit normally: " + text;
  return text;
}

ScopedUmask::ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
ScopedUmask::~ScopedUmask() { ::umask(previous_); }

}  // namespace zorf::test
