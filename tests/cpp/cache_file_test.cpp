#include "cache_file.hpp"

#include <sched.h>
#include <sys/inotify.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "case_name.hpp"
#include "child_process.hpp"
#include "fake_nvml_controller.hpp"
#include "scratch_folder.hpp"
#include "node_id.hpp"

namespace zorf {
namespace {

namespace fs = std::filesystem;

// Every entry below `dir`, relative to it, links included but not followed.
std::vector<std::string> tree(const fs::path& dir, const std::string& prefix = "") {
  std::vector<std::string> names;
  for (const auto& name : test::list_dir(dir)) {
    names.push_back(prefix + name);
    if (fs::symlink_status(dir / name).type() == fs::file_type::directory) {
      const auto below = tree(dir / name, prefix + name + "/");
      names.insert(names.end(), below.begin(), below.end());
    }
  }
  return names;
}

// What a read of the path gives, as one text: "absent", the text itself, or
// "error: " and the cause.
std::string read_outcome(const std::string& path) {
  const auto read = read_cache_if_present(path);
  if (!read) return "error: " + std::visit([](const auto& cause) { return cause.display(); }, read.error());
  return *read ? **read : "absent";
}

std::string os_error(int code) { return "error: " + OsError{code}.display(); }

TEST(WriteCache, WritesATemporaryThenRenamesIt) {
  test::ScratchFolder scratch;
  const std::string target = scratch.path("cache");
  test::write_file(target, std::string(100, 'o'));  // longer than the new content
  struct stat old_status;
  ASSERT_EQ(::stat(target.c_str(), &old_status), 0);

  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, scratch.dir().c_str(), IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE), 0);
  ASSERT_TRUE(write_cache(target, "new content").has_value());

  std::vector<std::pair<std::uint32_t, std::string>> events;
  alignas(inotify_event) char buffer[4096];
  const ssize_t length = ::read(watch, buffer, sizeof buffer);
  ::close(watch);
  for (ssize_t offset = 0; offset < length;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    events.emplace_back(event->mask & (IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE), event->name);
    offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].first, IN_CREATE);
  EXPECT_TRUE(std::regex_match(events[0].second, std::regex(R"(\.zorf\.[0-9a-f]{16}\.tmp)"))) << events[0].second;
  EXPECT_EQ(events[1], std::make_pair(std::uint32_t{IN_MOVED_FROM}, events[0].second));
  EXPECT_EQ(events[2], std::make_pair(std::uint32_t{IN_MOVED_TO}, std::string("cache")));

  EXPECT_EQ(test::read_file(target), "new content");
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_NE(st.st_ino, old_status.st_ino) << "the old file is replaced, not rewritten";
}

TEST(WriteCache, NewFileModeIs0666LessUmask) {
  test::ScratchFolder scratch;
  const struct {
    mode_t umask, mode;
  } cases[] = {{0022, 0644}, {0077, 0600}, {0, 0666}, {0027, 0640}};
  for (const auto& c : cases) {
    const test::ScopedUmask mask(c.umask);
    const std::string path = scratch.path("mode" + std::to_string(c.umask));
    ASSERT_TRUE(write_cache(path, "x").has_value());
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << std::oct << c.umask;
  }
}

// Symbolic links to make, name and target; a target starting with '@' is an
// absolute path into the scratch folder.
using Links = std::vector<std::pair<std::string, std::string>>;

// "link" -> l1 -> l2 ... -> l<n-1> -> "l<n>": n links in a row.
Links chain(int n) {
  Links links = {{"link", "l1"}};
  for (int i = 1; i < n; ++i) links.emplace_back("l" + std::to_string(i), "l" + std::to_string(i + 1));
  return links;
}

struct WriteCase {
  const char* name;
  Links links;
  std::string path;      // inside the scratch folder; "" is the empty path
  std::string lands_in;  // the file that gets the content, or "" when the write fails
  int error = 0;         // the failure's errno
};

class WriteCachePath : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteCachePath, WritesThroughLinksOrLeavesNothing) {
  const WriteCase& c = GetParam();
  test::ScratchFolder scratch;
  fs::create_directory(scratch.path("dir"));
  test::write_file(scratch.path("dir/inside"), "x");
  test::write_file(scratch.path("file"), "previous, longer content");
  for (const auto& [name, target] : c.links)
    fs::create_symlink(target.starts_with('@') ? scratch.path(target.substr(1)) : target, scratch.path(name));
  const auto before = tree(scratch.dir());

