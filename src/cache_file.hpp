// The cache file: its whole text when it is there, and a new one where it is not.
//
// The default path lies in /tmp, where any local user can put anything, so
// the read accepts only a regular file of at most kMaxCacheFileSize bytes,
// reached through links the kernel itself would follow there, and never
// blocks, not even on a file system mounted there that never answers; and
// the write stays inside the one folder it starts in.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "link_walk.hpp"
#include "support/error_protocol.hpp"
#include "support/os_error.hpp"
#include "support/utf8.hpp"

namespace zorf {

// Larger files are refused (EFBIG) after reading at most one byte more.
inline constexpr std::size_t kMaxCacheFileSize = std::size_t{1} << 20;

// A path that names something other than a regular file or a folder: a FIFO,
// a socket or a device, none of which may be read as a file (a FIFO blocks, a
// device streams without end).
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

using CacheReadError = std::variant<OsError, Utf8Error, NotRegularFile>;

// No cache file at the path. `place` is where a new one goes: the folder the
// read looked in, still open, and the name there, so that the write lands
// exactly where the read found nothing; or, when the path leads to no folder
// (or to a refused link), what a write there fails with.
struct CacheAbsent {
  std::expected<FolderEntry, OsError> place;
};

// The whole file as UTF-8 text, unchanged, or its absence.
using CacheLookup = std::variant<std::string, CacheAbsent>;

// Absent only when nothing can be there: no such file, a dangling link, a
// folder on the way that cannot be searched, a path with a NUL byte, a name
// too long, a loop, a link in a shared folder that belongs to someone else,
// or a mount on the last component in a shared folder (see resolve_path).
// Otherwise the whole file, or why it cannot be read: a folder
// (EISDIR), a FIFO, socket or device, a file too large (EFBIG), a file the
// caller may not read, bytes that are not UTF-8, or a failure that says
// nothing about what is there (out of descriptors, say).
std::expected<CacheLookup, CacheReadError> look_up_cache(const std::string& path);

enum class NewCacheFile {
  written,
  // Another file took the name first (a concurrent miss, say); it is kept.
  already_there,
};

// Puts `content` at `place` so that no reader ever sees a part of it: the
// bytes go to a new file beside it, flushed to disk, which then takes the
// name, but only while no file has it: a cache file is only written where the
// read found none, and one that appeared since is whatever its writer meant
// it to be. On failure no temporary file is left behind.
std::expected<NewCacheFile, OsError> write_new_cache(const FolderEntry& place, std::string_view content);

}  // namespace zorf
