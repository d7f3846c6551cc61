// The error for a path that names something other than a regular file or a
// folder: a FIFO, a socket or a device, none of which may be read as a file
// (a FIFO blocks, a device streams without end).
#pragma once

#include <sys/stat.h>

#include <string>

namespace zorf {

struct NotRegularFile {
  mode_t type = 0;  // the S_IFMT bits of st_mode

  friend bool operator==(const NotRegularFile&, const NotRegularFile&) = default;
};

inline std::string to_string(const NotRegularFile& error) {
  const char* kind = S_ISFIFO(error.type)  ? "a FIFO"
                     : S_ISSOCK(error.type) ? "a socket"
                     : S_ISCHR(error.type)  ? "a character device"
                     : S_ISBLK(error.type)  ? "a block device"
                                            : "of an unknown type";
  return std::string("not a regular file: ") + kind;
}

}  // namespace zorf
