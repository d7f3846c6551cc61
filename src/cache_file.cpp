#include "cache_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "link_walk.hpp"
#include "support/expected.hpp"
#include "support/file_descriptor.hpp"

namespace zorf {
namespace {

constexpr int kMaxTemporaryNameTries = 64;
// O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is
// then refused for what it is. O_NOFOLLOW: links are followed by hand, under
// the shared-folder rule. O_NOCTTY: a terminal never becomes ours.
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;

bool has_nul(const std::string& path) noexcept { return path.find('\0') != std::string::npos; }

// What an entry that could not be opened for `error` means: nothing there
// (an unsearchable folder on the way), or a cache that cannot be read (no
// read permission; a socket, which no open reaches).
std::expected<std::optional<std::string>, CacheReadError> unopenable(int folder, const char* name, OsError error) {
  struct stat status;
  if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  if (S_ISSOCK(status.st_mode)) return std::unexpected(NotRegularFile{S_IFSOCK});
  return std::unexpected(error);
}

// The whole of an open regular file as UTF-8 text, in one read when its size
// is what fstat says.
std::expected<std::string, CacheReadError> read_text(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return std::unexpected(OsError::last());
  if (S_ISDIR(status.st_mode)) return std::unexpected(OsError{EISDIR});
  if (!S_ISREG(status.st_mode)) return std::unexpected(NotRegularFile{status.st_mode & S_IFMT});
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size > kMaxCacheFileSize) return std::unexpected(OsError{EFBIG});

  // One byte past the size, to see the end in the same read. Files whose size
  // says nothing (procfs, sysfs) grow the buffer up to the limit.
  std::string text(size + 1, '\0');
  std::size_t length = 0;
  for (;;) {
    const std::size_t wanted = text.size() - length;
    const ssize_t count = ::read(fd, text.data() + length, wanted);
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    length += static_cast<std::size_t>(count);
    if (count == 0 || (length == size && static_cast<std::size_t>(count) < wanted)) break;
    if (length > kMaxCacheFileSize) return std::unexpected(OsError{EFBIG});
    if (length == text.size()) text.resize(std::min(std::max(2 * text.size(), std::size_t{4096}), kMaxCacheFileSize + 1));
  }
  text.resize(length);
  if (const auto error = check_utf8(text)) return std::unexpected(*error);
  return text;
}

// The path's last component is a link: read what the chain ends at, if the
// chain may be followed and ends at something.
std::expected<std::optional<std::string>, CacheReadError> read_through_links(const std::string& path) {
  // Whatever stops the walk (a link of someone else's in /tmp, a loop, a
  // folder that cannot be searched) leaves the cache absent, as the kernel's
  // own lookup would under fs.protected_symlinks.
  auto entry = resolve_links(path);
  if (!entry) return std::nullopt;
  const FileDescriptor file(::openat(entry->folder.get(), entry->name.c_str(), kReadFlags));
  if (!file) {
    const OsError error = OsError::last();
    // ELOOP: the end of the chain became a link since the walk; the write
    // walks again.
    if (error.code == ENOENT || error.code == ENOTDIR || error.code == ELOOP) return std::nullopt;
    return unopenable(entry->folder.get(), entry->name.c_str(), error);
  }
  return ZORF_TRY(read_text(file.get()));
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

// A new, empty file in `folder`, created exclusively so that it is ours alone.
std::expected<std::string, OsError> create_temporary(int folder, FileDescriptor& file) {
  for (int attempt = 0; attempt < kMaxTemporaryNameTries; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".zorf.%016llx.tmp", static_cast<unsigned long long>(random_suffix()));
    // 0666, as for any new file, so that the umask decides.
    file = FileDescriptor(::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file) return std::string(name);
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

std::expected<void, OsError> write_and_flush(int fd, std::string_view content) {
  ZORF_TRY(write_all(fd, content));
  // The rename must not reach the disk before the bytes do: after a crash
  // an empty cache file would be returned as the identifier for good.
  // (EINVAL: a file system with nothing to flush.)
  if (::fdatasync(fd) != 0 && errno != EINVAL) return std::unexpected(OsError::last());
  return {};
}

}  // namespace

std::expected<std::optional<std::string>, CacheReadError> read_cache_if_present(const std::string& path) {
  if (has_nul(path)) return std::nullopt;
  // Open first and ask about the path only when that fails: the common case,
  // a regular file, takes open, fstat, read and close.
  const FileDescriptor file(::open(path.c_str(), kReadFlags));
  if (file) return ZORF_TRY(read_text(file.get()));

  const OsError error = OsError::last();
  // Nothing there: decided now, since asking again could find a file that
  // another process has just put in place, and report its absence a moment
  // ago as a read failure.
  if (error.code == ENOENT || error.code == ENOTDIR) return std::nullopt;
  if (error.code == ELOOP) return read_through_links(path);
  return unopenable(AT_FDCWD, path.c_str(), error);
}

std::expected<void, OsError> write_cache(const std::string& path, std::string_view content) {
  // Never hand the file system a path cut short at a NUL byte.
  if (has_nul(path)) return std::unexpected(OsError{EINVAL});
  if (path.empty()) return std::unexpected(OsError{ENOENT});

  // Every step below is relative to the one folder found here.
  const FolderEntry target = ZORF_TRY(resolve_links(path));
  const int folder = target.folder.get();
  FileDescriptor file;
  const std::string temporary = ZORF_TRY(create_temporary(folder, file));
  auto written = write_and_flush(file.get(), content);
  file = FileDescriptor();
  if (written && ::renameat(folder, temporary.c_str(), folder, target.name.c_str()) != 0)
    written = std::unexpected(OsError::last());
  if (!written) ::unlinkat(folder, temporary.c_str(), 0);
  return written;
}

}  // namespace zorf
