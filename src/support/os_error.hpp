// An operating-system error: the errno of a failed system call.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace zorf {

struct OsError {
  int code = 0;

  static OsError last() noexcept { return OsError{errno}; }
  friend bool operator==(const OsError&, const OsError&) = default;
};

inline std::string to_string(const OsError& error) {
  return std::string(std::strerror(error.code)) + " (os error " + std::to_string(error.code) + ")";
}

}  // namespace zorf
