#include "cache_file.hpp"

#include <linux/filter.h>
#include <linux/limits.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <thread>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "cache_steps.hpp"
#include "case_name.hpp"
#include "child_process.hpp"
#include "fake_nvml_controller.hpp"
#include "scratch_folder.hpp"
#include "node_id.hpp"
#include "support/file_descriptor.hpp"

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

std::string os_error(int code) { return "error: " + OsError{code}.display(); }

constexpr uid_t kNobody = 65534;

// A system call to fail with `error`, as a sandbox, an older kernel or a file
// system would have it; only where its argument `nonzero_argument` is not 0,
// when that is given (renameat2 with flags: the C library makes a plain
// renameat of renameat2 without flags where the kernel has no renameat).
struct Denial {
  long number;
  int error;
  int nonzero_argument = -1;
};

// Makes these system calls fail from now on in this process. For a forked
// child only: it cannot be undone. False where seccomp is not at hand (under
// qemu-user, say).
bool deny_system_calls(const std::vector<Denial>& denials) {
  std::vector<sock_filter> filter;
  for (const Denial& denial : denials) {
    const bool checked = denial.nonzero_argument >= 0;
    filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    const __u8 past_the_return = checked ? 3 : 1;
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(denial.number), 0, past_the_return));
    if (checked) {
      // The argument's low half, on these little-endian machines.
      filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                                static_cast<__u32>(offsetof(seccomp_data, args) + 8 * denial.nonzero_argument)));
      filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<__u32>(denial.error) & SECCOMP_RET_DATA)));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

bool deny_system_call(long number, int error) { return deny_system_calls({{number, error}}); }

bool become_nobody() { return ::setresgid(kNobody, kNobody, kNobody) == 0 && ::setresuid(kNobody, kNobody, kNobody) == 0; }

// fs.protected_symlinks, read for the record: this code applies its rule
// whatever it is, and no test changes it.
std::string protected_symlinks() {
  std::error_code error;
  if (!fs::exists("/proc/sys/fs/protected_symlinks", error)) return "unknown";
  const std::string value = test::read_file("/proc/sys/fs/protected_symlinks");
  return value.substr(0, value.find('\n'));
}

TEST(WriteOnMiss, WritesATemporaryThenMovesItIntoPlace) {
  test::ScratchFolder scratch;
  const std::string target = scratch.path("cache");

  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, scratch.dir().c_str(), IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE), 0);
  const auto written = test::write_on_miss(target, "new content");
  ASSERT_TRUE(written.has_value()) << written.error().display();

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

class WriteOnMissPath : public testing::TestWithParam<WriteCase> {};

// A miss's write, where the look found no file: through the links the look
// followed, or nowhere.
TEST_P(WriteOnMissPath, WritesThroughLinksOrLeavesNothing) {
  const WriteCase& c = GetParam();
  test::ScratchFolder scratch;
  fs::create_directory(scratch.path("dir"));
  test::write_file(scratch.path("dir/inside"), "x");
  test::write_file(scratch.path("file"), "previous, longer content");
  for (const auto& [name, target] : c.links)
    fs::create_symlink(target.starts_with('@') ? scratch.path(target.substr(1)) : target, scratch.path(name));
  const auto before = tree(scratch.dir());

  const auto written = test::write_on_miss(c.path.empty() ? "" : scratch.path(c.path), "payload");
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
    Cases, WriteOnMissPath,
    testing::Values(
        WriteCase{"NewFile", {}, "new", "new"},
        WriteCase{"DanglingLink", {{"link", "target"}}, "link", "target"},
        WriteCase{"LinkIntoFolder", {{"link", "dir/target"}}, "link", "dir/target"},
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
        WriteCase{"TrailingSlash", {}, "new/", "", EISDIR}),
    test::CaseName());

