#include "cache_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace zorf {
namespace {

// Links followed before giving up, as the kernel does for path lookup.
constexpr int kMaxLinkHops = 40;
constexpr int kMaxTemporaryNameTries = 64;

bool has_nul(const std::string& path) noexcept { return path.find('\0') != std::string::npos; }

// Closes a descriptor on every path out of a scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    // A failed close of a file only read, or of a temporary about to be
    // renamed, leaves nothing to act on.
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// The kernel's rule for following a link in a sticky, world-writable folder
// such as /tmp (fs.protected_symlinks): only a link of one's own, or of the
// folder's owner. Links are followed here by hand, so the rule must be too;
// otherwise anyone could point /tmp/zorf at a file of the caller's and have
// it replaced.
bool may_follow(const std::string& link, const struct stat& link_status) {
  const std::size_t slash = link.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : link.substr(0, slash);
  struct stat folder_status;
  if (::stat(folder.c_str(), &folder_status) != 0) return false;
  const bool shared = (folder_status.st_mode & S_ISVTX) != 0 && (folder_status.st_mode & S_IWOTH) != 0;
  return !shared || link_status.st_uid == ::geteuid() || link_status.st_uid == folder_status.st_uid;
}

// Where a write through `path` lands: the end of its chain of symbolic links,
// which may not exist yet.
std::expected<std::string, OsError> final_target(std::string path) {
  // One look more than links followed: the last look finds what the final
  // link points at.
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0) {
      if (errno == ENOENT) return path;
      return std::unexpected(OsError::last());
    }
    if (!S_ISLNK(status.st_mode)) return path;
    if (!may_follow(path, status)) return std::unexpected(OsError{EACCES});

    // One byte more than the link's size, to tell a complete read from a cut one.
    std::string link(static_cast<std::size_t>(status.st_size > 0 ? status.st_size + 1 : 256), '\0');
    for (;;) {
      const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
      if (length < 0) return std::unexpected(OsError::last());
      if (static_cast<std::size_t>(length) < link.size()) {
        link.resize(static_cast<std::size_t>(length));
        break;
      }
      link.resize(link.size() * 2);  // the link changed under us; read it again
    }
    if (!link.empty() && link.front() == '/') {
      path = std::move(link);
    } else {
      path.erase(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
      path += link;
    }
  }
  return std::unexpected(OsError{ELOOP});
}

std::uint64_t random_suffix() noexcept {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == sizeof value) return value;
  // No entropy yet (early boot): uniqueness is all that matters, and the
  // exclusive create catches the rest.
  static std::atomic<std::uint64_t> counter{0};
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return now ^ (static_cast<std::uint64_t>(::getpid()) << 32) ^ counter.fetch_add(1) * 0x9E3779B97F4A7C15u;
}

// A new, empty file in `directory` (a prefix ending in '/', or empty for the
// working directory), created exclusively so that it is ours alone.
std::expected<std::string, OsError> create_temporary(const std::string& directory, int& fd) {
  for (int attempt = 0; attempt < kMaxTemporaryNameTries; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".zorf.%016llx.tmp", static_cast<unsigned long long>(random_suffix()));
    std::string path = directory + name;
    // 0666, as for any new file, so that the umask decides.
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return path;
    if (errno != EEXIST) return std::unexpected(OsError::last());
  }
  return std::unexpected(OsError{EEXIST});
}

std::expected<void, OsError> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (written == 0) return std::unexpected(OsError{EIO});  // no progress: give up
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

// The rest of an open file as UTF-8 text.
std::expected<std::string, CacheReadError> read_text(int fd) {
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t count = ::read(fd, chunk, sizeof chunk);
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (count == 0) break;
    text.append(chunk, static_cast<std::size_t>(count));
  }
  if (const auto error = check_utf8(text)) return std::unexpected(*error);
  return text;
}

}  // namespace

bool cache_present(const std::string& path) noexcept {
  if (has_nul(path)) return false;
  struct stat status;
  return ::stat(path.c_str(), &status) == 0;
}

std::expected<std::optional<std::string>, CacheReadError> read_cache_if_present(const std::string& path) {
  if (has_nul(path)) return std::nullopt;
  // Open first and ask about the path only when that fails: a path that opens
  // names something, so the common case needs no separate metadata query.
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) {
    const OsError error = OsError::last();
    // Nothing there: decided now, since asking again could find a file that
    // another process has just put in place, and report its absence a moment
    // ago as a read failure.
    if (error.code == ENOENT || error.code == ENOTDIR) return std::nullopt;
    // Something that exists but cannot be opened (no read permission) is a
    // cache that cannot be read, not a missing one.
    if (cache_present(path)) return std::unexpected(error);
    return std::nullopt;
  }
  return read_text(file.get());
}

std::expected<void, OsError> write_cache(const std::string& path, std::string_view content) {
  // Never hand the file system a path cut short at a NUL byte.
  if (has_nul(path)) return std::unexpected(OsError{EINVAL});
  if (path.empty()) return std::unexpected(OsError{ENOENT});

  auto target = final_target(path);
  if (!target) return std::unexpected(target.error());
  const std::size_t slash = target->rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : target->substr(0, slash + 1);
  const std::string_view name = std::string_view(*target).substr(directory.size());
  if (name.empty() || name == "." || name == "..") return std::unexpected(OsError{EISDIR});

  int fd = -1;
  auto temporary = create_temporary(directory, fd);
  if (!temporary) return std::unexpected(temporary.error());
  auto written = [&]() -> std::expected<void, OsError> {
    const FileDescriptor file(fd);
    if (auto all = write_all(file.get(), content); !all) return all;
    // The rename must not reach the disk before the bytes do: after a crash
    // an empty cache file would be returned as the identifier for good.
    // (EINVAL: a file system with nothing to flush.)
    if (::fdatasync(file.get()) != 0 && errno != EINVAL) return std::unexpected(OsError::last());
    return {};
  }();
  if (written && ::rename(temporary->c_str(), target->c_str()) != 0) written = std::unexpected(OsError::last());
  if (!written) ::unlink(temporary->c_str());
  return written;
}

}  // namespace zorf
