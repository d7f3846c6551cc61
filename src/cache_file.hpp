// The cache file: its whole text when it is there, and its replacement.
//
// The default path lies in /tmp, where any local user can put anything, so
// the read accepts only a regular file of at most kMaxCacheFileSize bytes,
// reached through links the kernel itself would follow there, and never
// blocks; and the write stays inside the one folder it starts in.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "support/not_regular_file.hpp"
#include "support/os_error.hpp"
#include "support/utf8.hpp"

namespace zorf {

// Larger files are refused (EFBIG) after reading at most one byte more.
inline constexpr std::size_t kMaxCacheFileSize = std::size_t{1} << 20;

using CacheReadError = std::variant<OsError, Utf8Error, NotRegularFile>;

// None when nothing is there: no such file, a dangling link, a folder on the
// way that cannot be searched, a path with a NUL byte, or a link in a shared
// folder that belongs to someone else (see resolve_links). Otherwise the
// whole file as UTF-8 text, unchanged, or why it cannot be read: a folder
// (EISDIR), a FIFO, socket or device, a file too large (EFBIG), a file the
// caller may not read, or bytes that are not UTF-8.
std::expected<std::optional<std::string>, CacheReadError> read_cache_if_present(const std::string& path);

// Replaces the file at `path` with `content` so that no reader ever sees a
// part of it: the bytes go to a new file beside the final target, flushed to
// disk, which is then renamed onto it. A symbolic link at `path` is written
// through, like an in-place write would: the link stays and its target gets
// the content. On failure no temporary file is left behind.
std::expected<void, OsError> write_cache(const std::string& path, std::string_view content);

}  // namespace zorf