// In a sticky, world-writable folder such as /tmp, a link is followed only
// when it belongs to the caller or to the folder's owner, as the kernel does
// for its own lookups: nobody else's link may show the caller one of their own
// files as the identifier, or aim the write at it. A refused link is no cache.
TEST(CacheFile, FollowsOthersLinksInSharedFoldersOnlyAsTheKernelWould) {
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

    EXPECT_EQ(test::read_outcome(shared + "/to_secret"), c.followed ? "the caller's own token" : "absent");
    const auto written = test::write_on_miss(shared + "/link", "payload");
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

// Links another local user plants in a shared folder, planted as that user,
// met on the way to the cache path: at its end, behind a link of the
// caller's, or as a folder of a link target's path, each is refused like one
// at the end of the path. (Their link met as a folder of the path itself, and
// their own folder holding a link, are the Python suite's, planted as that
// user by the system's own programs.)
struct PlantedCase {
  const char* name;
  // Made by "nobody": links, name and target. Names are in the scratch
  // folder; a target starting with '@' is an absolute path into it.
  Links planted;
  Links own;  // made by the caller, after the planting
  std::string path;
  bool followed;
};

class PlantedPath : public testing::TestWithParam<PlantedCase> {};

TEST_P(PlantedPath, LinkRuleCoversEveryComponent) {
  const PlantedCase& c = GetParam();
  std::cout << "fs.protected_symlinks = " << protected_symlinks() << "\n";
  RecordProperty("protected_symlinks", protected_symlinks());
  test::FakeNvmlController scratch;
  scratch.configure({"uuid_text GPU-a"});
  fs::permissions(scratch.dir(), fs::perms(0755));
  fs::create_directory(scratch.path("shared"));
  fs::permissions(scratch.path("shared"), fs::perms(01777));
  fs::create_directory(scratch.path("private"));
  fs::permissions(scratch.path("private"), fs::perms(0700));
  test::write_file(scratch.path("private/token"), "the caller's own token");
  const auto absolute = [&](const std::string& target) {
    return target.starts_with('@') ? scratch.path(target.substr(1)) : target;
  };

  const std::string planted = test::run_in_child([&]() -> std::string {
    if (!become_nobody()) return "skip";
    for (const auto& [name, target] : c.planted)
      if (::symlink(absolute(target).c_str(), scratch.path(name).c_str()) != 0)
        return "cannot plant " + name + ": " + OsError::last().display();
    return "";
  });
  if (planted == "skip") GTEST_SKIP() << "cannot switch to an unprivileged user";
  ASSERT_EQ(planted, "");
  for (const auto& [name, target] : c.own) fs::create_symlink(absolute(target), scratch.path(name));

  const std::string path = scratch.path(c.path);
  if (c.followed) {
    EXPECT_EQ(test::read_outcome(path), "the caller's own token");
    return;
  }
  EXPECT_EQ(test::read_outcome(path), "absent");
  const auto written = test::write_on_miss(path, "payload");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), OsError{EACCES});
  // The whole call: no cache, the identifier computed, its write refused.
  const auto id = get_gpu_node_id(path);
  ASSERT_FALSE(id.has_value());
  EXPECT_EQ(chain(id.error()), "Failed to write cache: Permission denied (os error 13)");
  EXPECT_EQ(test::list_dir(scratch.path("private")), std::vector<std::string>{"token"});
  EXPECT_EQ(test::read_file(scratch.path("private/token")), "the caller's own token");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlantedPath,
    testing::Values(
        PlantedCase{"TheirLinkAtTheEnd", {{"shared/zorf", "@private/token"}}, {}, "shared/zorf", false},
        PlantedCase{"TheirLinkBehindTheCallersLink",
                    {{"shared/adir", "@private"}},
                    {{"mine", "@shared/adir/token"}},
                    "mine",
                    false},
        PlantedCase{"TheirLinkAsAFolderOfALinkTarget",
                    {{"shared/adir", "private"}},
                    {{"shared/mine", "adir/token"}},
                    "shared/mine",
                    false},
        PlantedCase{"CallersLinkAsAFolder", {}, {{"shared/mine", "@private"}}, "shared/mine/token", true}),
    test::CaseName());

// Fills the descriptor table but for `spare` free slots.
bool leave_descriptors(int spare) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 256);  // a small table fills fast
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  std::vector<int> opened;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) opened.push_back(fd);
  if (errno != EMFILE) return false;
  for (int i = 0; i < spare && !opened.empty(); ++i) {
    ::close(opened.back());
    opened.pop_back();
  }
  return true;
}

