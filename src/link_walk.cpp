#include "link_walk.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "support/expected.hpp"

namespace zorf {
namespace {

// Links followed before giving up, as the kernel does for path lookup.
constexpr int kMaxLinkHops = 40;

// Without this, anyone could plant /tmp/zorf as a link to a file of the
// caller's and have it read out as the identifier, or replaced.
bool may_follow(int folder, const struct stat& link) {
  struct stat status;
  if (::fstat(folder, &status) != 0) return false;
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

}  // namespace

std::expected<FolderEntry, OsError> open_folder_of(int at, std::string_view path) {
  const std::size_t slash = path.rfind('/');
  std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
  if (name.empty() || name == "." || name == "..") return std::unexpected(OsError{EISDIR});
  const std::string folder = slash == std::string_view::npos ? "." : slash == 0 ? "/" : std::string(path.substr(0, slash));
  FileDescriptor fd(::openat(at, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return std::unexpected(OsError::last());
  return FolderEntry{std::move(fd), std::move(name)};
}

std::expected<FolderEntry, OsError> resolve_links(std::string_view path) {
  FolderEntry entry = ZORF_TRY(open_folder_of(AT_FDCWD, path));
  // One look more than links followed: the last look finds what the final
  // link points at.
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat status;
    if (::fstatat(entry.folder.get(), entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return entry;
      return std::unexpected(OsError::last());
    }
    if (!S_ISLNK(status.st_mode)) return entry;
    if (!may_follow(entry.folder.get(), status)) return std::unexpected(OsError{EACCES});

    const std::string target = ZORF_TRY(read_link(entry.folder.get(), entry.name, status.st_size));
    if (target.find('/') == std::string::npos) {
      entry.name = target;  // a name in the same folder
      if (entry.name == "." || entry.name == "..") return std::unexpected(OsError{EISDIR});
    } else {
      // Relative targets are relative to the link's own folder.
      entry = ZORF_TRY(open_folder_of(entry.folder.get(), target));
    }
  }
  return std::unexpected(OsError{ELOOP});
}

}  // namespace zorf
