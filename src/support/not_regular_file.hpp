// The error for a path that names something other than a regular file or a
// folder: a FIFO, a socket or a device, none of which may be read as a file
// (a FIFO blocks, a device streams without end).
#pragma once

#include <sys/stat.h>

#include <string>

#include "support/error_protocol.hpp"

namespace zorf {

struct NotRegularFile {
  mode_t type = 0;  // the S_IFMT bits of st_mode

  friend bool operator==(const NotRegularFile&, const NotRegularFile&) = default;

  std::string display() const {
    const char* kind = S_ISFIFO(type)  ? "a FIFO"
                       : S_ISSOCK(type) ? "a socket"
                       : S_ISCHR(type)  ? "a character device"
                       : S_ISBLK(type)  ? "a block device"
                                        : "of an unknown type";
    return std::string("not a regular file: ") + kind;
  }
  ErrorRef cause() const noexcept { return {}; }
};

}  // namespace zorf