// A failure that says nothing about the file (here: no descriptor left, at
// each step of the walk in turn) is a read failure, never an absence: NVML is
// not loaded and the file there is not replaced.
TEST(CacheFile, OutOfDescriptorsIsAReadFailureNeverAMiss) {
  const std::string kReadFailure = "Failed to read cache file: Too many open files (os error 24)";
  test::FakeNvmlController scratch;
  scratch.configure({"uuid_text GPU-a"});
  test::write_file(scratch.path("cache"), "CUSTOM");
  fs::create_directory(scratch.path("dir"));
  fs::create_symlink("link2", scratch.path("link1"));      // two links ...
  fs::create_symlink("dir/../cache", scratch.path("link2"));  // ... and a folder on the way
  for (const std::string name : {"cache", "link1"}) {
    std::vector<std::string> outcomes;
    for (int spare = 0; spare <= 6; ++spare) {
      outcomes.push_back(test::run_in_child([&]() -> std::string {
        if (!leave_descriptors(spare)) return "cannot fill the descriptor table";
        const auto id = get_gpu_node_id(scratch.path(name));
        return id ? *id : chain(id.error());
      }));
      EXPECT_TRUE(outcomes.back() == "CUSTOM" || outcomes.back() == kReadFailure)
          << name << " with " << spare << " spare: " << outcomes.back();
    }
    EXPECT_EQ(outcomes.front(), kReadFailure) << name;
    EXPECT_EQ(outcomes.back(), "CUSTOM") << name;
  }
  EXPECT_EQ(test::read_file(scratch.path("cache")), "CUSTOM");
  EXPECT_TRUE(scratch.log().empty()) << "NVML was loaded for a file that is there";
}

struct MissWriteCase {
  const char* name;
  int rename_error;  // what renameat2 with RENAME_NOREPLACE fails with, as on a file system that refuses it; 0: as it is
  int link_error;    // what linkat fails with, as on a file system without hard links; 0: as it is
};

class MissWrite : public testing::TestWithParam<MissWriteCase> {};

