// Where a cache path leads: the end of its chain of symbolic links, followed
// by hand so that the kernel's protection for shared folders can be applied
// on every kernel, and returned as an open folder and a name in it, so that
// what is done there next stays in that folder whatever happens to the
// working directory or to folders higher up.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "support/file_descriptor.hpp"
#include "support/os_error.hpp"

namespace zorf {

// A name in a folder opened for lookups only (O_PATH).
struct FolderEntry {
  FileDescriptor folder;
  std::string name;
};

// The folder of `path` and its last component. A last component that cannot
// name a file ("", ".", "..": a trailing slash, say) is EISDIR.
std::expected<FolderEntry, OsError> open_folder_of(int at, std::string_view path);

// Follows the links at the end of `path` (at most 40, like the kernel) to the
// first entry that is not a link, which may not exist yet. In a sticky,
// world-writable folder such as /tmp, a link is followed only when it belongs
// to the caller or to the folder's owner (the kernel's fs.protected_symlinks
// rule): another user's link there fails with EACCES.
std::expected<FolderEntry, OsError> resolve_links(std::string_view path);

}  // namespace zorf
