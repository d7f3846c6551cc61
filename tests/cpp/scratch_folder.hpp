// A fresh folder of a test's own, removed with everything in it when the test
// ends, and the file helpers the tests use in it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zorf::test {

class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  // A path inside the folder.
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

// File names in a folder, sorted.
std::vector<std::string> list_dir(const std::filesystem::path& dir);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

}  // namespace zorf::test