// The write of a miss lands in the folder the read looked in, wherever the
// working directory has gone meanwhile, and never replaces a file that got
// there first.
TEST_P(MissWrite, LandsWhereTheReadLookedAndReplacesNothing) {
  const MissWriteCase& c = GetParam();
  test::ScratchFolder scratch;
  const std::string empty = scratch.path("empty"), full = scratch.path("full");
  fs::create_directory(empty);
  fs::create_directory(full);
  test::write_file(full + "/cache", "CUSTOM");
  const std::string outcome = test::run_in_child([&]() -> std::string {
    std::vector<Denial> denials;
    if (c.rename_error != 0) denials.push_back({SYS_renameat2, c.rename_error, 4});
    if (c.link_error != 0) denials.push_back({SYS_linkat, c.link_error});
    if (!denials.empty() && !deny_system_calls(denials)) return "skip";
    if (::chdir(empty.c_str()) != 0) return "chdir failed";
    auto lookup = look_up_cache("cache");
    if (!lookup || !std::holds_alternative<CacheAbsent>(*lookup)) return "not absent";
    const auto& place = std::get<CacheAbsent>(*lookup).place;
    if (!place) return "no place: " + place.error().display();
    if (::chdir(full.c_str()) != 0) return "chdir failed";
    const auto first = write_new_cache(*place, "computed");
    if (!first || *first != NewCacheFile::written) return "first write: " + (first ? "kept" : first.error().display());
    const auto second = write_new_cache(*place, "again");
    if (!second || *second != NewCacheFile::already_there)
      return "second write: " + (second ? "written" : second.error().display());
    return "";
  });
  if (outcome == "skip") GTEST_SKIP() << "no seccomp here";
  EXPECT_EQ(outcome, "");
  EXPECT_EQ(test::read_file(empty + "/cache"), "computed");
  EXPECT_EQ(test::read_file(full + "/cache"), "CUSTOM");
  EXPECT_EQ(test::list_dir(empty), std::vector<std::string>{"cache"}) << "a temporary file was left";
  EXPECT_EQ(test::list_dir(full), std::vector<std::string>{"cache"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MissWrite,
    testing::Values(MissWriteCase{"Rename", 0, 0}, MissWriteCase{"LinkWhereTheFlagIsRefused", EINVAL, 0},
                    MissWriteCase{"LinkWhereRenameat2IsMissing", ENOSYS, 0},
                    // Neither (s3fs- and gcsfuse-like FUSE file systems): a look, then a plain rename.
                    MissWriteCase{"RenameWhereHardLinksAreRefused", EINVAL, EPERM},
                    MissWriteCase{"RenameWhereHardLinksAreUnsupported", EINVAL, EOPNOTSUPP},
                    MissWriteCase{"RenameWhereTheServerLacksBoth", ENOSYS, ENOSYS}),
    test::CaseName());

// A cache file that appears while NVML starts (another process's miss, or a
// file of the user's) is kept, and the call returns what it computed.
TEST(CacheFile, AMissKeepsAFileThatAppearedMeanwhile) {
  test::FakeNvmlController scratch;
  scratch.configure({"uuid_text GPU-a", "init_delay_us 300000"});
  const std::string path = scratch.path("cache");
  std::expected<std::string, ContextError> id = std::unexpected(ContextError(Step::NoGpus));
  std::thread call([&] { id = get_gpu_node_id(path); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (scratch.count("nvmlInit_v2") == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  test::write_file(scratch.path("staged"), "CUSTOM");
  fs::rename(scratch.path("staged"), path);
  call.join();
  ASSERT_TRUE(id.has_value()) << chain(id.error());
  EXPECT_EQ(*id, node_id_from_uuids({"GPU-a"}));
  EXPECT_EQ(test::read_file(path), "CUSTOM");
  for (const auto& name : test::list_dir(scratch.dir())) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

// Where openat2 is missing (ENOSYS: older kernels, qemu-user) or refused
// (EPERM: a seccomp sandbox), every path is walked by hand, with the same
// answers as the one call gives.
TEST(CacheFile, WithoutOpenat2TheWalkGivesTheSameAnswers) {
  test::ScratchFolder scratch;
  test::write_file(scratch.path("file"), "cached");
  fs::create_directory(scratch.path("dir"));
  fs::create_symlink("file", scratch.path("link"));
  if (::mkfifo(scratch.path("fifo").c_str(), 0600) != 0) FAIL() << "mkfifo";
  const std::vector<std::string> names = {"file", "dir/../file", "link", "dir", "dir/", "fifo", "missing", "dir/missing", "file/x"};
  std::string expected;
  for (const auto& name : names) expected += name + ": " + test::read_outcome(scratch.path(name)) + "\n";
  for (const int error : {ENOSYS, EPERM}) {
    const std::string outcome = test::run_in_child([&]() -> std::string {
      if (!deny_system_call(SYS_openat2, error)) return "skip";
      std::string text;
      for (const auto& name : names) text += name + ": " + test::read_outcome(scratch.path(name)) + "\n";
      return text;
    });
    if (outcome == "skip") GTEST_SKIP() << "no seccomp here";
    EXPECT_EQ(outcome, expected) << OsError{error}.display();
  }
}

// ---- Mounts ------------------------------------------------------------------

// A FUSE file system on `point` that never answers: /dev/fuse is opened and
// never read, so every request to it waits until the descriptor is closed or
// the waiting process is killed. Where user_allow_other is set in
// /etc/fuse.conf, any local user can mount one like it, with fusermount, on a
// folder of theirs. The descriptor, or -1 where FUSE cannot be mounted here.
int mount_silent_fuse(const std::string& point, uid_t owner) {
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  const std::string options = "fd=" + std::to_string(fd) + ",rootmode=40000,user_id=" + std::to_string(owner) +
                              ",group_id=" + std::to_string(owner) + ",allow_other";
  if (::mount("zorf-silent", point.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

enum class Mounted { nothing, silent_fuse, bound_file };

struct MountCase {
  const char* name;
  Mounted mounted;      // on "tmp/zorf": a folder of nobody's with FUSE on it, or a file bound onto one of theirs
  bool shared;          // "tmp" is sticky and world-writable, as /tmp is
  bool tmp_is_a_mount;  // "tmp" is a tmpfs of its own, as /tmp is on many systems
  int openat2_error;    // 0: openat2 as it is; else what it fails with, and the path is walked by hand
  const char* outcome;  // of the whole call
};

class MountAtTheCachePath : public testing::TestWithParam<MountCase> {};

// Another user's mount on the cache path in a shared folder is refused as
// their link would be, without asking the mounted file system, which may
// never answer: no cache, so the identifier is computed and its write
// refused. A mount in a folder that is not shared (an administrator's bind
// mount of a file) is read through, as is every mount on the way. (The plain
// case, a silent FUSE in a shared folder that is no mount of its own, found
// by openat2, is the Python suite's, where that user makes the mount point.)
TEST_P(MountAtTheCachePath, IsNoCacheInASharedFolderAndNeverBlocks) {
  const MountCase& c = GetParam();
  // Under qemu-user with -L, the guest's "/" is a folder of this machine's
  // that the mounts below do not reach.
  if (std::getenv("ZORF_EMULATED") != nullptr) GTEST_SKIP() << "the guest's root is not this mount namespace's";
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-a"});
  fs::permissions(fake.dir(), fs::perms(0755));
  const std::string tmp = fake.path("tmp"), point = fake.path("tmp/zorf"), plain = fake.path("tmp/plain");
  fs::create_directory(tmp);
  const std::string outcome = test::run_in_child(
      [&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
          return "skip: no mount namespace of our own";
        if (c.tmp_is_a_mount && ::mount("tmpfs", tmp.c_str(), "tmpfs", 0, "size=1m") != 0) return "skip: no tmpfs";
        ::chmod(tmp.c_str(), c.shared ? 01777 : 0755);
        test::write_file(plain, "plain");
        switch (c.mounted) {
          case Mounted::nothing:
            break;
          case Mounted::silent_fuse:
            if (::mkdir(point.c_str(), 0755) != 0 || ::chown(point.c_str(), kNobody, kNobody) != 0)
              return "cannot make the mount point";
            if (mount_silent_fuse(point, kNobody) < 0) return "skip: cannot mount FUSE here";
            break;
          case Mounted::bound_file:
            test::write_file(point, "");
            test::write_file(fake.path("bound"), "bound");
            if (::chown(point.c_str(), kNobody, kNobody) != 0 ||
                ::mount(fake.path("bound").c_str(), point.c_str(), nullptr, MS_BIND, nullptr) != 0)
              return "skip: cannot bind a file here";
            break;
        }
        if (c.openat2_error != 0 && !deny_system_call(SYS_openat2, c.openat2_error)) return "skip: no seccomp";
        const auto id = get_gpu_node_id(c.mounted == Mounted::nothing ? plain : point);
        return id ? *id : chain(id.error());
      },
      std::chrono::seconds(20));
  if (outcome.starts_with("skip: ")) GTEST_SKIP() << outcome.substr(6);
  EXPECT_EQ(outcome, c.outcome);
}

constexpr const char* kRefusedMount = "Failed to write cache: Invalid cross-device link (os error 18)";

INSTANTIATE_TEST_SUITE_P(
    Cases, MountAtTheCachePath,
    testing::Values(
        MountCase{"SilentFuseInAMountedTmp", Mounted::silent_fuse, true, true, 0, kRefusedMount},
        MountCase{"SilentFuseWalked", Mounted::silent_fuse, true, false, ENOSYS, kRefusedMount},
        MountCase{"SilentFuseInAMountedTmpWalked", Mounted::silent_fuse, true, true, EPERM, kRefusedMount},
        MountCase{"BoundFileInASharedFolder", Mounted::bound_file, true, false, 0, kRefusedMount},
        MountCase{"BoundFileInAPrivateFolder", Mounted::bound_file, false, false, 0, "bound"},
        MountCase{"BoundFileInAPrivateMountedFolder", Mounted::bound_file, false, true, 0, "bound"},
        MountCase{"BoundFileInAPrivateFolderWalked", Mounted::bound_file, false, true, ENOSYS, "bound"},
        MountCase{"PlainFileInAMountedTmp", Mounted::nothing, true, true, 0, "plain"},
        MountCase{"PlainFileInAMountedTmpWalked", Mounted::nothing, true, true, ENOSYS, "plain"}),
    test::CaseName());

// A path of PATH_MAX bytes or more names nothing the kernel would open, even
// where every folder on it exists and could be walked one by one: no cache,
// whether openat2 answers or the walk does, and its write fails.
TEST(CacheFile, APathTooLongForTheKernelIsNoCache) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-a"});
  const std::string component(200, 'd');
  std::string path = fake.dir().string();
  {
    FileDescriptor folder(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    while (path.size() < PATH_MAX) {
      ASSERT_EQ(::mkdirat(folder.get(), component.c_str(), 0755), 0);
      folder = FileDescriptor(::openat(folder.get(), component.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      path += "/" + component;
    }
    const FileDescriptor file(::openat(folder.get(), "cache", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(file);
    ASSERT_EQ(::write(file.get(), "planted", 7), 7);
  }
  path += "/cache";
  std::size_t calls = 0;
  for (const int error : {0, ENOSYS}) {
    const std::string outcome = test::run_in_child([&]() -> std::string {
      if (error != 0 && !deny_system_call(SYS_openat2, error)) return "skip";
      const auto id = get_gpu_node_id(path);
      return test::read_outcome(path) + "; " + (id ? *id : chain(id.error()));
    });
    // Without seccomp (under qemu-user, which has no openat2 either), the
    // first round has walked it already.
    if (outcome == "skip") continue;
    ++calls;
    EXPECT_EQ(outcome, "absent; Failed to write cache: File name too long (os error 36)") << OsError{error}.display();
  }
  EXPECT_EQ(fake.count("nvmlInit_v2"), calls);
}

// ---- Reading ----------------------------------------------------------------

struct ReadCase {
  const char* name;
  // Makes the entry "cache" in the scratch folder; returns the read's expected outcome.
  std::function<std::string(const test::FakeNvmlController&)> make;
};

class ReadCachePath : public testing::TestWithParam<ReadCase> {};

// The read never blocks, never reads more than the limit and one byte, and
// keeps to regular files: anything else at the path, planted by another user
// in /tmp for instance, is refused at once. Whatever is there, the whole call
// answers with its text or the read's failure, without loading NVML.
TEST_P(ReadCachePath, ReadsRegularFilesOnly) {
  test::FakeNvmlController fake;
  fake.configure({"uuid_text GPU-a"});
  const std::string expected = GetParam().make(fake);
  const std::string path = fake.path("cache");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(test::read_outcome(path), expected);
  if (expected != "absent") {
    const auto id = get_gpu_node_id(path);
    const std::string failure = "error: ";
    EXPECT_EQ(id ? *id : chain(id.error()),
              expected.starts_with(failure) ? "Failed to read cache file: " + expected.substr(failure.size()) : expected);
    EXPECT_TRUE(fake.log().empty()) << "NVML was loaded for a file that is there";
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "the read blocked";
}

std::string make_file(const test::FakeNvmlController& s, std::size_t size, char fill = 'a') {
  test::write_file(s.path("cache"), std::string(size, fill));
  return std::string(size, fill);
}

// A link "cache" to `target`; returns `outcome`.
std::string link_to(const test::FakeNvmlController& s, const std::string& target, std::string outcome) {
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
        ReadCase{"EmptyDevice",
                 [](const auto& s) { return link_to(s, "/dev/null", "error: not a regular file: a character device"); }},
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
  EXPECT_EQ(test::read_outcome(scratch.path("cache")), os_error(EFBIG));
  const long long after = bytes_read();
  ASSERT_GE(start, 0) << "no /proc/self/io";
  EXPECT_EQ(after - before - (before - start), static_cast<long long>(kMaxCacheFileSize) + 1);
}

TEST(ReadCache, NulOrEmptyPathNamesNothing) {
  test::ScratchFolder scratch;
  test::write_file(scratch.path("a"), "cached");
  EXPECT_EQ(test::read_outcome(scratch.path("a")), "cached");
  EXPECT_EQ(test::read_outcome(scratch.path("a") + std::string("\0b", 2)), "absent");
  EXPECT_EQ(test::read_outcome(""), "absent");
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
    if (test::read_outcome(fake.path("locked/cache")) != "absent")
      problems += "unsearchable folder counted as present; ";
    if (test::read_outcome(fake.path("unreadable")) != os_error(EACCES)) problems += "unreadable file not refused; ";
    const auto id = get_gpu_node_id(fake.path("unreadable"));
    if (id || chain(id.error()) != "Failed to read cache file: Permission denied (os error 13)")
      problems += "unreadable file: " + (id ? *id : chain(id.error())) + "; ";
    const auto written = test::write_on_miss(fake.path("readonly/cache"), "x");
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
  // Under qemu-user with -L, the guest's "/" is a folder of this machine's
  // that the mounts below do not reach.
  if (std::getenv("ZORF_EMULATED") != nullptr) GTEST_SKIP() << "the guest's root is not this mount namespace's";
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
