#include "link_walk.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "support/expected.hpp"

namespace zorf {
namespace {

// Links followed before giving up, as the kernel does for path lookup.
constexpr int kMaxLinkHops = 40;
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// Without this, anyone could plant /tmp/zorf, or /tmp/folder on the way to
// it, as a link to a file or folder of the caller's and have it read out as
// the identifier, or written to.
std::expected<bool, OsError> may_follow(int folder, const struct stat& link) {
  struct stat status;
  if (::fstat(folder, &status) != 0) return std::unexpected(OsError::last());
  const bool shared = (status.st_mode & S_ISVTX) != 0 && (status.st_mode & S_IWOTH) != 0;
  return !shared || link.st_uid == ::geteuid() || link.st_uid == status.st_uid;
}

std::expected<std::string, OsError> read_link(int folder, const std::string& name, off_t size_hint) {
  // One byte more than the link's size, to tell a complete read from a cut one.
  std::string target(static_cast<std::size_t>(size_hint > 0 ? size_hint + 1 : 256), '\0');
  for (;;) {
    const ssize_t length = ::readlinkat(folder, name.c_str(), target.data(), target.size());
    if (length < 0) return std::unexpected(OsError::last());
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    target.resize(target.size() * 2);  // the link changed under us; read it again
  }
}

// The components still to walk, the next one last: `path`'s, in front of
// those already there.
void push_components(std::vector<std::string>& pending, std::string_view path) {
  const std::size_t first = pending.size();
  for (;;) {
    const std::size_t slash = path.find('/');
    pending.emplace_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(first), pending.end());
}

std::expected<FileDescriptor, OsError> open_start(std::string_view path) {
  FileDescriptor folder(::open(path.starts_with('/') ? "/" : ".", kFolderFlags));
  if (!folder) return std::unexpected(OsError::last());
  return folder;
}

}  // namespace

std::expected<FolderEntry, WalkError> resolve_path(std::string_view path) {
  if (path.empty()) return std::unexpected(OsError{ENOENT});
  FileDescriptor folder = ZORF_TRY(open_start(path));
  std::vector<std::string> pending;
  push_components(pending, path);
  int hops = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.back());
    pending.pop_back();
    const bool last = pending.empty();
    struct stat status;
    if (last) {
      if (name.empty() || name == "." || name == "..") return FolderEntry{std::move(folder), name.empty() ? "." : name};
      if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return FolderEntry{std::move(folder), std::move(name)};
        return std::unexpected(OsError::last());
      }
      if (!S_ISLNK(status.st_mode)) return FolderEntry{std::move(folder), std::move(name)};
    } else {
      if (name.empty() || name == ".") continue;
      // O_NOFOLLOW: a link fails with ENOTDIR, and is looked at below.
      FileDescriptor next(::openat(folder.get(), name.c_str(), kFolderFlags | O_NOFOLLOW));
      if (next) {
        folder = std::move(next);
        continue;
      }
      if (errno != ENOTDIR) return std::unexpected(OsError::last());
      if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return std::unexpected(OsError::last());
      if (!S_ISLNK(status.st_mode)) return std::unexpected(OsError{ENOTDIR});
    }

    if (++hops > kMaxLinkHops) return std::unexpected(OsError{ELOOP});
    if (!ZORF_TRY(may_follow(folder.get(), status))) return std::unexpected(ForeignLink{});
    const std::string target = ZORF_TRY(read_link(folder.get(), name, status.st_size));
    // The kernel's answer for an empty link.
    if (target.empty()) return std::unexpected(OsError{ENOENT});
    // Relative targets are relative to the link's own folder.
    if (target.starts_with('/')) folder = ZORF_TRY(open_start(target));
    push_components(pending, target);
  }
  return std::unexpected(OsError{ENOENT});  // not reached: the last component always returns
}

bool leads_nowhere(const WalkError& error) noexcept {
  if (std::holds_alternative<ForeignLink>(error)) return true;
  switch (std::get<OsError>(error).code) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:  // the walk opens only for lookups: this is a folder that cannot be searched
    case ENAMETOOLONG:
    case ELOOP:
      return true;
    default:
      return false;
  }
}

OsError as_os_error(const WalkError& error) noexcept {
  if (const auto* os = std::get_if<OsError>(&error)) return *os;
  return OsError{EACCES};
}

}  // namespace zorf