  const auto written = write_cache(c.path.empty() ? "" : scratch.path(c.path), "payload");
  for (const auto& link : c.links) EXPECT_TRUE(fs::is_symlink(scratch.path(link.first))) << link.first;
  if (c.error != 0) {
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), OsError{c.error}) << written.error().display();
    EXPECT_EQ(tree(scratch.dir()), before);
    EXPECT_EQ(test::read_file(scratch.path("file")), "previous, longer content");
  } else {
    ASSERT_TRUE(written.has_value()) << written.error().display();
    EXPECT_EQ(test::read_file(scratch.path(c.lands_in)), "payload");
    for (const auto& name : tree(scratch.dir())) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteCachePath,
    testing::Values(
        WriteCase{"NewFile", {}, "new", "new"},
        WriteCase{"ExistingFile", {}, "file", "file"},
        WriteCase{"DanglingLink", {{"link", "target"}}, "link", "target"},
        WriteCase{"LinkIntoFolder", {{"link", "dir/target"}}, "link", "dir/target"},
        WriteCase{"LinkToExistingFile", {{"link", "file"}}, "link", "file"},
        WriteCase{"AbsoluteLink", {{"link", "@dir/abs"}}, "link", "dir/abs"},
        WriteCase{"RelativeToLinkFolder", {{"link", "dir/hop"}, {"dir/hop", "../final"}}, "link", "final"},
        WriteCase{"FortyLinks", chain(40), "link", "l40"},
        WriteCase{"FortyOneLinks", chain(41), "link", "", ELOOP},
        WriteCase{"LinkLoop", {{"a", "b"}, {"b", "a"}}, "a", "", ELOOP},
        WriteCase{"LinkIntoMissingFolder", {{"link", "missing/x"}}, "link", "", ENOENT},
        WriteCase{"EmptyPath", {}, "", "", ENOENT},
        WriteCase{"NulInPath", {}, std::string("file\0x", 6), "", EINVAL},
        WriteCase{"MissingFolder", {}, "missing/cache", "", ENOENT},
        WriteCase{"FileAsFolder", {}, "file/cache", "", ENOTDIR},
        WriteCase{"TrailingSlash", {}, "new/", "", EISDIR},
        WriteCase{"RenameOntoFolder", {}, "dir", "", EISDIR}),
    test::CaseName());

// In a sticky, world-writable folder such as /tmp, a link is followed only
// when it belongs to the caller or to the folder's owner, as the kernel does
// for its own lookups: nobody else's link may show the caller one of their own
// files as the identifier, or aim the write at it. A refused link is no cache.
TEST(CacheFile, FollowsOthersLinksInSharedFoldersOnlyAsTheKernelWould) {
  constexpr uid_t kNobody = 65534;
  struct Case {
    uid_t link_owner, folder_owner;
    bool followed;
  };
  for (const Case c : {Case{kNobody, 0, false}, Case{0, 0, true}, Case{kNobody, kNobody, true}}) {
    SCOPED_TRACE(testing::Message() << "link owner " << c.link_owner << ", folder owner " << c.folder_owner);
    test::FakeNvmlController fake;
    fake.configure({"uuid_text GPU-a"});
    const std::string shared = fake.path("shared");
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    fs::create_symlink(fake.path("secret"), shared + "/to_secret");
    fs::create_symlink(fake.path("target"), shared + "/link");
    test::write_file(fake.path("secret"), "the caller's own token");
    for (const char* link : {"/to_secret", "/link"})
      if (::lchown((shared + link).c_str(), c.link_owner, c.link_owner) != 0)
        GTEST_SKIP() << "cannot give files away here (not root?)";
    if (::chown(shared.c_str(), c.folder_owner, c.folder_owner) != 0) GTEST_SKIP() << "cannot give folders away";

    EXPECT_EQ(read_outcome(shared + "/to_secret"), c.followed ? "the caller's own token" : "absent");
    const auto written = write_cache(shared + "/link", "payload");
    EXPECT_EQ(written.has_value(), c.followed);
    if (c.followed) {
      EXPECT_EQ(test::read_file(fake.path("target")), "payload");
      continue;
    }
    EXPECT_EQ(written.error(), OsError{EACCES});
    EXPECT_FALSE(fs::exists(fake.path("target")));
    // The whole call: no cache, so the identifier is computed, and its write
    // is refused; the link's target is neither shown nor touched.
    const auto id = get_gpu_node_id(shared + "/to_secret");
    ASSERT_FALSE(id.has_value());
    EXPECT_EQ(chain(id.error()), "Failed to write cache: Permission denied (os error 13)");
    EXPECT_EQ(test::read_file(fake.path("secret")), "the caller's own token");
    EXPECT_EQ(test::list_dir(shared), (std::vector<std::string>{"link", "to_secret"}));
  }
}

