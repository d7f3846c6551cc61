#include "cache_file.hpp"

#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "fake_nvml.hpp"
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

TEST(WriteCache, WritesATemporaryThenRenamesIt) {
  test::FakeNvml scratch;
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
  test::FakeNvml scratch;
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
  test::FakeNvml scratch;
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
    EXPECT_EQ(written.error(), OsError{c.error}) << to_string(written.error());
    EXPECT_EQ(tree(scratch.dir()), before);
    EXPECT_EQ(test::read_file(scratch.path("file")), "previous, longer content");
  } else {
    ASSERT_TRUE(written.has_value()) << to_string(written.error());
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
// when it belongs to the writer or to the folder's owner, as the kernel does
// for its own lookups: nobody else's link may aim the write at our files.
TEST(WriteCache, FollowsOthersLinksInSharedFoldersOnlyAsTheKernelWould) {
  constexpr uid_t kNobody = 65534;
  struct Case {
    uid_t link_owner, folder_owner;
    bool followed;
  };
  for (const Case c : {Case{kNobody, 0, false}, Case{0, 0, true}, Case{kNobody, kNobody, true}}) {
    test::FakeNvml scratch;
    const std::string shared = scratch.path("shared");
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    fs::create_symlink(scratch.path("target"), shared + "/link");
    if (::lchown((shared + "/link").c_str(), c.link_owner, c.link_owner) != 0 ||
        ::chown(shared.c_str(), c.folder_owner, c.folder_owner) != 0)
      GTEST_SKIP() << "cannot give files away here (not root?)";
    const auto written = write_cache(shared + "/link", "payload");
    EXPECT_EQ(written.has_value(), c.followed) << c.link_owner << " " << c.folder_owner;
    if (c.followed) {
      EXPECT_EQ(test::read_file(scratch.path("target")), "payload");
    } else {
      EXPECT_EQ(written.error(), OsError{EACCES});
      EXPECT_FALSE(fs::exists(scratch.path("target")));
      EXPECT_EQ(test::list_dir(shared), std::vector<std::string>{"link"});
    }
  }
}

TEST(CachePresent, NulOrEmptyPathNamesNothing) {
  test::FakeNvml scratch;
  test::write_file(scratch.path("a"), "cached");
  const std::string nul_path = scratch.path("a") + std::string("\0b", 2);
  EXPECT_TRUE(cache_present(scratch.path("a")));
  EXPECT_FALSE(cache_present(nul_path));
  EXPECT_FALSE(cache_present(""));
  const auto read = read_cache_if_present(nul_path);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, std::nullopt);
}

// Root passes every permission check, so these run in a child as "nobody".
TEST(CachePermissions, DeniedAccessAsAnotherUser) {
  test::FakeNvml scratch;
  fs::permissions(scratch.dir(), fs::perms(0755));
  fs::create_directory(scratch.path("locked"));
  test::write_file(scratch.path("locked/cache"), "hidden");
  fs::permissions(scratch.path("locked"), fs::perms(0700));
  test::write_file(scratch.path("unreadable"), "secret");
  fs::permissions(scratch.path("unreadable"), fs::perms::none);
  fs::create_directory(scratch.path("readonly"));
  fs::permissions(scratch.path("readonly"), fs::perms(0555));

  const std::string outcome = test::run_in_child([&]() -> std::string {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) return "skip";
    std::string problems;
    if (cache_present(scratch.path("locked/cache"))) problems += "unsearchable folder counted as present; ";
    if (!cache_present(scratch.path("unreadable"))) problems += "unreadable file counted as absent; ";
    const auto id = get_gpu_node_id(scratch.path("unreadable"));
    if (id || id.error().chain() != "Failed to read cache file: Permission denied (os error 13)")
      problems += "unreadable file: " + (id ? *id : id.error().chain()) + "; ";
    const auto written = write_cache(scratch.path("readonly/cache"), "x");
    if (written || written.error() != OsError{EACCES}) problems += "write into read-only folder not refused; ";
    return problems;
  });
  if (outcome == "skip") GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(outcome, "");
  EXPECT_TRUE(fs::is_empty(scratch.path("readonly")));
  EXPECT_TRUE(scratch.log().empty()) << "NVML must not be loaded for a present cache";
}

// A read-only mount fails even for root; it is made in a private mount
// namespace so that nothing outlives the test.
TEST(CachePermissions, ReadOnlyFileSystem) {
  test::FakeNvml fake;
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
    return id.error().chain();
  });
  if (outcome == "skip") GTEST_SKIP() << "cannot make a read-only bind mount here";
  EXPECT_EQ(outcome, "Failed to write cache: Read-only file system (os error 30)");
  EXPECT_TRUE(fs::is_empty(ro));
  EXPECT_EQ(fake.log_tail(3), (std::vector<std::string>{"nvmlDeviceGetUUID 0 96", "nvmlShutdown", "unload"}));
}

}  // namespace
}  // namespace zorf
