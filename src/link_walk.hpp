// Where a cache path leads: walked component by component, links included,
// so that the kernel's protection for shared folders can be applied to every
// link on the way on every kernel, and returned as an open folder and a name
// in it, so that what is done there next stays in that folder whatever
// happens to the working directory or to folders higher up.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "support/error_protocol.hpp"
#include "support/file_descriptor.hpp"
#include "support/os_error.hpp"

namespace zorf {

// A name in a folder opened for lookups only (O_PATH).
struct FolderEntry {
  FileDescriptor folder;
  std::string name;
};

// A symbolic link that the shared-folder rule refuses to follow: in a sticky,
// world-writable folder such as /tmp, a link that belongs neither to the
// caller nor to the folder's owner. It is its own value, apart from the EACCES
// of a folder that cannot be searched, because the two are told apart by what
// they mean, not by an errno.
struct ForeignLink {
  friend bool operator==(const ForeignLink&, const ForeignLink&) = default;

  std::string display() const { return "not following another user's link in a shared folder"; }
  ErrorRef cause() const noexcept { return {}; }
};

// Why a walk found no entry: the errno of the step that failed, or a link
// the shared-folder rule refused.
using WalkError = std::variant<OsError, ForeignLink>;

// Follows `path` from the working directory (opened once, at the start) or
// from the root, component by component: every link on the way and at the
// end (at most 40 in all, like the kernel) is followed by hand, to the first
// entry that is not a link, which may not exist yet. In a shared folder
// (is_shared_folder), a link is followed only when it belongs to the caller
// or to the folder's owner (the kernel's fs.protected_symlinks rule), else the
// walk fails with ForeignLink; and a mount at the last component is not
// entered (EXDEV), since a file system that another user mounted there may
// never answer. A path that ends in "", "." or ".." ends at the folder it
// names, as the entry "." or "..". A path of PATH_MAX bytes or more fails
// with ENAMETOOLONG, as the kernel's own lookup does.
std::expected<FolderEntry, WalkError> resolve_path(std::string_view path);

// Whether an open folder is sticky and world-writable, as /tmp is: any local
// user can put entries there, and remove only their own.
std::expected<bool, OsError> is_shared_folder(int folder);

// Whether the walk's failure means that nothing is at the path: an entry on
// the way missing or not a folder, a folder on the way that cannot be
// searched, a name too long to exist, a refused link or mount, a loop.
// Anything else (out of descriptors or memory, say) says nothing about what
// is there.
bool leads_nowhere(const WalkError& error) noexcept;

// The errno a write to the path fails with: a refused link is EACCES, as the
// kernel's own refusal.
OsError as_os_error(const WalkError& error) noexcept;

}  // namespace zorf