// ---- Reading ----------------------------------------------------------------

struct ReadCase {
  const char* name;
  // Makes the entry "cache" in the scratch folder; returns the expected outcome.
  std::function<std::string(const test::ScratchFolder&)> make;
};

class ReadCachePath : public testing::TestWithParam<ReadCase> {};

// The read never blocks, never reads more than the limit and one byte, and
// keeps to regular files: anything else at the path, planted by another user
// in /tmp for instance, is refused at once.
TEST_P(ReadCachePath, ReadsRegularFilesOnly) {
  test::ScratchFolder scratch;
  const std::string expected = GetParam().make(scratch);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_outcome(scratch.path("cache")), expected);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "the read blocked";
}

std::string make_file(const test::ScratchFolder& s, std::size_t size, char fill = 'a') {
  test::write_file(s.path("cache"), std::string(size, fill));
  return std::string(size, fill);
}

// A link "cache" to `target`; returns `outcome`.
std::string link_to(const test::ScratchFolder& s, const std::string& target, std::string outcome) {
  std::filesystem::create_symlink(target, s.path("cache"));
  return outcome;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadCachePath,
    testing::Values(
        ReadCase{"Missing", [](const auto&) { return std::string("absent"); }},
        ReadCase{"Empty", [](const auto& s) { return make_file(s, 0); }},
        ReadCase{"Identifier", [](const auto& s) { return make_file(s, 64, 'f'); }},
        ReadCase{"ExactlyTheLimit", [](const auto& s) { return make_file(s, kMaxCacheFileSize); }},
        ReadCase{"OneByteOverTheLimit",
                 [](const auto& s) {
                   make_file(s, kMaxCacheFileSize + 1);
                   return os_error(EFBIG);
                 }},
        ReadCase{"SparseTebibyte",
                 [](const auto& s) {
                   test::write_file(s.path("cache"), "");
                   std::filesystem::resize_file(s.path("cache"), std::uintmax_t{1} << 40);
                   return os_error(EFBIG);
                 }},
        ReadCase{"Folder",
                 [](const auto& s) {
                   std::filesystem::create_directory(s.path("cache"));
                   return os_error(EISDIR);
                 }},
        ReadCase{"FifoWithoutWriter",
                 [](const auto& s) {
                   if (::mkfifo(s.path("cache").c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
                   return std::string("error: not a regular file: a FIFO");
                 }},
        ReadCase{"FifoWithSilentWriter",
                 [](const auto& s) {
                   if (::mkfifo(s.path("cache").c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
                   // A writer that holds the FIFO open and never writes; the
                   // descriptor stays open until the process ends.
                   static_cast<void>(::open(s.path("cache").c_str(), O_RDWR | O_CLOEXEC));
                   return std::string("error: not a regular file: a FIFO");
                 }},
        ReadCase{"Socket",
                 [](const auto& s) {
                   const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                   sockaddr_un address{};
                   address.sun_family = AF_UNIX;
                   s.path("cache").copy(address.sun_path, sizeof address.sun_path - 1);
                   if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                     throw std::runtime_error("bind");
                   ::close(fd);
                   return std::string("error: not a regular file: a socket");
                 }},
        ReadCase{"EndlessDevice",
                 [](const auto& s) { return link_to(s, "/dev/zero", "error: not a regular file: a character device"); }},
        ReadCase{"LinkToFile",
                 [](const auto& s) {
                   test::write_file(s.path("file"), "through a link");
                   return link_to(s, "file", "through a link");
                 }},
        // procfs reports a size of 0 for a file that has text.
        ReadCase{"LinkToFileWithoutSize",
                 [](const auto& s) { return link_to(s, "/proc/version", test::read_file("/proc/version")); }},
        ReadCase{"DanglingLink", [](const auto& s) { return link_to(s, "nowhere", "absent"); }},
        ReadCase{"LinkLoop", [](const auto& s) { return link_to(s, "cache", "absent"); }}),
    test::CaseName());

// Bytes this process has read so far, from /proc/self/io; -1 if unknown.
long long bytes_read() {
  std::ifstream io("/proc/self/io");
  for (std::string key; io >> key;) {
    long long value = 0;
    io >> value;
    if (key == "rchar:") return value;
  }
  return -1;
}

// A file whose size says nothing (procfs gives 0) and that holds more than the
// limit is read up to the limit and one byte, no further.
TEST(ReadCache, StopsOneByteAfterTheLimitWhateverTheSizeSays) {
  test::ScratchFolder scratch;
  std::error_code error;
  if (std::filesystem::file_size("/proc/kallsyms", error) != 0 || error ||
      test::read_file("/proc/kallsyms").size() <= kMaxCacheFileSize)
    GTEST_SKIP() << "no procfs file here that is larger than the limit";
  std::filesystem::create_symlink("/proc/kallsyms", scratch.path("cache"));
  // Reading /proc/self/io counts too: measured alone first.
  const long long start = bytes_read();
  const long long before = bytes_read();
  EXPECT_EQ(read_outcome(scratch.path("cache")), os_error(EFBIG));
  const long long after = bytes_read();
  ASSERT_GE(start, 0) << "no /proc/self/io";
  EXPECT_EQ(after - before - (before - start), static_cast<long long>(kMaxCacheFileSize) + 1);
}

TEST(ReadCache, NulOrEmptyPathNamesNothing) {
  test::ScratchFolder scratch;
  test::write_file(scratch.path("a"), "cached");
  EXPECT_EQ(read_outcome(scratch.path("a")), "cached");
  EXPECT_EQ(read_outcome(scratch.path("a") + std::string("\0b", 2)), "absent");
  EXPECT_EQ(read_outcome(""), "absent");
}

// Root passes every permission check, so these run in a child as "nobody".
TEST(CachePermissions, DeniedAccessAsAnotherUser) {
  test::FakeNvmlController fake;
  fs::permissions(fake.dir(), fs::perms(0755));
  fs::create_directory(fake.path("locked"));
  test::write_file(fake.path("locked/cache"), "hidden");
  fs::permissions(fake.path("locked"), fs::perms(0700));
  test::write_file(fake.path("unreadable"), "secret");
  fs::permissions(fake.path("unreadable"), fs::perms::none);
  fs::create_directory(fake.path("readonly"));
  fs::permissions(fake.path("readonly"), fs::perms(0555));

  const std::string outcome = test::run_in_child([&]() -> std::string {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) return "skip";
    std::string problems;
    if (read_outcome(fake.path("locked/cache")) != "absent") problems += "unsearchable folder counted as present; ";
    if (read_outcome(fake.path("unreadable")) != os_error(EACCES)) problems += "unreadable file not refused; ";
    const auto id = get_gpu_node_id(fake.path("unreadable"));
    if (id || chain(id.error()) != "Failed to read cache file: Permission denied (os error 13)")
      problems += "unreadable file: " + (id ? *id : chain(id.error())) + "; ";
    const auto written = write_cache(fake.path("readonly/cache"), "x");
    if (written || written.error() != OsError{EACCES}) problems += "write into read-only folder not refused; ";
    return problems;
  });
  if (outcome == "skip") GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(outcome, "");
  EXPECT_TRUE(fs::is_empty(fake.path("readonly")));
  EXPECT_TRUE(fake.log().empty()) << "NVML must not be loaded for a present cache";
}

// A read-only mount fails even for root; it is made in a private mount
// namespace so that nothing outlives the test.
TEST(CachePermissions, ReadOnlyFileSystem) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-a"});
  fs::create_directory(fake.path("ro"));
  const std::string ro = fake.path("ro");
  const std::string outcome = test::run_in_child([&]() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      return "skip";
    const auto id = get_gpu_node_id(ro + "/cache");
    if (id) return "computed and wrote " + *id;
    return chain(id.error());
  });
  if (outcome == "skip") GTEST_SKIP() << "cannot make a read-only bind mount here";
  EXPECT_EQ(outcome, "Failed to write cache: Read-only file system (os error 30)");
  EXPECT_TRUE(fs::is_empty(ro));
  EXPECT_EQ(fake.log_tail(3), (std::vector<std::string>{"nvmlDeviceGetUUID 0 96", "nvmlShutdown", "unload"}));
}

}  // namespace
}  // namespace zorf
