#include "link_walk.hpp"

#include <fcntl.h>
#include <linux/limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <vector>

#include "support/expected.hpp"

namespace zorf {
namespace {

// Links followed before giving up, as the kernel does for path lookup.
constexpr int kMaxLinkHops = 40;
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// What the walk needs to know of an entry, its link not followed.
struct Entry {
  mode_t mode;
  uid_t owner;
  off_t size;
  bool mount_root;
};

// The entry `name` in `folder`. Asking for a mount's root is asking the file
// system mounted there, which may be another user's and never answer; statx,
// told to keep to what the kernel already knows (AT_STATX_DONT_SYNC), answers
// for it without asking, and says whether it is a mount's root (Linux 5.8
// on; before, a device other than the folder's says so, but for a bind mount
// of the same file system). Where a sandbox refuses statx, fstatat answers,
// blind to mounts.
std::expected<Entry, OsError> look_at(int folder, const std::string& name) {
  struct statx status;
  if (::statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC,
              STATX_TYPE | STATX_MODE | STATX_UID | STATX_SIZE, &status) != 0) {
    if (errno != EPERM && errno != ENOSYS) return std::unexpected(OsError::last());
    struct stat plain;
    if (::fstatat(folder, name.c_str(), &plain, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(OsError::last());
    return Entry{plain.st_mode, plain.st_uid, plain.st_size, false};
  }
  Entry entry{status.stx_mode, status.stx_uid, static_cast<off_t>(status.stx_size), false};
  if ((status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    entry.mount_root = (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  } else {
    struct stat own;
    if (::fstat(folder, &own) != 0) return std::unexpected(OsError::last());
    entry.mount_root = makedev(status.stx_dev_major, status.stx_dev_minor) != own.st_dev;
  }
  return entry;
}

bool shared(const struct stat& folder) noexcept {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

// Without this, anyone could plant /tmp/zorf, or /tmp/folder on the way to
// it, as a link to a file or folder of the caller's and have it read out as
// the identifier, or written to.
std::expected<bool, OsError> may_follow(int folder, const Entry& link) {
  struct stat status;
  if (::fstat(folder, &status) != 0) return std::unexpected(OsError::last());
  return !shared(status) || link.owner == ::geteuid() || link.owner == status.st_uid;
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
  // The kernel takes no path of PATH_MAX bytes and more, its NUL included;
  // walked here, one would name a file that nothing else can open.
  if (path.size() >= PATH_MAX) return std::unexpected(OsError{ENAMETOOLONG});
  FileDescriptor folder = ZORF_TRY(open_start(path));
  std::vector<std::string> pending;
  push_components(pending, path);
  int hops = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.back());
    pending.pop_back();
    const bool last = pending.empty();
    Entry entry{};
    if (last) {
      if (name.empty() || name == "." || name == "..") return FolderEntry{std::move(folder), name.empty() ? "." : name};
      auto looked = look_at(folder.get(), name);
      if (!looked) {
        if (looked.error().code == ENOENT) return FolderEntry{std::move(folder), std::move(name)};
        return std::unexpected(looked.error());
      }
      entry = *looked;
      // A mount in a shared folder is refused, whoever made it: who owns its
      // root is what its file system says, and asking is what must not
      // happen. A mount elsewhere (an administrator's bind mount of a file
      // onto a private path, say) is followed.
      if (entry.mount_root && ZORF_TRY(is_shared_folder(folder.get()))) return std::unexpected(OsError{EXDEV});
      if (!S_ISLNK(entry.mode)) return FolderEntry{std::move(folder), std::move(name)};
    } else {
      if (name.empty() || name == ".") continue;
      // O_NOFOLLOW: a link fails with ENOTDIR, and is looked at below.
      FileDescriptor next(::openat(folder.get(), name.c_str(), kFolderFlags | O_NOFOLLOW));
      if (next) {
        folder = std::move(next);
        continue;
      }
      if (errno != ENOTDIR) return std::unexpected(OsError::last());
      struct stat status;
      if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return std::unexpected(OsError::last());
      if (!S_ISLNK(status.st_mode)) return std::unexpected(OsError{ENOTDIR});
      entry = Entry{status.st_mode, status.st_uid, status.st_size, false};
    }

    if (++hops > kMaxLinkHops) return std::unexpected(OsError{ELOOP});
    if (!ZORF_TRY(may_follow(folder.get(), entry))) return std::unexpected(ForeignLink{});
    const std::string target = ZORF_TRY(read_link(folder.get(), name, entry.size));
    // The kernel's answer for an empty link.
    if (target.empty()) return std::unexpected(OsError{ENOENT});
    // Relative targets are relative to the link's own folder.
    if (target.starts_with('/')) folder = ZORF_TRY(open_start(target));
    push_components(pending, target);
  }
  return std::unexpected(OsError{ENOENT});  // not reached: the last component always returns
}

std::expected<bool, OsError> is_shared_folder(int folder) {
  struct stat status;
  if (::fstat(folder, &status) != 0) return std::unexpected(OsError::last());
  return shared(status);
}

bool leads_nowhere(const WalkError& error) noexcept {
  if (std::holds_alternative<ForeignLink>(error)) return true;
  switch (std::get<OsError>(error).code) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:  // the walk opens only for lookups: this is a folder that cannot be searched
    case ENAMETOOLONG:
    case ELOOP:
    case EXDEV:  // a refused mount
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
