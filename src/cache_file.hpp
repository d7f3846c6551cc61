// The cache file: its presence, its whole text, and its replacement.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "support/os_error.hpp"
#include "support/utf8.hpp"

namespace zorf {

// Whether the path names something, following symbolic links: a dangling link
// or a path the process cannot search counts as absent, whatever the reason.
// A path with a NUL byte in it names nothing.
bool cache_present(const std::string& path) noexcept;

using CacheReadError = std::variant<OsError, Utf8Error>;

// None when cache_present says the path names nothing, else the whole file as
// UTF-8 text, unchanged. Fewer system calls than asking first and reading
// after, since this is the path nearly every call takes.
std::expected<std::optional<std::string>, CacheReadError> read_cache_if_present(const std::string& path);

// Replaces the file at `path` with `content` so that no reader ever sees a
// part of it: the bytes go to a new file beside the final target, which is
// then renamed onto it. A symbolic link at `path` is written through, like an
// in-place write would: the link stays and its target gets the content.
std::expected<void, OsError> write_cache(const std::string& path, std::string_view content);

}  // namespace zorf
