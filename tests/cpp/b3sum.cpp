#include "b3sum.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "scratch_folder.hpp"

namespace zorf::test {

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

}  // namespace zorf::test
