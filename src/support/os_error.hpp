// An operating-system error: the errno of a failed system call.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include "support/error_protocol.hpp"

namespace zorf {

struct OsError {
  int code = 0;

  static OsError last() noexcept { return OsError{errno}; }
  friend bool operator==(const OsError&, const OsError&) = default;

  std::string display() const {
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
  }
  ErrorRef cause() const noexcept { return {}; }
};

}  // namespace zorf
