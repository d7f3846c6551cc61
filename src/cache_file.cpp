#include "cache_file.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

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

// Whether the last component of a path can name a file.
bool names_a_file(std::string_view name) noexcept { return !name.empty() && name != "." && name != ".."; }

bool ends_in_a_file_name(std::string_view path) noexcept { return names_a_file(path.substr(path.rfind('/') + 1)); }

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
// No link anywhere on the way: every link is followed by hand, under the
// shared-folder rule.
constexpr std::uint64_t kNoLinks = RESOLVE_NO_SYMLINKS;
// Nor a mount: the kernel answers EXDEV without asking the file system
// mounted there, which may be another user's and never answer.
constexpr std::uint64_t kNoLinksNorMounts = RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV;

// openat2: the descriptor, or -1 and errno (ENOSYS or EPERM where a kernel or
// sandbox lacks it, and the walk then decides).
int open_resolved(int folder, const char* path, int flags, std::uint64_t resolve) noexcept {
  struct open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = resolve;
  return static_cast<int>(::syscall(SYS_openat2, folder, path, &how, sizeof how));
}

// What an entry that could not be opened for `error` means: nothing there
// (gone since the walk, or in a folder that cannot be searched), or a cache
// that cannot be read (no read permission; a socket, which no open reaches).
std::expected<CacheLookup, CacheReadError> unopenable(FolderEntry entry, OsError error) {
  struct stat status;
  if (::fstatat(entry.folder.get(), entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT || errno == EACCES) return CacheAbsent{std::move(entry)};
    return std::unexpected(OsError::last());
  }
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

// The path walked by hand, every link on the way checked: what is at its end.
std::expected<CacheLookup, CacheReadError> look_up_by_hand(const std::string& path) {
  auto entry = resolve_path(path);
  if (!entry) {
    // A refused link, a loop, a folder that cannot be searched leave the
    // cache absent, as the kernel's own lookup would under
    // fs.protected_symlinks. Anything else (no descriptor or memory left,
    // say) is a cache that could not be read: counted as absent, it would
    // have NVML loaded for nothing and its write aimed at a file that may
    // well be there.
    const OsError error = as_os_error(entry.error());
    if (!leads_nowhere(entry.error())) return std::unexpected(error);
    // What a write there fails with: a path that ends in no file name
    // ("dir/", ".") names a folder.
    return CacheAbsent{std::unexpected(path.empty() || ends_in_a_file_name(path) ? error : OsError{EISDIR})};
  }
  const FileDescriptor file(::openat(entry->folder.get(), entry->name.c_str(), kReadFlags));
  if (file) return ZORF_TRY(read_text(file.get()));
  const OsError error = OsError::last();
  // ELOOP: the end became a link since the walk. The write never replaces
  // what it finds there, so nothing is lost by calling it absent.
  if (error.code == ENOENT || error.code == ELOOP) return CacheAbsent{std::move(*entry)};
  return unopenable(std::move(*entry), error);
}

// The path crosses a mount, which the whole-path open refused: /tmp is a
// mount of its own on many systems. The folder is opened crossing mounts (a
// cache path's folders are the caller's choice), then the last component
// without: a mount there is entered only outside shared folders, as
// resolve_path has it, and in a shared one counts as no cache. Whatever else
// stops the two opens is left to the walk. A hit costs three system calls
// more than without the mount: the refused open, the folder's and its close.
std::expected<CacheLookup, CacheReadError> look_up_across_mounts(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string name = path.substr(slash + 1);
  if (!names_a_file(name)) return look_up_by_hand(path);
  const std::string folder_path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const FileDescriptor folder(open_resolved(AT_FDCWD, folder_path.c_str(), kFolderFlags, kNoLinks));
  if (!folder) return look_up_by_hand(path);
  FileDescriptor file(open_resolved(folder.get(), name.c_str(), kReadFlags, kNoLinksNorMounts));
  if (!file && errno == EXDEV) {
    if (ZORF_TRY(is_shared_folder(folder.get()))) return CacheAbsent{std::unexpected(OsError{EXDEV})};
    file = FileDescriptor(open_resolved(folder.get(), name.c_str(), kReadFlags, kNoLinks));
  }
  if (file) return ZORF_TRY(read_text(file.get()));
  return look_up_by_hand(path);
}

}  // namespace

std::expected<CacheLookup, CacheReadError> look_up_cache(const std::string& path) {
  if (has_nul(path)) return CacheAbsent{std::unexpected(OsError{EINVAL})};
  // The common case, a regular file reached without links or mounts, takes
  // openat2, fstat, read and close. Whatever stops that open is looked at
  // again, by hand, so that no error is taken for an absence it does not
  // mean, and the place of an absent file is the very folder that was looked
  // in.
  const FileDescriptor file(open_resolved(AT_FDCWD, path.c_str(), kReadFlags, kNoLinksNorMounts));
  if (file) return ZORF_TRY(read_text(file.get()));
  if (errno == EXDEV) return look_up_across_mounts(path);
  return look_up_by_hand(path);
}

namespace {

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

// How a file system says that it makes no hard links: EPERM (the kernel's
// own answer, and FUSE file systems'), EOPNOTSUPP or ENOSYS (FUSE servers
// that leave the operation out).
bool refuses_hard_links(int error) noexcept { return error == EPERM || error == EOPNOTSUPP || error == ENOSYS; }

// The temporary takes `name` after a look finds it free; a file that appears
// between the two is replaced.
std::expected<NewCacheFile, OsError> rename_if_free(int folder, const std::string& temporary,
                                                   const std::string& name) {
  struct stat status;
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    ::unlinkat(folder, temporary.c_str(), 0);
    return NewCacheFile::already_there;
  }
  if (errno != ENOENT) return std::unexpected(OsError::last());
  if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) return std::unexpected(OsError::last());
  return NewCacheFile::written;
}

// Moves the finished temporary file `temporary` to `name` in `folder`, only
// while no file has that name; the temporary is gone on success too. Where
// the file system refuses RENAME_NOREPLACE, a hard link does the same, since
// it fails on an existing name. Where it makes no hard links either (s3fs,
// gcsfuse and their kind), rename_if_free is the best left.
std::expected<NewCacheFile, OsError> move_into_place(int folder, const std::string& temporary,
                                                    const std::string& name) {
  if (::renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) return NewCacheFile::written;
  if (errno == EINVAL || errno == ENOSYS) {
    if (::linkat(folder, temporary.c_str(), folder, name.c_str(), 0) == 0) {
      ::unlinkat(folder, temporary.c_str(), 0);
      return NewCacheFile::written;
    }
    if (refuses_hard_links(errno)) return rename_if_free(folder, temporary, name);
  }
  if (errno != EEXIST) return std::unexpected(OsError::last());
  ::unlinkat(folder, temporary.c_str(), 0);
  return NewCacheFile::already_there;
}

}  // namespace

std::expected<NewCacheFile, OsError> write_new_cache(const FolderEntry& place, std::string_view content) {
  // "." or "..": a folder, which cannot be written as a file.
  if (!names_a_file(place.name)) return std::unexpected(OsError{EISDIR});
  const int folder = place.folder.get();
  FileDescriptor file;
  const std::string temporary = ZORF_TRY(create_temporary(folder, file));
  const auto written = write_and_flush(file.get(), content);
  file = FileDescriptor();
  auto placed = written ? move_into_place(folder, temporary, place.name)
                        : std::expected<NewCacheFile, OsError>(std::unexpected(written.error()));
  if (!placed) ::unlinkat(folder, temporary.c_str(), 0);
  return placed;
}

}  // namespace zorf
